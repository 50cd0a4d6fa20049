// Initialisation and connection control: init, connect, disconnect, stop, teardown.
#include "sdk.h"

#include "callbacks.h"
#include "events.h"
#include "host.h"
#include "log.h"
#include "paho_workarounds/hidden_socket.h"
#include "paho_workarounds/process_wide.h"
#include "process.h"
#include "paho_workarounds/keepalive_blind_spots.h"

#include <mutex>
#include <stdexcept>
#include <utility>

namespace {

// The library formats a trace record of every packet into an in-memory buffer by
// default, a fifth of the cost of receiving a message. Only errors are kept. Set
// before the first client is made, so that the library's own MQTT_C_CLIENT_TRACE_LEVEL
// setting, which it reads then, still wins for anyone debugging it.
void quietLibraryTrace() {
    static std::once_flag once;
    std::call_once(once, [] { MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR); });
}

// Counts a thread that is ending the connection (ConnectionLife::enterEnding), and wakes
// the publishes waiting for room or for their completion, which give up for it.
class Ending {
public:
    Ending(tarnu::ConnectionLife &life, tarnu::InFlight &inflight) : life(life) {
        life.enterEnding();
        inflight.wake();
    }
    ~Ending() { life.leaveEnding(); }
    Ending(const Ending &) = delete;
    Ending &operator=(const Ending &) = delete;

private:
    tarnu::ConnectionLife &life;
};

}  // namespace

SDK::SDK()
    : events(std::make_shared<tarnu::EventThread>()), madeIn(tarnu::process::generation()) {}

bool SDK::inherited() const { return madeIn != tarnu::process::generation(); }

void SDK::checkProcess() const {
    if (madeIn != tarnu::process::generation()) {
        throw std::runtime_error(
            "tarnu_sdk.SDK: this client was made before os.fork() and belongs to the parent "
            "process; make clients in the child only after an exec");
    }
}

void SDK::abandonInherited() {
    // Kept for good: their locks and waiters may belong to threads that do not exist
    // in this process, and the library's handle to a connection that is the parent's.
    std::make_unique<std::shared_ptr<tarnu::EventThread>>(std::move(events)).release();
    std::make_unique<std::thread>(std::move(reconnectThread)).release();
    life.abandon();
    inflight.abandon();
    handleGate.abandon();
    opMutex.abandon();
    client = nullptr;
}

SDK::~SDK() {
    if (madeIn != tarnu::process::generation()) {
        abandonInherited();
        return;
    }
    tarnu::MethodScope scope;
    Ending ending_(life, inflight);
    unstickPublish();
    std::unique_lock<tarnu::FairMutex> op(opMutex);
    // A client the interpreter's exit has stopped already has nothing left to end, and
    // its disconnect line was the last it had to say.
    if (!life.finished() || client != nullptr) {
        stopLocked(op, false);  // teardown must go on: a handler error is reported
    }
    op.unlock();
    events->finish();
}

void SDK::init(const std::string &clientId_, const std::string &brokerHost,
               const std::string &protocol, const std::string &username_,
               const std::string &password_, bool cleanSession, bool /*resumeSubs*/,
               bool /*connectRetry*/, bool autoReconnect_, int /*connectRetryInterval*/,
               int maxReconnectInterval_, int keepAlive, int /*pingTimeout*/,
               int writeTimeout, bool /*orderMatters*/, int connectTimeout,
               const std::string &edition_) {
    checkProcess();
    if (tarnu::process::libraryInherited()) {
        throw std::runtime_error(
            "tarnu_sdk.SDK: the MQTT library was in use when this process was forked and "
            "cannot be used in the child; make clients in the child only after an exec");
    }
    tarnu::MethodScope scope;
    Ending ending_(life, inflight);
    unstickPublish();
    std::unique_lock<tarnu::FairMutex> op(opMutex);
    if (client != nullptr) {
        // A second init ends the first client completely before making the next.
        stopLocked(op, true);
    }
    clientId = clientId_;
    username = username_;
    password = password_;
    edition = edition_;
    serverUri = protocol + "://" + brokerHost;

    events->start(this);
    MQTTClient created = nullptr;
    tarnu::process::noteLibraryUse();
    quietLibraryTrace();
    tarnu::network::keepRunning();
    int rc = MQTTClient_create(&created, serverUri.c_str(), clientId.c_str(),
                               MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        throw std::runtime_error("SDK::init \u2014 MQTTClient_create failed: " +
                                 std::to_string(rc));
    }
    {
        std::lock_guard<tarnu::HandleGate> made(handleGate);
        client = created;
    }
    record = tarnu::LibraryRecord(client, clientId);
    callbackId = tarnu::callbacks::attach(this);
    MQTTClient_setCallbacks(client, reinterpret_cast<void *>(callbackId),
                            tarnu::callbacks::connectionLost, tarnu::callbacks::messageArrived,
                            tarnu::callbacks::deliveryComplete);

    // The library reads TLS from the URI's scheme; it then needs TLS options, which
    // are made here with nothing to configure: the server's certificate must verify
    // against OpenSSL's default trust store (SSL_CERT_FILE / SSL_CERT_DIR move it) and
    // name the host (or IP address) of brokerHost. No fallback to an unverified link
    // exists. The protocol floor is OpenSSL's (the build requires OpenSSL 3, which at
    // the library's security level 1 speaks TLS 1.2 or newer only): with OpenSSL 1.1
    // and newer the library does not read sslVersion, which states the intent.
    const bool tls = protocol == "ssl" || protocol == "mqtts" || protocol == "wss";
    tlsOptions = MQTTClient_SSLOptions_initializer;
    tlsOptions.enableServerCertAuth = 1;
    tlsOptions.verify = 1;
    tlsOptions.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    tlsOptions.disableDefaultTrustStore = 0;
    connectOptions.ssl = tls ? &tlsOptions : nullptr;
    connectOptions.keepAliveInterval = keepAlive;
    connectOptions.cleansession = cleanSession ? 1 : 0;
    connectOptions.username = username.c_str();
    connectOptions.password = password.c_str();
    connectOptions.connectTimeout = connectTimeout;
    connectOptions.retryInterval = writeTimeout;
    maxReconnectInterval = maxReconnectInterval_;
    life.made(autoReconnect_);
}

