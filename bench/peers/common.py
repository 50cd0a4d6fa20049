"""What every worker shares: its options, its output and a receiver's tally.

The options and the output are those of build/bench/native_ceiling, so bench/run.py
drives a Python worker and the native program alike.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import threading
import time
from typing import Callable, Protocol

Handler = Callable[[str, str], None]  # handler(topic, payload)
Publish = Callable[[str, str], object]  # publish(topic, payload)

PEERS = ("tarnu", "paho", "gmqtt", "awscrt")
MODES = ("pub", "pub1", "sub", "latency", "connect", "pub1threads", "pub1flight")
# The URL schemes a peer may be asked for; each peer turns the scheme into its own
# transport settings in one place (its `transport`). TLS is wired up for tarnu_sdk and
# paho-mqtt, which trust the CA that SSL_CERT_FILE names.
SCHEMES = ("tcp", "ssl")
# How long any one acknowledgement, connect or disconnect may take before a run fails.
WAIT_S = 10.0
# The longest a --hold receiver holds its first message (the feed runs meanwhile).
HOLD_LIMIT_S = 300.0


def parse(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser()
    p.add_argument("client", choices=PEERS)
    p.add_argument("mode", choices=MODES)
    p.add_argument("--scheme", default="tcp", choices=SCHEMES)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--count", type=int, default=100000)
    p.add_argument("--warmup", type=int, default=0)
    p.add_argument("--payload", type=int, default=100)
    p.add_argument("--topic", default="bench/python")
    p.add_argument("--rate", type=float, default=0.0)
    p.add_argument("--rss-warmup", type=int, default=0)
    p.add_argument("--hold", type=int, default=0)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--id", default="")
    p.add_argument("--start-timeout", type=float, default=30.0)
    p.add_argument("--idle-timeout", type=float, default=5.0)
    o = p.parse_args(argv)
    if not o.id:
        o.id = f"{o.client}-{o.mode}-{os.getpid()}"
    return o


class SyncPeer(Protocol):
    """A client whose calls block: tarnu_peer, paho_peer and awscrt_peer."""

    def __init__(self, o: argparse.Namespace, client_id: str | None = None) -> None: ...
    def on_message(self, handler: Handler) -> None: ...
    def connect(self) -> None: ...
    def subscribe(self, topic: str) -> None: ...
    def publisher(self, qos: int) -> Publish:
        """publish(topic, payload) at `qos`; at QoS 1 it returns after the completion."""
        ...
    def disconnect(self) -> None: ...
    def release(self) -> None:
        """What is left after disconnect (threads, the client itself), untimed."""
        ...
    def close(self) -> None: ...


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


def publish_result(o: argparse.Namespace, elapsed: float, cpu: float) -> None:
    result(o, count=o.count, elapsed=elapsed, rate=o.count / elapsed,
           cpu_us=cpu * 1e6 / o.count)


def subscribe_result(o: argparse.Namespace, tally: "Tally", cpu: float) -> None:
    rss, hwm = read_rss()
    received = tally.received
    elapsed = tally.last - tally.first if received == o.count else 0.0
    counted = received if o.hold else received - 1  # intervals timed
    result(o, count=o.count, received=received, elapsed=elapsed,
           rate=counted / elapsed if elapsed > 0 else 0.0,
           cpu_us=cpu * 1e6 / max(received, 1),
           rss_warm_kib=tally.warm_rss, rss_end_kib=rss, hwm_kib=hwm)


def latency_result(o: argparse.Namespace, received: int, latencies_ns: list[int]) -> None:
    measured = sorted(latencies_ns[o.warmup:])

    def pct(p: float) -> float:
        if not measured:
            return -1.0
        rank = min(max(int(p / 100.0 * len(measured) + 0.999999), 1), len(measured))
        return measured[rank - 1] / 1000.0

    result(o, count=o.warmup + o.count, received=received, p50_us=pct(50), p99_us=pct(99),
           max_us=pct(100))


def connect_result(o: argparse.Namespace, connects: list[float],
                   disconnects: list[float]) -> None:
    """The medians of the timed cycles (seconds in, milliseconds out)."""
    result(o, count=len(connects),
           connect_ms=statistics.median(connects) * 1e3,
           connect_max_ms=max(connects) * 1e3,
           disconnect_ms=statistics.median(disconnects) * 1e3,
           disconnect_max_ms=max(disconnects) * 1e3)


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

    def handler(self, hold: bool):
        """The message handler of a receiver (topic and payload as str)."""
        monotonic = time.monotonic

        def handler(topic: str, payload: str) -> None:
            n = self.received + 1
            if n == 1:
                if hold:
                    self.released.wait(HOLD_LIMIT_S)  # the backlog builds up meanwhile
                else:
                    self.first = monotonic()
            self.received = n
            if n == self.rss_warmup:
                self.warm_rss = read_rss()[0]
            if n == self.want:
                self.last = monotonic()
                self.done.set()

        return handler

    def release(self) -> None:
        """--hold: the go-ahead; the drain is timed from here."""
        self.first = time.monotonic()
        self.released.set()

    def still_waiting(self, o: argparse.Namespace):
        """A check for a waiting loop to call every 0.1 s: false once all have come, or
        nothing came for the start timeout, or nothing more for the idle timeout."""
        start = time.monotonic()
        seen, changed = -1, start

        def check() -> bool:
            nonlocal seen, changed
            now = time.monotonic()
            if self.received != seen:
                seen, changed = self.received, now
            if self.done.is_set():
                return False
            if self.received == 0:
                return now - start <= o.start_timeout
            return now - changed <= o.idle_timeout

        return check

    def wait(self, o: argparse.Namespace) -> None:
        check = self.still_waiting(o)
        while not self.done.wait(0.1) and check():
            pass
