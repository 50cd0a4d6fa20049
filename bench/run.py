#!/usr/bin/env python3
"""tarnu_sdk against other Python MQTT clients and against the library's native ceiling.

    make bench [BENCH_ARGS="--rounds 5 --json results.json"]
    .venv/bin/python bench/run.py [--rounds N] [--quick] [--json FILE] [--only W1,W2]
                                  [--clients C1,C2] [--broker-conf LINE]...
                                  [--rtt-delay-ms MS]

Starts a private mosquitto on a free loopback port and, for each workload, runs
tarnu_sdk, its peers paho-mqtt 2.x, gmqtt and awscrt, and build/bench/native_ceiling
(`make native`), each in a process of its own (bench/workers.py for the Python
clients), taking turns, for several rounds. Prints one table of medians with the
ratios of tarnu_sdk to each of the others, and the targets; --json writes every
sample and the medians.

Message counts are checked: a publisher's messages are counted by the broker
($SYS/broker/publish/messages/received), a receiver counts what reaches its handler.
A run that lost messages is reported as LOST and kept out of the medians.

The round-trip group (`--only rtt`) puts the delaying proxy of tests/proxy.py between
the clients and the broker, --rtt-delay-ms each way (the broker's own count of the
messages is taken directly); it ends with the ratios of publishing from 8 and 64
threads of one client to publishing from one, and to paho-mqtt's messages all in flight.

The clients and workloads are in bench/workloads.py, the output in bench/report.py.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass
from pathlib import Path

from report import header, machine, medians, rtt_summary, sample_text, table
from workloads import CLIENTS, LABELS, WORKLOADS, Workload, client_args, published

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from brokers import Broker  # type: ignore[import-not-found]  # noqa: E402
from proxy import Proxy  # type: ignore[import-not-found]  # noqa: E402

NATIVE = ROOT / "build" / "bench" / "native_ceiling"
WORKERS = ROOT / "bench" / "workers.py"

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


@dataclass(frozen=True)
class Endpoint:
    """Where the clients of a workload connect: the URL scheme and the broker port."""
    scheme: str
    port: int


def endpoints(broker: Broker) -> dict[str, Endpoint]:
    """The broker's listeners by name, which a Workload chooses with `listener`: plain
    TCP, TLS, and plain TCP through the delaying proxy ("rtt", when the run started
    one). Another would be one more `listener` block in the broker's configuration (or
    one more proxy), one more entry here, and the scheme in each peer's `transport`
    (bench/peers/) and in native_ceiling's URI."""
    found = {"tcp": Endpoint("tcp", broker.port), "tls": Endpoint("ssl", broker.tls_port)}
    if getattr(broker, "rtt_port", None):
        found["rtt"] = Endpoint("tcp", broker.rtt_port)
    return found


def tls_listener(directory: Path) -> tuple[list[str], int]:
    """Configuration lines of a TLS listener with a certificate for 127.0.0.1 from a CA
    made for this run, and its port. The clients are given the CA as SSL_CERT_FILE
    (their OpenSSL's standard variable), which every worker inherits."""
    from brokers import free_port  # type: ignore[import-not-found]
    from pki import Authority, listener  # type: ignore[import-not-found]

    ca = Authority(directory, "bench-ca")
    port = free_port()
    os.environ["SSL_CERT_FILE"] = str(ca.path)
    return listener(port, *ca.server("bench-broker"), ca.path), port


MIB = 1024.0


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


