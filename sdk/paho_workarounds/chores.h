// The two threads that run the client's process-wide chores around the library.
//
// Chores are short tasks run at a given time, one after another on their thread; a chore
// says when it wants to run again. Two threads rather than one, because two of the chores
// wait on the library's own locks:
//   * quick(): the keep-alive watch (every 100 ms while a client is connected) and the
//     connect nudge (every 2 ms while a connect is under way). They never wait on
//     anything but a socket's send queue for a moment.
//   * library(): the keep-alive pacer (a connect of its own) and the reaper (destroying
//     handles). Both wait for the library's connect lock, which another client's connect
//     holds for up to its connect timeout, and the reaper waits up to a second for the
//     library's network thread: on the quick thread they would leave the watch blind and
//     the connects un-nudged that long.
// Both threads start with their first chore and are never destroyed: chores may be
// scheduled while the process exits.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace tarnu::chores {

using Clock = std::chrono::steady_clock;
// Runs once; returns when to run again, or nothing when done.
using Chore = std::function<std::optional<Clock::time_point>()>;

class ChoreThread {
public:
    virtual ~ChoreThread() = default;
    // Runs `chore` at `when` (or as soon as the thread is free after it).
    virtual void at(Clock::time_point when, Chore chore) = 0;
    void now(Chore chore) { at(Clock::now(), std::move(chore)); }
};

ChoreThread &quick();
ChoreThread &library();

}  // namespace tarnu::chores
