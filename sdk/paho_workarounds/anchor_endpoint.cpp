// The anchor's private endpoint (anchor_endpoint.h).
#include "anchor_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tarnu::network::endpoint {
namespace {

constexpr std::size_t kMaxConnect = 512;  // the anchor's CONNECT is far smaller

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n > 0) {
            return (p.revents & events) != 0;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

// The client id of the MQTT CONNECT packet that arrives on `fd`, or "".
std::string connectingId(int fd, Clock::time_point deadline) {
    unsigned char byte = 0;
    if (!readExactly(fd, &byte, 1, deadline) || byte != 0x10) {
        return {};
    }
    std::size_t length = 0;
    for (int shift = 0; shift < 28; shift += 7) {
        if (!readExactly(fd, &byte, 1, deadline)) {
            return {};
        }
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            break;
        }
    }
    if (length > kMaxConnect) {
        return {};
    }
    unsigned char body[kMaxConnect];
    if (!readExactly(fd, body, length, deadline)) {
        return {};
    }
    // protocol name, level, flags, keep-alive, then the client id
    std::size_t at = 0;
    auto field = [&](std::string &out) {
        if (at + 2 > length) {
            return false;
        }
        const std::size_t size = (std::size_t{body[at]} << 8) | body[at + 1];
        if (at + 2 + size > length) {
            return false;
        }
        out.assign(reinterpret_cast<const char *>(body + at + 2), size);
        at += 2 + size;
        return true;
    };
    std::string name;
    std::string id;
    if (!field(name) || name != "MQTT") {
        return {};
    }
    at += 4;
    return field(id) ? id : std::string();
}

}  // namespace

void Descriptor::reset(int next) {
    if (fd >= 0) {
        ::close(fd);
    }
    fd = next;
}



bool readExactly(int fd, unsigned char *to, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        if (!waitFor(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = ::recv(fd, to, count, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        to += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sendAll(int fd, const unsigned char *data, std::size_t count, Clock::time_point deadline) {
    while (count > 0) {
        if (!waitFor(fd, POLLOUT, deadline)) {
            return false;
        }
        const ssize_t n = ::send(fd, data, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}


std::string randomId() {
    unsigned char bytes[16] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string id = "tarnu-anchor-";
    for (unsigned char b : bytes) {
        id += digits[b >> 4];
        id += digits[b & 15];
    }
    return id;
}

Descriptor listenOnLoopback(std::string &uri) {
    Descriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof v4;
    if (listener.get() >= 0 && ::bind(listener.get(), reinterpret_cast<sockaddr *>(&v4), length) == 0 &&
        ::listen(listener.get(), 4) == 0 &&
        ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&v4), &length) == 0) {
        uri = "tcp://127.0.0.1:" + std::to_string(ntohs(v4.sin_port));
        return listener;
    }
    listener.reset(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    length = sizeof v6;
    if (listener.get() >= 0 && ::bind(listener.get(), reinterpret_cast<sockaddr *>(&v6), length) == 0 &&
        ::listen(listener.get(), 4) == 0 &&
        ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&v6), &length) == 0) {
        uri = "tcp://[::1]:" + std::to_string(ntohs(v6.sin6_port));
        return listener;
    }
    return Descriptor();
}

Descriptor serveHandshake(int listener, const std::string &id, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (waitFor(listener, POLLIN, deadline)) {
        Descriptor peer(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (peer.get() < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) {
                continue;
            }
            return Descriptor();
        }
        if (connectingId(peer.get(), deadline) != id) {
            continue;
        }
        static const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
        if (sendAll(peer.get(), connack, sizeof connack, deadline)) {
            return peer;
        }
    }
    return Descriptor();
}

}  // namespace tarnu::network::endpoint
