// The transitions of a connection's life (connection_life.h), each one step under the
// lock.
#include "connection_life.h"

namespace tarnu {

void ConnectionLife::enter(Phase next) {
    phase = next;
    up.store(next == Phase::Up || next == Phase::Ending, std::memory_order_release);
}

void ConnectionLife::made(bool autoReconnect) {
    std::lock_guard<std::mutex> lock(mutex);
    closing = false;
    reconnect = autoReconnect;
    enter(Phase::Down);
}

void ConnectionLife::connected() {
    // From whatever phase: the library is connected now, even when stop began while the
    // worker's connect was under way (stop then disconnects it).
    std::lock_guard<std::mutex> lock(mutex);
    enter(Phase::Up);
}

bool ConnectionLife::beginEnding() {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase != Phase::Up) {
        return false;
    }
    enter(Phase::Ending);
    return true;
}

void ConnectionLife::disconnected() {
    std::lock_guard<std::mutex> lock(mutex);
    enter(Phase::Down);
}

void ConnectionLife::lost(bool endedByProgram) {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase == Phase::Up) {
        enter(endedByProgram || closing || ending.load() > 0 ? Phase::Down : Phase::Lost);
    } else if (phase == Phase::Ending) {
        // The library noticed the end before the program's own disconnect got there (a
        // broker that closed while disconnect waited for messages in flight): it is
        // still the program's end, and nothing reconnects.
        enter(Phase::Down);
    }
}

bool ConnectionLife::lossReported() {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase != Phase::Lost) {
        return false;  // connected again meanwhile, or ended by the program or stop
    }
    if (!reconnect) {
        enter(Phase::Down);
        return false;
    }
    enter(Phase::Reconnecting);
    if (workerAlive) {
        return false;  // a worker still in its back-off wait carries on
    }
    workerAlive = true;
    return true;
}

void ConnectionLife::workerFailed() {
    std::lock_guard<std::mutex> lock(mutex);
    workerAlive = false;
    if (phase == Phase::Reconnecting) {
        enter(Phase::Down);
    }
}

bool ConnectionLife::workerGoesOn() {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase == Phase::Reconnecting) {
        return true;  // (stop moves it to Down)
    }
    // Connected (by the worker or the program), stopped, or lost again before this test:
    // in the last case the loss's report starts a worker of its own.
    workerAlive = false;
    return false;
}

void ConnectionLife::pause(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    changed->wait_until(lock, deadline, [this] { return closing; });
}

void ConnectionLife::close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closeLocked();
    }
    changed->notify_all();
}

void ConnectionLife::closeLocked() {
    closing = true;
    if (phase == Phase::Lost || phase == Phase::Reconnecting) {
        enter(Phase::Down);
    }
}

void ConnectionLife::released() {
    std::lock_guard<std::mutex> lock(mutex);
    enter(Phase::Unmade);
}

void ConnectionLife::finishedAtExit() {
    std::lock_guard<std::mutex> lock(mutex);
    enter(Phase::Finished);
}

bool ConnectionLife::closeUnlessActive() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (phase == Phase::Up || phase == Phase::Ending || phase == Phase::Reconnecting ||
            workerAlive) {
            return true;
        }
        closeLocked();
    }
    changed->notify_all();
    return false;
}

void ConnectionLife::enterEnding() {
    // Under the lock, so that a loss is either before the thread began (and reconnected
    // as usual) or after (and its end).
    std::lock_guard<std::mutex> lock(mutex);
    ending.fetch_add(1);
}

void ConnectionLife::leaveEnding() {
    std::lock_guard<std::mutex> lock(mutex);
    ending.fetch_sub(1);
}

bool ConnectionLife::finished() const {
    std::lock_guard<std::mutex> lock(mutex);
    return phase == Phase::Finished;
}

}  // namespace tarnu
