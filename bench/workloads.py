"""What bench/run.py measures: the clients, and the workloads with their counts.

Counts are sized so that one run of one client takes a couple of seconds on a small
machine; --quick has its own, smaller counts.
"""
from __future__ import annotations

from dataclasses import dataclass, field

CLIENTS = ("tarnu", "paho", "gmqtt", "awscrt", "native")
LABELS = {"tarnu": "tarnu_sdk", "paho": "paho-mqtt", "gmqtt": "gmqtt", "awscrt": "awscrt",
          "native": "native"}
OTHERS = CLIENTS[1:]  # a ratio column each: tarnu_sdk / other


@dataclass
class Workload:
    name: str
    title: str
    mode: str  # the worker mode: pub, pub1, sub, latency, connect, pub1threads, pub1flight
    args: dict
    quick: dict  # overrides for --quick
    metrics: list[tuple[str, str, str]]  # (key, label, better: "high" | "low")
    feed: bool = False  # inbound: a native_ceiling feed process publishes `count`
    rounds: int | None = None  # fewer rounds than --rounds (the long RSS run)
    timeout: float = 180.0
    # metric -> {other client: the least tarnu/other ratio}, or ("<", limit)
    targets: dict = field(default_factory=dict)
    listener: str = "tcp"  # which of endpoints(broker) the clients connect to
    clients: tuple = CLIENTS  # the clients this workload is run with
    # client -> factor on count and warmup, for a client so much slower at this
    # workload that the common count would take minutes, or so much faster that it would
    # be over too soon to time (its rate is still per message).
    count_scale: dict = field(default_factory=dict)
    group: str | None = None  # a name --only takes for all the workloads of the group


def client_args(w: Workload, client: str, args: dict) -> dict:
    """The workload's arguments for one client, its count_scale applied."""
    scale = w.count_scale.get(client)
    if scale is None:
        return dict(args)
    out = dict(args)
    for key in ("count", "warmup"):
        if out.get(key):
            out[key] = max(int(out[key] * scale), 1)
    return out


def published(w: Workload, args: dict) -> int:
    """How many messages a publishing run sends: for `pub` one QoS 1 message after
    the timed ones, for `connect` one QoS 1 message per connection (for pub1threads,
    --count and --warmup are the totals over the threads)."""
    return args["count"] + args.get("warmup", 0) + (1 if w.mode == "pub" else 0)


