// Connection loss and the background reconnection with a doubling, capped back-off.
#include "sdk.h"

#include "events.h"
#include "log.h"
#include "paho_workarounds/hidden_socket.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <system_error>

namespace {

// The shortest wait between two attempts. A cap of 0 (or less) asks for no wait at
// all, which against a broker that refuses at once would be a tight loop of connects and
// log lines: at most ten attempts a second instead (the lines still say 0s).
constexpr auto kMinimumWait = std::chrono::milliseconds(100);

// The wait after `delay`: doubled, limited to the cap, computed wide so that a cap
// near the top of the 32-bit range cannot overflow. A negative cap counts as 0.
int nextDelay(int delay, int cap) {
    const std::int64_t doubled = std::int64_t{delay} * 2;
    const std::int64_t limit = std::max(cap, 0);
    return static_cast<int>(std::min(doubled, limit));
}

}  // namespace

void SDK::connectionLost(const char *cause) {
    // On a library thread: no Python, no library calls, no console, nothing that can
    // block long. (The library waits 5 s for this callback and then frees what the
    // thread that called it still uses.)
    // The library reports the loss of a connection before any later one can be made, so
    // the link held now is the lost connection's.
    const std::shared_ptr<const tarnu::BrokerLink> lost = currentLink();
    const bool endedByProgram = lost != nullptr && lost->endedByProgram();
    dropLink();  // the library has closed its descriptor; ours goes too
    life.countLoss();
    if (connectOptions.cleansession != 0) {
        inflight.forget();  // the library ended the session and dropped its messages
    }
    // The line is written by the event thread, just before it reports the loss: this
    // thread writes nothing.
    events->pushLoss([this, endedByProgram] { life.lost(endedByProgram); },
                     std::string("[SDK] Connection lost: ") + (cause != nullptr ? cause : "unknown"));
    // Only now do the publishes waiting for room or completion stop waiting: one that
    // returned for the loss finds is_connected() false (unless a connect under way holds
    // the loss aside until its own (true, 0)).
    inflight.wake();
}

void SDK::afterLossReported() {
    std::lock_guard<std::mutex> lock(workerMutex);
    if (!life.lossReported()) {
        return;  // not to be reconnected, or a worker still alive carries on
    }
    if (reconnectThread.joinable()) {
        reconnectThread.join();  // a worker that has ended: it holds nothing any more
    }
    try {
        reconnectThread = std::thread([this] { reconnectLoop(); });
    } catch (const std::system_error &) {
        life.workerFailed();
        tarnu::log::err("[SDK] Reconnect failed to start a thread");
    }
}

void SDK::reconnectLoop() {
    int delay = 1;
    for (;;) {
        {
            std::lock_guard<std::mutex> connecting(connectMutex);
            if (!life.workerGoesOn()) {
                return;  // connected, stopped, or a later loss starts a worker of its own
            }
            tarnu::log::out("[SDK] Attempting to reconnect...");
            tarnu::ConnectAnnouncement announcement(*events);
            int rc = libraryConnect();
            if (rc == MQTTCLIENT_SUCCESS) {
                // The line is written by the event thread, just before the (true, 0).
                announcement.succeeded(nullptr, [this] { life.connected(); },
                                       "[SDK] Reconnected successfully to " + serverUri);
                delay = 1;
                continue;  // the loop test ends the worker
            }
            announcement.failed();
            tarnu::log::err("[SDK] Reconnect failed, rc=" + std::to_string(rc) +
                            ". Retrying in " + std::to_string(delay) + "s");
        }
        life.pause(std::chrono::steady_clock::now() +
                   std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(delay),
                                                                 kMinimumWait));
        delay = nextDelay(delay, maxReconnectInterval);
    }
}
