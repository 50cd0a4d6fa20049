// The benchmark's native ceiling: the Paho C synchronous calls that tarnu_sdk makes,
// made the same way but without Python, so that bench/run.py can show how close the
// client gets to what the library allows.
//
//   native_ceiling MODE --port N [--scheme tcp] [--host H] [--count N] [--warmup N]
//                  [--payload BYTES] [--topic T] [--rate MSGS_PER_S] [--rss-warmup N]
//                  [--id CLIENT_ID]
//
// Modes (the same as bench/workers.py, and the same output):
//   pub      --warmup untimed publishes, then --count timed QoS 0 publishes of
//            --payload bytes, then one QoS 1 publish whose completion ends the clock
//            (everything before it has left the client).
//   pub1     --count QoS 1 publishes, each waiting for its completion, which the
//            deliveryComplete callback signals with a condition variable.
//   sub      subscribes to --topic, prints READY, counts --count messages on the
//            consumer thread, timed from the first to the last; VmRSS is read after
//            --rss-warmup messages and at the end (the RSS growth), with VmHWM.
//            With --hold 1 the consumer holds the first message until a line arrives
//            on stdin (the backlog builds up meanwhile), and the clock runs from then
//            to the last message: the rate at which a backlog drains.
//   latency  subscribes to --topic and publishes --warmup + --count messages to it at
//            --rate msg/s, each carrying its send time (CLOCK_MONOTONIC, ns); the
//            consumer thread records receive time minus send time.
//   connect  --warmup + --count cycles, each with a client of its own (created and
//            destroyed untimed): MQTTClient_connect and a first QoS 1 publish up to
//            its completion, timed together, then MQTTClient_disconnect, timed on
//            its own; the medians in milliseconds.
//   feed     the inbound workloads' publisher: --count QoS 0 messages to --topic at
//            full speed (or --rate), then one QoS 1 message to --topic/end and waits
//            for its completion.
//
// Messages arrive the way they reach tarnu_sdk's handlers: the library's callback
// thread copies topic and payload into std::strings, frees the library's objects and
// hands them over a bounded queue (8192 messages / 32 MiB, the client's limits) to a
// consumer thread, which takes whole batches under the lock.
//
// Like the client, it calls MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR) before
// the first client is made, so the library does not format a trace record of every
// packet; --paho-trace-level N chooses another level (experiments only).
// --consumer-spin-us N (experiments only) lets the consumer thread watch the queue for
// up to N µs after a batch before it sleeps on the condition variable, so that a
// message arriving meanwhile costs no futex wake-up.
//
// Output: "READY" (sub) and one line "RESULT {json}" on stdout; errors on stderr.
#include <MQTTClient.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as Python's time.monotonic_ns

constexpr std::size_t kMaxQueuedMessages = 8192;
constexpr std::size_t kMaxQueuedBytes = std::size_t{32} << 20;
constexpr auto kCompletionTimeout = std::chrono::seconds(10);

struct Options {
    std::string mode;
    std::string scheme = "tcp";  // the URI's scheme: only plain TCP is benchmarked so far
    std::string host = "127.0.0.1";
    int port = 0;
    long count = 100000;
    long warmup = 0;
    long payload = 100;
    std::string topic = "bench/native";
    double rate = 0;
    long rssWarmup = 0;
    bool hold = false;
    int pahoTraceLevel = MQTTCLIENT_TRACE_ERROR;
    long consumerSpinUs = 0;
    std::string id;
    double startTimeout = 30;  // seconds to wait for the first message
    double idleTimeout = 5;    // seconds without a message before a receiver gives up
};

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "native_ceiling: %s\n", what.c_str());
    std::exit(2);
}

