// Destroying library handles once the library's network thread cannot be using them.
//
// The network thread calls a handle's message callback with the library's lock
// released and, when the callback returns, takes the lock again and removes the
// message from the handle's queue: it touches the handle after the client's callback
// has returned. A handle destroyed in between is used after it was freed. The library
// gives no sign of having taken its lock again, so a handle is destroyed only
//   1. once the library holds no arrived message for it (no delivery can start: the
//      handle is disconnected, so no new message arrives), and
//   2. after the network thread has carried a message to the anchor (network.h): it
//      finishes one delivery, lock and queue work included, before it starts the next.
// Both are waited for here, on a thread of its own, so that stop() never waits for
// the network thread, nor for another client's connect, which the library's destroy
// also waits for. Without an anchor (no loopback interface) the second step becomes a
// wait of kWithoutAnchor, far longer than that window.
#include "network.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace tarnu::network {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPass = std::chrono::milliseconds(1000);
constexpr auto kWithoutAnchor = std::chrono::seconds(2);
// While a handle still holds arrived messages (the library delivers them later), it
// is looked at again after this long; after kPatience, less often: the library may
// never deliver them (it delivers a disconnected handle's messages only while no
// other disconnected handle comes before it in its list), and such a handle is kept.
constexpr auto kRecheck = std::chrono::milliseconds(50);
constexpr auto kPatience = std::chrono::seconds(5);
constexpr auto kSlowRecheck = std::chrono::seconds(1);

struct Retiring {
    MQTTClient handle;
    LibraryRecord record;
    Clock::time_point since;
};

class Reaper {
public:
    void add(MQTTClient handle, LibraryRecord record) {
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(Retiring{handle, record, Clock::now()});
        if (!thread.joinable()) {
            thread = std::thread([this] { run(); });
        }
        arrived.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            arrived.wait(lock, [this] { return !pending.empty(); });
            std::deque<Retiring> batch;
            batch.swap(pending);
            lock.unlock();
            std::deque<Retiring> later = destroyReady(batch);
            lock.lock();
            bool young = false;
            for (Retiring &r : later) {
                young = young || Clock::now() - r.since < kPatience;
                pending.push_back(r);
            }
            if (!later.empty()) {
                arrived.wait_for(lock, young ? kRecheck : kSlowRecheck);
            }
        }
    }

    static std::deque<Retiring> destroyReady(std::deque<Retiring> &batch) {
        std::deque<Retiring> ready;
        std::deque<Retiring> later;
        for (Retiring &r : batch) {
            if (!r.record.known()) {
                // Whether the library still holds messages for it cannot be told (the
                // library's record is not known): it is kept for the life of the process.
                continue;
            }
            (r.record.queuedMessages() > 0 ? later : ready).push_back(r);
        }
        if (ready.empty()) {
            return later;
        }
        // One pass of the network thread covers every handle whose queue is empty now.
        const bool passed = passThread(kPass);
        for (Retiring &r : ready) {
            if (passed || (!anchored() && Clock::now() - r.since >= kWithoutAnchor)) {
                MQTTClient_destroy(&r.handle);
            } else {
                later.push_back(r);  // the network thread is busy: try again
            }
        }
        return later;
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Retiring> pending;
    std::thread thread;
};

// Never destroyed: handles may be retired while the process exits.
Reaper &reaper() {
    static Reaper *instance = std::make_unique<Reaper>().release();
    return *instance;
}

}  // namespace

void retire(MQTTClient handle, LibraryRecord record) {
    if (handle != nullptr) {
        reaper().add(handle, record);
    }
}

}  // namespace tarnu::network
