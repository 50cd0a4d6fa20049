// The event thread of one client: a bounded queue of events and the thread that
// calls the handlers in the order the events happened. See the threading rules in
// sdk.h.
#pragma once

#include "sdk.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <memory>

namespace tarnu {
namespace host {
class ThreadInterpreter;
}

// A caller's place in the event order: connect, disconnect and stop queue their
// connection event with a Turn and then wait until the event thread reaches it.
struct Turn {
    bool ready = false;  // set by the event thread, under the queue lock
};

// Marks a method of any client that runs inside a handler: while one does, the
// library's thread never waits for room in an event queue.
class MethodScope {
public:
    MethodScope();
    ~MethodScope();
    MethodScope(const MethodScope &) = delete;
    MethodScope &operator=(const MethodScope &) = delete;

private:
    bool counted;
};

class EventThread : public std::enable_shared_from_this<EventThread> {
public:
    EventThread() = default;
    ~EventThread();
    EventThread(const EventThread &) = delete;
    EventThread &operator=(const EventThread &) = delete;

    // Starts the thread on the first call. `owner` starts the reconnection worker
    // after a loss has been reported.
    void start(SDK *owner);

    // From the library's callback thread. Waits while the queue is full.
    void pushMessage(std::string topic, std::string payload);

    // Queues a connection event. `change` runs first, under the queue lock, so the
    // state change and the event's place in the order are one step. With `turn`,
    // the caller must call awaitTurn next and makes the handler call itself.
    template <class Change>
    void pushConnection(bool up, int code, bool lost, Turn *turn, Change &&change) {
        std::lock_guard<std::mutex> lock(queueMutex);
        change();
        queue.push_back(Event{Event::Connection, up, code, lost, turn, {}, {}});
        wakeConsumer();
    }

    // Waits until the event thread reaches the caller's event, then calls the
    // connection handler on the calling thread. A handler error is thrown to the
    // caller when `rethrow` is set, else reported as unraisable.
    void awaitTurn(Turn &turn, bool up, int code, bool rethrow);

    // True on the thread that is calling this queue's handlers right now (the
    // event thread, or a caller in its turn): such a thread must not wait for a turn.
    bool delivering() const;

    void setMessageHandler(MessageHandler handler);
    void setConnectionHandler(ConnectionHandler handler);

    // While set (nesting), the library's thread never waits for room in the queue.
    void holdOpen(bool on);

    // The interpreter is exiting: messages queued and arriving from now on are dropped
    // (no message handler call starts any more); connection events still go through.
    void discardMessages();

    // The owner is going away: deliver what is queued, then end the thread. Called
    // on the event thread itself (the owner deallocated inside a handler), the
    // thread is detached and ends after the current handler returns.
    void finish();

private:
    struct Event {
        enum Kind { Message, Connection } kind;
        bool up;
        int code;
        bool lost;
        Turn *turn;
        std::string topic;
        std::string payload;
    };
    class Delivery;

    template <class Handler>
    void replace(std::shared_ptr<const Handler> &slot, Handler handler);
    void run();
    void deliver(std::deque<Event> &batch, host::ThreadInterpreter &interpreter);
    void takeTurn(Turn *turn);
    bool mayWaitForRoom() const;
    // Writes the count of messages dropped since the last report, when a second has
    // passed since it or when messages are queued again (`resumed`).
    void reportDrops(bool resumed);
    void wakeConsumer();

    std::mutex queueMutex;
    std::condition_variable notEmpty;
    std::condition_variable notFull;
    std::condition_variable turnCv;
    std::deque<Event> queue;
    std::size_t queuedBytes = 0;
    bool consumerWaiting = false;
    int producersWaiting = 0;
    int openHolds = 0;
    bool quitting = false;
    std::atomic<bool> discarding{false};
    std::uint64_t dropped = 0;
    std::chrono::steady_clock::time_point lastDropReport{};
    Turn *currentTurn = nullptr;
    SDK *owner = nullptr;
    std::thread thread;

    // Guards both handlers while one is replaced or called.
    std::mutex callbackMutex;
    std::shared_ptr<const MessageHandler> messageHandler;
    std::shared_ptr<const ConnectionHandler> connectionHandler;
};

}  // namespace tarnu
