"""Half-open links: the proxy stops forwarding in both directions and keeps every socket
open, so only the keep-alive can tell that the link is gone; a CPU-busy Python thread runs
during each loss. After every loss the client must reconnect as soon as the link forwards
again, and the reconnected client must be alive: its PINGREQs flow, messages arrive, and a
later loss is detected again."""
from __future__ import annotations

import threading
import time

import pytest

from support import Recorder, wait_until

pytestmark = pytest.mark.timeout(400, method="thread")
KEEPALIVE = 1  # seconds
PINGREQ = 12
LOST, UP = (False, -1), (True, 0)


class Busy:
    """A Python thread that spins while the link is frozen (it widens the windows in which
    the library's thread and the client's threads meet)."""

    def __enter__(self):
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._spin, daemon=True)
        self.thread.start()
        return self

    def _spin(self):
        deadline = time.monotonic() + 30
        while not self.stop.is_set() and time.monotonic() < deadline:
            sum(range(200))

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(5)


def freeze_until_lost(proxy, conn, losses: int) -> float:
    """Freezes the link under a busy thread; returns how long the loss took to be reported."""
    with Busy():
        frozen = time.monotonic()
        proxy.freeze()
        assert wait_until(lambda: conn.snapshot().count(LOST) >= losses, timeout=10), \
            f"no loss reported 10 s after the link froze: {conn.snapshot()[-3:]}"
        return conn.times[len(conn.snapshot()) - 1] - frozen


def thaw_until_back(proxy, conn, ups: int) -> float:
    thawed = time.monotonic()
    proxy.thaw()
    assert wait_until(lambda: conn.snapshot().count(UP) >= ups, timeout=40), \
        f"not reconnected 40 s after the link forwarded again: {conn.snapshot()[-3:]}"
    return conn.times[len(conn.snapshot()) - 1] - thawed


def first_ping(proxy, since: float, timeout: float) -> float | None:
    """Seconds from `since` to the first PINGREQ on the newest link, if one comes in time."""
    wait_until(lambda: any(kind == PINGREQ and t > since for t, kind in proxy.sent()), timeout)
    pings = [t for t, kind in proxy.sent() if kind == PINGREQ and t > since]
    return pings[0] - since if pings else None


def delivered(pub, msgs, topic: str, payload: str) -> bool:
    pub.publish(topic, payload, qos=1)
    return wait_until(lambda: (topic, payload) in msgs.snapshot(), timeout=5)


def report(capfd, name, losses, backs, pings):
    def spread(values):
        values = sorted(values)
        return (f"min {values[0]:.2f} median {values[len(values) // 2]:.2f}"
                f" max {values[-1]:.2f} s")
    with capfd.disabled():
        print(f"\n[half-open {name}] {len(losses)} cycles: loss reported after freeze"
              f" {spread(losses)}; reconnected after thaw {spread(backs)};"
              f" first PINGREQ after reconnection {spread(pings)}")


@pytest.mark.parametrize("others", ["alone", "beside a steady client"])
def test_every_keepalive_detected_loss_is_followed_by_a_live_reconnection(
    proxy, fresh_broker, make_client, topic, capfd, others
):
    cycles = 30 if others == "alone" else 12
    conn, msgs = Recorder(), Recorder()
    client = make_client(proxy.address, keepAlive=KEEPALIVE)
    client.on_connection(conn)
    client.on_message(msgs)
    assert client.connect() and client.subscribe(f"{topic}/#", qos=1)
    pub = make_client(fresh_broker.address)
    assert pub.connect()
    steady = steady_conn = steady_msgs = None
    if others != "alone":
        steady, steady_conn, steady_msgs = make_client(fresh_broker.address), Recorder(), Recorder()
        steady.on_connection(steady_conn)
        steady.on_message(steady_msgs)
        assert steady.connect() and steady.subscribe(f"{topic}/#", qos=1)
    losses, backs, pings = [], [], []
    for cycle in range(1, cycles + 1):
        losses.append(freeze_until_lost(proxy, conn, cycle))
        backs.append(thaw_until_back(proxy, conn, cycle + 1))
        reconnected = conn.times[-1]
        ping = first_ping(proxy, reconnected, timeout=3 * KEEPALIVE)
        assert ping is not None, f"cycle {cycle}: no PINGREQ on the new link"
        pings.append(ping)
        assert delivered(pub, msgs, f"{topic}/{cycle}", str(cycle)), f"cycle {cycle}: not delivered"
        assert client.is_connected()
    report(capfd, others, losses, backs, pings)
    assert max(losses) < 3 * KEEPALIVE, losses
    assert max(backs) < 1.5, backs
    assert max(pings) < 1.5 * KEEPALIVE, pings
    assert conn.snapshot() == [UP] + [LOST, UP] * cycles
    if steady is not None:
        assert steady_conn.snapshot() == [UP] and steady.is_connected()
        # The last cycle's message reaches the two clients in no set order.
        every = {str(n) for n in range(1, cycles + 1)}
        assert wait_until(lambda: {p for _, p in steady_msgs.snapshot()} == every), (
            steady_msgs.snapshot())


