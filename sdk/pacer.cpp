// The library's keep-alive pace.
//
// The library runs its keep-alive work (sending PINGREQs, giving up on a missing
// PINGRESP) on one timer for the whole process, whose period every connect sets to a
// tenth of that connect's keep-alive (0.1 s to 5 s). Beside a client with a long
// keep-alive that connected last, a client with a short one pings up to 5 s late, and
// its broker drops it for the silence; its own losses are noticed as late. The
// library sets that period at the start of a connect, before it opens any socket, so
// after each connect of a client the pacer makes one of its own, with a keep-alive of
// 1 s, to a loopback port that refuses at once: the period is back to 0.1 s, the
// shortest there is, for every client. Run on a thread of its own, because the
// library lets only one connect run at a time and another client's may be waiting on
// its broker.
#include "network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
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
    // A port that refuses: bound on the loopback interface, never listening, and kept
    // so that nothing else can listen on it.
    bool prepare() {
        reserved = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (reserved < 0 || ::bind(reserved, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            ::getsockname(reserved, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            return false;
        }
        const std::string uri = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        // No callbacks: a handle without them never starts the network thread.
        return MQTTClient_create(&handle, uri.c_str(), "tarnu-pacer", MQTTCLIENT_PERSISTENCE_NONE,
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
            MQTTClient_connect(handle, &options);  // refused, as intended
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable asked;
    bool wanted = false;
    std::thread thread;
    MQTTClient handle = nullptr;
    int reserved = -1;
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
