// The library leaves Nagle's algorithm on for its broker connection. That suits a
// stream of small QoS 0 publishes, which the kernel coalesces, but a packet the
// client then waits on (a QoS 1 or 2 publish, a subscribe) is held back while an
// earlier one waits for its TCP acknowledgement, until the broker's delayed
// acknowledgement some 40 ms later. Such packets are sent with TCP_NODELAY set for the
// duration of the call. The library does not hand out its socket: it is found as the
// descriptor the library was given during the connect.
#pragma once

#include <string>

namespace tarnu {

class SocketProbe {
public:
    // Before the library's connect: notes the lowest free descriptor, which the
    // socket the library is about to make will take.
    SocketProbe();
    // After a successful connect to `serverUri`: the TCP socket connected to the
    // broker's port, from that descriptor on; -1 if none is found.
    int find(const std::string &serverUri) const;

private:
    int lowest = -1;
};

// While alive, what is written to `socket` goes out at once; the socket's own
// setting is restored afterwards. Does nothing for -1.
class SendAtOnce {
public:
    explicit SendAtOnce(int socket);
    ~SendAtOnce();
    SendAtOnce(const SendAtOnce &) = delete;
    SendAtOnce &operator=(const SendAtOnce &) = delete;

private:
    int socket;
};

}  // namespace tarnu
