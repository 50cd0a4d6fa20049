// What the library's threads and the connecting threads put into a client's event
// queue: messages (bounded, see sdk.h, Back-pressure), losses, and the messages and
// loss held aside while a connect has not yet reported its (true, 0).
#include "events.h"

#include "log.h"

#include <chrono>
#include <utility>

namespace tarnu {
namespace {

// Room in one client's queue before the library's thread waits (back-pressure).
constexpr std::size_t kMaxQueuedMessages = 8192;
constexpr std::size_t kMaxQueuedBytes = std::size_t{32} << 20;
// While the library's thread may not wait for room (see sdk.h, Back-pressure), the
// queue grows up to this many times those bounds; past them messages are dropped,
// counted, and reported once per second of dropping.
constexpr std::size_t kOverflowFactor = 8;
constexpr auto kDropReport = std::chrono::seconds(1);

}  // namespace

void EventThread::pushMessage(std::string topic, std::string payload) {
    handedOver.fetch_add(1);
    const std::size_t bytes = topic.size() + payload.size();
    std::string report;
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        if (discarding.load()) {
            return;
        }
        while (!queue.empty() &&
               (queue.size() >= kMaxQueuedMessages || queuedBytes + bytes > kMaxQueuedBytes) &&
               mayWaitForRoom()) {
            // Re-checked in short slices: the conditions that lift the wait (a handler
            // entering a method of another client) are not signalled to this queue.
            ++producersWaiting;
            notFull.wait_for(lock, std::chrono::milliseconds(20));
            --producersWaiting;
        }
        const std::size_t count = queue.size() + early.size();
        if (count > 0 && (count >= kOverflowFactor * kMaxQueuedMessages ||
                          queuedBytes + bytes > kOverflowFactor * kMaxQueuedBytes)) {
            if (dropped == 0 && reporting == 0) {
                lastDropReport = std::chrono::steady_clock::now();  // a second of dropping begins
            }
            ++dropped;
            report = dropsLine(false);
        } else {
            report = dropsLine(true);
            queuedBytes += bytes;
            (connecting ? early : queue)
                .push_back(Event{Event::Message, false, 0, false, nullptr, std::move(topic),
                                 std::move(payload), {}, false});
            if (!connecting) {
                wakeConsumer();
            }
        }
    }
    if (!report.empty()) {
        writeDrops(std::move(report));
    }
}

void EventThread::beginConnect() {
    std::lock_guard<std::mutex> lock(queueMutex);
    connecting = true;
}

void EventThread::pushLoss(std::function<void()> lost, std::string line) {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (connecting) {
        heldLoss = std::move(lost);
        heldLossLine = std::move(line);
        return;
    }
    queueLoss(lost, std::move(line));
    wakeConsumer();
}

void EventThread::pushHandOver() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (handOverQueued || discarding.load() || !queue.empty() || producersWaiting > 0) {
        // One request at a time; none once the interpreter exits; none while messages
        // wait here: the library's thread waits for room then, and holds its current
        // message back meanwhile (it is not held back for good).
        return;
    }
    handOverQueued = true;
    queue.push_back(Event{Event::HandOver, false, 0, false, nullptr, {}, {}, {}, false});
    wakeConsumer();
}

bool EventThread::roomy() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.size() < kMaxQueuedMessages / 4 && producersWaiting == 0;
}

void EventThread::queueLoss(const std::function<void()> &lost, std::string line) {
    lost();
    queue.push_back(Event{Event::Connection, false, -1, true, nullptr, {}, {}, std::move(line), true});
}

std::string EventThread::dropsLine(bool resumed) {
    if (dropped == 0 || reporting != 0) {
        return {};
    }
    const auto now = std::chrono::steady_clock::now();
    if (!resumed && now - lastDropReport < kDropReport) {
        return {};
    }
    reporting = dropped;
    dropped = 0;
    lastDropReport = now;
    return "[SDK] Message queue full, dropped " + std::to_string(reporting) + " messages";
}

void EventThread::writeDrops(std::string line) {
    const bool written = tarnu::log::errWithin(line, std::chrono::milliseconds(0));
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!written) {
        dropped += reporting;  // counted again in the next report
    }
    reporting = 0;
}

void EventThread::discardMessages() {
    std::lock_guard<std::mutex> lock(queueMutex);
    discarding.store(true);
    std::deque<Event> kept;
    for (Event &event : queue) {
        if (event.kind != Event::Message) {
            kept.push_back(std::move(event));
        }
    }
    queue.swap(kept);
    early.clear();
    queuedBytes = 0;
    if (producersWaiting > 0) {
        notFull.notify_all();
    }
}

void EventThread::holdOpen(bool on) {
    std::lock_guard<std::mutex> lock(queueMutex);
    openHolds += on ? 1 : -1;
    if (producersWaiting > 0) {
        notFull.notify_all();
    }
}

}  // namespace tarnu