WORKLOADS = [
    Workload("pub0", "QoS 0 publish, 100 B", "pub",
             {"count": 100_000, "warmup": 2_000, "payload": 100},
             {"count": 20_000, "warmup": 500},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             targets={"rate": {"paho": 3.0, "native": 0.75}},
             count_scale={"awscrt": 0.4}),  # a quarter of tarnu_sdk's rate, or less
    Workload("pub1", "QoS 1 publish + completion wait, 100 B", "pub1",
             {"count": 5_000, "warmup": 100, "payload": 100},
             {"count": 1_000, "warmup": 50},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             targets={"rate": {"paho": 1.3, "native": 0.80}}),
    Workload("inbound", "inbound QoS 0 to handler, 100 B (streamed)", "sub",
             {"count": 100_000, "payload": 100},
             {"count": 20_000},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")], feed=True,
             targets={"rate": {"paho": 1.5, "native": 0.80}}),
    Workload("drain", "inbound QoS 0 to handler, 100 B (backlog drain)", "sub",
             {"count": 100_000, "payload": 100, "hold": 1},
             {"count": 20_000},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")], feed=True),
    Workload("latency", "publish-to-handler latency at 1,000 msg/s", "latency",
             {"count": 2_000, "warmup": 200, "payload": 100, "rate": 1000},
             {"count": 500, "warmup": 100},
             [("p50_us", "p50 µs", "low"), ("p99_us", "p99 µs", "low")],
             targets={"p99_us": ("<", 2000.0)}),
    Workload("pub64k", "QoS 0 publish, 64 KiB", "pub",
             {"count": 6_000, "warmup": 100, "payload": 65536},
             {"count": 600, "warmup": 20},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             targets={"rate": {"paho": 1.0, "gmqtt": 0.7}}),
    Workload("pub1mib", "QoS 0 publish, 1 MiB", "pub",
             {"count": 600, "warmup": 10, "payload": 1 << 20},
             {"count": 60, "warmup": 2},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             # Paho C alone sleeps 100 ms whenever the socket's send buffer is full,
             # which at this size is every few messages.
             count_scale={"native": 0.25}, targets={"rate": {"paho": 1.0, "gmqtt": 0.7}}),
    Workload("pub1_64k", "QoS 1 publish + completion wait, 64 KiB", "pub1",
             {"count": 6_000, "warmup": 100, "payload": 65536},
             {"count": 600, "warmup": 20},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             # awscrt waits about 40 ms for each acknowledgement at this size: its
             # sockets keep Nagle's algorithm, which holds the packet's tail until the
             # broker's delayed ACK.
             count_scale={"awscrt": 0.01}, targets={"rate": {"paho": 1.0}}),
    Workload("pub1_1mib", "QoS 1 publish + completion wait, 1 MiB", "pub1",
             {"count": 400, "warmup": 10, "payload": 1 << 20},
             {"count": 40, "warmup": 2},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")]),
    # The backlog drain rather than the stream: at this size the feeder, Paho C alone,
    # stalls for 100 ms now and then on a full send buffer (the pub64k row), so a
    # streamed rate would be the feeder's. The backlog (up to 500 MiB) waits in the broker, whose queues are
    # unlimited.
    Workload("inbound64k", "inbound QoS 0 to handler, 64 KiB (backlog drain)", "sub",
             {"count": 8_000, "payload": 65536, "hold": 1},
             {"count": 800},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")], feed=True),
    # A fixed number of cycles rather than a duration: the row is about one
    # connection's set-up and tear-down, and 20 give a steady median.
    Workload("connect", "connect (to the first QoS 1 ack) / disconnect, median of 20",
             "connect", {"count": 20, "warmup": 1, "payload": 100},
             {"count": 5, "warmup": 1},
             [("connect_ms", "connect ms", "low"), ("disconnect_ms", "disconnect ms", "low")]),
    # Over TLS (the broker's TLS listener, a certificate from a CA made for the run),
    # beside paho-mqtt over TLS.
    Workload("tls_connect", "TLS: connect (to the first QoS 1 ack) / disconnect, median of 20",
             "connect", {"count": 20, "warmup": 1, "payload": 100},
             {"count": 5, "warmup": 1},
             [("connect_ms", "connect ms", "low"), ("disconnect_ms", "disconnect ms", "low")],
             listener="tls", clients=("tarnu", "paho")),
    Workload("tls_pub0", "TLS: QoS 0 publish, 100 B", "pub",
             {"count": 100_000, "warmup": 2_000, "payload": 100},
             {"count": 20_000, "warmup": 500},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             listener="tls", clients=("tarnu", "paho")),
    Workload("tls_pub1", "TLS: QoS 1 publish + completion wait, 100 B", "pub1",
             {"count": 5_000, "warmup": 100, "payload": 100},
             {"count": 1_000, "warmup": 50},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             listener="tls", clients=("tarnu", "paho")),
    Workload("rss", "1,000,000 inbound messages: memory", "sub",
             {"count": 1_000_000, "payload": 100, "rss-warmup": 50_000},
             {"count": 100_000, "rss-warmup": 10_000},
             [("hwm_mib", "peak RSS MiB", "low"), ("growth_mib", "RSS growth MiB", "low"),
              ("rate", "msg/s", "high")],
             feed=True, rounds=1, timeout=300.0,
             targets={"growth_mib": ("<", 2.0)}),
    # The round-trip group: the clients reach the broker through the delaying proxy of
    # tests/proxy.py (--rtt-delay-ms each way, 10 ms by default: a 20 ms round trip), where
    # a publish that waits for its acknowledgement waits for the link. One tarnu_sdk
    # client shared by 1, 8 and 64 threads, each publish awaited by its thread; paho-mqtt
    # likewise with 1 and 8; paho-mqtt (its default window of 20) and gmqtt (no window)
    # with every message in flight and the acknowledgements awaited at the end; and the
    # connect over the link. "{rtt}" in a title is the round trip in ms. Counts are
    # multiples of the threads (each takes an equal share). paho-mqtt's socket keeps
    # Nagle's algorithm, so a PUBLISH it writes while an earlier one is not yet taken by
    # TCP waits for that ACK: its rows show it as its users get it.
    Workload("rtt1", "{rtt} ms round trip: QoS 1 publish + completion wait, 100 B, 1 thread",
             "pub1threads", {"count": 100, "warmup": 2, "payload": 100, "threads": 1},
             {"count": 50},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             listener="rtt", clients=("tarnu", "paho"), group="rtt"),
    Workload("rtt8", "{rtt} ms round trip: QoS 1 publish + completion wait, 100 B, "
             "8 threads on one client", "pub1threads",
             {"count": 800, "warmup": 8, "payload": 100, "threads": 8},
             {"count": 160},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             listener="rtt", clients=("tarnu", "paho"), group="rtt"),
    Workload("rtt64", "{rtt} ms round trip: QoS 1 publish + completion wait, 100 B, "
             "64 threads on one client", "pub1threads",
             {"count": 3_200, "warmup": 64, "payload": 100, "threads": 64},
             {"count": 640},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             listener="rtt", clients=("tarnu",), group="rtt", timeout=300.0),
    Workload("rtt_flight", "{rtt} ms round trip: QoS 1, 100 B, all in flight, "
             "acknowledgements awaited at the end", "pub1flight",
             {"count": 2_000, "warmup": 2, "payload": 100},
             {"count": 800},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             # gmqtt sends them all at once: the common count would be over in two
             # round trips, too short a run to time.
             listener="rtt", clients=("paho", "gmqtt"), group="rtt",
             count_scale={"gmqtt": 10}),
    Workload("rtt_connect", "{rtt} ms round trip: connect (to the first QoS 1 ack) / "
             "disconnect, median of 20", "connect",
             {"count": 20, "warmup": 1, "payload": 100},
             {"count": 5, "warmup": 1},
             [("connect_ms", "connect ms", "low"), ("disconnect_ms", "disconnect ms", "low")],
             listener="rtt", clients=("tarnu", "paho", "gmqtt"), group="rtt"),
]