Options parse(int argc, char **argv) {
    if (argc < 2) {
        die("usage: native_ceiling pub|pub1|sub|latency|connect|feed --port N [options]");
    }
    Options o;
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string key = argv[i];
        if (i + 1 >= argc) {
            die("missing value for " + key);
        }
        std::string value = argv[++i];
        if (key == "--scheme") {
            o.scheme = value;
        } else if (key == "--host") {
            o.host = value;
        } else if (key == "--port") {
            o.port = std::atoi(value.c_str());
        } else if (key == "--count") {
            o.count = std::atol(value.c_str());
        } else if (key == "--warmup") {
            o.warmup = std::atol(value.c_str());
        } else if (key == "--payload") {
            o.payload = std::atol(value.c_str());
        } else if (key == "--topic") {
            o.topic = value;
        } else if (key == "--rate") {
            o.rate = std::atof(value.c_str());
        } else if (key == "--rss-warmup") {
            o.rssWarmup = std::atol(value.c_str());
        } else if (key == "--paho-trace-level") {
            o.pahoTraceLevel = std::atoi(value.c_str());
        } else if (key == "--consumer-spin-us") {
            o.consumerSpinUs = std::atol(value.c_str());
        } else if (key == "--hold") {
            o.hold = std::atoi(value.c_str()) != 0;
        } else if (key == "--id") {
            o.id = value;
        } else if (key == "--start-timeout") {
            o.startTimeout = std::atof(value.c_str());
        } else if (key == "--idle-timeout") {
            o.idleTimeout = std::atof(value.c_str());
        } else {
            die("unknown option " + key);
        }
    }
    if (o.port <= 0 || o.count <= 0 || o.warmup < 0 || o.payload < 0) {
        die("bad --port, --count, --warmup or --payload");
    }
    if (o.id.empty()) {
        o.id = "native-" + o.mode + "-" + std::to_string(::getpid());
    }
    return o;
}

// VmRSS and VmHWM of this process, in KiB.
struct Rss {
    long rss = -1;
    long hwm = -1;
};

Rss readRss() {
    Rss r;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            r.rss = std::atol(line.c_str() + 6);
        } else if (line.rfind("VmHWM:", 0) == 0) {
            r.hwm = std::atol(line.c_str() + 6);
        }
    }
    return r;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the whole process (all threads), as Python's time.process_time().
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

