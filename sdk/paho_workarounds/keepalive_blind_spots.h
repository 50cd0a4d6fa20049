// The keep-alive watch: connections the library's keep-alive would keep for ever are
// ended (keepalive_blind_spots.cpp), and arrived messages the library holds back are
// asked for (messages_held_back.cpp).
#pragma once

#include "hidden_socket.h"
#include "hidden_record.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace tarnu::watch {

// After a successful connect: watches `owner`'s connection until stop(owner).
// `handedOver` counts the messages the library has handed to the owner; `heldBack` is
// called when the library has held messages for the owner without handing one over for
// a while (messages_held_back.cpp). Both are called on the watch's thread with its lock
// held: they must not wait.
void start(const void *owner, const LibraryRecord &record,
           const std::shared_ptr<const BrokerLink> &link, int keepAlive,
           std::function<std::uint64_t()> handedOver, std::function<void()> heldBack);
// Before the connection's link is released, and before the handle is retired.
void stop(const void *owner);

}  // namespace tarnu::watch
