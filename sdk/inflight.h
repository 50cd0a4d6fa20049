// The QoS 1 and 2 messages of one client that are in flight, and the calls that wait
// for them.
//
// publish calls of several threads overlap: each hands its message to the library one
// at a time (the hand-over), and then waits for its own completion without holding
// anything another call needs. The library names a message in flight by its packet
// identifier only, and reuses identifiers, so the waits are kept per identifier in the
// order the messages were handed over:
//   * the library frees an identifier and reports its completion (deliveryComplete)
//     under one hold of its own lock (MQTTClient_cycle, releases 1.3.10 to 1.3.16), so
//     the completion of a message always comes before the identifier is given to
//     another one: the oldest wait on an identifier is the one a completion ends;
//   * a completion can come before the call that handed the message over has learned
//     its identifier (the library's thread takes the acknowledgement while the call
//     returns); completions that come during a hand-over are kept for it, others for
//     an identifier nobody waits on (a broker acknowledging what was never sent) are
//     ignored;
//   * a wait that ends early (the connection was lost, the client is stopping, its
//     10 s ran out) leaves its place, so that the completion the library reports for
//     that message later ends nothing else; the places are cleared when the library
//     drops its messages in flight (a clean session ended, or the handle is released).
// The window: at most kWindow messages are in flight (handed over, or waiting for the
// hand-over); a publish that finds it full waits for room within its own time.
#pragma once

#include <MQTTClient.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace tarnu {

class InFlight {
public:
    using Clock = std::chrono::steady_clock;
    using GiveUp = std::function<bool()>;
    // Messages one client keeps in flight.
    static constexpr int kWindow = 64;
    // The library's own limit, set high enough never to be reached: at its limit the
    // library's publish waits in 100 ms naps (MQTTClient_publish5), the window waits
    // for a completion instead.
    static constexpr int kLibraryLimit = 65535;

    struct Ticket {
        bool done = false;
    };

    enum class Outcome { ready, gaveUp, timedOut };

    // Takes a place in the window for a QoS 1/2 message.
    Outcome reserve(Clock::time_point deadline, const GiveUp &giveUp);
    // Gives back a place taken by reserve when the message was not handed over.
    void unreserve();

    // The hand-over: one at a time per client. False when `giveUp` says so first.
    bool beginHandOver(const GiveUp &giveUp);
    // Ends the hand-over of a message that the library accepted with `token` (0: none,
    // or not accepted). For a QoS 1/2 message, returns its ticket; a message whose
    // completion came during the hand-over is done already.
    std::shared_ptr<Ticket> endHandOver(MQTTClient_deliveryToken token, bool reserved);

    // True when the message of `ticket` was completed; false when `giveUp` says so or
    // `deadline` passes first.
    bool wait(const std::shared_ptr<Ticket> &ticket, Clock::time_point deadline,
              const GiveUp &giveUp);

    // From the library's callback (under the library's lock).
    void completed(MQTTClient_deliveryToken token);
    // The library has dropped its messages in flight: their places are cleared.
    void forget();
    // Waits until no message is in flight or waiting for its hand-over, `giveUp` says
    // so, or `deadline` passes. True when none is in flight.
    bool awaitNoneInFlight(Clock::time_point deadline, const GiveUp &giveUp);
    // Something that a waiting call's `giveUp` reads has changed.
    void wake();
    // Waits until `done` holds (checked at each wake) or `deadline` passes.
    template <class Done>
    bool waitUntil(Clock::time_point deadline, Done &&done) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed->wait_until(lock, deadline, std::forward<Done>(done));
    }

    void abandon() { changed.release(); }

private:
    std::mutex mutex;
    std::unique_ptr<std::condition_variable> changed = std::make_unique<std::condition_variable>();
    std::unordered_map<MQTTClient_deliveryToken, std::deque<std::shared_ptr<Ticket>>> waiting;
    std::unordered_set<MQTTClient_deliveryToken> early;  // completed during the hand-over
    std::size_t entries = 0;  // places in `waiting`
    int reserved = 0;         // places taken, not yet handed over
    bool handingOver = false;
};

}  // namespace tarnu
