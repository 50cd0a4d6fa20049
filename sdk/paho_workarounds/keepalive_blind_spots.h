// The keep-alive watch: connections the library's keep-alive would keep for ever are
// ended (keepalive_blind_spots.cpp).
#pragma once

#include "hidden_socket.h"
#include "hidden_record.h"

#include <memory>

namespace tarnu::watch {

// After a successful connect: watches `owner`'s connection until stop(owner).
void start(const void *owner, const LibraryRecord &record,
           const std::shared_ptr<const BrokerLink> &link, int keepAlive);
// Before the connection's link is released, and before the handle is retired.
void stop(const void *owner);

}  // namespace tarnu::watch
