// The life of one client's connection, as one state under one lock.
//
//   phase          what happens                                   next phase
//   -------------- ---------------------------------------------- ---------------------------
//   Unmade,        init makes a library client                    Down
//    Finished
//   Down, Lost,    a library connect succeeds (the program's or   Up
//    Reconnecting  the worker's), with the queueing of (true, 0)
//   Up             disconnect or stop, holding opMutex, begins    Ending
//                  the library's disconnect
//   Ending, Down   the program's (false, 0) is queued             Down
//   Up             the library reports the loss                   Lost; Down when a thread in
//                                                                 stop, disconnect, init or
//                                                                 the teardown is under way
//                                                                 (or cut the link), or stop
//                                                                 has begun
//   Ending         the library reports the loss                   Down (still the program's end)
//   Lost           the handler has heard of the loss              Reconnecting (the worker);
//                                                                 Down without auto-reconnection
//   Reconnecting   the worker thread cannot be started            Down
//   Lost,          stop begins (or the interpreter's exit)        Down
//    Reconnecting
//   any            the library handle is released                 Unmade
//   Unmade         the interpreter's exit stopped the client      Finished (nothing left to say)
//   A loss reported in any other phase changes nothing.
//
// Besides the phase, under the same lock: whether stop has begun (`closing`: nothing
// reconnects until the next init) and whether a worker thread is alive (it may be in
// its back-off wait after the program connected, and carries on if that connection is
// lost again and reported before it looks). The lock is a leaf: it is taken under the
// event queue's lock (a connection's state changes with the queueing of its event, see
// events.h) and nothing is taken under it. See the threading rules in sdk.h.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarnu {

class ConnectionLife {
public:
    enum class Phase { Unmade, Down, Up, Ending, Lost, Reconnecting, Finished };

    // init: a library client was made.
    void made(bool autoReconnect);
    // A library connect succeeded (the program's or the worker's), with the queueing of
    // its (true, 0).
    void connected();
    // disconnect or stop is about to end a connection: false when there is none (the
    // caller writes "Not connected"). A loss from now on is the program's end.
    bool beginEnding();
    // With the queueing of the program's (false, 0).
    void disconnected();
    // The library reported the loss of the connection, with the queueing of its
    // (false, -1). `endedByProgram`: a thread ending the connection cut its link.
    void lost(bool endedByProgram);
    // After the handler has heard of the loss: true when a worker thread must start now
    // (it is then counted alive; workerFailed() if it cannot be started).
    bool lossReported();
    void workerFailed();
    // The worker's test before each attempt: false when it must end (connected, stopped,
    // or the loss not to be reconnected); it then counts as ended.
    bool workerGoesOn();
    // The worker's back-off wait: until `deadline` or until stop begins.
    void pause(std::chrono::steady_clock::time_point deadline);
    // stop (or the interpreter's exit) has begun: nothing reconnects any more, and a
    // worker in its back-off wait ends at once.
    void close();
    // At the interpreter's exit: true when the client is connected or reconnecting (the
    // caller stops it); otherwise closes it in the same step, so that no loss report can
    // start a worker in between.
    bool closeUnlessActive();
    // The library handle was released (stop, a second init, the teardown).
    void released();
    // The interpreter's exit stopped the client: its teardown has nothing more to say.
    void finishedAtExit();

    bool finished() const;
    // Read without the lock on every publish: Up or Ending.
    bool isConnected() const { return up.load(std::memory_order_acquire); }

    // Counts the library's reports of a loss, at once (before the loss's event, which
    // a connect under way may hold aside): a publish's wait ends at the one after it
    // began.
    void countLoss() { losses.fetch_add(1); }
    std::uint64_t lossCount() const { return losses.load(); }

    // A thread enters or leaves stop, disconnect, a second init or the teardown (Ending in
    // client.cpp): a publish waiting for room or for its completion gives up for it, and
    // a loss the library reports meanwhile is that thread's end, not to be reconnected.
    void enterEnding();
    void leaveEnding();
    bool someoneEnding() const { return ending.load() > 0; }

    // A forked child leaves the wait alone (see SDK::abandonInherited).
    void abandon() { changed.release(); }

private:
    void enter(Phase next);  // with the lock held
    void closeLocked();      // close(), with the lock held

    mutable std::mutex mutex;
    std::unique_ptr<std::condition_variable> changed = std::make_unique<std::condition_variable>();
    Phase phase = Phase::Unmade;
    bool closing = false;
    bool workerAlive = false;
    bool reconnect = true;
    std::atomic<bool> up{false};
    std::atomic<std::uint64_t> losses{0};
    std::atomic<int> ending{0};
};

}  // namespace tarnu
