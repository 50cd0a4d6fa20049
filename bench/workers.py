"""One benchmark run of one Python client, in a process of its own.

    python bench/workers.py CLIENT MODE --port N [--scheme tcp] [options]

CLIENT is `tarnu` (tarnu_sdk), `paho` (paho-mqtt 2.x), `gmqtt` or `awscrt` (see
bench/peers/). MODE and options are those of build/bench/native_ceiling (see
bench/native_ceiling.cpp), and so is the output: "READY" once a receiver is
subscribed, then one line "RESULT {json}" on stdout.

The modes here drive the clients whose calls block (tarnu, paho, awscrt) through
one small interface; gmqtt, an asyncio library, has the same modes written as a
gmqtt application would (bench/peers/gmqtt_peer.py). Two modes are the Python
clients' own: `pub1threads` (--threads threads share one client, each QoS 1
publish awaited by its thread) and `pub1flight` (every QoS 1 message handed to the
client at once, the acknowledgements awaited at the end, within the client's own
window; paho-mqtt and gmqtt).

Every message handler receives the topic and the payload as str (tarnu_sdk decodes
them itself, the others' handlers decode the payload bytes), so all the Python
clients hand the same thing to the application.
"""
from __future__ import annotations

import argparse
import sys
import threading
import time

from peers import awscrt_peer, paho_peer, tarnu_peer
from peers.common import (WAIT_S, SyncPeer, Tally, connect_result, latency_result, parse,
                          publish_result, subscribe_result)

PEERS: dict[str, type[SyncPeer]] = {"tarnu": tarnu_peer.Peer, "paho": paho_peer.Peer,
                                    "awscrt": awscrt_peer.Peer}


def run_publish(o: argparse.Namespace, qos: int) -> None:
    c = PEERS[o.client](o)
    c.connect()
    publish = c.publisher(qos)
    confirm = c.publisher(1)
    payload = "x" * o.payload
    topic = o.topic
    for _ in range(o.warmup):
        publish(topic, payload)
    cpu_start = time.process_time()  # all threads of the process
    start = time.perf_counter()
    for _ in range(o.count):
        publish(topic, payload)
    if qos == 0:
        # The completion of a QoS 1 message after them: everything has left the client.
        confirm(topic, payload)
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    c.close()
    publish_result(o, elapsed, cpu)


def run_threads(o: argparse.Namespace) -> None:
    """--threads threads share one client; each publishes its share of --warmup (untimed)
    and then of --count at QoS 1, every publish awaited by the thread that made it.
    Timed from the moment all of them are ready until the last has returned."""
    if o.threads < 1 or o.count % o.threads or o.warmup % o.threads:
        sys.exit("pub1threads: --count and --warmup must be multiples of --threads")
    c = PEERS[o.client](o)
    c.connect()
    confirm = c.publisher(1)
    payload, topic = "x" * o.payload, o.topic
    ready = threading.Barrier(o.threads + 1, timeout=WAIT_S * (o.warmup + 1))  # even if serialised
    errors: list[BaseException] = []

    def work() -> None:
        try:
            for _ in range(o.warmup // o.threads):
                confirm(topic, payload)
            ready.wait()
            for _ in range(o.count // o.threads):
                confirm(topic, payload)
        except BaseException as error:  # noqa: BLE001 - ends the run below
            errors.append(error)
            ready.abort()

    threads = [threading.Thread(target=work, daemon=True) for _ in range(o.threads)]
    for thread in threads:
        thread.start()
    try:
        ready.wait()
    except threading.BrokenBarrierError:
        sys.exit(f"pub1threads: a thread failed before the start: {errors[:1]!r}")
    cpu_start = time.process_time()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    if errors:
        sys.exit(f"pub1threads: {len(errors)} threads failed: {errors[0]!r}")
    c.close()
    publish_result(o, elapsed, cpu)


def run_flight(o: argparse.Namespace) -> None:
    """--warmup awaited QoS 1 publishes (untimed), then --count handed to the client one
    after the other without waiting, timed until every one of them is acknowledged."""
    c = PEERS[o.client](o)
    if not hasattr(c, "in_flight"):
        sys.exit(f"pub1flight: {o.client} has no way to keep its own messages in flight")
    c.connect()
    confirm = c.publisher(1)
    send, wait_all = c.in_flight()
    payload, topic = "x" * o.payload, o.topic
    for _ in range(o.warmup):
        confirm(topic, payload)
    cpu_start = time.process_time()
    start = time.perf_counter()
    for _ in range(o.count):
        send(topic, payload)
    wait_all()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    c.close()
    publish_result(o, elapsed, cpu)


def run_subscribe(o: argparse.Namespace) -> None:
    tally = Tally(o.count, o.rss_warmup)
    c = PEERS[o.client](o)
    c.on_message(tally.handler(bool(o.hold)))
    c.connect()
    c.subscribe(o.topic)
    cpu_start = time.process_time()
    print("READY", flush=True)
    if o.hold:
        if not sys.stdin.readline():
            sys.exit("--hold: stdin closed before the go-ahead")
        cpu_start = time.process_time()
        tally.release()
    tally.wait(o)
    cpu = time.process_time() - cpu_start
    subscribe_result(o, tally, cpu)
    c.close()


def run_latency(o: argparse.Namespace) -> None:
    total = o.warmup + o.count
    tally = Tally(total, 0)
    latencies: list[int] = []
    monotonic_ns = time.monotonic_ns  # CLOCK_MONOTONIC, as native_ceiling's clock

    def handler(topic: str, payload: str) -> None:
        latencies.append(monotonic_ns() - int(payload[:20]))
        tally.received += 1
        if tally.received == total:
            tally.done.set()

    c = PEERS[o.client](o)
    c.on_message(handler)
    c.connect()
    c.subscribe(o.topic)
    publish = c.publisher(0)
    interval = 1.0 / (o.rate if o.rate > 0 else 1000.0)
    pad = "x" * max(o.payload - 20, 4)
    topic = o.topic
    start = time.monotonic()
    for i in range(total):
        delay = start + i * interval - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        publish(topic, f"{monotonic_ns():020d}" + pad)
    tally.wait(o)
    c.close()
    latency_result(o, tally.received, latencies)


def run_connect(o: argparse.Namespace) -> None:
    """--warmup + --count cycles, each with a client of its own (made and destroyed
    untimed): connect, timed until a first QoS 1 publish is acknowledged, then
    disconnect, timed on its own."""
    payload = "x" * o.payload
    connects: list[float] = []
    disconnects: list[float] = []
    for i in range(o.warmup + o.count):
        c = PEERS[o.client](o, f"{o.id}-{i}")
        confirm = c.publisher(1)
        t0 = time.perf_counter()
        c.connect()
        confirm(o.topic, payload)
        t1 = time.perf_counter()
        c.disconnect()
        t2 = time.perf_counter()
        c.release()
        if i >= o.warmup:
            connects.append(t1 - t0)
            disconnects.append(t2 - t1)
    connect_result(o, connects, disconnects)


def main() -> None:
    o = parse(sys.argv[1:])
    if o.client == "gmqtt":
        from peers import gmqtt_peer

        gmqtt_peer.main(o)
    elif o.mode in ("pub", "pub1"):
        run_publish(o, 0 if o.mode == "pub" else 1)
    elif o.mode == "sub":
        run_subscribe(o)
    elif o.mode == "latency":
        run_latency(o)
    elif o.mode == "pub1threads":
        run_threads(o)
    elif o.mode == "pub1flight":
        run_flight(o)
    else:
        run_connect(o)


if __name__ == "__main__":
    main()
