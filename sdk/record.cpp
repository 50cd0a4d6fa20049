#include "record.h"

#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstring>
#include <mutex>

namespace tarnu {
namespace {

// The library's records, as its sources (Clients.h, MQTTClient.c, LinkedList.h)
// declare them in releases 1.3.10 to 1.3.13, as far as the client reads them. The
// TLS build of the library adds four members to the network record; `Tls` selects
// that layout.
struct List {
    void *first;
    void *last;
    void *current;
    int count;
    std::size_t size;
};

template <bool Tls>
struct NetworkHandles;

template <>
struct NetworkHandles<false> {
    int socket;
    timeval lastSent;
    timeval lastReceived;
    timeval lastPing;
    char *httpProxy;
    char *httpProxyAuth;
    int websocket;
    char *websocketKey;
    const void *httpHeaders;
};

template <>
struct NetworkHandles<true> {
    int socket;
    timeval lastSent;
    timeval lastReceived;
    timeval lastPing;
    void *ssl;
    void *ctx;
    char *httpsProxy;
    char *httpsProxyAuth;
    char *httpProxy;
    char *httpProxyAuth;
    int websocket;
    char *websocketKey;
    const void *httpHeaders;
};

template <bool Tls>
struct Client {
    char *clientID;
    const char *username;
    int passwordlen;
    const void *password;
    unsigned int cleansession : 1;
    unsigned int cleanstart : 1;
    unsigned int connected : 1;
    unsigned int good : 1;
    unsigned int pingOutstanding : 1;
    unsigned int pingDue : 1;
    signed int connectState : 4;
    timeval pingDueTime;
    NetworkHandles<Tls> net;
    int msgID;
    int keepAliveInterval;
    int retryInterval;
    int maxInflightMessages;
    void *will;
    List *inboundMsgs;
    List *outboundMsgs;
    int connectCount;
    int connectSent;
    List *messageQueue;
    List *outboundQueue;
    unsigned int qentrySeqno;
    void *phandle;
    void *persistence;
    void *beforeWrite;
    void *afterRead;
    void *beforeWriteContext;
    void *afterReadContext;
    void *context;  // the handle this record belongs to
};

// The handle: serverURI, currentServerURI, (TLS build: ssl,) websocket, the client
// record; both builds put the record at the same place.
template <bool Tls>
struct Handle {
    char *serverURI;
    const char *currentServerURI;
    int flags[Tls ? 2 : 1];
    Client<Tls> *c;
};

static_assert(offsetof(Client<false>, net) == 56 && offsetof(Client<true>, net) == 56,
              "layout of the library's client record");
static_assert(offsetof(Handle<false>, c) == 24 && offsetof(Handle<true>, c) == 24,
              "layout of the library's handle");

enum class Layout { unknown, plain, tls };

Layout libraryLayout() {
    static Layout layout = [] {
        bool versionKnown = false;
        bool tls = false;
        for (const MQTTClient_nameValue *info = MQTTClient_getVersionInfo();
             info != nullptr && info->name != nullptr; ++info) {
            if (std::strcmp(info->name, "Version") == 0 && info->value != nullptr) {
                for (const char *v : {"1.3.10", "1.3.11", "1.3.12", "1.3.13"}) {
                    versionKnown = versionKnown || std::strcmp(info->value, v) == 0;
                }
            } else if (std::strcmp(info->name, "OpenSSL version") == 0) {
                tls = true;
            }
        }
        return !versionKnown ? Layout::unknown : tls ? Layout::tls : Layout::plain;
    }();
    return layout;
}

template <bool Tls>
const Client<Tls> *client(const void *record) {
    return static_cast<const Client<Tls> *>(record);
}

template <bool Tls>
const void *check(MQTTClient handle, const std::string &clientId) {
    const auto *h = static_cast<const Handle<Tls> *>(handle);
    const Client<Tls> *c = h->c;
    if (c == nullptr || c->context != handle || c->clientID == nullptr ||
        clientId != c->clientID) {
        return nullptr;
    }
    return c;
}

// A time the library writes as two words: read until two reads agree.
timeval stable(const volatile timeval &t) {
    for (;;) {
        timeval first{t.tv_sec, t.tv_usec};
        timeval second{t.tv_sec, t.tv_usec};
        if (first.tv_sec == second.tv_sec && first.tv_usec == second.tv_usec) {
            return first;
        }
    }
}

// The library's clock: the monotonic clock, kept as a timeval.
std::chrono::milliseconds since(const timeval &then) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ms = (static_cast<long long>(now.tv_sec) - then.tv_sec) * 1000 +
                         (now.tv_nsec / 1000 - then.tv_usec) / 1000;
    return std::chrono::milliseconds(ms);
}

template <bool Tls>
std::optional<std::chrono::milliseconds> unanswered(const void *record) {
    const volatile Client<Tls> *c = client<Tls>(record);
    if (!c->pingOutstanding || !c->connected) {
        return std::nullopt;
    }
    return since(stable(c->net.lastPing));
}

}  // namespace

LibraryRecord::LibraryRecord(MQTTClient handle, const std::string &clientId) {
    if (handle == nullptr) {
        return;
    }
    switch (libraryLayout()) {
    case Layout::plain:
        record = check<false>(handle, clientId);
        tls = false;
        break;
    case Layout::tls:
        record = check<true>(handle, clientId);
        tls = true;
        break;
    case Layout::unknown:
        break;
    }
}

int LibraryRecord::socket() const {
    if (record == nullptr) {
        return -1;
    }
    const int fd = tls ? static_cast<const volatile Client<true> *>(record)->net.socket
                       : static_cast<const volatile Client<false> *>(record)->net.socket;
    return fd > 0 ? fd : -1;
}

int LibraryRecord::queuedMessages() const {
    if (record == nullptr) {
        return -1;
    }
    const List *queue = tls ? client<true>(record)->messageQueue : client<false>(record)->messageQueue;
    return queue != nullptr ? static_cast<const volatile List *>(queue)->count : -1;
}

std::optional<std::chrono::milliseconds> LibraryRecord::pingUnanswered() const {
    if (record == nullptr) {
        return std::nullopt;
    }
    return tls ? unanswered<true>(record) : unanswered<false>(record);
}

}  // namespace tarnu
