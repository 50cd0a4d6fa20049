// The library's keep-alive timer is one for the whole process.
//
// Library: setRetryLoopInterval, called by MQTTClient_connectURIVersion, and the
// keep-alive work of MQTTClient_run (MQTTClient_retry, MQTTProtocol_keepalive), Paho C
// 1.3.10 to 1.3.16. The library runs its keep-alive work (sending PINGREQs, giving up on
// a missing PINGRESP) on one timer for the whole process, whose period every connect sets
// to a tenth of that connect's keep-alive (0.1 s to 5 s). Beside a client with a long
// keep-alive that connected last, a client with a short one pings up to 5 s late, and its
// broker drops it for the silence; its own losses are noticed as late.
// What is done: the library sets that period at the start of a connect, before it
// resolves the host, so after each connect of a client with a keep-alive over 1 s, the
// pacer makes one of its own, with a keep-alive of 1 s, to an empty host name (and
// through a proxy of an empty name), which fails at once without a packet sent (the
// resolver refuses an empty name): the period is back to 0.1 s, the shortest there is,
// for every client. It runs on the library chore thread (chores.h): the library lets one
// connect run at a time, and another client's may be waiting on its broker.
// Still needed? Connect a client with keepAlive=1, then another with keepAlive=50, freeze
// the first one's link: its loss must be reported about 2.5 s later
// (tests/test_half_open.py), not 5 s or more.
#include "process_wide.h"

#include "chores.h"

#include <memory>
#include <mutex>
#include <optional>

namespace tarnu::network {
namespace {

class Pacer {
public:
    void request() {
        std::lock_guard<std::mutex> lock(mutex);
        if (wanted) {
            return;  // a pace that has not begun yet covers this connect too
        }
        wanted = true;
        chores::library().now([this] {
            {
                std::lock_guard<std::mutex> begun(mutex);
                wanted = false;
            }
            pace();
            return std::optional<chores::Clock::time_point>();
        });
    }

private:
    // A handle of its own for each connect, destroyed right after. Kept, it would stay
    // in the library's list of handles with socket 0 for ever, ahead of every handle
    // made after it: the library's thread hands out the messages a disconnected handle
    // still holds only for the first handle in its list whose socket is 0
    // (ListFindItem(handles, 0) in MQTTClient_run, 1.3.10 to 1.3.16), so a stopped
    // client's messages would never be handed out and its handle never retired. Never
    // connected and without callbacks, the handle is destroyed safely (the library's
    // thread never lets go of its lock while it looks at such a handle); a handle kept
    // across connects would also keep a copy of the proxy name from each (the library's
    // connect copies it and frees only the last at destroy).
    static void pace() {
        MQTTClient handle = nullptr;
        // No callbacks: a handle without them never starts the network thread.
        if (MQTTClient_create(&handle, "tcp://:1", "tarnu-pacer", MQTTCLIENT_PERSISTENCE_NONE,
                              nullptr) != MQTTCLIENT_SUCCESS) {
            return;
        }
        MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
        options.keepAliveInterval = 1;
        options.cleansession = 1;
        options.connectTimeout = 1;
        options.MQTTVersion = MQTTVERSION_3_1_1;
        // An empty proxy name fails as fast as the empty host name, where the http_proxy
        // variable would send the library to the proxy it names.
        options.httpProxy = "";
        MQTTClient_connect(handle, &options);  // fails, as intended
        MQTTClient_destroy(&handle);
    }

    std::mutex mutex;
    bool wanted = false;  // a pace is scheduled and has not begun
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
