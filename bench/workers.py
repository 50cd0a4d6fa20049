"""One benchmark run of one Python client, in a process of its own.

    python bench/workers.py CLIENT MODE --port N [options]

CLIENT is `tarnu` (tarnu_sdk) or `paho` (paho-mqtt 2.x, CallbackAPIVersion.VERSION2,
loop_start()). MODE and options are those of build/bench/native_ceiling (see
bench/native_ceiling.cpp), and so is the output: "READY" once a receiver is
subscribed, then one line "RESULT {json}" on stdout.

Every message handler receives the topic and the payload as str (tarnu_sdk decodes
them itself; the paho-mqtt handler reads msg.topic and msg.payload.decode()), so the
two Python clients hand the same thing to the application.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time


def parse(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser()
    p.add_argument("client", choices=["tarnu", "paho"])
    p.add_argument("mode", choices=["pub", "pub1", "sub", "latency"])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--count", type=int, default=100000)
    p.add_argument("--warmup", type=int, default=0)
    p.add_argument("--payload", type=int, default=100)
    p.add_argument("--topic", default="bench/python")
    p.add_argument("--rate", type=float, default=0.0)
    p.add_argument("--rss-warmup", type=int, default=0)
    p.add_argument("--hold", type=int, default=0)
    p.add_argument("--id", default="")
    p.add_argument("--start-timeout", type=float, default=30.0)
    p.add_argument("--idle-timeout", type=float, default=5.0)
    o = p.parse_args(argv)
    if not o.id:
        o.id = f"{o.client}-{o.mode}-{os.getpid()}"
    return o


def read_rss() -> tuple[int, int]:
    """VmRSS and VmHWM of this process, in KiB."""
    rss = hwm = -1
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("VmHWM:"):
                hwm = int(line.split()[1])
    return rss, hwm


def result(o: argparse.Namespace, **fields) -> None:
    print("RESULT " + json.dumps({"client": o.client, "mode": o.mode, **fields}), flush=True)


# --- The two clients behind one small interface -------------------------------------


class Tarnu:
    def __init__(self, o: argparse.Namespace):
        import tarnu_sdk  # type: ignore[import-not-found]

        self.c = tarnu_sdk.SDK()
        self.c.init(o.id, f"{o.host}:{o.port}", "tcp", "", "", cleanSession=True)

    def on_message(self, handler) -> None:
        self.c.on_message(handler)  # handler(topic: str, payload: str)

    def connect(self) -> None:
        if not self.c.connect():
            sys.exit("tarnu_sdk: connect failed")

    def subscribe(self, topic: str) -> None:
        if not self.c.subscribe(topic, 0):
            sys.exit("tarnu_sdk: subscribe failed")

    def publisher(self, qos: int):
        """A function publish(topic, payload) at `qos`; at QoS 1 it returns after the
        completion, as SDK.publish does."""
        publish = self.c.publish
        if qos == 0:
            return publish
        return lambda topic, payload: publish(topic, payload, qos)

    def close(self) -> None:
        self.c.disconnect()
        self.c.stop()


class Paho:
    def __init__(self, o: argparse.Namespace):
        import paho.mqtt.client as mqtt

        self.o = o
        self.c = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=o.id,
                             clean_session=True)
        self.subscribed = threading.Event()
        self.c.on_subscribe = lambda *args: self.subscribed.set()

    def on_message(self, handler) -> None:
        def on_message(client, userdata, msg):
            handler(msg.topic, msg.payload.decode())

        self.c.on_message = on_message

    def connect(self) -> None:
        connected = threading.Event()
        self.c.on_connect = lambda *args: connected.set()
        self.c.connect(self.o.host, self.o.port, keepalive=30)
        self.c.loop_start()
        if not connected.wait(10):
            sys.exit("paho-mqtt: connect failed")

    def subscribe(self, topic: str) -> None:
        self.c.subscribe(topic, 0)
        if not self.subscribed.wait(10):
            sys.exit("paho-mqtt: subscribe failed")

    def publisher(self, qos: int):
        publish = self.c.publish
        if qos == 0:
            return publish
        return lambda topic, payload: publish(topic, payload, qos).wait_for_publish(10)

    def close(self) -> None:
        self.c.disconnect()
        self.c.loop_stop()


CLIENTS: dict[str, type[Tarnu] | type[Paho]] = {"tarnu": Tarnu, "paho": Paho}


# --- Modes -------------------------------------------------------------------------


def run_publish(o: argparse.Namespace, qos: int) -> None:
    c = CLIENTS[o.client](o)
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
    result(o, count=o.count, elapsed=elapsed, rate=o.count / elapsed,
           cpu_us=cpu * 1e6 / o.count)


class Tally:
    """What a receiver saw; updated by the handler, read by the main thread."""

    def __init__(self, want: int, rss_warmup: int):
        self.released = threading.Event()
        self.want = want
        self.rss_warmup = rss_warmup
        self.received = 0
        self.first = 0.0
        self.last = 0.0
        self.warm_rss = -1
        self.done = threading.Event()

    def wait(self, o: argparse.Namespace) -> None:
        """Until all have come, or nothing came for the start or idle timeout."""
        start = time.monotonic()
        seen, changed = -1, start
        while not self.done.wait(0.1):
            now = time.monotonic()
            if self.received != seen:
                seen, changed = self.received, now
            limit = o.start_timeout if self.received == 0 else o.idle_timeout
            if now - (start if self.received == 0 else changed) > limit:
                return


def run_subscribe(o: argparse.Namespace) -> None:
    tally = Tally(o.count, o.rss_warmup)
    monotonic = time.monotonic

    def handler(topic: str, payload: str) -> None:
        n = tally.received + 1
        if n == 1:
            if o.hold:
                tally.released.wait()  # the backlog builds up meanwhile
            else:
                tally.first = monotonic()
        tally.received = n
        if n == tally.rss_warmup:
            tally.warm_rss = read_rss()[0]
        if n == tally.want:
            tally.last = monotonic()
            tally.done.set()

    c = CLIENTS[o.client](o)
    c.on_message(handler)
    c.connect()
    c.subscribe(o.topic)
    cpu_start = time.process_time()
    print("READY", flush=True)
    if o.hold:
        if not sys.stdin.readline():
            sys.exit("--hold: stdin closed before the go-ahead")
        cpu_start = time.process_time()
        tally.first = monotonic()
        tally.released.set()
    tally.wait(o)
    cpu = time.process_time() - cpu_start
    rss, hwm = read_rss()
    received = tally.received
    elapsed = tally.last - tally.first if received == o.count else 0.0
    c.close()
    counted = received if o.hold else received - 1  # intervals timed
    result(o, count=o.count, received=received, elapsed=elapsed,
           rate=counted / elapsed if elapsed > 0 else 0.0,
           cpu_us=cpu * 1e6 / max(received, 1),
           rss_warm_kib=tally.warm_rss, rss_end_kib=rss, hwm_kib=hwm)


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

    c = CLIENTS[o.client](o)
    c.on_message(handler)
    c.connect()
    c.subscribe(o.topic)
    publish = c.publisher(0)
    rate = o.rate if o.rate > 0 else 1000.0
    interval = 1.0 / rate
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
    measured = sorted(latencies[o.warmup:])

    def pct(p: float) -> float:
        if not measured:
            return -1.0
        rank = min(max(int(p / 100.0 * len(measured) + 0.999999), 1), len(measured))
        return measured[rank - 1] / 1000.0

    result(o, count=total, received=tally.received, p50_us=pct(50), p99_us=pct(99),
           max_us=pct(100))


def main() -> None:
    o = parse(sys.argv[1:])
    if o.mode == "pub":
        run_publish(o, 0)
    elif o.mode == "pub1":
        run_publish(o, 1)
    elif o.mode == "sub":
        run_subscribe(o)
    else:
        run_latency(o)


if __name__ == "__main__":
    main()
