// The library does not hand out the socket of a connection, and leaves Nagle's
// algorithm on for it.
//
// Library: MQTTClient_connect (the socket is made in Socket_new, with TCP_NODELAY off),
// Paho C 1.3.10 to 1.3.16; the interface has no call that gives the socket out.
// What is done: right after a successful connect the client reads the descriptor from
// the library's record of the handle (hidden_record.h) and keeps a duplicate of it. The
// duplicate refers to that socket and no other for as long as the client holds it,
// whatever the library does with its own descriptor (which the library closes on a
// loss, and whose number may then be taken by another socket at once). It is released
// when the connection ends. Uses: TCP_NODELAY around calls that wait on the broker
// (SendAtOnce), waiting for room in the socket before a large packet (waitForRoom,
// stuck_publish.cpp), and ending a connection the library does not see as dead (cut()).
// Still needed? When a release gives out its socket (or sets TCP_NODELAY itself), read
// it from there: a QoS 1 publish after a QoS 0 stream must take about 0.1 ms, not 40.
#pragma once

#include "hidden_record.h"

#include <MQTTClient.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace tarnu {

class BrokerLink {
public:
    // After a successful connect of `client`, whose record is `record`: the link, or
    // null when its socket cannot be known.
    static std::shared_ptr<const BrokerLink> adopt(MQTTClient client, const LibraryRecord &record);
    ~BrokerLink();
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    int fd() const { return socket; }
    // Bytes in the socket's send queue, not yet taken by the peer; -1 when unknown.
    long long unsent() const;
    // Ends the connection under the library: it reads the end of the stream and takes
    // its usual connection-loss path.
    void cut() const;
    // cut() for a thread that is ending the connection (stop, disconnect, teardown):
    // marks the link first, so the loss that follows is known as the program's own.
    void end() const;
    bool endedByProgram() const { return ended.load(); }

    // When the library's write of a packet does not fit the socket, it sleeps 100 ms
    // before it writes the rest, and again for each part after. Before a packet of
    // `bytes` is handed to it, this waits until the socket's send queue has room for
    // the packet twice over, or is empty (a packet larger than the socket can ever
    // hold then goes at the library's pace), polling in short steps. It gives up when
    // `giveUp` says so (the connection is lost, the client is stopping), or when the
    // queue has not shrunk for `stall`: the link has stopped draining.
    enum class Room { ready, gaveUp, stalled };
    Room waitForRoom(std::size_t bytes, std::chrono::milliseconds stall,
                     const std::function<bool()> &giveUp) const;

    // Sending at once (TCP_NODELAY) for the calls that wait on the broker (SendAtOnce),
    // counted: the socket's own setting comes back when the last of them is done.
    void sendAtOnce(bool on) const;

private:
    explicit BrokerLink(int socket) : socket(socket) {}
    int socket;
    mutable std::atomic<bool> ended{false};
    mutable std::mutex atOnceMutex;
    mutable int atOnce = 0;
    mutable bool restoreDelay = false;
};

// The library leaves Nagle's algorithm on for its broker connection. That suits a
// stream of small QoS 0 publishes, which the kernel coalesces, but a packet the
// client then waits on (a QoS 1 or 2 publish, a subscribe) is held back while an
// earlier one waits for its TCP acknowledgement, until the broker's delayed
// acknowledgement some 40 ms later. While a SendAtOnce lives, what is written goes out
// at once; the socket's own setting is restored afterwards. Does nothing without a link.
class SendAtOnce {
public:
    explicit SendAtOnce(std::shared_ptr<const BrokerLink> link);
    ~SendAtOnce();
    SendAtOnce(const SendAtOnce &) = delete;
    SendAtOnce &operator=(const SendAtOnce &) = delete;

private:
    std::shared_ptr<const BrokerLink> link;
};

}  // namespace tarnu
