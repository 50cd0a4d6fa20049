#include "log.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace tarnu::log {
namespace {

void writeLine(int fd, std::string_view line) noexcept {
    std::string buffer;
    try {
        buffer.reserve(line.size() + 1);
        buffer.append(line);
        buffer.push_back('\n');
    } catch (...) {
        return;  // out of memory: a status line is not worth failing for
    }
    const char *data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void out(std::string_view line) noexcept { writeLine(STDOUT_FILENO, line); }
void err(std::string_view line) noexcept { writeLine(STDERR_FILENO, line); }

}  // namespace tarnu::log