bool SDK::connect() {
    checkProcess();
    tarnu::MethodScope scope;
    std::unique_lock<tarnu::FairMutex> op(opMutex);
    if (client == nullptr) {
        tarnu::log::err("[SDK] connect \u2014 call init() first");
        return false;
    }
    if (life.isConnected()) {
        tarnu::log::out("[SDK] Already connected");
        return true;
    }
    tarnu::Turn turn;
    const bool wait = !tarnu::EventThread::callingHandlers();
    {
        std::lock_guard<std::mutex> connecting(connectMutex);
        if (life.isConnected()) {
            // The reconnection worker got there first.
            tarnu::log::out("[SDK] Already connected");
            return true;
        }
        if (edition == "Enterprise") {
            sealPassword();
        }
        tarnu::ConnectAnnouncement announcement(*events);
        int rc = libraryConnect();
        if (rc != MQTTCLIENT_SUCCESS) {
            announcement.failed();
            tarnu::log::err("[SDK] connect failed, rc=" + std::to_string(rc));
            return false;
        }
        announcement.succeeded(wait ? &turn : nullptr, [this] { life.connected(); });
        // Outside the queue lock (a console nobody reads must not hold up the library's
        // thread); before the (true, 0), which waits for this thread's turn.
        tarnu::log::out("[SDK] Connected to " + serverUri);
    }
    op.unlock();
    if (wait) {
        events->awaitTurn(turn, true, 0, true);
    }
    return true;
}

bool SDK::disconnectLocked(tarnu::Turn *turn) {
    if (client == nullptr || !life.beginEnding()) {
        tarnu::log::out("[SDK] Not connected");
        return false;
    }
    // From here a loss the library reports is the program's end: nothing reconnects.
    drainOrCut([] { return false; });  // what the socket holds goes first, or the link is cut
    {
        tarnu::QueueHeldOpen open(*events);
        const int libraryWait = awaitMessagesInFlight();  // at most 10 s, ended by a loss
        std::lock_guard<tarnu::HandleGate> calling(handleGate);
        MQTTClient_disconnect(client, libraryWait);
    }
    if (connectOptions.cleansession != 0) {
        inflight.forget();  // the library ended the session and dropped its messages
    }
    dropLink();
    // No turn to wait for once the interpreter exits: no handler runs any more, and
    // the event thread may be held up by one that never returns.
    const bool wait = turn != nullptr && !tarnu::EventThread::callingHandlers() &&
                      tarnu::host::available();
    events->pushConnection(false, 0, wait ? turn : nullptr, [this] { life.disconnected(); });
    tarnu::log::out("[SDK] Disconnected");  // outside the queue lock, as in connect
    return wait;
}

void SDK::disconnect() {
    checkProcess();
    tarnu::MethodScope scope;
    Ending ending_(life, inflight);
    unstickPublish();
    std::unique_lock<tarnu::FairMutex> op(opMutex);
    tarnu::Turn turn;
    if (disconnectLocked(&turn)) {
        op.unlock();
        events->awaitTurn(turn, false, 0, true);
    }
}

