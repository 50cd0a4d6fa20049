// The library's publish waits for a packet the socket took only in part.
//
// Library: MQTTClient_publish5 / MQTTClient_publishMessage, with MQTTProtocol_startPublish,
// Socket_putdatas and Socket_continueWrites, Paho C 1.3.10 to 1.3.16. When the socket
// takes a packet only in part, the library's publish waits, 100 ms at a time
// (MQTTClient_yield), until its network thread has written the rest, for as long as the
// library counts the connection as up; behind a link that went silent that is until the
// keep-alive watch cuts it (or never, without a keep-alive: keepalive_blind_spots.cpp).
// Every 100 ms nap also slows a large publish that merely met a full socket.
// What is done, for the client's publishes:
//   * roomFor: before a packet of 16 KiB or more (and once per 64 KiB of smaller ones),
//     wait in short steps until the socket's send queue has room for it twice over, so
//     the library's write completes at once; a link whose queue stops shrinking is cut.
//   * unstickPublish, before a thread ends the connection (stop, disconnect, a second
//     init, the teardown): a publish still inside the library is waited for while the
//     link drains, and a link that takes nothing for half a second is cut (drainOrCut);
//     the loss that follows starts no reconnection. Without a link to look at (the
//     library's record is not known, hidden_record.h) the publish is given 2 s, and then
//     its connection is ended by the library's own disconnect (endStuckPublish).
// Still needed? tests/test_half_open.py ("ending a connection whose link froze") and
// tests/test_large_payloads.py: stop() behind a frozen link returns within seconds, and
// 1 MiB publishes run at the socket's pace, not in 100 ms steps.
#include "../sdk.h"

#include "hidden_socket.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>
#include <thread>

namespace {

// Packets from this size on wait for room in the socket before the library writes
// them (hidden_socket.h); smaller ones are checked once per kCheckEvery bytes handed
// over, so that a stream of small messages pays no system call per message.
constexpr std::size_t kLargePacket = 16 * 1024;
constexpr std::size_t kCheckEvery = 64 * 1024;

}  // namespace

int SDK::publishInLibrary(const std::string &topic, MQTTClient_message &message,
                          MQTTClient_deliveryToken &token) {
    {
        std::lock_guard<std::mutex> lock(publishingMutex);
        publishing = client;
        publishUnderWay = true;
    }
    const int rc = MQTTClient_publishMessage(client, topic.c_str(), &message, &token);
    std::lock_guard<std::mutex> lock(publishingMutex);  // after endStuckPublish, if under way
    publishing = nullptr;
    publishUnderWay = false;
    return rc;
}

bool SDK::roomFor(std::size_t packet, std::uint64_t lossesBefore) {
    sentSinceCheck += packet;
    if (packet < kLargePacket && sentSinceCheck < kCheckEvery) {
        return true;
    }
    sentSinceCheck = 0;
    const std::shared_ptr<const tarnu::BrokerLink> held = currentLink();
    if (held == nullptr) {
        return true;
    }
    // As long as the library would go on with a link that takes nothing: the keep-alive
    // of the connection, three times over (it normally notices within 2.5), or the
    // write timeout when there is no keep-alive.
    const int seconds = connectOptions.keepAliveInterval > 0 ? 3 * connectOptions.keepAliveInterval
                                                             : std::max(connectOptions.retryInterval, 1);
    const auto room = held->waitForRoom(packet, std::chrono::seconds(seconds), [&] {
        return life.someoneEnding() || !life.isConnected() || life.lossCount() != lossesBefore;
    });
    if (room == tarnu::BrokerLink::Room::stalled) {
        held->cut();  // the library takes its connection-loss path; the publish below fails
    }
    // Stopping or disconnecting: the packet is not started on a link about to close.
    return !(room == tarnu::BrokerLink::Room::gaveUp && life.someoneEnding());
}

// A packet the socket takes only in part (a large one, or a small one that meets a full
// send queue) keeps the library's publish waiting, 100 ms at a time, until the library's
// thread has written the rest, for as long as the library counts the connection as up:
// behind a link that went silent, until the keep-alive watch cuts it (or never, without
// a keep-alive). A thread ending the connection waits for it while the link takes bytes
// (see drainOrCut); a link that has stopped taking them is cut, the library takes its
// connection-loss path and the publish returns.
void SDK::unstickPublish() {
    // Without a link to look at (the library's record is not known), a publish is given
    // this long to leave the library before its connection is ended under it.
    constexpr auto kUnknownLinkGrace = std::chrono::seconds(2);
    const auto since = std::chrono::steady_clock::now();
    while (publishUnderWay.load()) {
        if (currentLink() == nullptr) {
            if (std::chrono::steady_clock::now() - since >= kUnknownLinkGrace) {
                endStuckPublish();
                return;
            }
        } else if (drainOrCut([this] { return !publishUnderWay.load(); })) {
            return;
        }
        // The socket is empty but the library still has bytes to hand it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SDK::endStuckPublish() {
    // The library's publish (MQTTClient_publish5) waits for the rest of a packet the
    // socket took only in part for as long as the library counts the connection as up,
    // and it lets go of its lock between looks: its own disconnect, from this thread,
    // closes the socket and ends that wait. The handle cannot be released meanwhile: the
    // publish holds the handle gate until it has left publishingMutex.
    std::lock_guard<std::mutex> lock(publishingMutex);
    if (publishing != nullptr) {
        MQTTClient_disconnect(publishing, 0);
    }
}

bool SDK::drainOrCut(const std::function<bool()> &done) {
    // No DISCONNECT could follow the bytes of a link that stopped taking them, and the
    // library's keep-alive cannot tell (see watch.cpp); the watch would cut it only
    // after 1.5 x keepAlive. Ending the connection does not wait that long.
    constexpr auto kStuckLink = std::chrono::milliseconds(500);
    const std::shared_ptr<const tarnu::BrokerLink> held = currentLink();
    if (held == nullptr) {
        return false;
    }
    const std::uint64_t lossesBefore = life.lossCount();
    if (held->waitForRoom(SIZE_MAX / 4, kStuckLink, done) != tarnu::BrokerLink::Room::stalled) {
        return false;
    }
    held->end();  // the program's own end of the connection: no reconnection follows
    // Until the library has taken the loss (its thread reads the end of the stream at its
    // next round): a disconnect made before would wait out its whole timeout for the
    // acknowledgements of messages in flight, which cannot come any more.
    inflight.waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(1),
                       [&] { return life.lossCount() != lossesBefore; });
    return true;
}