def worker_command(client: str, mode: str, endpoint: Endpoint, args: dict,
                   topic: str) -> list[str]:
    if client == "native":
        cmd = [str(NATIVE), mode]
    else:
        cmd = [sys.executable, str(WORKERS), client, mode]
    cmd += ["--scheme", endpoint.scheme, "--port", str(endpoint.port), "--topic", topic]
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
    cmd = worker_command(client, w.mode, endpoints(broker)[w.listener], args, topic)
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
        sent = published(w, args)
        missing = counter.settle(sent)
        if missing:
            sample["lost"] = missing
            sample["of"] = sent
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
        # The feeder stays on plain TCP whatever the receiver's listener, so that it
        # is the same for every row.
        feeder = endpoints(broker)["tcp"]
        feed = subprocess.run(
            [str(NATIVE), "feed", "--scheme", feeder.scheme, "--port", str(feeder.port),
             "--topic", topic,
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
        sample["stderr"] = "".join(stderr_chunks).strip()[-600:]  # what the receiver said
    dropped = counter.dropped() - dropped_before
    if dropped:
        sample["broker_dropped"] = dropped
    if "rss_warm_kib" in res and res.get("rss_warm_kib", -1) >= 0:
        sample["hwm_mib"] = res["hwm_kib"] / MIB
        sample["growth_mib"] = (res["rss_end_kib"] - res["rss_warm_kib"]) / MIB
    return sample


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--quick", action="store_true", help="a short smoke run (1 round, small counts)")
    p.add_argument("--json", metavar="FILE", help="write all samples and the medians here")
    groups = sorted({w.group for w in WORKLOADS if w.group})
    p.add_argument("--only", metavar="W1,W2",
                   help="run only these workloads: " + ",".join(w.name for w in WORKLOADS)
                   + "; or groups of them: " + ",".join(groups))
    p.add_argument("--clients", default=",".join(CLIENTS),
                   help="run only these clients (default: all: " + ",".join(CLIENTS) + ")")
    p.add_argument("--broker-conf", action="append", default=[], metavar="LINE",
                   help="a line added to the broker's configuration (after the defaults)")
    p.add_argument("--rtt-delay-ms", type=float, default=10.0, metavar="MS",
                   help="the round-trip group's one-way delay through the proxy (default 10: "
                        "a 20 ms round trip)")
    o = p.parse_args()
    if o.rtt_delay_ms < 0:
        p.error("--rtt-delay-ms must not be negative")
    if not NATIVE.exists():
        sys.exit(f"{NATIVE} is missing: run `make native` (or `make bench`)")
    chosen = WORKLOADS
    if o.only:
        names = set(o.only.split(","))
        names |= {w.name for w in WORKLOADS if w.group in names}
        names -= set(groups)
        unknown = names - {w.name for w in WORKLOADS}
        if unknown:
            p.error(f"unknown workloads: {', '.join(sorted(unknown))}")
        chosen = [w for w in WORKLOADS if w.name in names]
    unknown = set(o.clients.split(",")) - set(CLIENTS)
    if unknown:
        p.error(f"unknown clients: {', '.join(sorted(unknown))}")
    clients = [c for c in CLIENTS if c in o.clients.split(",")]
    rounds = 1 if o.quick else o.rounds
    round_trip = f"{2 * o.rtt_delay_ms:g}"
    for w in WORKLOADS:
        if w.listener == "rtt":
            w.title = w.title.replace("{rtt}", round_trip)

    info = machine()
    print("\n".join(header(info)))
    print(f"# load average before: {info['loadavg_before']}")
    if info["loadavg_before"][0] > 0.5 * (info["nproc"] or 1):
        print("# WARNING: the machine is busy; other processes will skew the results")
    samples: list[dict] = []
    started = time.monotonic()
    pki_dir = Path(tempfile.mkdtemp(prefix="tarnu-bench-pki-"))
    tls_lines, tls_port = tls_listener(pki_dir)
    with contextlib.ExitStack() as running:
        broker = running.enter_context(Broker(extra=BROKER_CONF + o.broker_conf + tls_lines))
        broker.tls_port = tls_port
        if any(w.listener == "rtt" for w in chosen):
            # The proxy forwards on a thread of this process; it keeps no packet records.
            link = running.enter_context(Proxy(broker.port, delay=o.rtt_delay_ms / 1000))
            link.record = False
            broker.rtt_port = link.port
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
                    mine = [c for c in clients if c in w.clients]
                    if not mine:
                        continue
                    order = mine[r % len(mine):] + mine[:r % len(mine)]
                    for client in order:
                        t0 = time.monotonic()
                        s = run_one(w, client, client_args(w, client, args), broker,
                                    counter)
                        s["round"] = r + 1
                        s["wall_s"] = round(time.monotonic() - t0, 2)
                        samples.append(s)
                        print(f"round {r + 1}/{n}  {w.name:8} {LABELS[client]:10} "
                              f"{sample_text(s, w)}", flush=True)
        finally:
            counter.close()
    shutil.rmtree(pki_dir, ignore_errors=True)
    info["loadavg_after"] = [round(x, 2) for x in os.getloadavg()]
    med = medians(samples)
    print()
    print(f"Medians of {rounds} round(s) ({time.monotonic() - started:.0f} s); ratios are "
          "tarnu_sdk / other (higher is better for msg/s, lower for µs and MiB).")
    print(table(med))
    summary = rtt_summary(med, o.rtt_delay_ms)
    if summary:
        print()
        print("\n".join(summary))
    print(f"(load average before {info['loadavg_before'][0]}, after "
          f"{info['loadavg_after'][0]}; {info['nproc']} CPUs)")
    if o.json:
        Path(o.json).write_text(json.dumps(
            {"machine": info, "rounds": rounds, "quick": o.quick,
             "broker_conf": BROKER_CONF + o.broker_conf,
             "rtt_delay_ms": o.rtt_delay_ms, "rtt_summary": summary,
             "workloads": {w.name: {"title": w.title, "mode": w.mode,
                                    "args": {**w.args, **(w.quick if o.quick else {})},
                                    "count_scale": w.count_scale, "listener": w.listener}
                           for w in chosen},
             "samples": samples, "medians": med}, indent=2) + "\n")
        print(f"\nwrote {o.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