bool SDK::is_connected() const {
    checkProcess();
    return life.isConnected();
}

void SDK::stop() {
    checkProcess();
    tarnu::MethodScope scope;
    Ending ending_(life, inflight);
    unstickPublish();
    std::unique_lock<tarnu::FairMutex> op(opMutex);
    stopLocked(op, true);
}

void SDK::stopAtExit() {
    if (madeIn != tarnu::process::generation()) {
        return;
    }
    events->discardMessages();
    tarnu::MethodScope scope;
    Ending ending_(life, inflight);
    unstickPublish();
    std::unique_lock<tarnu::FairMutex> op(opMutex);
    // A client that is neither connected nor reconnecting has nothing to end on the way
    // out (and no line to write): its deallocation, if it comes, tears it down. A loss
    // of its whose event is still queued must not start a reconnection now.
    if (life.closeUnlessActive()) {
        stopLocked(op, false);
        life.finishedAtExit();
    }
}

void SDK::stopLocked(std::unique_lock<tarnu::FairMutex> &op, bool rethrow) {
    tarnu::QueueHeldOpen open(*events);
    life.close();  // nothing reconnects from now on; a worker's back-off wait ends
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        worker = std::move(reconnectThread);
    }
    if (worker.joinable()) {
        worker.join();
    }
    tarnu::Turn turn;
    if (disconnectLocked(&turn)) {
        op.unlock();
        // A handler error thrown here ends stop before the client is destroyed; a
        // later stop finishes the job.
        events->awaitTurn(turn, false, 0, rethrow);
        op.lock();
        if (life.isConnected()) {
            disconnectLocked(nullptr);  // the handler connected again meanwhile
        }
    }
    releaseClient();
}

void SDK::releaseClient() {
    if (client == nullptr) {
        return;
    }
    tarnu::QueueHeldOpen open(*events);  // callbacks still running must not wait for room
    life.released();
    tarnu::callbacks::detach(callbackId);
    callbackId = 0;
    dropLink();
    tarnu::network::retire(client, record);
    inflight.forget();
    std::lock_guard<tarnu::HandleGate> releasing(handleGate);
    client = nullptr;
    record = tarnu::LibraryRecord();
}

int SDK::libraryConnect() {
    // The library's default would retry every refusal as MQTT 3.1, costing the broker
    // a second connection and hiding its answer behind the second one's.
    constexpr int kUnacceptableVersion = 1;
    std::lock_guard<tarnu::HandleGate> calling(handleGate);
    const tarnu::network::Connecting connecting;
    connectOptions.MQTTVersion = MQTTVERSION_3_1_1;
    connectOptions.maxInflightMessages = tarnu::InFlight::kLibraryLimit;
    int rc = MQTTClient_connect(client, &connectOptions);
    if (rc == kUnacceptableVersion) {
        connectOptions.MQTTVersion = MQTTVERSION_3_1;
        const int older = MQTTClient_connect(client, &connectOptions);
        connectOptions.MQTTVersion = MQTTVERSION_3_1_1;
        if (older >= 0) {
            rc = older;  // the broker's answer to 3.1; a transport failure keeps its first
        }
    }
    tarnu::network::paceKeepAlive(connectOptions.keepAliveInterval);
    if (rc == MQTTCLIENT_SUCCESS) {
        if (connectOptions.cleansession != 0) {
            inflight.forget();  // a clean session starts with nothing in flight
        }
        adoptLink();
    }
    return rc;
}

void SDK::adoptLink() {
    std::shared_ptr<const tarnu::BrokerLink> next;
    if (record.confirm(connectOptions, tarnu::InFlight::kLibraryLimit)) {
        next = tarnu::BrokerLink::adopt(client, record);
    }
    const std::weak_ptr<tarnu::EventThread> thread = events;
    tarnu::watch::start(
        this, record, next, connectOptions.keepAliveInterval,
        [thread] {
            const auto events = thread.lock();
            return events ? events->messagesHandedOver() : 0;
        },
        [thread] {
            if (const auto events = thread.lock()) {
                events->pushHandOver();
            }
        });
    std::lock_guard<std::mutex> lock(linkMutex);
    link.swap(next);
}

std::shared_ptr<const tarnu::BrokerLink> SDK::currentLink() const {
    std::lock_guard<std::mutex> lock(linkMutex);
    return link;
}

void SDK::dropLink() {
    tarnu::watch::stop(this);
    std::shared_ptr<const tarnu::BrokerLink> old;
    std::lock_guard<std::mutex> lock(linkMutex);
    link.swap(old);
}
