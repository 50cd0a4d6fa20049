// The library hands out neither the socket of a connection nor its keep-alive state, nor
// how many arrived messages it still holds for a handle.
//
// Library: the Clients and MQTTClients records (Clients.h, MQTTClient.c), Paho C 1.3.10
// to 1.3.16; its public interface (MQTTClient.h) offers none of the three. The client
// reads them from the library's own record of the handle. The record is recognised by what it must
// contain, not by the library's version text: among the layouts the client knows
// (hidden_record.cpp), the one where the handle's record holds the handle's client id and
// points back to the handle; after each connect, the record must also read back the
// keep-alive, retry interval and in-flight limit that the connect was given. A release
// that keeps a known layout works unchanged.
//
// When no known layout fits, the client says so once on standard error (naming the
// library's version and what did not fit) and every answer below is "unknown": the
// client then runs without what rests on the record (see hidden_socket.h and the README's
// "Platforms"), and ends a stuck connection through the library's own disconnect.
//
// Still needed? When a release offers the socket, the keep-alive state and the queue
// depth through its interface, use those instead (hidden_socket.h,
// keepalive_blind_spots.cpp and handle_used_after_callback.cpp read them from here).
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

struct RecordLayout;

class LibraryRecord {
public:
    LibraryRecord() = default;
    // `clientId` is the id the handle was created with.
    LibraryRecord(MQTTClient handle, const std::string &clientId);

    bool known() const { return record != nullptr; }
    // After a successful connect with `options`, which gave the library `inflight` as
    // its in-flight limit: false (and the record is forgotten) when the record does not
    // read back what the connect was given.
    bool confirm(const MQTTClient_connectOptions &options, int inflight);
    // The socket of the handle's connection, or -1 (not connected, or unknown).
    int socket() const;
    // Messages the library has received for the handle and not yet handed to the
    // client's callback; -1 when unknown.
    int queuedMessages() const;
    // How long the library has waited for the answer to its last PINGREQ; empty when
    // no PINGREQ is outstanding, or when unknown.
    std::optional<std::chrono::milliseconds> pingUnanswered() const;

    // The library's version text, as it reports it.
    static std::string libraryVersion();

private:
    const void *record = nullptr;
    const RecordLayout *layout = nullptr;
};

}  // namespace tarnu
