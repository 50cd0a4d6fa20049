"""Large payloads: they arrive byte for byte, at QoS 0 and 1, mixed with small ones in the
order they were published, and a large publish into a link that stopped draining ends in
the usual connection-loss path instead of holding its caller (or stop()) for good."""
from __future__ import annotations

import hashlib
import random
import threading
import time

import pytest

from support import Recorder, wait_until

pytestmark = pytest.mark.timeout(180, method="thread")
KIB, MIB = 1024, 1024 * 1024
# Printable ASCII and a few characters of two, three and four bytes in UTF-8: payloads
# arrive as str, so they must be valid UTF-8; the multi-byte ones put character
# boundaries everywhere in the stream.
ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789 {}[]/\\\"'\n\u00e9\u00df\u20ac\u4e2d\U0001f600"


def text_of(size: int, variant: int) -> bytes:
    """`size` bytes of valid UTF-8, different for each variant."""
    rng = random.Random(variant)
    block = "".join(rng.choices(ALPHABET, k=4096))
    pieces, total, shift = [], 0, 0
    while total < size:
        pieces.append((block[shift:] + block[:shift]).encode())  # each differs
        total, shift = total + len(pieces[-1]), (shift + 7) % len(block)
    data = b"".join(pieces)[:size].decode("utf-8", "ignore").encode()  # whole characters
    return data + b"x" * (size - len(data))


def digest(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def test_large_payloads_arrive_byte_for_byte_at_qos_0_and_1(connected, topic, capfd):
    received = Recorder()
    connected(f"{topic}/#").on_message(received)
    sender = connected()
    sent = [(f"{topic}/{size}/{qos}", text_of(size, variant=size + qos), qos)
            for size in (300 * KIB, 4 * MIB) for qos in (0, 1)]
    capfd.readouterr()
    for name, payload, qos in sent:
        assert sender.publish(name, payload, qos=qos) is None
    assert capfd.readouterr().err == ""
    assert received.wait_for(len(sent), timeout=30), f"{len(received.snapshot())} arrived"
    got = received.snapshot()
    assert [t for t, _ in got] == [name for name, _, _ in sent]
    for (name, payload, _), (_, text) in zip(sent, got):
        assert len(text.encode()) == len(payload), name
        assert digest(text) == hashlib.sha256(payload).hexdigest(), name


def test_small_and_large_publishes_interleaved_arrive_whole_and_in_order(connected, topic):
    received = Recorder()
    connected(f"{topic}/#").on_message(received)
    sender = connected()
    sizes = [10, 64 * KIB, 1, 1 * MIB, 200, 300 * KIB, 0, 16 * KIB - 1, 16 * KIB, 2 * MIB]
    sent = []
    for n in range(3 * len(sizes)):
        size, qos = sizes[n % len(sizes)], (0, 1, 0, 2)[n % 4]
        payload = f"{n:04d}|".encode() + text_of(size, variant=n)
        sender.publish(f"{topic}/mixed", payload, qos=qos)
        sent.append(payload)
    assert received.wait_for(len(sent), timeout=30), f"{len(received.snapshot())} arrived"
    got = [p.encode() for _, p in received.snapshot()]
    assert [p[:5] for p in got] == [p[:5] for p in sent]  # in order, none lost or repeated
    assert got == sent  # and each one whole


def test_a_large_publish_into_a_link_that_stopped_draining_ends_in_a_loss(
    proxy, make_client, topic
):
    keep_alive = 1
    conn, client = Recorder(), make_client(proxy.address, keepAlive=keep_alive,
                                           autoReconnect=False)
    client.on_connection(conn)
    assert client.connect() and conn.snapshot() == [(True, 0)]
    payload = text_of(4 * MIB, variant=1)  # more than the socket's buffers hold
    calls: list[tuple[float, float]] = []  # (start, end) of each publish call
    done = threading.Event()

    def publish(qos):
        for _ in range(50):
            if done.is_set():
                return
            started = time.monotonic()
            client.publish(f"{topic}/big", payload, qos=qos)
            calls.append((started, time.monotonic()))

    def publishing(qos) -> threading.Thread:
        calls.clear()
        done.clear()
        thread = threading.Thread(target=publish, args=(qos,), daemon=True)
        thread.start()
        return thread

    frozen = time.monotonic()
    proxy.freeze()  # the broker's side stops reading; every socket stays open
    publisher = publishing(qos=1)
    assert wait_until(lambda: conn.snapshot()[1:] == [(False, -1)], timeout=4 * keep_alive + 2), \
        conn.snapshot()
    done.set()
    lost = conn.times[1] - frozen
    publisher.join(5)
    assert not publisher.is_alive(), "the publish never returned after the loss"
    # The library notices a silent link after about 2.5 x keepAlive; the large publish
    # must not have hidden it, nor outlived it.
    assert lost < 3 * keep_alive + 1, f"loss reported {lost:.1f} s after the link froze"
    assert calls and calls[-1][1] - conn.times[1] < 2, "the publish outlived the loss"
    assert not client.is_connected()

    # At QoS 0, with a long keep-alive (the watch would wait 16 s), ended by stop() while
    # the publishes are under way: stop waits while the link still takes bytes (the
    # proxy's socket buffers fill for a moment after it stops reading), then cuts it.
    proxy.thaw()
    conn = Recorder()
    client = make_client(proxy.address, keepAlive=10, autoReconnect=False)
    client.on_connection(conn)
    assert client.connect()
    proxy.freeze()
    publisher = publishing(qos=0)
    time.sleep(0.5)
    started = time.monotonic()
    client.stop()
    took = time.monotonic() - started
    done.set()
    publisher.join(5)
    assert not publisher.is_alive()
    assert took < 3.0, f"stop took {took:.2f} s behind publishes into a frozen link"
    assert conn.snapshot()[0] == (True, 0) and conn.snapshot()[-1][0] is False
