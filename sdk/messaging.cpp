// Publishing, subscriptions, the handler setters and inbound messages.
#include "sdk.h"

#include "events.h"
#include "log.h"
#include "link.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>
#include <shared_mutex>
#include <thread>

namespace {

constexpr auto kCompletionTimeout = std::chrono::milliseconds(10000);
// Packets from this size on wait for room in the socket before the library writes
// them (see link.h); smaller ones are checked once per kCheckEvery bytes handed over,
// so that a stream of small messages pays no system call per message.
constexpr std::size_t kLargePacket = 16 * 1024;
constexpr std::size_t kCheckEvery = 64 * 1024;

// The library passes some input to the wire that the broker answers with a
// disconnect: QoS levels out of range, and topics MQTT cannot carry. Such calls are
// refused here instead, with the library's codes for a bad QoS and for a malformed
// request (MQTTCLIENT_BAD_STRUCTURE).
bool validQos(int qos) { return qos >= 0 && qos <= 2; }

constexpr std::size_t kMaxTopicBytes = 65535;  // an MQTT string's length field

// The topic as the library reads it: up to the first zero byte.
std::string_view wireTopic(const std::string &topic) { return std::string_view(topic.c_str()); }

bool validTopicName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxTopicBytes &&
           name.find_first_of("+#") == std::string_view::npos;
}

// Wildcards stand for whole levels: "+" alone in its level, "#" alone in the last.
bool validTopicFilter(std::string_view filter) {
    if (filter.empty() || filter.size() > kMaxTopicBytes) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = filter.find('/', start);
        const std::string_view level =
            filter.substr(start, end == std::string_view::npos ? end : end - start);
        if (level.find('#') != std::string_view::npos &&
            (level != "#" || end != std::string_view::npos)) {
            return false;
        }
        if (level.find('+') != std::string_view::npos && level != "+") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::string failedOn(const char *operation, const std::string &topic, int rc) {
    return std::string("[SDK] ") + operation + " failed on '" + topic + "', rc=" +
           std::to_string(rc);
}

}  // namespace

void SDK::publish(const std::string &topic, std::string_view payload, int qos, bool retained) {
    checkProcess();
    tarnu::MethodScope scope;
    if (!connected) {
        tarnu::log::err("[SDK] publish \u2014 not connected");
        return;
    }
    if (!validQos(qos)) {
        tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_BAD_QOS));
        return;
    }
    // A payload of 2 GiB or more does not fit the library's length field: refused
    // rather than truncated.
    if (!validTopicName(wireTopic(topic)) || payload.size() > static_cast<std::size_t>(INT_MAX)) {
        tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_BAD_STRUCTURE));
        return;
    }
    const std::uint64_t lossesBefore = losses.load();
    const tarnu::InFlight::GiveUp giveUp = [&] {
        return ending.load() > 0 || !connected || losses.load() != lossesBefore;
    };
    // A place in the window first, within the call's own time: the messages of other
    // threads that hold the window are acknowledged meanwhile.
    const bool reserved = qos > 0;
    if (reserved) {
        switch (inflight.reserve(tarnu::InFlight::Clock::now() + kCompletionTimeout, giveUp)) {
        case tarnu::InFlight::Outcome::ready:
            break;
        case tarnu::InFlight::Outcome::gaveUp:
            tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_DISCONNECTED));
            return;
        case tarnu::InFlight::Outcome::timedOut:
            tarnu::log::err(failedOn("publish", topic, MQTTCLIENT_MAX_MESSAGES_INFLIGHT));
            return;
        }
    }
    MQTTClient_message message = MQTTClient_message_initializer;
    message.payloadlen = static_cast<int>(payload.size());
    message.payload = const_cast<char *>(payload.data());
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    MQTTClient_deliveryToken token = 0;  // stays 0 at QoS 0: nothing to wait for
    int rc = MQTTCLIENT_DISCONNECTED;
    bool notConnected = false;
    std::shared_ptr<tarnu::InFlight::Ticket> ticket;
    {
        std::shared_lock<tarnu::HandleGate> using_(handleGate);
        if (client == nullptr || !connected) {
            notConnected = true;
        } else if (inflight.beginHandOver(giveUp)) {
            if (roomFor(wireTopic(topic).size() + payload.size() + (qos > 0 ? 9 : 7), lossesBefore)) {
                // A QoS 0 stream keeps the kernel's coalescing; what a call waits on goes
                // out at once.
                const tarnu::SendAtOnce now(qos == 0 ? nullptr : currentLink());
                rc = publishInLibrary(topic, message, token);
            }
            ticket = inflight.endHandOver(rc == MQTTCLIENT_SUCCESS ? token : 0, reserved);
        } else if (reserved) {
            inflight.unreserve();
        }
    }
    if (notConnected) {
        if (reserved) {
            inflight.unreserve();
        }
        tarnu::log::err("[SDK] publish \u2014 not connected");
        return;
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("publish", topic, rc));
        return;
    }
    if (ticket != nullptr) {
        // Ends with the message's completion, the connection's loss, a thread that ends
        // the connection, or the timeout.
        inflight.wait(ticket, tarnu::InFlight::Clock::now() + kCompletionTimeout, giveUp);
    }
}

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
        return ending.load() > 0 || !connected || losses.load() != lossesBefore;
    });
    if (room == tarnu::BrokerLink::Room::stalled) {
        held->cut();  // the library takes its connection-loss path; the publish below fails
    }
    // Stopping or disconnecting: the packet is not started on a link about to close.
    return !(room == tarnu::BrokerLink::Room::gaveUp && ending.load() > 0);
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
    const std::uint64_t lossesBefore = losses.load();
    if (held->waitForRoom(SIZE_MAX / 4, kStuckLink, done) != tarnu::BrokerLink::Room::stalled) {
        return false;
    }
    held->end();  // the program's own end of the connection: no reconnection follows
    // Until the library has taken the loss (its thread reads the end of the stream at its
    // next round): a disconnect made before would wait out its whole timeout for the
    // acknowledgements of messages in flight, which cannot come any more.
    inflight.waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(1),
                       [&] { return losses.load() != lossesBefore; });
    return true;
}