class Client {
public:
    explicit Client(const Options &o) : options(o) {}
    ~Client() {
        stopConsumer();
        if (client != nullptr) {
            if (MQTTClient_isConnected(client)) {
                MQTTClient_disconnect(client, 10000);
            }
            MQTTClient_destroy(&client);
        }
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // MQTTClient_create and the callbacks (tarnu_sdk's init); connect() does it if
    // it has not been done.
    void create() {
        const std::string uri =
            options.scheme + "://" + options.host + ":" + std::to_string(options.port);
        int rc = MQTTClient_create(&client, uri.c_str(), options.id.c_str(),
                                   MQTTCLIENT_PERSISTENCE_NONE, nullptr);
        if (rc != MQTTCLIENT_SUCCESS) {
            die("MQTTClient_create failed, rc=" + std::to_string(rc));
        }
        rc = MQTTClient_setCallbacks(client, this, &Client::onConnectionLost,
                                     &Client::onMessageArrived, &Client::onDeliveryComplete);
        if (rc != MQTTCLIENT_SUCCESS) {
            die("MQTTClient_setCallbacks failed, rc=" + std::to_string(rc));
        }
    }

    void connect() {
        if (client == nullptr) {
            create();
        }
        // The options tarnu_sdk.SDK.init sets (keepAlive 30, writeTimeout 10,
        // connectTimeout 30), with a clean session as in every benchmark client.
        MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
        opts.keepAliveInterval = 30;
        opts.cleansession = 1;
        opts.connectTimeout = 30;
        opts.retryInterval = 10;
        const int rc = MQTTClient_connect(client, &opts);
        if (rc != MQTTCLIENT_SUCCESS) {
            die("MQTTClient_connect failed, rc=" + std::to_string(rc));
        }
        connected = true;
    }

    void subscribe(const std::string &topic) {
        int rc = MQTTClient_subscribe(client, topic.c_str(), 0);
        if (rc != MQTTCLIENT_SUCCESS) {
            die("MQTTClient_subscribe failed, rc=" + std::to_string(rc));
        }
    }

    // QoS 0: returns when the library has taken the message. QoS 1: waits for its
    // completion. False when the library refused it or completion did not come.
    bool publish(const std::string &topic, const char *data, std::size_t size, int qos) {
        MQTTClient_message message = MQTTClient_message_initializer;
        message.payload = const_cast<char *>(data);
        message.payloadlen = static_cast<int>(size);
        message.qos = qos;
        MQTTClient_deliveryToken token = 0;
        if (qos != 0) {
            std::lock_guard<std::mutex> lock(deliveryMutex);
            delivered.clear();  // publishes are serialised: anything recorded is stale
        }
        int rc = MQTTClient_publishMessage(client, topic.c_str(), &message, &token);
        if (rc != MQTTCLIENT_SUCCESS) {
            return false;
        }
        if (token == 0) {
            return true;
        }
        const auto deadline = Clock::now() + kCompletionTimeout;
        std::unique_lock<std::mutex> lock(deliveryMutex);
        for (;;) {
            if (std::find(delivered.begin(), delivered.end(), token) != delivered.end()) {
                return true;
            }
            if (!connected) {
                return false;
            }
            if (deliveryCv.wait_until(lock, deadline) == std::cv_status::timeout) {
                return false;
            }
        }
    }

    // The consumer thread: calls `handle(topic, payload)` for every message, in order.
    template <class Handler>
    void startConsumer(Handler handle) {
        consumer = std::thread([this, handle]() mutable {
            std::deque<Event> batch;
            for (;;) {
                if (options.consumerSpinUs > 0) {
                    const auto until = Clock::now() + std::chrono::microseconds(options.consumerSpinUs);
                    while (queued.load(std::memory_order_relaxed) == 0 && Clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
                        __builtin_ia32_pause();
#endif
                    }
                }
                {
                    std::unique_lock<std::mutex> lock(queueMutex);
                    consumerWaiting = true;
                    notEmpty.wait(lock, [this] { return !queue.empty() || quitting; });
                    consumerWaiting = false;
                    if (queue.empty()) {
                        return;
                    }
                    batch.swap(queue);
                    queuedBytes = 0;
                    queued.store(0, std::memory_order_relaxed);
                    if (producersWaiting > 0) {
                        notFull.notify_all();
                    }
                }
                for (Event &event : batch) {
                    handle(event.topic, event.payload);
                }
                batch.clear();
            }
        });
    }

    void stopConsumer() {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            quitting = true;
            notEmpty.notify_all();
            notFull.notify_all();
        }
        if (consumer.joinable()) {
            consumer.join();
        }
    }

    bool isConnected() const { return connected; }

    // As tarnu_sdk's disconnect: up to 10 s for messages in flight.
    void disconnect() {
        connected = false;
        MQTTClient_disconnect(client, 10000);
    }

private:
    struct Event {
        std::string topic;
        std::string payload;
    };

    static int onMessageArrived(void *context, char *topicName, int /*topicLen*/,
                                MQTTClient_message *message) {
        std::string topic(topicName);
        std::string payload(static_cast<const char *>(message->payload),
                            static_cast<std::size_t>(message->payloadlen));
        MQTTClient_freeMessage(&message);
        MQTTClient_free(topicName);
        static_cast<Client *>(context)->push(std::move(topic), std::move(payload));
        return 1;
    }

    static void onDeliveryComplete(void *context, MQTTClient_deliveryToken token) {
        auto *self = static_cast<Client *>(context);
        std::lock_guard<std::mutex> lock(self->deliveryMutex);
        self->delivered.push_back(token);
        self->deliveryCv.notify_all();
    }

