#include "hidden_record.h"

#include "../log.h"

#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

namespace tarnu {
namespace {

// The library's records, as its sources (Clients.h, MQTTClient.c, LinkedList.h)
// declare them, as far as the client reads them. Two layouts are known:
//   * releases 1.3.10 to 1.3.13;
//   * 1.3.14 to 1.3.16 (Debian 13 ships 1.3.14, Debian's development suite 1.3.16):
//     the client record keeps a second keep-alive interval after the first (the one
//     the connect asked for, beside the one in force), and the TLS build's handle has
//     a word more before its pointer to the record (read off the Debian binaries).
// The TLS build of the library adds four members to the network record; `Tls` selects
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

// The members after the network record, up to the pointer back to the handle.
#define TARNU_RECORD_TAIL                                                                  \
    int retryInterval;                                                                     \
    int maxInflightMessages;                                                               \
    void *will;                                                                            \
    List *inboundMsgs;                                                                     \
    List *outboundMsgs;                                                                    \
    int connectCount;                                                                      \
    int connectSent;                                                                       \
    List *messageQueue;                                                                    \
    List *outboundQueue;                                                                   \
    unsigned int qentrySeqno;                                                              \
    void *phandle;                                                                         \
    void *persistence;                                                                     \
    void *beforeWrite;                                                                     \
    void *afterRead;                                                                       \
    void *beforeWriteContext;                                                              \
    void *afterReadContext;                                                                \
    void *context;

struct Tail13 {
    int msgID;
    int keepAliveInterval;
    TARNU_RECORD_TAIL
};

struct Tail14 {
    int msgID;
    int keepAliveInterval;
    int savedKeepAliveInterval;
    TARNU_RECORD_TAIL
};
#undef TARNU_RECORD_TAIL

template <bool Tls, class Tail>
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
    Tail tail;
};

using TlsClient13 = Client<true, Tail13>;
using TlsClient14 = Client<true, Tail14>;
static_assert(offsetof(TlsClient13, tail.context) == 304 && offsetof(TlsClient14, tail.context) == 312 &&
                  offsetof(TlsClient14, tail.retryInterval) == 196 &&
                  offsetof(TlsClient14, tail.messageQueue) == 240,
              "layouts of the library's client record, as measured on its binaries");

}  // namespace

// Where one layout keeps what the client reads.
struct RecordLayout {
    const char *releases;
    std::size_t recordInHandle;  // the handle's pointer to its client record
    std::size_t context;
    std::size_t keepAlive;
    std::size_t retryInterval;
    std::size_t maxInflight;
    std::size_t messageQueue;
    bool tls;
};

