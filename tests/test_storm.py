"""A reconnection storm: the link of every client is cut again and again, at random moments
(in the middle of handshakes and publishes too), while two threads keep publishing. When
the storm ends every client is back, works, and the process holds no more threads or
descriptors than before it, nor much more memory. TARNU_STORM_SECONDS sets its length
(10 s in the suite)."""
from __future__ import annotations

import os
import random
import threading
import time

import pytest

from support import SANITIZED, Recorder, census, wait_until

STORM_SECONDS = float(os.environ.get("TARNU_STORM_SECONDS", "10"))
pytestmark = pytest.mark.timeout(STORM_SECONDS + 120, method="thread")
CLIENTS = 4


def test_clients_come_back_whole_after_a_storm_of_cuts(proxy, fresh_broker, make_client,
                                                       topic, capfd):
    proxy.record = False  # the memory measured is the clients', not the proxy's records
    clients, conns, msgs = [], [], []
    for n in range(CLIENTS):
        conn, got = Recorder(), []
        client = make_client(proxy.address, keepAlive=2, maxReconnectInterval=0)
        client.on_connection(conn)
        # Only the check's message is kept: what the test holds is no part of the measure.
        client.on_message(lambda t, p, got=got: p == "after the storm" and got.append(t))
        assert client.connect() and client.subscribe(f"{topic}/{n}", qos=1)
        clients.append(client), conns.append(conn), msgs.append(got)
    checker = make_client(fresh_broker.address)  # publishes past the proxy
    assert checker.connect()
    time.sleep(0.3)
    before = census()
    stop, published = threading.Event(), [0]

    def publish(offset):
        for i in range(10_000_000):
            if stop.is_set():
                return
            client = clients[(i + offset) % CLIENTS]
            client.publish(f"{topic}/{(i + offset + 1) % CLIENTS}", str(i), qos=i % 2)
            published[0] += 1

    publishers = [threading.Thread(target=publish, args=(k,), daemon=True) for k in range(2)]
    for thread in publishers:
        thread.start()
    rng, cuts, started = random.Random(11), 0, time.monotonic()
    while time.monotonic() - started < STORM_SECONDS:
        time.sleep(rng.choice([0.0, 0.005, 0.02, 0.05, 0.1, 0.2, 0.4]))
        cuts += 1 if proxy.cut() else 0
    stop.set()
    for thread in publishers:
        thread.join(15)
    assert not any(t.is_alive() for t in publishers), "a publish is stuck after the storm"

    # Every client is back, alive, and no worker is left behind.
    assert wait_until(lambda: all(c.is_connected() for c in clients), timeout=10), \
        [c.is_connected() for c in clients]
    for n, (conn, got) in enumerate(zip(conns, msgs)):
        checker.publish(f"{topic}/{n}", "after the storm", qos=1)
        assert wait_until(lambda: f"{topic}/{n}" in got, timeout=10), n
        calls = conn.snapshot()
        assert calls[-1] == (True, 0) and set(calls[0::2]) == {(True, 0)}, calls[-6:]
        assert set(calls[1::2]) <= {(False, -1)}, calls[-6:]
    time.sleep(0.5)
    after = census()
    reconnections = sum(conn.snapshot().count((True, 0)) - 1 for conn in conns)
    with capfd.disabled():
        print(f"\n[storm] {STORM_SECONDS:.0f} s: {cuts} cuts, {reconnections} reconnections of"
              f" {CLIENTS} clients, {published[0]} publishes; threads/fds/RSS KiB"
              f" before {before}, after {after}")
    assert cuts >= 10 and reconnections >= 10  # the cuts did hit live links
    assert after[0] <= before[0] and after[1] <= before[1], (before, after)
    if not SANITIZED:
        assert after[2] - before[2] < 16 * 1024, (before, after)  # KiB
