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
#include <functional>
#include <memory>
#include <string>
#include <utility>

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
    // How many messages the library has handed over so far (pushMessage calls).
    std::uint64_t messagesHandedOver() const { return handedOver.load(); }

    // Queues a connection event. `change` runs first, under the queue lock, so the
    // state change and the event's place in the order are one step. With `turn`,
    // the caller must call awaitTurn next and makes the handler call itself.
    template <class Change>
    void pushConnection(bool up, int code, Turn *turn, Change &&change) {
        std::lock_guard<std::mutex> lock(queueMutex);
        change();
        queue.push_back(Event{Event::Connection, up, code, false, turn, {}, {}, {}, false});
        wakeConsumer();
    }

    // A library connect of the owner is about to begin (program or worker). Until
    // endConnect, a loss the library reports and the messages that arrive are held
    // back, so that the handler sees the connection's (true, 0) first, then its
    // messages, then its loss, whichever thread got there first.
    void beginConnect();
    // The connect has returned. On success `up` runs and (true, 0) is queued (with
    // `turn`, as pushConnection), then the messages held back, then a loss held back.
    // `line`, if any, is written by whoever reports the (true, 0), just before (see
    // Event::line).
    template <class Up>
    void endConnect(bool succeeded, Turn *turn, Up &&up, std::string line = {}) {
        std::lock_guard<std::mutex> lock(queueMutex);
        connecting = false;
        if (succeeded) {
            up();
            queue.push_back(Event{Event::Connection, true, 0, false, turn, {}, {}, std::move(line), false});
            for (Event &event : early) {
                queue.push_back(std::move(event));
            }
        } else {
            for (const Event &event : early) {
                queuedBytes -= event.topic.size() + event.payload.size();
            }
        }
        early.clear();
        if (heldLoss && succeeded) {
            queueLoss(heldLoss, std::move(heldLossLine));
        }
        heldLoss = nullptr;
        heldLossLine.clear();
        wakeConsumer();
    }
    // From the library's loss callback: `lost` (the state change) runs and the loss is
    // queued now, or both wait for endConnect while a connect is under way. `line` goes
    // to standard error just before the loss is reported; after the handler call, the
    // owner decides whether to reconnect (SDK::afterLossReported).
    void pushLoss(std::function<void()> lost, std::string line);

    // From the keep-alive watch: the library holds arrived messages for the owner and
    // hands none over (paho_workarounds/messages_held_back.cpp). The event thread asks
    // the owner to get them moving (SDK::handOverHeldMessages), once per request still
    // queued; it never waits.
    void pushHandOver();
    // The queue is at most a quarter full, and the library's thread does not wait for
    // room in it.
    bool roomy();

    // Waits until the event thread reaches the caller's event, then calls the
    // connection handler on the calling thread. A handler error is thrown to the
    // caller when `rethrow` is set, else reported as unraisable.
    void awaitTurn(Turn &turn, bool up, int code, bool rethrow);

    void setMessageHandler(MessageHandler handler);
    void setConnectionHandler(ConnectionHandler handler);

    // While set (nesting), the library's thread never waits for room in the queue.
    void holdOpen(bool on);

    // True when the calling thread is calling handlers of any client (it holds that
    // client's callbackMutex): it must not wait for a turn in any queue, nor for a
    // handler of another client, or two clients' handlers could wait for each other.
    static bool callingHandlers();

    // The interpreter is exiting: messages queued and arriving from now on are dropped
    // (no message handler call starts any more); connection events still go through.
    void discardMessages();

    // The owner is going away: deliver what is queued, then end the thread. Called
    // on the event thread itself (the owner deallocated inside a handler), the
    // thread is detached and ends after the current handler returns.
    void finish();