void SDK::deliveryComplete(MQTTClient_deliveryToken token) { inflight.completed(token); }

bool SDK::subscribe(const std::string &topic, int qos) {
    checkProcess();
    tarnu::MethodScope scope;
    if (!connected) {
        tarnu::log::err("[SDK] subscribe \u2014 not connected");
        return false;
    }
    int rc = MQTTCLIENT_BAD_QOS;
    if (validQos(qos)) {
        rc = MQTTCLIENT_BAD_STRUCTURE;
        if (validTopicFilter(wireTopic(topic))) {
            std::shared_lock<tarnu::HandleGate> using_(handleGate);
            if (client == nullptr) {
                rc = MQTTCLIENT_DISCONNECTED;
            } else {
                const tarnu::SendAtOnce now(currentLink());  // the call waits for the answer
                rc = MQTTClient_subscribe(client, topic.c_str(), qos);
            }
        }
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("subscribe", topic, rc));
        return false;
    }
    tarnu::log::out("[SDK] Subscribed to: " + topic);
    return true;
}

void SDK::unsubscribe(const std::string &topic) {
    checkProcess();
    tarnu::MethodScope scope;
    if (!connected) {
        tarnu::log::err("[SDK] unsubscribe \u2014 not connected");
        return;
    }
    int rc = MQTTCLIENT_BAD_STRUCTURE;
    if (validTopicFilter(wireTopic(topic))) {
        std::shared_lock<tarnu::HandleGate> using_(handleGate);
        if (client == nullptr) {
            rc = MQTTCLIENT_DISCONNECTED;
        } else {
            const tarnu::SendAtOnce now(currentLink());  // the call waits for the answer
            rc = MQTTClient_unsubscribe(client, topic.c_str());
        }
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        tarnu::log::err(failedOn("unsubscribe", topic, rc));
        return;
    }
    tarnu::log::out("[SDK] Unsubscribed from: " + topic);
}

void SDK::on_message(MessageHandler handler) {
    checkProcess();
    events->setMessageHandler(std::move(handler));
}

void SDK::on_connection(ConnectionHandler handler) {
    checkProcess();
    events->setConnectionHandler(std::move(handler));
}

void SDK::messageArrived(std::string topic, std::string payload) {
    events->pushMessage(std::move(topic), std::move(payload));
}
