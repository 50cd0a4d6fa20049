// The library's disconnect sleeps out its whole timeout when the connection is lost
// while it waits for messages in flight.
//
// Library: MQTTClient_disconnect / MQTTClient_disconnect1, read in Paho C 1.3.10 to
// 1.3.13 and on its development branch (2024). Called while connected, it waits, in
// MQTTClient_yield naps, for as long as its counts of inbound and outbound message flows
// are above zero, up to the timeout; it never looks at whether the connection is still
// there. A broker that goes away during that wait leaves flows that cannot finish, and
// disconnect, stop and a second init then take the full 10 s after the loss. Called
// once the library has seen the loss, it skips the wait.
// What is done: the client waits for its own messages in flight first, a wait that a
// loss ends, and then calls the library's disconnect with what is left of the 10 s.
// Still needed? tests/test_inflight.py, "a loss while disconnect waits for messages in
// flight": without this, disconnect returns 10 s after it began, not at the loss.
#include "../sdk.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr auto kDisconnectWait = std::chrono::milliseconds(10000);

}  // namespace

int SDK::awaitMessagesInFlight() {
    const auto deadline = tarnu::InFlight::Clock::now() + kDisconnectWait;
    // connectionLost wakes the in-flight waits once the loss has moved the state on.
    inflight.awaitNoneInFlight(deadline, [this] { return !life.isConnected(); });
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - tarnu::InFlight::Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}
