// The library's keep-alive pace.
//
// The library runs its keep-alive work (sending PINGREQs, giving up on a missing
// PINGRESP) on one timer for the whole process, whose period every connect sets to a
// tenth of that connect's keep-alive (0.1 s to 5 s). Beside a client with a long
// keep-alive that connected last, a client with a short one pings up to 5 s late, and
// its broker drops it for the silence; its own losses are noticed as late. The
// library sets that period at the start of a connect, before it resolves the host, so
// after each connect of a client the pacer makes one of its own, with a keep-alive of
// 1 s, to an empty host name (and through a proxy of an empty name), which fails at
// once without a packet sent (the resolver refuses an empty name): the period is back to 0.1 s, the shortest there is, for
// every client. Run on a thread of its own, because the library lets only one connect
// run at a time and another client's may be waiting on its broker.
#include "network.h"


#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace tarnu::network {
namespace {

class Pacer {
public:
    void request() {
        std::lock_guard<std::mutex> lock(mutex);
        wanted = true;
        if (!thread.joinable()) {
            thread = std::thread([this] { run(); });
        }
        asked.notify_one();
    }

private:
    bool prepare() {
        // No callbacks: a handle without them never starts the network thread.
        return MQTTClient_create(&handle, "tcp://:1", "tarnu-pacer", MQTTCLIENT_PERSISTENCE_NONE,
                                 nullptr) == MQTTCLIENT_SUCCESS;
    }

    void run() {
        const bool ready = prepare();
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            asked.wait(lock, [this] { return wanted; });
            wanted = false;
            if (!ready) {
                continue;
            }
            lock.unlock();
            MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
            options.keepAliveInterval = 1;
            options.cleansession = 1;
            options.connectTimeout = 1;
            options.MQTTVersion = MQTTVERSION_3_1_1;
            // An empty proxy name fails as fast as the empty host name, where the
            // http_proxy variable would send the library to the proxy it names. The
            // library copies the name at every connect that gives one and frees the
            // copy only when the handle is destroyed (MQTTClient_connectURIVersion,
            // 1.3.10 to 1.3.16), but keeps and uses it for later connects: given once.
            options.httpProxy = proxyGiven ? nullptr : "";
            proxyGiven = true;
            MQTTClient_connect(handle, &options);  // fails, as intended
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable asked;
    bool wanted = false;
    bool proxyGiven = false;
    std::thread thread;
    MQTTClient handle = nullptr;
};

// Never destroyed: connects may be made while the process exits.
Pacer &pacer() {
    static Pacer *instance = std::make_unique<Pacer>().release();
    return *instance;
}

}  // namespace

void paceKeepAlive(int keepAlive) {
    if (keepAlive > 1) {
        pacer().request();
    }
}

}  // namespace tarnu::network