def test_a_program_connect_right_after_a_keepalive_loss_gives_a_live_client(
    proxy, fresh_broker, make_client, topic
):
    conn, msgs = Recorder(), Recorder()
    client = make_client(proxy.address, keepAlive=KEEPALIVE, autoReconnect=False)
    client.on_connection(conn)
    client.on_message(msgs)
    assert client.connect() and client.subscribe(f"{topic}/#", qos=1)
    pub = make_client(fresh_broker.address)
    assert pub.connect()
    for cycle in range(1, 6):
        freeze_until_lost(proxy, conn, cycle)
        proxy.thaw()
        started = time.monotonic()
        assert client.connect() is True
        assert time.monotonic() - started < 1.5
        ping = first_ping(proxy, time.monotonic(), timeout=3 * KEEPALIVE)
        assert ping is not None and ping < 1.5 * KEEPALIVE, ping
        assert delivered(pub, msgs, f"{topic}/{cycle}", str(cycle))
    assert conn.snapshot() == [UP] + [LOST, UP] * 5


def test_a_publish_stream_into_a_frozen_link_neither_holds_up_the_reconnection_nor_stop(
    proxy, fresh_broker, make_client, topic
):
    conn, msgs = Recorder(), Recorder()
    client = make_client(proxy.address, keepAlive=KEEPALIVE, connectTimeout=30)
    client.on_connection(conn)
    client.on_message(msgs)
    assert client.connect() and client.subscribe(f"{topic}/#", qos=1)
    pub = make_client(fresh_broker.address)
    assert pub.connect()
    chunk, stop, returned = "x" * 65536, threading.Event(), []

    def stream():
        while not stop.is_set():
            started = time.monotonic()
            client.publish(f"{topic}/stream", chunk, qos=0)
            returned.append(time.monotonic() - started)

    for cycle in range(1, 4):
        stop.clear()
        streamer = threading.Thread(target=stream, daemon=True)
        streamer.start()
        try:
            freeze_until_lost(proxy, conn, cycle)
        finally:
            stop.set()
        streamer.join(10)
        assert not streamer.is_alive(), "a publish into the frozen link never returned"
        assert thaw_until_back(proxy, conn, cycle + 1) < 1.5
        assert delivered(pub, msgs, f"{topic}/marker", str(cycle))
    # Into a frozen link once more, then stop while a publish is inside the library.
    streamer = threading.Thread(target=stream, daemon=True)
    stop.clear()
    streamer.start()
    proxy.freeze()
    time.sleep(0.5)  # the socket's buffers fill, the publish waits in the library
    started = time.monotonic()
    client.stop()
    took = time.monotonic() - started
    stop.set()
    streamer.join(10)
    assert not streamer.is_alive()
    assert took < 3 * KEEPALIVE + 1, f"stop took {took:.1f} s behind a blocked publish"


# What the client holds when the program ends the connection behind a frozen link: a small
# packet the full socket took only in part (the publish waits inside the library), a
# packet waiting for room in the socket (the client's own wait; the socket holds bytes
# the link will never take), or one packet larger than the socket can ever hold.
HELD = {"a small packet in part": ("q" * 4096, 100_000),
        "a packet waiting for room": ("r" * 65536, 100_000),
        "a packet larger than the socket": (b"b" * (8 << 20), 1)}


@pytest.mark.parametrize("held", HELD)
@pytest.mark.parametrize("ending", ["disconnect", "stop"])
def test_ending_a_connection_whose_link_froze_starts_no_reconnection(
    proxy, make_client, topic, capfd, held, ending
):
    """The program ends a connection whose link went silent with bytes still to send: the
    link is cut rather than drained, and the loss that follows is the program's own end of
    the connection, so no reconnection may begin (a disconnect would be undone by it, and
    stop would wait for its connect, here up to 30 s)."""
    conn = Recorder()
    client = make_client(proxy.address, keepAlive=10, connectTimeout=30)
    client.on_connection(conn)
    assert client.connect() and client.subscribe(f"{topic}/#", qos=1)
    proxy.freeze()
    payload, count = HELD[held]
    stop_streaming = threading.Event()

    def stream():
        for _ in range(count):
            if stop_streaming.is_set():
                return
            client.publish(f"{topic}/stream", payload, qos=0)

    publisher = threading.Thread(target=stream, daemon=True)
    publisher.start()
    time.sleep(1)  # the socket's buffers fill
    capfd.readouterr()
    started = time.monotonic()
    getattr(client, ending)()
    took = time.monotonic() - started
    stop_streaming.set()
    publisher.join(10)
    assert not publisher.is_alive(), "a publish into the frozen link never returned"
    proxy.thaw()
    time.sleep(1)  # a reconnection would begin at once, and with the link back, succeed
    out = capfd.readouterr()
    assert took < 3, f"{ending} took {took:.1f} s"
    assert "Attempting to reconnect" not in out.out, out.out
    assert not client.is_connected()
    assert conn.snapshot().count(UP) == 1, conn.snapshot()
