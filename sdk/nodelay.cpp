#include "nodelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace tarnu {
namespace {

// Descriptors looked at above the lowest free one: the resolver may hold a few open
// while the library connects, and other threads may open their own.
constexpr int kWindow = 32;
constexpr int kDefaultPort = 1883;

// The port of "scheme://host:port" or "scheme://[v6]:port"; the library's default
// when there is none, 0 when it cannot be read.
int portOf(const std::string &serverUri) {
    const std::size_t hostStart = serverUri.find("://");
    const std::size_t from = hostStart == std::string::npos ? 0 : hostStart + 3;
    const std::size_t bracket = serverUri.find(']', from);
    const std::size_t colon = serverUri.rfind(':');
    if (colon == std::string::npos || colon < from ||
        (bracket != std::string::npos && colon < bracket)) {
        return kDefaultPort;
    }
    char *end = nullptr;
    const long port = std::strtol(serverUri.c_str() + colon + 1, &end, 10);
    return (end != nullptr && *end == '\0' && port > 0 && port < 65536) ? static_cast<int>(port) : 0;
}

int peerPort(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
        return -1;
    }
    sockaddr_storage peer{};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        return -1;
    }
    if (peer.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in &>(peer).sin_port);
    }
    if (peer.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(peer).sin6_port);
    }
    return -1;
}

}  // namespace

SocketProbe::SocketProbe() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        lowest = probe;
        ::close(probe);
    }
}

int SocketProbe::find(const std::string &serverUri) const {
    const int port = portOf(serverUri);
    if (lowest < 0 || port == 0) {
        return -1;
    }
    for (int fd = lowest; fd < lowest + kWindow; ++fd) {
        if (peerPort(fd) == port) {
            return fd;
        }
    }
    return -1;
}

SendAtOnce::SendAtOnce(int fd) : socket(-1) {
    int on = 0;
    socklen_t length = sizeof on;
    if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) != 0 || on != 0) {
        return;  // unknown, or already sending at once
    }
    on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) {
        socket = fd;
    }
}

SendAtOnce::~SendAtOnce() {
    if (socket >= 0) {
        const int off = 0;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
    }
}

}  // namespace tarnu
