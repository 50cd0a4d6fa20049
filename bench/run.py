#!/usr/bin/env python3
"""tarnu_sdk against paho-mqtt and against the library's native ceiling.

    make bench [BENCH_ARGS="--rounds 5 --json results.json"]
    .venv/bin/python bench/run.py [--rounds N] [--quick] [--json FILE]
                                  [--only W1,W2] [--broker-conf LINE]...

Starts a private mosquitto on a free loopback port and, for each workload, runs
(a) tarnu_sdk, (b) paho-mqtt 2.x and (c) build/bench/native_ceiling (`make native`),
each in a process of its own (bench/workers.py for the Python clients), alternating
the three, for several rounds. Prints one table of medians with the ratios of (a) to
(b) and to (c), and the issue's targets; --json writes every sample and the medians.

Message counts are checked: a publisher's messages are counted by the broker
($SYS/broker/publish/messages/received), a receiver counts what reaches its handler.
A run that lost messages is reported as LOST and kept out of the medians.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from brokers import Broker  # type: ignore[import-not-found]  # noqa: E402

NATIVE = ROOT / "build" / "bench" / "native_ceiling"
WORKERS = ROOT / "bench" / "workers.py"
CLIENTS = ("tarnu", "paho", "native")
LABELS = {"tarnu": "tarnu_sdk", "paho": "paho-mqtt", "native": "native"}

# The broker is configured so that it never drops a message of its own accord: no
# limit on the messages or bytes it queues for a subscriber (mosquitto.conf(5):
# max_queued_messages / max_queued_bytes; QoS 0 messages count against them too), $SYS
# statistics every second (the publish counts), and no Nagle delay on its sockets
# (set_tcp_nodelay), which otherwise adds about one message interval to every
# delivery at 1,000 msg/s whatever the client.
BROKER_CONF = [
    "max_queued_messages 0",
    "max_queued_bytes 0",
    "sys_interval 1",
    "set_tcp_nodelay true",
]


@dataclass
class Workload:
    name: str
    title: str
    mode: str  # the worker mode: pub, pub1, sub, latency
    args: dict
    quick: dict  # overrides for --quick
    metrics: list[tuple[str, str, str]]  # (key, label, better: "high" | "low")
    feed: bool = False  # inbound: a native_ceiling feed process publishes `count`
    rounds: int | None = None  # fewer rounds than --rounds (the long RSS run)
    timeout: float = 180.0
    targets: dict = field(default_factory=dict)  # metric -> (vs paho, vs native) or ("<", limit)


MIB = 1024.0

WORKLOADS = [
    Workload("pub0", "QoS 0 publish, 100 B", "pub",
             {"count": 100_000, "warmup": 2_000, "payload": 100},
             {"count": 20_000, "warmup": 500},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             targets={"rate": (3.0, 0.75)}),
    Workload("pub1", "QoS 1 publish + completion wait, 100 B", "pub1",
             {"count": 5_000, "warmup": 100, "payload": 100},
             {"count": 1_000, "warmup": 50},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")],
             targets={"rate": (1.3, 0.80)}),
    Workload("inbound", "inbound QoS 0 to handler, 100 B (streamed)", "sub",
             {"count": 100_000, "payload": 100},
             {"count": 20_000},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")], feed=True,
             targets={"rate": (1.5, 0.80)}),
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
             {"count": 1_000, "warmup": 50, "payload": 65536},
             {"count": 200, "warmup": 20},
             [("rate", "msg/s", "high"), ("cpu_us", "CPU µs/msg", "low")]),
    Workload("rss", "1,000,000 inbound messages: memory", "sub",
             {"count": 1_000_000, "payload": 100, "rss-warmup": 50_000},
             {"count": 100_000, "rss-warmup": 10_000},
             [("hwm_mib", "peak RSS MiB", "low"), ("growth_mib", "RSS growth MiB", "low"),
              ("rate", "msg/s", "high")],
             feed=True, rounds=1, timeout=300.0,
             targets={"growth_mib": ("<", 2.0)}),
]


# --- The broker's own count of the messages it received ------------------------------


class BrokerCounter:
    """Follows $SYS/broker/publish/messages/{received,dropped} (paho-mqtt, in this
    process; the broker publishes them once a second when they change)."""

    TOPICS = ("$SYS/broker/publish/messages/received", "$SYS/broker/publish/messages/dropped")

    def __init__(self, port: int):
        import paho.mqtt.client as mqtt

        self.values: dict[str, int] = {}
        self.cond = threading.Condition()
        self.c = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2,
                             client_id=f"bench-counter-{os.getpid()}")
        self.c.on_message = self._on_message
        self.c.on_connect = lambda c, *a: c.subscribe([(t, 0) for t in self.TOPICS])
        self.c.connect("127.0.0.1", port, keepalive=30)
        self.c.loop_start()
        self.expected = 0  # messages the broker should have received by now
        if not self.wait_for(0, 5.0):
            raise RuntimeError("no $SYS statistics from the broker")
        self.expected = self.received()

    def _on_message(self, client, userdata, msg) -> None:
        with self.cond:
            self.values[msg.topic.rsplit("/", 1)[1]] = int(msg.payload)
            self.cond.notify_all()

    def received(self) -> int:
        with self.cond:
            return self.values.get("received", -1)

    def dropped(self) -> int:
        with self.cond:
            return self.values.get("dropped", 0)

    def wait_for(self, count: int, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        with self.cond:
            while self.values.get("received", -1) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def settle(self, published: int, timeout: float = 3.0) -> int:
        """After a run that published `published` messages: how many of them the
        broker did not receive (0 when all arrived). Resynchronises the count."""
        self.expected += published
        self.wait_for(self.expected, timeout)
        got = self.received()
        missing = max(self.expected - got, 0)
        self.expected = got
        return missing

    def close(self) -> None:
        self.c.disconnect()
        self.c.loop_stop()


# --- Running one worker ----------------------------------------------------------------


def worker_command(client: str, mode: str, port: int, args: dict, topic: str) -> list[str]:
    if client == "native":
        cmd = [str(NATIVE), mode]
    else:
        cmd = [sys.executable, str(WORKERS), client, mode]
    cmd += ["--port", str(port), "--topic", topic]
    for key, value in args.items():
        cmd += [f"--{key}", str(value)]
    return cmd


def parse_result(stdout: str) -> dict | None:
    for line in stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    return None


def run_one(w: Workload, client: str, args: dict, broker: Broker,
            counter: BrokerCounter) -> dict:
    """One run of one client: the sample (metrics, or `lost` / `error`)."""
    topic = f"bench/{w.name}/{client}/{uuid.uuid4().hex[:8]}"
    cmd = worker_command(client, w.mode, broker.port, args, topic)
    sample: dict = {"workload": w.name, "client": client}
    dropped_before = counter.dropped()
    if w.mode == "sub":
        return run_receiver(w, client, args, cmd, topic, broker, counter, sample,
                            dropped_before)
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=w.timeout,
                              stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        sample["error"] = f"timed out after {w.timeout:.0f} s"
        counter.settle(0)
        return sample
    res = parse_result(proc.stdout)
    if res is None:
        sample["error"] = f"exit {proc.returncode}: {proc.stderr.strip()[-300:]}"
        counter.settle(0)
        return sample
    sample.update(res)
    if w.mode == "latency":
        # The receiving handler's count is the check.
        total = args["count"] + args.get("warmup", 0)
        counter.expected += total
        if res.get("received") != total:
            sample["lost"] = total - res.get("received", 0)
            sample["of"] = total
    else:
        published = args["count"] + args.get("warmup", 0) + (1 if w.mode == "pub" else 0)
        missing = counter.settle(published)
        if missing:
            sample["lost"] = missing
            sample["of"] = published
    dropped = counter.dropped() - dropped_before
    if dropped:
        sample["broker_dropped"] = dropped
    return sample


def run_receiver(w: Workload, client: str, args: dict, cmd: list[str], topic: str,
                 broker: Broker, counter: BrokerCounter, sample: dict,
                 dropped_before: int) -> dict:
    count = args["count"]
    hold = bool(args.get("hold"))
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    stdout_lines: list[str] = []
    ready = threading.Event()

    def read_stdout() -> None:
        for line in proc.stdout:  # type: ignore[union-attr]
            stdout_lines.append(line)
            if line.startswith("READY"):
                ready.set()

    reader = threading.Thread(target=read_stdout, daemon=True)
    reader.start()
    stderr_chunks: list[str] = []
    err_reader = threading.Thread(
        target=lambda: stderr_chunks.append(proc.stderr.read()), daemon=True)  # type: ignore[union-attr]
    err_reader.start()
    fed = False
    feed_result = None
    try:
        deadline = time.monotonic() + 30
        while not ready.wait(0.1):
            if proc.poll() is not None or time.monotonic() > deadline:
                sample["error"] = "the receiver did not become ready"
                break
        if "error" in sample:
            return sample  # (killed below if it still runs)
        # The feeder is the same for all three receivers.
        feed = subprocess.run(
            [str(NATIVE), "feed", "--port", str(broker.port), "--topic", topic,
             "--count", str(count), "--payload", str(args.get("payload", 100))],
            capture_output=True, text=True, timeout=w.timeout, stdin=subprocess.DEVNULL)
        fed = True
        feed_result = parse_result(feed.stdout)
        if hold:
            proc.stdin.write("go\n")  # type: ignore[union-attr]
            proc.stdin.flush()  # type: ignore[union-attr]
        proc.wait(timeout=w.timeout)
    except subprocess.TimeoutExpired:
        sample["error"] = f"timed out after {w.timeout:.0f} s"
        return sample
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        reader.join(5)
        err_reader.join(5)
        if feed_result is not None and feed_result.get("ok") == count:
            counter.expected += count + 1  # the receiver's count is the check
        elif fed:
            counter.settle(0)  # resynchronise: the feeder's count is unknown
            sample["feed_problem"] = "the feeder failed"
    res = parse_result("".join(stdout_lines))
    if res is None:
        sample["error"] = f"exit {proc.returncode}: {''.join(stderr_chunks).strip()[-300:]}"
        return sample
    sample.update(res)
    if feed_result is not None:
        sample["feed_rate"] = feed_result.get("rate")
    if res.get("received") != count:
        sample["lost"] = count - res.get("received", 0)
        sample["of"] = count
    dropped = counter.dropped() - dropped_before
    if dropped:
        sample["broker_dropped"] = dropped
    if "rss_warm_kib" in res and res.get("rss_warm_kib", -1) >= 0:
        sample["hwm_mib"] = res["hwm_kib"] / MIB
        sample["growth_mib"] = (res["rss_end_kib"] - res["rss_warm_kib"]) / MIB
    return sample


# --- Reporting ----------------------------------------------------------------------


def fmt(value: float | None, key: str) -> str:
    if value is None:
        return "—"
    if key == "cpu_us":
        return f"{value:,.2f}" if value < 100 else f"{value:,.0f}"
    if key == "rate" or key.endswith("_us"):
        return f"{value:,.0f}"
    return f"{value:,.1f}"


def sample_text(s: dict, w: Workload) -> str:
    if "error" in s:
        return f"ERROR ({s['error']})"
    if "feed_problem" in s:
        return f"INVALID ({s['feed_problem']})"
    if "lost" in s:
        return f"LOST {s['lost']}/{s['of']}"
    parts = [f"{label} {fmt(s.get(key), key)}" for key, label, _ in w.metrics]
    if s.get("feed_rate"):
        parts.append(f"(feeder {s['feed_rate']:,.0f} msg/s)")
    return ", ".join(parts)


def medians(samples: list[dict]) -> dict:
    out: dict = {}
    for w in WORKLOADS:
        for client in CLIENTS:
            runs = [s for s in samples if s["workload"] == w.name and s["client"] == client]
            if not runs:
                continue
            good = [s for s in runs
                    if "error" not in s and "lost" not in s and "feed_problem" not in s]
            entry: dict = {"runs": len(runs), "good": len(good)}
            for key, _, _ in w.metrics:
                values = [s[key] for s in good if isinstance(s.get(key), (int, float))]
                entry[key] = statistics.median(values) if values else None
            bad = [s for s in runs if s not in good]
            if bad:
                entry["problems"] = [sample_text(s, w) for s in bad]
            out.setdefault(w.name, {})[client] = entry
    return out


def ratio(a: float | None, b: float | None) -> float | None:
    if a is None or b is None or b == 0:
        return None
    return a / b


def target_text(w: Workload, key: str, row: dict) -> str:
    t = w.targets.get(key)
    if t is None:
        return ""
    mine = row.get("tarnu", {}).get(key)
    if t[0] == "<":
        if mine is None:
            return f"< {t[1]:g}: ?"
        return f"< {t[1]:g}: {'met' if mine < t[1] else 'MISSED'}"
    vs_paho = ratio(mine, row.get("paho", {}).get(key))
    vs_native = ratio(mine, row.get("native", {}).get(key))
    ok = (vs_paho is not None and vs_paho >= t[0] and vs_native is not None
          and vs_native >= t[1])
    return f"≥{t[0]:g}x, ≥{t[1]:.0%}: {'met' if ok else 'MISSED'}"


def table(med: dict) -> str:
    header = ["workload", "metric", "tarnu_sdk", "paho-mqtt", "native",
              "tarnu/paho", "tarnu/native", "target (issue 6)"]
    rows = [header]
    for w in WORKLOADS:
        row = med.get(w.name)
        if not row:
            continue
        for key, label, _ in w.metrics:
            cells = [w.title if key == w.metrics[0][0] else "", label]
            for client in CLIENTS:
                e = row.get(client)
                if e is None:
                    cells.append("—")
                elif e.get(key) is None:
                    cells.append(e["problems"][0] if e.get("problems") else "—")
                else:
                    text = fmt(e[key], key)
                    if e.get("problems"):
                        text += f" ({e['runs'] - e['good']} bad)"
                    cells.append(text)
            for other in ("paho", "native"):
                q = ratio(row.get("tarnu", {}).get(key), row.get(other, {}).get(key))
                cells.append(f"{q:.2f}x" if q is not None else "—")
            cells.append(target_text(w, key, row))
            rows.append(cells)
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    lines = []
    for i, cells in enumerate(rows):
        lines.append("| " + " | ".join(c.ljust(widths[j]) if j < 2 else c.rjust(widths[j])
                                       for j, c in enumerate(cells)) + " |")
        if i == 0:
            lines.append("|" + "|".join("-" * (wd + 2) for wd in widths) + "|")
    return "\n".join(lines)


def command_output(cmd: list[str]) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "?"


def machine() -> dict:
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    import paho.mqtt
    mosquitto = command_output(["mosquitto", "-h"]).splitlines()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "tarnu_sdk": command_output(
            [sys.executable, "-c",
             "import importlib.metadata as m; print(m.version('tarnu_sdk'))"]),
        "paho_mqtt": paho.mqtt.__version__,
        "paho_c": command_output(["dpkg-query", "-W", "-f=${Version}", "libpaho-mqtt1.3"]),
        "mosquitto": mosquitto[0] if mosquitto else "?",
        "loadavg_before": [round(x, 2) for x in os.getloadavg()],
    }


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--quick", action="store_true", help="a short smoke run (1 round, small counts)")
    p.add_argument("--json", metavar="FILE", help="write all samples and the medians here")
    p.add_argument("--only", metavar="W1,W2",
                   help="run only these workloads: " + ",".join(w.name for w in WORKLOADS))
    p.add_argument("--clients", default=",".join(CLIENTS),
                   help="run only these clients (default: all three)")
    p.add_argument("--broker-conf", action="append", default=[], metavar="LINE",
                   help="a line added to the broker's configuration (after the defaults)")
    o = p.parse_args()
    if not NATIVE.exists():
        sys.exit(f"{NATIVE} is missing: run `make native` (or `make bench`)")
    chosen = WORKLOADS
    if o.only:
        names = set(o.only.split(","))
        unknown = names - {w.name for w in WORKLOADS}
        if unknown:
            p.error(f"unknown workloads: {', '.join(sorted(unknown))}")
        chosen = [w for w in WORKLOADS if w.name in names]
    clients = [c for c in CLIENTS if c in o.clients.split(",")]
    rounds = 1 if o.quick else o.rounds

    info = machine()
    print(f"# {info['date']}: {info['nproc']} CPUs, {info['cpu']}, Linux {info['kernel']}")
    print(f"# Python {info['python']}, tarnu_sdk {info['tarnu_sdk']}, paho-mqtt "
          f"{info['paho_mqtt']}, Paho C {info['paho_c']}, {info['mosquitto']}")
    print(f"# load average before: {info['loadavg_before']}")
    if info["loadavg_before"][0] > 0.5 * (info["nproc"] or 1):
        print("# WARNING: the machine is busy; other processes will skew the results")
    samples: list[dict] = []
    started = time.monotonic()
    with Broker(extra=BROKER_CONF + o.broker_conf) as broker:
        counter = BrokerCounter(broker.port)
        try:
            for r in range(rounds):
                for w in chosen:
                    n = rounds if w.rounds is None else min(rounds, w.rounds)
                    if r >= n:
                        continue
                    args = dict(w.args)
                    if o.quick:
                        args.update(w.quick)
                    # Alternate: each round starts with the next client.
                    order = clients[r % len(clients):] + clients[:r % len(clients)]
                    for client in order:
                        t0 = time.monotonic()
                        client_args = dict(args)
                        s = run_one(w, client, client_args, broker, counter)
                        s["round"] = r + 1
                        s["wall_s"] = round(time.monotonic() - t0, 2)
                        samples.append(s)
                        print(f"round {r + 1}/{n}  {w.name:8} {LABELS[client]:10} "
                              f"{sample_text(s, w)}", flush=True)
        finally:
            counter.close()
    info["loadavg_after"] = [round(x, 2) for x in os.getloadavg()]
    med = medians(samples)
    print()
    print(f"Medians of {rounds} round(s) ({time.monotonic() - started:.0f} s); ratios are "
          "tarnu_sdk / other (higher is better for msg/s, lower for µs and MiB).")
    print(table(med))
    print(f"(load average before {info['loadavg_before'][0]}, after "
          f"{info['loadavg_after'][0]}; {info['nproc']} CPUs)")
    if o.json:
        Path(o.json).write_text(json.dumps(
            {"machine": info, "rounds": rounds, "quick": o.quick,
             "broker_conf": BROKER_CONF + o.broker_conf,
             "workloads": {w.name: {"title": w.title, "mode": w.mode,
                                    "args": {**w.args, **(w.quick if o.quick else {})}}
                           for w in chosen},
             "samples": samples, "medians": med}, indent=2) + "\n")
        print(f"\nwrote {o.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
