"""Clients made, connected, used, stopped and dropped on several Python threads at once,
beside long-lived clients that keep streaming: no crash, no stall, no message lost. (The
library's network thread is shared by all the clients of a process; its start and stop
raced with clients being made and connected on other threads.)"""
from __future__ import annotations

import os
import threading
import time

import pytest

import tarnu_sdk
from support import Recorder, wait_until

pytestmark = pytest.mark.timeout(300, method="thread")
CONNECT_BOUND = 1.0  # seconds


class Churn:
    """`threads` threads, each running `rounds` rounds of a client's whole life; a client
    shared by all of them is used in every round too."""

    def __init__(self, address: str, topic: str, shared, threads: int, rounds: int):
        self.address, self.topic, self.shared = address, topic, shared
        self.threads, self.rounds = threads, rounds
        self.connects, self.problems, self.lock = [], [], threading.Lock()

    def round(self, worker: int, number: int) -> None:
        got, topic = threading.Event(), f"{self.topic}/{worker}/{number}"
        client = tarnu_sdk.SDK()
        client.on_message(lambda t, p: got.set())
        client.init(f"tarnu-churn-{os.getpid()}-{worker}-{number}", self.address, "tcp", "", "")
        started = time.monotonic()
        connected = client.connect()
        took = time.monotonic() - started
        with self.lock:
            self.connects.append(took)
        if not connected:
            self.problems.append(f"{topic}: connect failed after {took:.2f} s")
        elif not client.subscribe(topic, qos=1):
            self.problems.append(f"{topic}: subscribe failed")
        else:
            client.publish(topic, "x", qos=1)
            self.shared.publish(f"{self.topic}/shared", f"{worker}/{number}", qos=1)
            if not got.wait(5):
                self.problems.append(f"{topic}: QoS 1 message not delivered")
        if number % 2:
            client.stop()  # every other client is only dropped, still connected
        del client

    def run(self) -> None:
        def body(worker):
            try:
                for number in range(self.rounds):
                    self.round(worker, number)
            except BaseException as error:  # noqa: BLE001 - reported by the test
                self.problems.append(f"worker {worker}: {error!r}")

        threads = [threading.Thread(target=body, args=(w,), daemon=True)
                   for w in range(self.threads)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(240)
        assert not any(t.is_alive() for t in threads), "a churning thread is stuck"


def report(capfd, name, churn, started):
    took = sorted(churn.connects)
    with capfd.disabled():
        print(f"\n[churn {name}] {len(took)} rounds in {time.monotonic() - started:.1f} s;"
              f" connect median {took[len(took) // 2] * 1000:.0f} ms, max {took[-1] * 1000:.0f} ms")


def test_clients_churned_on_four_threads_never_crash_stall_or_lose(broker, make_client, topic,
                                                                    capfd):
    shared, shared_msgs = make_client(broker.address), Recorder()
    shared.on_message(shared_msgs)
    assert shared.connect() and shared.subscribe(f"{topic}/shared", qos=1)
    churn, started = Churn(broker.address, topic, shared, threads=4, rounds=50), time.monotonic()
    churn.run()
    report(capfd, "4 x 50", churn, started)
    assert churn.problems == []
    assert len(churn.connects) == 200 and max(churn.connects) < CONNECT_BOUND
    assert wait_until(lambda: len({p for _, p in shared_msgs.snapshot()}) == 200, timeout=10)


def test_churn_beside_streaming_clients_leaves_their_streams_whole(broker, make_client, topic,
                                                                   capfd):
    shared = make_client(broker.address)
    assert shared.connect()
    streams, stop = [], threading.Event()
    for n in range(2):
        client, conn, msgs = make_client(broker.address), Recorder(), Recorder()
        client.on_connection(conn)
        client.on_message(msgs)
        assert client.connect() and client.subscribe(f"{topic}/stream/{n}", qos=1)
        streams.append((client, conn, msgs, []))

    def stream(client, sent, n):
        for i in range(1_000_000):
            if stop.is_set():
                return
            client.publish(f"{topic}/stream/{n}", str(i), qos=1 if i % 2 else 0)
            sent.append(str(i))

    streamers = [threading.Thread(target=stream, args=(c, sent, n), daemon=True)
                 for n, (c, _, _, sent) in enumerate(streams)]
    for thread in streamers:
        thread.start()
    churn, started = Churn(broker.address, topic, shared, threads=2, rounds=40), time.monotonic()
    try:
        churn.run()
    finally:
        stop.set()
        for thread in streamers:
            thread.join(20)
    report(capfd, "2 x 40 beside 2 streams", churn, started)
    assert churn.problems == [] and max(churn.connects) < CONNECT_BOUND
    for client, conn, msgs, sent in streams:
        assert len(sent) > 20
        # Every message of each stream arrives, once, in order (QoS 0 on a local broker
        # with room in its queues is not dropped), and its link never dropped.
        assert wait_until(lambda: len(msgs.snapshot()) >= len(sent), timeout=15)
        assert [p for _, p in msgs.snapshot()] == sent
        assert conn.snapshot() == [(True, 0)] and client.is_connected()
