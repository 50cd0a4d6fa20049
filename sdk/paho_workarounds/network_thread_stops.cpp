// The library stops its network thread when no handle is connected, and tears down its
// lists when the last handle is destroyed; both race with other threads.
//
// Library: MQTTClient_connect (starts the network thread, MQTTClient_run, when it does
// not run), MQTTClient_disconnect_internal / MQTTClient_stop (tell it to stop when no
// other handle is connected) and MQTTClient_destroy / MQTTClient_terminate (free the
// library's lists with the last handle), Paho C 1.3.10 to 1.3.16. A connect made while
// the thread is told to stop but has not yet left starts no thread and stalls, or
// "succeeds" with no thread left to serve it (a keep-alive loss leaves that window open);
// a handle created while the library frees its lists is used after it was freed.
// What is done: the anchor, a library handle of the client's own connected to a private
// endpoint on the loopback interface from the first init on, keeps one handle connected
// for the life of the process: the library never stops its thread nor frees its lists.
// The anchor also carries the barrier that waits until the network thread has finished
// what it was doing (passThread) and the nudge that wakes it (wakeNetworkThread).
// Still needed? `make library-race` (tests/native/library_race.c) runs the race in C,
// without and with a handle kept connected.
#include "process_wide.h"

#include "anchor_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tarnu::network {
namespace {

using endpoint::Clock;
using endpoint::Descriptor;
using endpoint::listenOnLoopback;
using endpoint::randomId;
using endpoint::sendAll;
constexpr auto kHandshake = std::chrono::seconds(10);

class Anchor {
public:
    bool keep();
    bool pass(std::chrono::milliseconds timeout);
    bool connected() const { return up.load(); }
    void nudge();

private:
    static void lost(void *context, char *cause);
    static int arrived(void *context, char *topic, int topicLength, MQTTClient_message *message);

    std::mutex setupMutex;
    MQTTClient handle = nullptr;
    std::string id;
    std::atomic<bool> up{false};

    std::mutex passMutex;
    std::condition_variable passedCv;
    Descriptor endpoint;  // our end of the anchor's connection
    std::uint64_t sent = 0;
    std::uint64_t seen = 0;
};

// Never destroyed: the library's threads may call the anchor while the process exits.
Anchor &anchor() {
    static Anchor *instance = std::make_unique<Anchor>().release();
    return *instance;
}

bool Anchor::keep() {
    if (up.load()) {
        return true;
    }
    std::lock_guard<std::mutex> setup(setupMutex);
    if (up.load()) {
        return true;
    }
    std::string uri;
    Descriptor listener = listenOnLoopback(uri);
    if (listener.get() < 0) {
        return false;
    }
    // A new handle each time: after a lost anchor (something closed its endpoint) the
    // old one stays behind, disconnected; it is never destroyed, because a handle is
    // destroyed safely only once the anchor runs (see handle_used_after_callback.cpp).
    id = randomId();
    MQTTClient made = nullptr;
    if (MQTTClient_create(&made, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                          nullptr) != MQTTCLIENT_SUCCESS) {
        return false;
    }
    handle = made;
    MQTTClient_setCallbacks(handle, this, lost, arrived, nullptr);
    Descriptor served;
    std::thread server([&] { served = endpoint::serveHandshake(listener.get(), id, kHandshake); });
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.keepAliveInterval = 0;  // the library never pings it
    options.cleansession = 1;
    options.connectTimeout = static_cast<int>(kHandshake.count());
    options.MQTTVersion = MQTTVERSION_3_1_1;
    const int rc = MQTTClient_connect(handle, &options);
    if (rc != MQTTCLIENT_SUCCESS) {
        // The server stops waiting. (The library sends a plain connection through the
        // proxy that http_proxy names, if set, and this one then fails.)
        ::shutdown(listener.get(), SHUT_RDWR);
    }
    server.join();
    if (rc != MQTTCLIENT_SUCCESS || served.get() < 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(passMutex);
        endpoint = std::move(served);
    }
    up.store(true);
    return true;
}

bool Anchor::pass(std::chrono::milliseconds timeout) {
    if (!up.load()) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(passMutex);
    if (endpoint.get() < 0) {
        return false;
    }
    const std::uint64_t mine = ++sent;
    // A QoS 0 PUBLISH on topic "p" whose payload is the sequence number.
    unsigned char packet[13] = {0x30, 11, 0x00, 0x01, 'p'};
    std::memcpy(packet + 5, &mine, sizeof mine);
    if (!sendAll(endpoint.get(), packet, sizeof packet, deadline)) {
        return false;
    }
    return passedCv.wait_until(lock, deadline, [&] { return seen >= mine; });
}

void Anchor::nudge() {
    constexpr auto kAtMost = std::chrono::milliseconds(2);
    static const unsigned char pingresp[] = {0xD0, 0x00};  // harmless to the anchor
    if (up.load()) {
        std::lock_guard<std::mutex> writing(passMutex);
        if (endpoint.get() >= 0) {
            sendAll(endpoint.get(), pingresp, sizeof pingresp, Clock::now() + kAtMost);
        }
    }
}

void Anchor::lost(void *context, char * /*cause*/) {
    auto *self = static_cast<Anchor *>(context);
    self->up.store(false);
    std::lock_guard<std::mutex> lock(self->passMutex);
    self->endpoint.reset();
    self->passedCv.notify_all();
}

int Anchor::arrived(void *context, char *topic, int /*topicLength*/, MQTTClient_message *message) {
    auto *self = static_cast<Anchor *>(context);
    std::uint64_t number = 0;
    if (message != nullptr && message->payloadlen == static_cast<int>(sizeof number)) {
        std::memcpy(&number, message->payload, sizeof number);
    }
    if (message != nullptr) {
        MQTTClient_freeMessage(&message);
    }
    if (topic != nullptr) {
        MQTTClient_free(topic);
    }
    std::lock_guard<std::mutex> lock(self->passMutex);
    if (number > self->seen) {
        self->seen = number;
    }
    self->passedCv.notify_all();
    return 1;
}

}  // namespace

bool keepRunning() { return anchor().keep(); }

bool anchored() { return anchor().connected(); }

void wakeNetworkThread() { anchor().nudge(); }

bool passThread(std::chrono::milliseconds timeout) { return anchor().pass(timeout); }

}  // namespace tarnu::network
