// A mutex that is handed over in the order it was asked for.
//
// The methods of one client are serialised by it. With a plain mutex, a thread that
// calls publish in a tight loop takes the mutex back before a thread waiting in stop()
// or disconnect() is scheduled, for as long as the loop runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarnu {

class FairMutex {
public:
    void lock() {
        std::unique_lock<std::mutex> guard(mutex);
        const std::uint64_t mine = next++;
        if (mine != serving) {
            ++waiting;
            turn->wait(guard, [&] { return serving == mine; });
            --waiting;
        }
    }
    void unlock() {
        std::lock_guard<std::mutex> guard(mutex);
        ++serving;
        if (waiting > 0) {
            turn->notify_all();
        }
    }
    // In a forked child: the condition variable may have had waiters among the
    // parent's threads, and destroying it would wait for them for ever.
    void abandon() { turn.release(); }

private:
    std::mutex mutex;
    std::unique_ptr<std::condition_variable> turn = std::make_unique<std::condition_variable>();
    std::uint64_t next = 0;
    std::uint64_t serving = 0;
    int waiting = 0;
};

}  // namespace tarnu
