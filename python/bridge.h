// The Python side of the client's threads (see the threading rules in sdk/sdk.h).
#pragma once

#include <chrono>

namespace tarnu {

// Called from the module's exit hook: closes the gate through which the client's
// native threads enter Python, and waits until `deadline` at most for those inside to
// leave. Called with the interpreter lock held.
void closeInterpreterGate(std::chrono::steady_clock::time_point deadline);

}  // namespace tarnu
