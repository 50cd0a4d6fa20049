#include "events.h"

#include "host.h"
#include "log.h"

#include <atomic>
#include <chrono>
#include <cxxabi.h>
#include <optional>
#include <utility>

namespace tarnu {
namespace {

// Messages delivered under one hold of callbackMutex and the interpreter lock.
constexpr std::size_t kMessagesPerHold = 512;

// Methods of any client running inside a handler, process-wide.
std::atomic<int> handlersInMethods{0};
// Handler calls in progress on this thread.
thread_local int handlerDepth = 0;
// The queues whose handlers this thread is calling right now, innermost first. While
// there is one, the thread waits for no other client's handler or turn (sdk.h).
struct DeliveringMark;
thread_local const DeliveringMark *innermostMark = nullptr;

struct HandlerFrame {
    HandlerFrame() { ++handlerDepth; }
    ~HandlerFrame() { --handlerDepth; }
    HandlerFrame(const HandlerFrame &) = delete;
    HandlerFrame &operator=(const HandlerFrame &) = delete;
};

// Marks the calling thread as one calling a queue's handlers.
struct DeliveringMark {
    explicit DeliveringMark(const EventThread *queue) : queue(queue), outer(innermostMark) {
        innermostMark = this;
    }
    ~DeliveringMark() { innermostMark = outer; }
    DeliveringMark(const DeliveringMark &) = delete;
    DeliveringMark &operator=(const DeliveringMark &) = delete;

    const EventThread *queue;
    const DeliveringMark *outer;
};

// Handlers that cannot be released because the interpreter is shutting down: their
// Python objects may not be touched any more, so they are kept until the process ends.
template <class Handler>
void keepForever(std::shared_ptr<const Handler> &handler) {
    if (handler) {
        std::make_unique<std::shared_ptr<const Handler>>(std::move(handler)).release();
    }
}

}  // namespace

MethodScope::MethodScope() : counted(handlerDepth > 0) {
    if (counted) {
        handlersInMethods.fetch_add(1);
    }
}

MethodScope::~MethodScope() {
    if (counted) {
        handlersInMethods.fetch_sub(1);
    }
}

// callbackMutex, then the interpreter lock, held by the event thread while it
// calls handlers; both taken lazily and given back together.
class EventThread::Delivery {
public:
    Delivery(EventThread &events, host::ThreadInterpreter &interpreter)
        : events(events), interpreter(interpreter) {}
    ~Delivery() { release(); }
    Delivery(const Delivery &) = delete;
    Delivery &operator=(const Delivery &) = delete;

    void lock() {
        if (!callbacks.owns_lock()) {
            callbacks = std::unique_lock<std::mutex>(events.callbackMutex);
            mark.emplace(&events);
        }
    }
    // False when the interpreter is shutting down and no handler may run. Checked
    // before every call, so a batch stops as soon as the interpreter starts to exit.
    bool python() {
        lock();
        if (!interpreter.held()) {
            return interpreter.acquire();
        }
        if (host::available()) {
            return true;
        }
        interpreter.release();
        return false;
    }
    void release() {
        if (interpreter.held()) {
            interpreter.release();
        }
        if (callbacks.owns_lock()) {
            mark.reset();
            callbacks.unlock();
        }
    }

private:
    EventThread &events;
    host::ThreadInterpreter &interpreter;
    std::unique_lock<std::mutex> callbacks;
    std::optional<DeliveringMark> mark;
};

EventThread::~EventThread() {
    // Released in this order: the connection handler, then the message handler.
    if (host::available()) {
        connectionHandler.reset();
        messageHandler.reset();
    } else {
        keepForever(connectionHandler);
        keepForever(messageHandler);
    }
}

void EventThread::start(SDK *client) {
    std::lock_guard<std::mutex> lock(queueMutex);
    owner = client;
    if (!thread.joinable() && !quitting) {
        thread = std::thread([self = shared_from_this()] { self->run(); });
    }
}

bool EventThread::mayWaitForRoom() const {
    return !quitting && !connecting && openHolds == 0 && currentTurn == nullptr &&
           handlersInMethods.load() == 0;
}

void EventThread::wakeConsumer() {
    if (consumerWaiting) {
        notEmpty.notify_one();
    }
}

bool EventThread::callingHandlers() { return innermostMark != nullptr; }

template <class Handler>
std::shared_ptr<const Handler> EventThread::current(const std::shared_ptr<const Handler> &slot) {
    std::lock_guard<std::mutex> lock(slotMutex);
    return slot;
}

template <class Handler>
void EventThread::replace(std::shared_ptr<const Handler> &slot, Handler handler) {
    std::shared_ptr<const Handler> next;
    if (handler) {
        next = std::make_shared<const Handler>(std::move(handler));
    }
    if (callingHandlers()) {
        // Inside a handler (of this client or another): waiting for this client's
        // running handler could wait for ever (it may be waiting for ours). The
        // running call keeps its own reference to the handler it is running; every
        // later event uses the new one.
        {
            std::lock_guard<std::mutex> lock(slotMutex);
            slot.swap(next);
        }
        return;  // the old handler is released here, outside both locks
    }
    std::lock_guard<std::mutex> lock(callbackMutex);
    {
        std::lock_guard<std::mutex> slotLock(slotMutex);
        slot.swap(next);
    }
    next.reset();  // the old handler goes now, with callbackMutex held
}

void EventThread::setMessageHandler(MessageHandler handler) {
    replace(messageHandler, std::move(handler));
}

void EventThread::setConnectionHandler(ConnectionHandler handler) {
    replace(connectionHandler, std::move(handler));
}

void EventThread::run() {
    host::ThreadInterpreter interpreter;
    std::deque<Event> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            consumerWaiting = true;
            notEmpty.wait(lock, [this] { return !queue.empty() || quitting; });
            consumerWaiting = false;
            if (queue.empty()) {
                break;  // finishing, and everything queued has been delivered
            }
            batch.swap(queue);
            queuedBytes = 0;
            if (producersWaiting > 0) {
                notFull.notify_all();
            }
        }
        deliver(batch, interpreter);
        batch.clear();
    }
}

