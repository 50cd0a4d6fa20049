#include "link.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnu {

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

SendAtOnce::SendAtOnce(std::shared_ptr<const BrokerLink> held) {
    int on = 0;
    socklen_t length = sizeof on;
    if (held == nullptr ||
        getsockopt(held->fd(), IPPROTO_TCP, TCP_NODELAY, &on, &length) != 0 || on != 0) {
        return;  // unknown, or already sending at once
    }
    on = 1;
    if (setsockopt(held->fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) {
        link = std::move(held);
    }
}

SendAtOnce::~SendAtOnce() {
    if (link != nullptr) {
        const int off = 0;
        setsockopt(link->fd(), IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
    }
}

}  // namespace tarnu
