#include "hidden_socket.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace tarnu {
namespace {

constexpr auto kStep = std::chrono::microseconds(250);

// Bytes in the socket's send queue (not yet acknowledged by the peer), and the size
// the kernel allows that queue now (it grows the allowance as the connection speeds up).
bool sendQueue(int fd, std::size_t &queued, std::size_t &allowed) {
    int inQueue = 0;
    int buffer = 0;
    socklen_t length = sizeof buffer;
    if (::ioctl(fd, SIOCOUTQ, &inQueue) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, &length) != 0) {
        return false;
    }
    queued = static_cast<std::size_t>(inQueue);
    allowed = static_cast<std::size_t>(buffer);
    return true;
}

}  // namespace

std::shared_ptr<const BrokerLink> BrokerLink::adopt(MQTTClient client, const LibraryRecord &record) {
    const int theirs = record.socket();
    if (theirs < 0) {
        return nullptr;
    }
    const int ours = ::fcntl(theirs, F_DUPFD_CLOEXEC, 0);
    if (ours < 0) {
        return nullptr;
    }
    std::shared_ptr<const BrokerLink> link(new BrokerLink(ours));
    int type = 0;
    socklen_t length = sizeof type;
    // Still connected after the duplicate was made: the library had not closed the
    // descriptor before (it closes it, and clears its connected flag, under its lock,
    // and nothing but this thread's connect could have made it connected again).
    if (::getsockopt(ours, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM ||
        MQTTClient_isConnected(client) != 1) {
        return nullptr;
    }
    return link;
}

BrokerLink::~BrokerLink() { ::close(socket); }

void BrokerLink::cut() const { ::shutdown(socket, SHUT_RDWR); }

void BrokerLink::end() const {
    ended = true;  // before the library can see the end of the stream
    cut();
}

long long BrokerLink::unsent() const {
    int queued = 0;
    return ::ioctl(socket, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

BrokerLink::Room BrokerLink::waitForRoom(std::size_t bytes, std::chrono::milliseconds stall,
                                         const std::function<bool()> &giveUp) const {
    using Clock = std::chrono::steady_clock;
    auto moved = Clock::now();
    std::size_t last = SIZE_MAX;
    for (;;) {
        std::size_t queued = 0;
        std::size_t allowed = 0;
        if (!sendQueue(socket, queued, allowed) || queued == 0 || queued + 2 * bytes <= allowed) {
            return Room::ready;
        }
        if (giveUp()) {
            return Room::gaveUp;
        }
        const auto now = Clock::now();
        if (queued < last) {
            last = queued;
            moved = now;
        } else if (now - moved >= stall) {
            return Room::stalled;
        }
        std::this_thread::sleep_for(kStep);
    }
}

void BrokerLink::sendAtOnce(bool on) const {
    std::lock_guard<std::mutex> lock(atOnceMutex);
    if (on && atOnce++ == 0) {
        int current = 0;
        socklen_t length = sizeof current;
        const int one = 1;
        restoreDelay = getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &current, &length) == 0 &&
                       current == 0 &&
                       setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
    } else if (!on && --atOnce == 0 && restoreDelay) {
        const int off = 0;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
        restoreDelay = false;
    }
}

SendAtOnce::SendAtOnce(std::shared_ptr<const BrokerLink> held) : link(std::move(held)) {
    if (link != nullptr) {
        link->sendAtOnce(true);
    }
}

SendAtOnce::~SendAtOnce() {
    if (link != nullptr) {
        link->sendAtOnce(false);
    }
}

}  // namespace tarnu
