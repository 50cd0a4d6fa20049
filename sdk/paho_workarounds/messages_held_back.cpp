// The library hands a client its arrived messages only as packets come in on that
// client's connection, one message per packet.
//
// Library: MQTTClient_run, Paho C 1.3.10 to 1.3.16 and its development branch (2024),
// read; reported upstream as "Items could get stuck in the messageQueue" (#1345, open).
// In each round the network thread reads at most one packet from one socket and then
// calls the message callback for at most one message queued for that socket's handle.
// Messages can be left in a handle's queue (a round that ends in a socket error after
// its message was queued hands nothing over), and the client has been seen, after a
// storm of cuts, to hold hundreds of arrived messages while connected; how those piled
// up was not traced to one line of the library. Held messages wait for later
// packets: while the broker's messages keep coming, one in and one out, the backlog
// never shrinks, every message arriving behind it is as late, and on a quiet link it
// moves one message per keep-alive answer (never, without a keep-alive). Seen: a
// message published 16 s earlier handed over only after eight PINGRESPs of a 2 s
// keep-alive.
// What is done: the keep-alive watch (keepalive_blind_spots.cpp) reads how many
// messages the library holds for each connected client (hidden_record.h). When some
// have been held for kHeldFor without one being handed over, it asks the client's event
// thread, which asks the broker for answers: an UNSUBSCRIBE from a filter no client
// subscribes to, whose UNSUBACK is a packet on that connection, so each one moves one
// message. As many as the library holds (at most kMostPerRequest per request), each
// after the last one's answer; the broker's subscriptions do not change.
// Still needed? tests/test_storm.py: after the storm, the check message reaches every
// client within 10 s. Or read MQTTClient_run: when it hands over every queued message
// of a handle in one round (or on a timeout round), remove this.
#include "../sdk.h"

#include "../events.h"
#include "hidden_socket.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace {

// A topic filter no client subscribes to: its UNSUBSCRIBE removes nothing. Topics that
// begin with '$' are the broker's; an application does not subscribe to this one.
constexpr const char *kNoSubscription = "$tarnu-sdk/no-subscription";
// The answers asked for per request of the watch; it asks again while messages are held.
constexpr int kMostPerRequest = 256;

}  // namespace

void SDK::handOverHeldMessages() {
    // On the event thread, holding nothing; no Python. The watch asks only while this
    // client's queue is empty (while messages wait there, the library's thread may wait
    // for room, holding its current message back for that reason alone). Each answer is
    // waited for with the queue held open: the network thread must not wait for room
    // while it reads the answer. The messages moved meanwhile are delivered after this
    // returns, which it does once the queue is a quarter full.
    std::shared_lock<tarnu::HandleGate> using_(handleGate);
    if (client == nullptr || !record.known()) {
        return;
    }
    const int held = std::min(record.queuedMessages(), kMostPerRequest);
    const tarnu::SendAtOnce now(currentLink());  // each call waits for its answer
    for (int asked = 0; asked < held; ++asked) {
        if (!life.isConnected() || life.someoneEnding() || record.queuedMessages() <= 0 ||
            !events->roomy()) {
            return;
        }
        // Never beside the program's own subscribe or unsubscribe (they would take each
        // other's answers, see subscribeMutex); the watch asks again later.
        std::unique_lock<std::mutex> answer(subscribeMutex, std::try_to_lock);
        if (!answer.owns_lock()) {
            return;
        }
        tarnu::QueueHeldOpen open(*events);
        if (MQTTClient_unsubscribe(client, kNoSubscription) != MQTTCLIENT_SUCCESS) {
            return;
        }
    }
}
