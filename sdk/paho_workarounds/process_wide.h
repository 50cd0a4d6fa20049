// What the client does process-wide around the library's one network thread: keep it
// running (network_thread_stops.cpp), wake it during connects
// (connect_waits_for_rounds.cpp), put its keep-alive timer back
// (shared_keepalive_timer.cpp), and destroy handles only once it cannot be using them
// (handle_used_after_callback.cpp). The threads they run on: chores.h.
#pragma once

#include "hidden_record.h"

#include <MQTTClient.h>

#include <chrono>

namespace tarnu::network {

// Called before a client makes a library handle. Makes sure the library's network
// thread runs and will not stop: the anchor, a library handle of the client's own,
// stays connected to a private endpoint on the loopback interface, so the library
// always counts one connected handle. Returns false when that cannot be set up (no
// loopback interface); the client then works as the library does on its own.
bool keepRunning();
// True while the anchor is connected.
bool anchored();

// Wakes the network thread now, through the anchor (a packet the anchor ignores).
void wakeNetworkThread();

// While one lives (around a library connect), the anchor's endpoint wakes the network
// thread every couple of milliseconds (connect_waits_for_rounds.cpp). The thread waits on its sockets 100 ms at a
// time and takes in a new connection's socket only at its next round, so each
// connect would otherwise lose 100 to 200 ms; the library lets one connect run at a
// time, so those naps add up across a process's clients. (Latency only: nothing
// depends on when the thread wakes.)
class Connecting {
public:
    Connecting();
    ~Connecting();
    Connecting(const Connecting &) = delete;
    Connecting &operator=(const Connecting &) = delete;
};

// Waits until the network thread has finished what it was doing when this was called,
// by sending the anchor a message through that thread and waiting for it to arrive.
// False when it does not arrive within `timeout`, or when there is no anchor.
bool passThread(std::chrono::milliseconds timeout);

// After a library connect with keep-alive `keepAlive` (whatever its outcome): puts the
// library's process-wide keep-alive timer back to its shortest period (shared_keepalive_timer.cpp).
void paceKeepAlive(int keepAlive);

// Takes a handle that no client uses any more (disconnected, its callbacks closed) and
// destroys it on a thread of its own once the network thread can no longer be using it.
void retire(MQTTClient handle, LibraryRecord record);

}  // namespace tarnu::network
