"""Many clients in one process: 200 connected from 8 threads at once, then all torn down;
the process's threads, descriptors and memory come back to where they were."""
from __future__ import annotations

import gc
import threading
import time

import pytest

from support import SANITIZED, census, new_client, wait_until

pytestmark = pytest.mark.timeout(300, method="thread")


def test_two_hundred_clients_connected_from_eight_threads_then_released(broker, topic, capfd):
    # The process-wide parts (the library's network thread and the client's own helpers)
    # are made by the first client and stay.
    warm = new_client(broker.address)
    assert warm.connect()
    warm.stop()
    del warm
    gc.collect()
    time.sleep(0.5)
    before = census()
    clients, problems, lock = [], [], threading.Lock()

    def connect_many(worker):
        for n in range(25):
            client = new_client(broker.address)
            if not client.connect():
                problems.append(f"{worker}/{n} did not connect")
            with lock:
                clients.append(client)

    started = time.monotonic()
    threads = [threading.Thread(target=connect_many, args=(w,)) for w in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(200)
    took = time.monotonic() - started
    assert problems == [] and len(clients) == 200
    assert all(client.is_connected() for client in clients)
    during = census()
    # One message through each: every client is alive.
    received = []
    for n, client in enumerate(clients):
        client.on_message(lambda t, p: received.append(p))
        assert client.subscribe(f"{topic}/{n}", qos=0)
    clients[0].publish(f"{topic}/199", "last", qos=1)
    assert wait_until(lambda: received == ["last"])
    for client in clients:
        client.stop()
    del client
    clients.clear()
    gc.collect()
    assert wait_until(lambda: census()[0] <= before[0] and census()[1] <= before[1] + 2,
                      timeout=15), (before, census())
    after = census()
    with capfd.disabled():
        print(f"\n[scale] 200 clients connected from 8 threads in {took:.1f} s"
              f" ({took / 200 * 1000:.0f} ms each); threads/fds/RSS KiB before {before},"
              f" connected {during}, after {after}")
    # KiB: a few MiB of allocator slack at most (a sanitizer's runtime holds freed memory)
    assert SANITIZED or after[2] - before[2] < 64 * 1024


@pytest.mark.skipif(SANITIZED, reason="a sanitizer's runtime holds freed memory back on purpose")
def test_a_long_life_of_connects_and_disconnects_does_not_grow(broker, capfd):
    """One client connected and disconnected again and again, as a long-lived process that
    loses and regains its broker does: its memory stays flat. (The library used to keep a
    copy of the keep-alive pacer's proxy name from each connect: about 200 bytes a connect,
    30 KiB per block here.)"""
    client = new_client(broker.address)
    resident = []
    for _ in range(4):
        for _ in range(150):
            assert client.connect() is True
            client.disconnect()
        resident.append(census()[2])
    client.stop()
    capfd.readouterr()
    growth = resident[-1] - resident[0]  # the first block warms the allocator up
    assert growth < 40, f"resident memory after each block of 150 cycles: {resident} KiB"
