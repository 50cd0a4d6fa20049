#include "log.h"

#include <cerrno>
#include <string>
#include <poll.h>
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

bool errWithin(std::string_view line, std::chrono::milliseconds wait) noexcept {
    // A line is far shorter than a pipe's atomic write (PIPE_BUF), so once poll says
    // there is room the write does not block.
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, static_cast<int>(wait.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && (p.revents & POLLOUT) != 0) {
        writeLine(STDERR_FILENO, line);
        return true;
    }
    return false;
}

}  // namespace tarnu::log
