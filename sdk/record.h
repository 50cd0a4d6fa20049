// What the client reads of the library's private record of one of its handles.
//
// The library hands out neither the socket of a connection nor its keep-alive state,
// nor how many arrived messages it still holds for a handle. The client reads them
// from the library's own record of the handle, for the library versions whose layout
// of that record is known (1.3.10 to 1.3.13, with or without TLS, checked against the
// library's version text once). Each handle is checked once more against values the
// client knows (its client id, and the record's pointer back to the handle) before
// anything else is read from it; when either check fails, nothing is read and every
// answer below is "unknown".
//
// The record belongs to the library and changes under its own lock, which the client
// cannot take: each value read is a single aligned word (or a time read twice until
// stable), so a read is at worst a moment old.
#pragma once

#include <MQTTClient.h>

#include <chrono>
#include <optional>
#include <string>

namespace tarnu {

class LibraryRecord {
public:
    LibraryRecord() = default;
    // `clientId` is the id the handle was created with.
    LibraryRecord(MQTTClient handle, const std::string &clientId);

    bool known() const { return record != nullptr; }
    // The socket of the handle's connection, or -1 (not connected, or unknown).
    int socket() const;
    // Messages the library has received for the handle and not yet handed to the
    // client's callback; -1 when unknown.
    int queuedMessages() const;
    // How long the library has waited for the answer to its last PINGREQ; empty when
    // no PINGREQ is outstanding, or when unknown.
    std::optional<std::chrono::milliseconds> pingUnanswered() const;

private:
    const void *record = nullptr;
    bool tls = false;
};

}  // namespace tarnu
