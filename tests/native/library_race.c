/* library_race: the Paho MQTT C synchronous library's own race, without this project.
 *
 * Why it exists: the library runs one network thread for the whole process. A connect
 * starts it when it is not running; a disconnect stops it when no handle is connected
 * any more (waiting for it in 100 ms naps); a destroy of the last handle also frees the
 * library's lists of clients and handles. These starts, stops and frees race with
 * create, connect and destroy called on other threads: a connect can find the thread
 * "running" just before it ends and go on without it (a stalled connect, a client that
 * never gets its messages), and the lists can be freed under the thread (a crash).
 * With one extra "anchor" client kept connected for the whole run, no handle count
 * ever reaches zero: the library never stops the thread nor frees its lists, and the
 * same churn runs clean. tarnu_sdk keeps such an anchor for the life of the process.
 *
 *   library_race HOST:PORT [--threads N] [--rounds R] [--anchor] [--timeout S]
 *
 * Each of N threads runs R rounds of: create, connect, subscribe (QoS 1), publish
 * (QoS 1) to that subscription, wait up to 5 s for the message, disconnect, destroy.
 * It prints one summary line. Exit status: 0 clean; 1 a connect, subscribe or delivery
 * failed, or a connect took over 1 s; 3 the whole run outlived --timeout (a stall);
 * a crash ends it by its signal. `make library-race` runs it with and without the
 * anchor against a private mosquitto.
 */
#define _GNU_SOURCE
#include <MQTTClient.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char *address;
static int threads = 4, rounds = 100, use_anchor, timeout_s = 240;
static atomic_int done_rounds, connect_failed, subscribe_failed, lost, slow_connects;
static atomic_long slowest_connect_ms;
static atomic_int finished;

typedef struct {
    atomic_int arrived;
} round_state;

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int on_message(void *context, char *topic, int topic_len, MQTTClient_message *message) {
    (void)topic_len;
    if (context)
        atomic_store(&((round_state *)context)->arrived, 1);
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

static void on_lost(void *context, char *cause) {
    (void)context;
    (void)cause;
}

/* A client made, connected and used; NULL if any step failed (counted). */
static MQTTClient connect_one(const char *client_id, round_state *state) {
    char uri[256];
    MQTTClient client = NULL;
    snprintf(uri, sizeof uri, "tcp://%s", address);
    if (MQTTClient_create(&client, uri, client_id, MQTTCLIENT_PERSISTENCE_NONE, NULL)
            != MQTTCLIENT_SUCCESS) {
        atomic_fetch_add(&connect_failed, 1);
        return NULL;
    }
    /* A message callback: without one the library never starts its network thread. */
    MQTTClient_setCallbacks(client, state, on_lost, on_message, NULL);
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.keepAliveInterval = 30;
    options.cleansession = 1;
    options.connectTimeout = 10;
    double started = now();
    int rc = MQTTClient_connect(client, &options);
    long took_ms = (long)((now() - started) * 1000);
    long slowest = atomic_load(&slowest_connect_ms);
    while (took_ms > slowest && !atomic_compare_exchange_weak(&slowest_connect_ms, &slowest, took_ms))
        ;
    if (took_ms > 1000)
        atomic_fetch_add(&slow_connects, 1);
    if (rc != MQTTCLIENT_SUCCESS) {
        atomic_fetch_add(&connect_failed, 1);
        MQTTClient_destroy(&client);
        return NULL;
    }
    return client;
}

static void one_round(int worker, int number) {
    char client_id[96], topic[128];
    round_state state = {0};
    snprintf(client_id, sizeof client_id, "race-%d-%d-%d", (int)getpid(), worker, number);
    snprintf(topic, sizeof topic, "library-race/%d/%d/%d", (int)getpid(), worker, number);
    MQTTClient client = connect_one(client_id, &state);
    if (client == NULL)
        return;
    if (MQTTClient_subscribe(client, topic, 1) != MQTTCLIENT_SUCCESS) {
        atomic_fetch_add(&subscribe_failed, 1);
    } else {
        MQTTClient_deliveryToken token;
        char payload[] = "x";
        if (MQTTClient_publish(client, topic, 1, payload, 1, 0, &token) == MQTTCLIENT_SUCCESS)
            MQTTClient_waitForCompletion(client, token, 5000);
        double deadline = now() + 5;
        while (!atomic_load(&state.arrived) && now() < deadline)
            usleep(1000);
        if (!atomic_load(&state.arrived))
            atomic_fetch_add(&lost, 1);
    }
    MQTTClient_disconnect(client, 0);
    MQTTClient_destroy(&client);
    atomic_fetch_add(&done_rounds, 1);
}

static void *worker_main(void *arg) {
    int worker = (int)(long)arg;
    for (int number = 0; number < rounds; ++number)
        one_round(worker, number);
    return NULL;
}

static void report(const char *verdict) {
    printf("[library-race] %s: anchor %s, %d threads x %d rounds, %d rounds done,"
           " %d connects failed, %d slower than 1 s (slowest %ld ms),"
           " %d subscribes failed, %d messages lost\n",
           verdict, use_anchor ? "yes" : "no", threads, rounds, atomic_load(&done_rounds),
           atomic_load(&connect_failed), atomic_load(&slow_connects),
           atomic_load(&slowest_connect_ms), atomic_load(&subscribe_failed),
           atomic_load(&lost));
    fflush(stdout);
}

/* Ends the run with status 3 if it outlives --timeout seconds. */
static void *watchdog_main(void *arg) {
    (void)arg;
    for (int waited = 0; waited < timeout_s * 10; ++waited) {
        if (atomic_load(&finished))
            return NULL;
        usleep(100000);
    }
    report("STALLED");
    _exit(3);
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = atoi(argv[++i]);
        else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = atoi(argv[++i]);
        else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeout_s = atoi(argv[++i]);
        else if (strcmp(argv[i], "--anchor") == 0)
            use_anchor = 1;
        else if (argv[i][0] != '-' && address == NULL)
            address = argv[i];
        else
            address = NULL, i = argc;
    }
    if (address == NULL || threads < 1 || rounds < 1 || timeout_s < 1) {
        fprintf(stderr, "usage: %s HOST:PORT [--threads N] [--rounds R] [--anchor]"
                        " [--timeout S]\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    pthread_t watchdog;
    pthread_create(&watchdog, NULL, watchdog_main, NULL);

    MQTTClient anchor = NULL;
    if (use_anchor) {
        char anchor_id[64];
        snprintf(anchor_id, sizeof anchor_id, "race-anchor-%d", (int)getpid());
        if ((anchor = connect_one(anchor_id, NULL)) == NULL) {
            fprintf(stderr, "[library-race] the anchor client did not connect\n");
            return 1;
        }
    }
    pthread_t *workers = calloc((size_t)threads, sizeof *workers);
    for (long w = 0; w < threads; ++w)
        pthread_create(&workers[w], NULL, worker_main, (void *)w);
    for (int w = 0; w < threads; ++w)
        pthread_join(workers[w], NULL);
    free(workers);
    if (anchor != NULL) {
        MQTTClient_disconnect(anchor, 0);
        MQTTClient_destroy(&anchor);
    }
    atomic_store(&finished, 1);
    pthread_join(watchdog, NULL);

    int clean = atomic_load(&connect_failed) == 0 && atomic_load(&subscribe_failed) == 0 &&
                atomic_load(&lost) == 0 && atomic_load(&slow_connects) == 0;
    report(clean ? "clean" : "FAILED");
    return clean ? 0 : 1;
}