    static void onConnectionLost(void *context, char * /*cause*/) {
        auto *self = static_cast<Client *>(context);
        std::fprintf(stderr, "native_ceiling: connection lost\n");
        std::lock_guard<std::mutex> lock(self->deliveryMutex);
        self->connected = false;
        self->deliveryCv.notify_all();
    }

    void push(std::string topic, std::string payload) {
        const std::size_t bytes = topic.size() + payload.size();
        std::unique_lock<std::mutex> lock(queueMutex);
        while (!queue.empty() &&
               (queue.size() >= kMaxQueuedMessages || queuedBytes + bytes > kMaxQueuedBytes) &&
               !quitting) {
            ++producersWaiting;
            notFull.wait_for(lock, std::chrono::milliseconds(20));
            --producersWaiting;
        }
        queuedBytes += bytes;
        queue.push_back(Event{std::move(topic), std::move(payload)});
        queued.store(queue.size(), std::memory_order_relaxed);
        if (consumerWaiting) {
            notEmpty.notify_one();
        }
    }

    const Options &options;
    MQTTClient client = nullptr;
    std::atomic<bool> connected{false};

    std::mutex deliveryMutex;
    std::condition_variable deliveryCv;
    std::vector<MQTTClient_deliveryToken> delivered;

    std::mutex queueMutex;
    std::condition_variable notEmpty;
    std::condition_variable notFull;
    std::deque<Event> queue;
    std::size_t queuedBytes = 0;
    std::atomic<std::size_t> queued{0};  // queue.size(), for --consumer-spin-us
    bool consumerWaiting = false;
    int producersWaiting = 0;
    bool quitting = false;
    std::thread consumer;
};

// Counts of what a receiver saw, shared between the consumer and the main thread.
struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    long received = 0;
    bool released = false;
    Clock::time_point first{};
    Clock::time_point last{};
    Rss warm;
    double cpuStart = 0;
};

// Waits until `tally` has `want` messages, or the start or idle timeout has passed.
void awaitMessages(Tally &tally, long want, const Options &o) {
    std::unique_lock<std::mutex> lock(tally.mutex);
    const auto start = Clock::now();
    long seen = -1;
    auto lastChange = start;
    while (tally.received < want) {
        tally.changed.wait_for(lock, std::chrono::milliseconds(100));
        const auto now = Clock::now();
        if (tally.received != seen) {
            seen = tally.received;
            lastChange = now;
        }
        if (tally.received == 0 ? seconds(now - start) > o.startTimeout
                                : seconds(now - lastChange) > o.idleTimeout) {
            return;
        }
    }
}

std::string payloadOf(long size) { return std::string(static_cast<std::size_t>(size), 'x'); }

void result(const std::ostringstream &fields) {
    std::printf("RESULT {\"client\": \"native\", %s}\n", fields.str().c_str());
    std::fflush(stdout);
}

