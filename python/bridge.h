// The Python side of the client's threads (see the threading rules in sdk/sdk.h).
#pragma once

namespace tarnu {

// Registered with atexit by the module: closes the gate through which the client's
// native threads enter Python, and waits (briefly) for those inside to leave.
// Called with the interpreter lock held.
void closeInterpreterGate();

}  // namespace tarnu
