// What the module does for its clients when the interpreter exits (see exit.cpp).
#pragma once

#include <chrono>

class SDK;

namespace tarnu {

// After a successful init, with the interpreter lock held.
void trackClient(SDK &client);
// From the module's exit hook, with the interpreter lock held (released meanwhile);
// returns by `deadline` at the latest.
void stopClientsAtExit(std::chrono::steady_clock::time_point deadline);

}  // namespace tarnu