void EventThread::deliver(std::deque<Event> &batch, host::ThreadInterpreter &interpreter) {
    Delivery delivery(*this, interpreter);
    std::size_t held = 0;
    for (Event &event : batch) {
        if (event.kind == Event::HandOver) {
            delivery.release();  // no Python: the owner asks its broker for an answer
            {
                std::lock_guard<std::mutex> lock(queueMutex);
                handOverQueued = false;
            }
            withOwner([](SDK &client) { client.handOverHeldMessages(); });
            continue;
        }
        if (event.kind == Event::Message) {
            if (discarding.load()) {
                continue;
            }
            delivery.lock();
            std::shared_ptr<const MessageHandler> handler = current(messageHandler);
            if (!handler || !delivery.python()) {
                continue;  // no handler, or the interpreter is going away: dropped
            }
            {
                HandlerFrame frame;
                try {
                    host::callMessageHandler(*handler, event.topic, event.payload);
                } catch (abi::__forced_unwind &) {
                    // The exiting interpreter ends this thread: it holds nothing now.
                    interpreter.abandon();
                    throw;
                } catch (...) {
                    host::reportMessageHandlerError(*handler);
                }
            }
            handler.reset();  // may be the last reference: drop it under the interpreter lock
            if (++held == kMessagesPerHold) {
                delivery.release();  // let setters and other threads in
                held = 0;
            }
            continue;
        }
        if (event.turn != nullptr) {
            delivery.release();
            takeTurn(event.turn);
            continue;
        }
        if (!event.line.empty()) {
            delivery.release();  // a console nobody reads holds up nothing but this thread
            if (event.lineToErr) {
                // The loss line: dropped if standard error does not take it within a
                // second, so that the loss is still reported and followed.
                tarnu::log::errWithin(event.line, std::chrono::milliseconds(1000));
            } else {
                tarnu::log::out(event.line);
            }
        }
        delivery.lock();
        std::shared_ptr<const ConnectionHandler> handler = current(connectionHandler);
        if (handler && delivery.python()) {
            HandlerFrame frame;
            try {
                host::callConnectionHandler(*handler, event.up, event.code);
            } catch (abi::__forced_unwind &) {
                interpreter.abandon();
                throw;
            } catch (...) {
                host::reportConnectionHandlerError(*handler);
            }
        }
        handler.reset();
        if (event.lost) {
            // The loss has been reported; only now may a reconnection begin.
            delivery.release();
            withOwner([](SDK &client) { client.afterLossReported(); });
        }
    }
}

template <class Use>
void EventThread::withOwner(Use &&use) {
    SDK *client = nullptr;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        client = owner;
        ownerInUse = client != nullptr;
    }
    if (client != nullptr) {
        use(*client);
        std::lock_guard<std::mutex> lock(queueMutex);
        ownerInUse = false;
        ownerFree.notify_all();
    }
}

void EventThread::takeTurn(Turn *turn) {
    std::unique_lock<std::mutex> lock(queueMutex);
    currentTurn = turn;
    turn->ready = true;
    turnCv.notify_all();
    if (producersWaiting > 0) {
        notFull.notify_all();  // the queue does not drain while the caller has its turn
    }
    turnCv.wait(lock, [this] { return currentTurn == nullptr; });
}

void EventThread::awaitTurn(Turn &turn, bool up, int code, bool rethrow) {
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        turnCv.wait(lock, [&turn] { return turn.ready; });
    }
    // Hands the order back to the event thread on every way out.
    struct TurnDone {
        EventThread &events;
        ~TurnDone() {
            std::lock_guard<std::mutex> lock(events.queueMutex);
            events.currentTurn = nullptr;
            events.turnCv.notify_all();
        }
    } done{*this};
    std::unique_lock<std::mutex> callbacks(callbackMutex);
    DeliveringMark mark(this);
    std::shared_ptr<const ConnectionHandler> handler = current(connectionHandler);
    if (!handler || !host::available()) {
        return;
    }
    host::CallerInterpreter interpreter;
    HandlerFrame frame;
    try {
        host::callConnectionHandler(*handler, up, code);
    } catch (abi::__forced_unwind &) {
        interpreter.abandon();
        throw;
    } catch (...) {
        if (rethrow) {
            throw;
        }
        host::reportConnectionHandlerError(*handler);
    }
}

void EventThread::finish() {
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        quitting = true;
        owner = nullptr;
        notEmpty.notify_all();
        notFull.notify_all();
        // The event thread may be using the owner (starting its reconnection, or asking
        // for held messages; it took the owner before it was cleared): the owner is not
        // let go until it has. Never on the event thread itself, which is not inside
        // withOwner when it gets here.
        if (thread.get_id() != std::this_thread::get_id()) {
            ownerFree.wait(lock, [this] { return !ownerInUse; });
        }
    }
    if (!thread.joinable()) {
        return;
    }
    // The thread holds its own reference and ends by itself when it is detached:
    // from its own handler, or when the interpreter exits and a handler may never
    // return (no handler is called any more then, so nothing is lost).
    if (thread.get_id() == std::this_thread::get_id() || !host::available()) {
        thread.detach();
        return;
    }
    thread.join();
}

}  // namespace tarnu
