// The client's status lines: each is written with a single write(2), so lines from
// different threads never interleave and nothing waits in a buffer.
#pragma once

#include <chrono>
#include <string_view>

namespace tarnu::log {

// Information, to standard output.
void out(std::string_view line) noexcept;
// Failures, to standard error.
void err(std::string_view line) noexcept;
// A failure line from a thread that must not block for long: written only if standard
// error takes it within `wait` (a pipe whose reader has stopped does not); else dropped.
// True when it was written.
bool errWithin(std::string_view line, std::chrono::milliseconds wait) noexcept;

}  // namespace tarnu::log
