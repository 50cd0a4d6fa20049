#include "inflight.h"

namespace tarnu {

InFlight::Outcome InFlight::reserve(Clock::time_point deadline, const GiveUp &giveUp) {
    std::unique_lock<std::mutex> lock(mutex);
    while (static_cast<int>(entries) + reserved >= kWindow) {
        if (giveUp()) {
            return Outcome::gaveUp;
        }
        if (changed->wait_until(lock, deadline) == std::cv_status::timeout &&
            static_cast<int>(entries) + reserved >= kWindow) {
            return giveUp() ? Outcome::gaveUp : Outcome::timedOut;
        }
    }
    ++reserved;
    return Outcome::ready;
}

void InFlight::unreserve() {
    std::lock_guard<std::mutex> lock(mutex);
    --reserved;
    changed->notify_all();
}

bool InFlight::beginHandOver(const GiveUp &giveUp) {
    std::unique_lock<std::mutex> lock(mutex);
    while (handingOver) {
        if (giveUp()) {
            return false;
        }
        changed->wait(lock);
    }
    handingOver = true;
    return true;
}

std::shared_ptr<InFlight::Ticket> InFlight::endHandOver(MQTTClient_deliveryToken token, bool reserving) {
    std::lock_guard<std::mutex> lock(mutex);
    handingOver = false;
    std::shared_ptr<Ticket> ticket;
    if (reserving) {
        --reserved;
        if (token != 0) {
            ticket = std::make_shared<Ticket>();
            if (early.count(token) != 0) {
                ticket->done = true;  // acknowledged before the call had its identifier
            } else {
                waiting[token].push_back(ticket);
                ++entries;
            }
        }
    }
    early.clear();
    changed->notify_all();
    return ticket;
}

bool InFlight::wait(const std::shared_ptr<Ticket> &ticket, Clock::time_point deadline,
                    const GiveUp &giveUp) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (ticket->done) {
            return true;
        }
        if (giveUp()) {
            return false;
        }
        if (changed->wait_until(lock, deadline) == std::cv_status::timeout) {
            return ticket->done;
        }
    }
}

void InFlight::completed(MQTTClient_deliveryToken token) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = waiting.find(token);
    if (it != waiting.end()) {
        it->second.front()->done = true;
        it->second.pop_front();
        if (it->second.empty()) {
            waiting.erase(it);
        }
        --entries;
        changed->notify_all();
    } else if (handingOver) {
        early.insert(token);
    }
}

void InFlight::forget() {
    std::lock_guard<std::mutex> lock(mutex);
    waiting.clear();
    entries = 0;
    changed->notify_all();
}

bool InFlight::awaitNoneInFlight(Clock::time_point deadline, const GiveUp &giveUp) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto none = [this] { return entries == 0 && reserved == 0; };
    changed->wait_until(lock, deadline, [&] { return none() || giveUp(); });
    return none();
}

void InFlight::wake() {
    std::lock_guard<std::mutex> lock(mutex);
    changed->notify_all();
}

}  // namespace tarnu
