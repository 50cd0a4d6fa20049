// The library's connect waits for its network thread's rounds.
//
// Library: MQTTClient_connect (MQTTClient_connectURIVersion) and MQTTClient_run, Paho C
// 1.3.10 to 1.3.16. The network thread waits on its sockets up to 100 ms at a time
// (MQTTClient_cycle, Socket_getReadySocket) and takes in a new connection's socket only
// at its next round; the connect waits for the CONNACK that thread reads. Each connect
// would lose 100 to 200 ms, and the library lets one connect run at a time in a process
// (its connect_mutex), so the naps add up across a process's clients.
// What is done: while a connect is under way, the network thread is woken every 2 ms
// through the anchor (network_thread_stops.cpp), on the quick chore thread (chores.h).
// Latency only: nothing depends on when the thread wakes.
// Still needed? Time a connect to a local broker with nothing else connected: about
// 200 ms without this (bench/native_ceiling), a few ms with it.
#include "process_wide.h"

#include "chores.h"

#include <memory>
#include <mutex>
#include <optional>

namespace tarnu::network {
namespace {

constexpr auto kEvery = std::chrono::milliseconds(2);

struct Nudges {
    std::mutex mutex;
    int connecting = 0;
    bool scheduled = false;
};

// Never destroyed: connects may be made while the process exits.
Nudges &nudges() {
    static Nudges *instance = std::make_unique<Nudges>().release();
    return *instance;
}

std::optional<chores::Clock::time_point> nudge() {
    Nudges &n = nudges();
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        if (n.connecting == 0) {
            n.scheduled = false;
            return std::nullopt;
        }
    }
    wakeNetworkThread();
    return chores::Clock::now() + kEvery;
}

}  // namespace

Connecting::Connecting() {
    Nudges &n = nudges();
    std::lock_guard<std::mutex> lock(n.mutex);
    if (n.connecting++ == 0 && !n.scheduled) {
        n.scheduled = true;
        chores::quick().now(nudge);
    }
}

Connecting::~Connecting() {
    Nudges &n = nudges();
    std::lock_guard<std::mutex> lock(n.mutex);
    --n.connecting;
}

}  // namespace tarnu::network
