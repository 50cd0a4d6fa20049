// The library's network thread uses a handle after the client's callback returns.
//
// Library: MQTTClient_run (its delivery of a queued message) and MQTTClient_destroy,
// Paho C 1.3.10 to 1.3.16. The network thread calls a handle's message callback with the
// library's lock released and, when the callback returns, takes the lock again and
// removes the message from the handle's queue: it touches the handle after the client's
// callback has returned. A handle destroyed in between is used after it was freed. The
// library gives no sign of having taken its lock again, so a handle is destroyed only
//   1. once the library holds no arrived message for it (no delivery can start: the
//      handle is disconnected, so no new message arrives), and
//   2. after the network thread has carried a message to the anchor
//      (network_thread_stops.cpp): it finishes one delivery, lock and queue work
//      included, before it starts the next.
// Both are waited for here, on the library chore thread (chores.h), so that stop() never
// waits for the network thread, nor for another client's connect, which the library's
// destroy also waits for. Without an anchor (no loopback interface) the second step
// becomes a wait of kWithoutAnchor, far longer than that window. Without the library's
// record (hidden_record.h) the first cannot be told, and the handle is kept.
// Still needed? If a release takes its lock back before it calls messageArrived's caller
// back, or frees handles only from its own thread: destroy at once, and run
// `make asan-stress` (10,000 clients dropped inside their handler).
#include "process_wide.h"

#include "chores.h"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

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
        if (!scheduled) {
            scheduled = true;
            chores::library().now([this] { return round(); });
        }
    }

private:
    // Destroys what it can; comes back while some handle waits.
    std::optional<chores::Clock::time_point> round() {
        std::deque<Retiring> batch;
        {
            std::lock_guard<std::mutex> lock(mutex);
            batch.swap(pending);
        }
        std::deque<Retiring> later = destroyReady(batch);
        std::lock_guard<std::mutex> lock(mutex);
        bool young = false;
        for (Retiring &r : later) {
            young = young || Clock::now() - r.since < kPatience;
            pending.push_back(r);
        }
        if (pending.empty()) {
            scheduled = false;
            return std::nullopt;
        }
        // Handles added during this round are looked at soon; the others wait.
        return Clock::now() + (!later.empty() && pending.size() == later.size()
                                   ? (young ? kRecheck : kSlowRecheck)
                                   : std::chrono::milliseconds(0));
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
    std::deque<Retiring> pending;
    bool scheduled = false;  // a round is scheduled or under way
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