private:
    struct Event {
        enum Kind { Message, Connection, HandOver } kind;
        bool up;
        int code;
        bool lost;
        Turn *turn;
        std::string topic;
        std::string payload;
        // A status line that belongs to a connection event the event thread reports:
        // written just before the handler call, holding no lock and not the interpreter
        // lock, so a console nobody reads holds up this client's events alone.
        std::string line;
        bool lineToErr = false;
    };
    class Delivery;

    template <class Handler>
    void replace(std::shared_ptr<const Handler> &slot, Handler handler);
    void run();
    void deliver(std::deque<Event> &batch, host::ThreadInterpreter &interpreter);
    void takeTurn(Turn *turn);
    // Runs `use` on the owner, which is held meanwhile: finish() waits for it before the
    // owner may go. Nothing when the owner is already gone.
    template <class Use>
    void withOwner(Use &&use);
    bool mayWaitForRoom() const;
    // With the queue lock held.
    void queueLoss(const std::function<void()> &lost, std::string line);
    template <class Handler>
    std::shared_ptr<const Handler> current(const std::shared_ptr<const Handler> &slot);
    // With the queue lock held: the line counting the messages dropped since the last
    // report, when a second has passed since it or when messages are queued again
    // (`resumed`); empty when none is due. Written by writeDrops after the lock is let go.
    std::string dropsLine(bool resumed);
    // On the library's thread, holding no lock: writes the line only if standard error
    // takes it at once (the library's thread must never wait on a console); a line not
    // taken is counted again for the next report.
    void writeDrops(std::string line);
    void wakeConsumer();

    std::mutex queueMutex;
    std::condition_variable notEmpty;
    std::condition_variable notFull;
    std::condition_variable turnCv;
    std::deque<Event> queue;
    std::size_t queuedBytes = 0;  // of the messages in queue and early
    // A connect under way (beginConnect): messages and a loss held back meanwhile.
    bool connecting = false;
    bool handOverQueued = false;
    std::atomic<std::uint64_t> handedOver{0};
    std::deque<Event> early;
    std::function<void()> heldLoss;
    std::string heldLossLine;
    bool consumerWaiting = false;
    int producersWaiting = 0;
    int openHolds = 0;
    bool quitting = false;
    std::atomic<bool> discarding{false};
    std::uint64_t dropped = 0;
    std::uint64_t reporting = 0;  // dropped messages in a line being written
    std::chrono::steady_clock::time_point lastDropReport{};
    Turn *currentTurn = nullptr;
    SDK *owner = nullptr;
    // The event thread is using `owner` outside the queue lock (finish waits for it).
    bool ownerInUse = false;
    std::condition_variable ownerFree;
    std::thread thread;

    // Held while handlers are called, and by a setter (outside any handler) while it
    // replaces one, so that a setter returns only once the handler it replaces is no
    // longer running.
    std::mutex callbackMutex;
    // Guards the two slots themselves, for a moment each time (it is taken with or
    // without the interpreter lock, and nothing is waited for while it is held).
    std::mutex slotMutex;
    std::shared_ptr<const MessageHandler> messageHandler;
    std::shared_ptr<const ConnectionHandler> connectionHandler;
};

// Brackets one library connect of a client (EventThread::beginConnect, endConnect); a
// connect left by an exception counts as failed.
// Keeps the library's thread from waiting on a full event queue for a scope.
class QueueHeldOpen {
public:
    explicit QueueHeldOpen(EventThread &events) : events(events) { events.holdOpen(true); }
    ~QueueHeldOpen() { events.holdOpen(false); }
    QueueHeldOpen(const QueueHeldOpen &) = delete;
    QueueHeldOpen &operator=(const QueueHeldOpen &) = delete;

private:
    EventThread &events;
};

class ConnectAnnouncement {
public:
    explicit ConnectAnnouncement(EventThread &events) : events(events) { events.beginConnect(); }
    ~ConnectAnnouncement() {
        if (!done) {
            failed();
        }
    }
    ConnectAnnouncement(const ConnectAnnouncement &) = delete;
    ConnectAnnouncement &operator=(const ConnectAnnouncement &) = delete;

    void failed() {
        done = true;
        events.endConnect(false, nullptr, [] {});
    }
    template <class Up>
    void succeeded(Turn *turn, Up &&up, std::string line = {}) {
        done = true;
        events.endConnect(true, turn, std::forward<Up>(up), std::move(line));
    }

private:
    EventThread &events;
    bool done = false;
};

}  // namespace tarnu
