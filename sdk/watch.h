// The keep-alive watch: a connection whose PINGREQ stays unanswered is ended even while
// bytes trickle in (watch.cpp).
#pragma once

#include "link.h"
#include "record.h"

#include <memory>

namespace tarnu::watch {

// After a successful connect: watches `owner`'s connection until stop(owner).
void start(const void *owner, const LibraryRecord &record,
           const std::shared_ptr<const BrokerLink> &link, int keepAlive);
// Before the connection's link is released, and before the handle is retired.
void stop(const void *owner);

}  // namespace tarnu::watch
