#include "callbacks.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tarnu::callbacks {
namespace {

struct Entry {
    SDK *client;
    int inside;  // callbacks running in the client through this context
    bool open;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable left;
    std::unordered_map<std::uintptr_t, Entry> entries;
    std::uintptr_t next = 1;
};

// Never destroyed: the library's threads may still call in while the process exits.
Registry &registry() {
    static Registry *instance = std::make_unique<Registry>().release();
    return *instance;
}

// The client behind a context, held for the length of one callback.
class Ref {
public:
    explicit Ref(void *context) : id(reinterpret_cast<std::uintptr_t>(context)) {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.entries.find(id);
        if (it != r.entries.end() && it->second.open) {
            ++it->second.inside;
            client = it->second.client;
        }
    }
    ~Ref() {
        if (client == nullptr) {
            return;
        }
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.entries.find(id);
        if (it == r.entries.end()) {
            return;
        }
        if (--it->second.inside == 0 && !it->second.open) {
            r.left.notify_all();
        }
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;

    SDK *operator->() const { return client; }
    explicit operator bool() const { return client != nullptr; }

private:
    std::uintptr_t id;
    SDK *client = nullptr;
};

}  // namespace

std::uintptr_t attach(SDK *client) {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::uintptr_t id = r.next++;
    r.entries.emplace(id, Entry{client, 0, true});
    return id;
}

void detach(std::uintptr_t context) {
    Registry &r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    auto it = r.entries.find(context);
    if (it == r.entries.end()) {
        return;
    }
    it->second.open = false;
    r.left.wait(lock, [&] { return r.entries.at(context).inside == 0; });
    r.entries.erase(context);
}

void connectionLost(void *context, char *cause) {
    if (Ref client{context}) {
        client->connectionLost(cause);
    }
}

int messageArrived(void *context, char *topicName, int /*topicLen*/,
                   MQTTClient_message *message) {
    // Copy first, then give the library its objects back: nothing below keeps them.
    bool complete = topicName != nullptr && message != nullptr &&
                    (message->payloadlen == 0 ||
                     (message->payload != nullptr && message->payloadlen > 0));
    std::string topic;
    std::string payload;
    try {
        if (complete) {
            topic.assign(topicName);  // up to the first zero byte
            payload.assign(static_cast<const char *>(message->payload),
                           static_cast<std::size_t>(message->payloadlen));
        }
    } catch (...) {
        complete = false;  // out of memory: the message is dropped
    }
    if (message != nullptr) {
        MQTTClient_freeMessage(&message);
    }
    if (topicName != nullptr) {
        MQTTClient_free(topicName);
    }
    if (complete) {
        if (Ref client{context}) {
            try {
                client->messageArrived(std::move(topic), std::move(payload));
            } catch (...) {
                // Out of memory while queueing: the message is dropped; nothing may
                // be thrown into the library.
            }
        }
    }
    return 1;
}

void deliveryComplete(void *context, MQTTClient_deliveryToken token) {
    if (Ref client{context}) {
        client->deliveryComplete(token);
    }
}

}  // namespace tarnu::callbacks
