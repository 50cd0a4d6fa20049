// The private endpoint on the loopback interface that the anchor's library handle
// connects to (network_thread_stops.cpp): a listening socket, the handshake that answers
// only the anchor's own CONNECT, and the small socket helpers both use.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tarnu::network::endpoint {

using Clock = std::chrono::steady_clock;

// Owns a file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor &&other) noexcept : fd(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    int get() const { return fd; }
    int release() {
        const int out = fd;
        fd = -1;
        return out;
    }
    void reset(int next = -1);

private:
    int fd;
};

// Sends all of `data` by `deadline`; false if the peer went or the time ran out.
bool sendAll(int fd, const unsigned char *data, std::size_t count, Clock::time_point deadline);
// Reads exactly `count` bytes by `deadline`.
bool readExactly(int fd, unsigned char *to, std::size_t count, Clock::time_point deadline);
// A client id no one can guess ("tarnu-anchor-" and 32 hexadecimal digits).
std::string randomId();
// A listening socket on the loopback interface and the URI the library reaches it by.
Descriptor listenOnLoopback(std::string &uri);
// Accepts connections until one sends a CONNECT with `id`, and answers it, within
// `limit`. Others (anyone on this host may find the port) are closed unanswered. Ends
// early when the listener is shut down (the library's connect failed).
Descriptor serveHandshake(int listener, const std::string &id, Clock::duration limit);

}  // namespace tarnu::network::endpoint
