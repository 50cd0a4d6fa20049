// Shared and exclusive use of one client's library handle.
//
// publish, subscribe and unsubscribe use the handle side by side (shared); a library
// connect or disconnect, and the release of the handle, need it to themselves
// (exclusive): a call still inside the library when the link is lost closes the
// library's socket as it returns, so a reconnection must not begin until it has
// returned, and a handle must not be released while a call uses it. A thread waiting
// for exclusive use keeps new shared users out, so a stream of publishes cannot hold
// off stop() or disconnect().
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

namespace tarnu {

class HandleGate {
public:
    void lock_shared() {
        std::unique_lock<std::mutex> guard(mutex);
        changed->wait(guard, [this] { return !writer && writersWaiting == 0; });
        ++readers;
    }
    void unlock_shared() {
        std::lock_guard<std::mutex> guard(mutex);
        if (--readers == 0) {
            changed->notify_all();
        }
    }
    void lock() {
        std::unique_lock<std::mutex> guard(mutex);
        ++writersWaiting;
        changed->wait(guard, [this] { return !writer && readers == 0; });
        --writersWaiting;
        writer = true;
    }
    void unlock() {
        std::lock_guard<std::mutex> guard(mutex);
        writer = false;
        changed->notify_all();
    }
    // In a forked child: the condition variable may have had waiters among the
    // parent's threads, and destroying it would wait for them for ever.
    void abandon() { changed.release(); }

private:
    std::mutex mutex;
    std::unique_ptr<std::condition_variable> changed = std::make_unique<std::condition_variable>();
    int readers = 0;
    int writersWaiting = 0;
    bool writer = false;
};

}  // namespace tarnu
