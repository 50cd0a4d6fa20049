// The client's status lines: each is written with a single write(2), so lines from
// different threads never interleave and nothing waits in a buffer.
#pragma once

#include <string_view>

namespace tarnu::log {

// Information, to standard output.
void out(std::string_view line) noexcept;
// Failures, to standard error.
void err(std::string_view line) noexcept;

}  // namespace tarnu::log