int runPublish(const Options &o, int qos) {
    Client c(o);
    c.connect();
    const std::string payload = payloadOf(o.payload);
    for (long i = 0; i < o.warmup; ++i) {
        c.publish(o.topic, payload.data(), payload.size(), qos);
    }
    long ok = 0;
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    for (long i = 0; i < o.count; ++i) {
        ok += c.publish(o.topic, payload.data(), payload.size(), qos) ? 1 : 0;
    }
    bool flushed = true;
    if (qos == 0) {
        // Completion of a QoS 1 message after them: everything has left the client.
        flushed = c.publish(o.topic, payload.data(), payload.size(), 1);
    }
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds() - cpuStart;
    std::ostringstream out;
    out << "\"mode\": \"" << o.mode << "\", \"count\": " << o.count << ", \"ok\": " << ok
        << ", \"flushed\": " << (flushed ? "true" : "false") << ", \"elapsed\": " << elapsed
        << ", \"rate\": " << (static_cast<double>(o.count) / elapsed)
        << ", \"cpu_us\": " << (cpu * 1e6 / static_cast<double>(o.count));
    result(out);
    return ok == o.count && flushed ? 0 : 1;
}

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int runConnect(const Options &o) {
    const std::string payload = payloadOf(o.payload);
    std::vector<double> connects;
    std::vector<double> disconnects;
    long ok = 0;
    for (long i = 0; i < o.warmup + o.count; ++i) {
        Options cycle = o;
        cycle.id = o.id + "-" + std::to_string(i);
        Client c(cycle);
        c.create();
        const auto t0 = Clock::now();
        c.connect();
        const bool acked = c.publish(o.topic, payload.data(), payload.size(), 1);
        const auto t1 = Clock::now();
        c.disconnect();
        const auto t2 = Clock::now();
        if (i >= o.warmup) {
            ok += acked ? 1 : 0;
            connects.push_back(seconds(t1 - t0) * 1e3);
            disconnects.push_back(seconds(t2 - t1) * 1e3);
        }
    }
    std::ostringstream out;
    out << "\"mode\": \"connect\", \"count\": " << o.count << ", \"ok\": " << ok
        << ", \"connect_ms\": " << medianOf(connects)
        << ", \"connect_max_ms\": " << *std::max_element(connects.begin(), connects.end())
        << ", \"disconnect_ms\": " << medianOf(disconnects)
        << ", \"disconnect_max_ms\": "
        << *std::max_element(disconnects.begin(), disconnects.end());
    result(out);
    return ok == o.count ? 0 : 1;
}

int runFeed(const Options &o) {
    Client c(o);
    c.connect();
    const std::string payload = payloadOf(o.payload);
    long ok = 0;
    const auto start = Clock::now();
    const auto interval = o.rate > 0 ? std::chrono::duration<double>(1.0 / o.rate)
                                     : std::chrono::duration<double>(0);
    for (long i = 0; i < o.count; ++i) {
        if (o.rate > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(interval * i));
        }
        ok += c.publish(o.topic, payload.data(), payload.size(), 0) ? 1 : 0;
    }
    const bool flushed = c.publish(o.topic + "/end", "end", 3, 1);
    const double elapsed = seconds(Clock::now() - start);
    std::ostringstream out;
    out << "\"mode\": \"feed\", \"count\": " << o.count << ", \"ok\": " << ok
        << ", \"flushed\": " << (flushed ? "true" : "false") << ", \"elapsed\": " << elapsed
        << ", \"rate\": " << (static_cast<double>(o.count) / elapsed);
    result(out);
    return ok == o.count && flushed ? 0 : 1;
}

int runSubscribe(const Options &o) {
    Tally tally;
    Client c(o);
    c.startConsumer([&tally, &o](const std::string &, const std::string &) {
        std::unique_lock<std::mutex> lock(tally.mutex);
        if (o.hold && tally.received == 0) {
            tally.changed.wait(lock, [&tally] { return tally.released; });
        }
        const auto now = Clock::now();
        if (tally.received == 0 && !o.hold) {
            tally.first = now;
        }
        tally.last = now;
        ++tally.received;
        if (tally.received == o.rssWarmup) {
            tally.warm = readRss();
        }
        if (tally.received == o.count) {
            tally.changed.notify_all();
        }
    });
    c.connect();
    c.subscribe(o.topic);
    tally.cpuStart = cpuSeconds();
    std::printf("READY\n");
    std::fflush(stdout);
    if (o.hold) {
        char line[64];
        if (std::fgets(line, sizeof line, stdin) == nullptr) {
            die("--hold: stdin closed before the go-ahead");
        }
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.released = true;
        tally.first = Clock::now();
        tally.cpuStart = cpuSeconds();
        tally.changed.notify_all();
    }
    awaitMessages(tally, o.count, o);
    const double cpu = cpuSeconds();
    const Rss end = readRss();
    std::lock_guard<std::mutex> lock(tally.mutex);
    const double elapsed = seconds(tally.last - tally.first);
    std::ostringstream out;
    out << "\"mode\": \"sub\", \"count\": " << o.count << ", \"received\": " << tally.received
        << ", \"elapsed\": " << elapsed << ", \"rate\": "
        << (elapsed > 0 ? static_cast<double>(tally.received - (o.hold ? 0 : 1)) / elapsed
                        : 0.0)
        << ", \"cpu_us\": "
        << ((cpu - tally.cpuStart) * 1e6 / static_cast<double>(std::max(tally.received, 1L)))
        << ", \"rss_warm_kib\": " << tally.warm.rss << ", \"rss_end_kib\": " << end.rss
        << ", \"hwm_kib\": " << end.hwm;
    result(out);
    return tally.received == o.count ? 0 : 1;
}

