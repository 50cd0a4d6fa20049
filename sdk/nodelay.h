// The library leaves Nagle's algorithm on for its broker connection, so a small packet
// written while an earlier one still waits for its TCP acknowledgement is held back
// until the broker's delayed acknowledgement, about 40 ms later (a QoS 1 publish after
// a QoS 0 one, for instance). The library does not hand out its socket; it is found as
// the descriptor it was given during the connect, and TCP_NODELAY is set on it.
#pragma once

#include <string>

namespace tarnu {

class NoDelay {
public:
    // Before the library's connect: notes the lowest free descriptor, which the
    // socket the library is about to make will take.
    NoDelay();
    // After a successful connect to `serverUri`: sets TCP_NODELAY on the TCP sockets
    // from that descriptor on that are connected to the broker's port.
    void apply(const std::string &serverUri) const;

private:
    int lowest = -1;
};

}  // namespace tarnu
