#include "chores.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace tarnu::chores {
namespace {

class Runner final : public ChoreThread {
public:
    void at(Clock::time_point when, Chore chore) override {
        std::lock_guard<std::mutex> lock(mutex);
        due.emplace(when, std::move(chore));
        if (!thread.joinable()) {
            thread = std::thread([this] { run(); });
        }
        changed.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (due.empty()) {
                changed.wait(lock);
                continue;
            }
            const auto first = due.begin();
            if (first->first > Clock::now()) {
                changed.wait_until(lock, first->first);
                continue;
            }
            Chore chore = std::move(first->second);
            due.erase(first);
            lock.unlock();
            const std::optional<Clock::time_point> again = chore();
            lock.lock();
            if (again) {
                due.emplace(*again, std::move(chore));
            }
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::multimap<Clock::time_point, Chore> due;
    std::thread thread;
};

}  // namespace

ChoreThread &quick() {
    static Runner *instance = std::make_unique<Runner>().release();
    return *instance;
}

ChoreThread &library() {
    static Runner *instance = std::make_unique<Runner>().release();
    return *instance;
}

}  // namespace tarnu::chores