namespace {

template <bool Tls, class Tail>
constexpr RecordLayout describe(const char *releases, std::size_t recordInHandle) {
    using C = Client<Tls, Tail>;
    return RecordLayout{releases,
                        recordInHandle,
                        offsetof(C, tail.context),
                        offsetof(C, tail.keepAliveInterval),
                        offsetof(C, tail.retryInterval),
                        offsetof(C, tail.maxInflightMessages),
                        offsetof(C, tail.messageQueue),
                        Tls};
}

// Tried in turn on every handle: the checks tell them apart (each layout keeps the
// pointer back to the handle at a place where the others keep something else).
const RecordLayout kLayouts[] = {
    describe<true, Tail13>("1.3.10-1.3.13", 24),
    describe<true, Tail14>("1.3.14-1.3.16", 32),
    describe<true, Tail14>("1.3.14-1.3.16", 24),
    describe<false, Tail13>("1.3.10-1.3.13", 24),
    describe<false, Tail14>("1.3.14-1.3.16", 24),
    describe<false, Tail14>("1.3.14-1.3.16", 32),
};

// Copies `size` bytes at `from`, or returns false where they are not readable: a
// layout that is not the library's may point anywhere.
bool peek(const void *from, void *to, std::size_t size) {
    iovec local{to, size};
    iovec remote{const_cast<void *>(from), size};
    return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

template <class T>
bool peekAt(const void *base, std::size_t offset, T &out) {
    return peek(static_cast<const char *>(base) + offset, &out, sizeof out);
}

const void *check(const RecordLayout &layout, MQTTClient handle, const std::string &clientId) {
    const void *record = nullptr;
    const void *context = nullptr;
    const char *id = nullptr;
    if (!peekAt(handle, layout.recordInHandle, record) || record == nullptr ||
        !peekAt(record, layout.context, context) || context != handle ||
        !peekAt(record, 0, id) || id == nullptr) {
        return nullptr;
    }
    std::vector<char> text(clientId.size() + 1);
    if (!peek(id, text.data(), text.size()) || std::memcmp(text.data(), clientId.c_str(), text.size()) != 0) {
        return nullptr;
    }
    return record;
}

// The first time the record is not recognised: one line on standard error.
void reportUnknown(const std::string &what) {
    static std::once_flag once;
    std::call_once(once, [&] {
        tarnu::log::err("[SDK] Paho C " + LibraryRecord::libraryVersion() +
                        ": the library's record of a client is not in a layout this client "
                        "knows (" + what + "); running without the keep-alive watch and the "
                        "socket tuning, and a stuck connection is ended by the library's own "
                        "disconnect");
    });
}

template <bool Tls>
using AnyClient = Client<Tls, Tail13>;  // the members before the tail are common to all

template <bool Tls>
const volatile AnyClient<Tls> *common(const void *record) {
    return static_cast<const volatile AnyClient<Tls> *>(record);
}

template <class T>
T wordAt(const void *record, std::size_t offset) {
    return *reinterpret_cast<const volatile T *>(static_cast<const char *>(record) + offset);
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
    const volatile AnyClient<Tls> *c = common<Tls>(record);
    if (!c->pingOutstanding || !c->connected) {
        return std::nullopt;
    }
    return since(stable(c->net.lastPing));
}

}  // namespace

std::string LibraryRecord::libraryVersion() {
    for (const MQTTClient_nameValue *info = MQTTClient_getVersionInfo();
         info != nullptr && info->name != nullptr; ++info) {
        if (std::strcmp(info->name, "Version") == 0 && info->value != nullptr) {
            return info->value;
        }
    }
    return "of unknown version";
}

LibraryRecord::LibraryRecord(MQTTClient handle, const std::string &clientId) {
    if (handle == nullptr) {
        return;
    }
#if defined(TARNU_IGNORE_LIBRARY_RECORD)
    // A build for testing what a user of an unknown library release gets.
    (void)clientId;
    reportUnknown("ignored by this build");
#else
    for (const RecordLayout &candidate : kLayouts) {
        if (const void *found = check(candidate, handle, clientId)) {
            record = found;
            layout = &candidate;
            return;
        }
    }
    reportUnknown("no record holding the client's id and pointing back to its handle");
#endif
}

bool LibraryRecord::confirm(const MQTTClient_connectOptions &options, int inflight) {
    if (record == nullptr) {
        return false;
    }
    if (wordAt<int>(record, layout->keepAlive) == options.keepAliveInterval &&
        wordAt<int>(record, layout->retryInterval) == options.retryInterval &&
        wordAt<int>(record, layout->maxInflight) == inflight) {
        return true;
    }
    reportUnknown(std::string("a record in the layout of releases ") + layout->releases +
                  " that does not read back the keep-alive, retry interval and in-flight "
                  "limit it was given");
    record = nullptr;
    layout = nullptr;
    return false;
}

int LibraryRecord::socket() const {
    if (record == nullptr) {
        return -1;
    }
    const int fd = layout->tls ? common<true>(record)->net.socket : common<false>(record)->net.socket;
    return fd > 0 ? fd : -1;
}

int LibraryRecord::queuedMessages() const {
    if (record == nullptr) {
        return -1;
    }
    const List *queue = wordAt<const List *>(record, layout->messageQueue);
    return queue != nullptr ? static_cast<const volatile List *>(queue)->count : -1;
}

std::optional<std::chrono::milliseconds> LibraryRecord::pingUnanswered() const {
    if (record == nullptr) {
        return std::nullopt;
    }
    return layout->tls ? unanswered<true>(record) : unanswered<false>(record);
}

}  // namespace tarnu
