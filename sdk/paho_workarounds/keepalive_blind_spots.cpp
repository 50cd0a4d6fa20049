// The library's keep-alive has two blind spots.
//
// Library: MQTTProtocol_keepalive and Socket_continueWrites (its write-continue hook,
// which updates lastSent), Paho C 1.3.10 to 1.3.16.
// Still needed? tests/test_trickle.py (a broker that trickles a packet) and
// tests/test_half_open.py (a publish stream into a frozen link): both must report the
// loss within 1.5 x keepAlive + 1 s without the watch.
//
// The library gives up on a connection when its PINGREQ has gone unanswered for
// 1.5 x keepAlive, but only if nothing at all has arrived in that time: it takes any
// byte as a packet in progress. A broker (or anything posing as one) that announces a
// huge packet and then sends a byte now and then keeps the connection "alive" for
// ever, and no PINGRESP can come through behind that packet. The watch looks at each
// connected client's record (hidden_record.h) ten times a second and cuts the link of one
// whose PINGREQ has been unanswered for 1.5 x keepAlive + 1 s, whatever arrived
// meanwhile; the library then reads the end of the stream and takes its usual
// connection-loss path. The second of margin leaves a plainly silent link to the
// library's own rule, which fires first.
//
// The mirror case: while a write is pending (a packet larger than the socket takes at
// once), the library sends no PINGREQ and never gives up on the link: its network
// thread notes "something was sent" at each round in which a write is pending, whether
// or not the socket took a byte (Socket_continueWrites calls its write-continue hook
// for every pending socket that was not writable), so its keep-alive clock never runs
// out. A peer that stops reading would keep such a connection, and the publish inside
// the library that waits for its packet to be written, alive for ever. The watch cuts
// a link whose send queue holds bytes and has not shrunk for the same bound; a link
// that drains, however slowly, is left alone.
//
// The same look serves messages_held_back.cpp: it notes how many arrived messages the
// library holds for each client, connected with or without a keep-alive, and asks the
// client to get them moving when it has held some for kHeldFor without handing one over.
#include "keepalive_blind_spots.h"

#include "chores.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace tarnu::watch {
namespace {

constexpr auto kEvery = std::chrono::milliseconds(100);
constexpr auto kMargin = std::chrono::seconds(1);
// Held messages not handed over for this long are asked for; asked again as often.
constexpr auto kHeldFor = std::chrono::milliseconds(300);

struct Watched {
    LibraryRecord record;
    std::weak_ptr<const BrokerLink> link;
    std::optional<std::chrono::milliseconds> bound;  // none without a keep-alive
    std::function<std::uint64_t()> handedOver;  // messages handed to the client so far
    std::function<void()> heldBack;
    // The send queue at the last look, and when it last shrank.
    long long lastUnsent = -1;
    std::chrono::steady_clock::time_point shrunk{};
    // The count of messages handed over at the last look, and since when the library
    // has held messages without handing one over (or when they were last asked for).
    std::uint64_t lastHandedOver = 0;
    std::chrono::steady_clock::time_point stillSince{};
};

class Watch {
public:
    void add(const void *owner, Watched watched) {
        std::lock_guard<std::mutex> lock(mutex);
        clients[owner] = std::move(watched);
        if (!looking) {
            looking = true;
            chores::quick().at(chores::Clock::now() + kEvery, [this] { return look(); });
        }
    }
    void remove(const void *owner) {
        std::lock_guard<std::mutex> lock(mutex);  // no record is read after this returns
        clients.erase(owner);
    }

private:
    // Ten times a second while any client is watched.
    std::optional<chores::Clock::time_point> look() {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto &[owner, watched] : clients) {
            if (watched.bound && (unanswered(watched) || stuck(watched))) {
                if (const auto link = watched.link.lock()) {
                    link->cut();
                }
                watched.link.reset();  // cut once
            }
            if (heldTooLong(watched)) {
                watched.heldBack();  // queues a request; never waits
            }
        }
        looking = !clients.empty();
        return looking ? std::optional(chores::Clock::now() + kEvery) : std::nullopt;
    }

    static bool unanswered(const Watched &watched) {
        const auto waited = watched.record.pingUnanswered();
        return waited && *waited >= *watched.bound;
    }

    static bool heldTooLong(Watched &watched) {
        const auto now = std::chrono::steady_clock::now();
        const std::uint64_t handedOver = watched.handedOver();
        if (watched.record.queuedMessages() <= 0 || handedOver != watched.lastHandedOver) {
            watched.lastHandedOver = handedOver;
            watched.stillSince = now;  // none held, or they are moving
            return false;
        }
        if (now - watched.stillSince < kHeldFor) {
            return false;
        }
        watched.stillSince = now;  // asked for now; again after as long
        return true;
    }

    static bool stuck(Watched &watched) {
        const auto now = std::chrono::steady_clock::now();
        const auto link = watched.link.lock();
        const long long unsent = link ? link->unsent() : -1;
        if (unsent <= 0) {
            watched.lastUnsent = -1;  // nothing waits in the socket: nothing is stuck
            return false;
        }
        if (watched.lastUnsent < 0 || unsent < watched.lastUnsent) {
            watched.shrunk = now;
        }
        watched.lastUnsent = unsent;
        return now - watched.shrunk >= *watched.bound;
    }

    std::mutex mutex;
    std::unordered_map<const void *, Watched> clients;
    bool looking = false;  // a look is scheduled
};

// Never destroyed: clients may be watched while the process exits.
Watch &watch() {
    static Watch *instance = std::make_unique<Watch>().release();
    return *instance;
}

}  // namespace

void start(const void *owner, const LibraryRecord &record,
           const std::shared_ptr<const BrokerLink> &link, int keepAlive,
           std::function<std::uint64_t()> handedOver, std::function<void()> heldBack) {
    if (!record.known()) {
        return;  // nothing to read
    }
    std::optional<std::chrono::milliseconds> bound;
    if (keepAlive > 0 && link != nullptr) {
        bound = std::chrono::milliseconds(keepAlive * 1500) + kMargin;
    }
    watch().add(owner, Watched{record, link, bound, std::move(handedOver), std::move(heldBack)});
}

void stop(const void *owner) { watch().remove(owner); }

}  // namespace tarnu::watch