int runLatency(const Options &o) {
    Tally tally;
    std::vector<std::int64_t> latencies;
    latencies.reserve(static_cast<std::size_t>(o.warmup + o.count));
    Client c(o);
    c.startConsumer([&tally, &latencies](const std::string &, const std::string &payload) {
        const std::int64_t now = monotonicNs();
        const std::int64_t sent = std::strtoll(payload.c_str(), nullptr, 10);
        std::lock_guard<std::mutex> lock(tally.mutex);
        latencies.push_back(now - sent);
        ++tally.received;
        tally.changed.notify_all();
    });
    c.connect();
    c.subscribe(o.topic);
    const double rate = o.rate > 0 ? o.rate : 1000;
    const long total = o.warmup + o.count;
    const auto interval = std::chrono::duration<double>(1.0 / rate);
    std::string payload = payloadOf(std::max(o.payload, 24L));
    const auto start = Clock::now();
    long ok = 0;
    for (long i = 0; i < total; ++i) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(interval * i));
        char stamp[24];
        std::snprintf(stamp, sizeof stamp, "%020lld", static_cast<long long>(monotonicNs()));
        std::memcpy(payload.data(), stamp, 20);
        ok += c.publish(o.topic, payload.data(), payload.size(), 0) ? 1 : 0;
    }
    awaitMessages(tally, total, o);
    std::lock_guard<std::mutex> lock(tally.mutex);
    std::vector<std::int64_t> measured;
    if (latencies.size() > static_cast<std::size_t>(o.warmup)) {
        measured.assign(latencies.begin() + o.warmup, latencies.end());
    }
    std::sort(measured.begin(), measured.end());
    auto pct = [&measured](double p) -> double {
        if (measured.empty()) {
            return -1;
        }
        std::size_t rank = static_cast<std::size_t>(
            p / 100.0 * static_cast<double>(measured.size()) + 0.999999);
        rank = std::min(std::max<std::size_t>(rank, 1), measured.size());
        return static_cast<double>(measured[rank - 1]) / 1000.0;
    };
    std::ostringstream out;
    out << "\"mode\": \"latency\", \"count\": " << total << ", \"ok\": " << ok
        << ", \"received\": " << tally.received << ", \"p50_us\": " << pct(50)
        << ", \"p99_us\": " << pct(99) << ", \"max_us\": " << pct(100);
    result(out);
    return tally.received == total ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    if (o.pahoTraceLevel > 0) {
        MQTTClient_setTraceLevel(static_cast<MQTTCLIENT_TRACE_LEVELS>(o.pahoTraceLevel));
    }
    if (o.mode == "pub") {
        return runPublish(o, 0);
    }
    if (o.mode == "pub1") {
        return runPublish(o, 1);
    }
    if (o.mode == "connect") {
        return runConnect(o);
    }
    if (o.mode == "feed") {
        return runFeed(o);
    }
    if (o.mode == "sub") {
        return runSubscribe(o);
    }
    if (o.mode == "latency") {
        return runLatency(o);
    }
    die("unknown mode " + o.mode);
}
