"""Connection loss and reconnection, by fault injection.

The client talks to the broker through tests/proxy.py, which cuts the link and
refuses new connections while the broker keeps its sessions. The client's log
lines are read from fds 1 and 2 with a time stamp per line (LogTap), so their
bytes and the gaps between them can be checked.
"""
from __future__ import annotations

import gc
import os
import sys
import re
import threading
import time
import uuid

import pytest

from support import Recorder, wait_until

import tarnu_sdk

LOST = b"[SDK] Connection lost: unknown\n"
ATTEMPT = b"[SDK] Attempting to reconnect...\n"
FAILED = re.compile(rb"\[SDK\] Reconnect failed, rc=(-?\d+)\. Retrying in (-?\d+)s\n\Z")


class LogTap:
    """Redirects fds 1 and 2 into pipes for the length of a `with` block, keeps
    every line as (monotonic time of arrival, fd, bytes) and echoes it on."""

    def __init__(self):
        self.lines: list[tuple[float, int, bytes]] = []
        self.cond = threading.Condition()

    def __enter__(self) -> "LogTap":
        for f in (sys.stdout, sys.stderr):
            f.flush()
        self.saved = {fd: os.dup(fd) for fd in (1, 2)}
        self.readers = []
        for fd in (1, 2):
            r, w = os.pipe()
            os.dup2(w, fd)
            os.close(w)
            t = threading.Thread(target=self._read, args=(r, fd), daemon=True)
            t.start()
            self.readers.append(t)
        return self

    def _read(self, r: int, fd: int) -> None:
        pending = b""
        with os.fdopen(r, "rb", buffering=0) as pipe:
            while chunk := pipe.read(65536):
                now = time.monotonic()
                os.write(self.saved[fd], chunk)
                pending += chunk
                *done, pending = pending.split(b"\n")
                with self.cond:
                    self.lines += [(now, fd, line + b"\n") for line in done]
                    self.cond.notify_all()
        if pending:
            with self.cond:
                self.lines.append((time.monotonic(), fd, pending))

    def __exit__(self, *exc) -> None:
        for f in (sys.stdout, sys.stderr):
            f.flush()
        for fd in (1, 2):
            os.dup2(self.saved[fd], fd)  # closes the pipe's last writer: EOF
        for t in self.readers:
            t.join(timeout=5)
        for fd in self.saved.values():
            os.close(fd)

    def get(self, fd: int | None = None, since: float = 0.0) -> list[tuple[float, bytes]]:
        with self.cond:
            return [(t, l) for t, f, l in self.lines if (fd is None or f == fd) and t >= since]

    def text(self, fd: int) -> bytes:
        return b"".join(l for _, l in self.get(fd))

    def wait(self, pred, count: int = 1, timeout: float = 5.0) -> list[tuple[float, bytes]]:
        """Waits for `count` lines matching `pred` (bytes or callable); returns them."""
        match = pred if callable(pred) else (lambda l: l == pred)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = [(t, l) for t, _, l in self.lines if match(l)]
                left = deadline - time.monotonic()
                if len(found) >= count or left <= 0:
                    return found
                self.cond.wait(left)


def failed(line: bytes) -> bool:
    return FAILED.match(line) is not None


class Timed(Recorder):
    """Recorder that also keeps the time and thread of each call."""

    def __init__(self, on_call=None):
        super().__init__()
        self.times, self.idents, self.on_call = [], [], on_call

    def __call__(self, *args):
        with self.lock:
            self.times.append(time.monotonic())
            self.idents.append(threading.get_ident())
        super().__call__(*args)
        if self.on_call:
            self.on_call(*args)


def connected_client(make_client, address, **kw):
    conn = Timed()
    c = make_client(address, **kw)
    c.on_connection(conn)
    assert c.connect()
    assert conn.snapshot() == [(True, 0)]
    return c, conn


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def test_loss_and_immediate_reconnection(proxy, make_client):
    uri = f"tcp://{proxy.address}".encode()
    returned = []
    conn = Timed(on_call=lambda up, code: up or (time.sleep(0.2), returned.append(time.monotonic())))
    c = make_client(proxy.address)
    c.on_connection(conn)
    assert c.connect()
    with LogTap() as tap:
        t_cut = time.monotonic()
        assert proxy.cut() == 1  # the link is back at once: the first attempt succeeds
        assert conn.wait_for(3, timeout=5)
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert c.is_connected()
    assert tap.text(2) == LOST
    assert tap.text(1) == ATTEMPT + b"[SDK] Reconnected successfully to " + uri + b"\n"
    # Loss and reconnection are reported on the client's event thread, not ours.
    assert conn.idents[1] == conn.idents[2] != threading.get_ident()
    # The handler is told of the loss before the worker starts.
    (t_attempt, _), = tap.get(1)[:1]
    assert tap.get(2)[0][0] <= returned[0] <= t_attempt
    assert proxy.accepted == 2
    took = conn.times[2] - t_cut
    print(f"\n[reconnect] link cut and back at once -> (True, 0) in {took * 1000:.0f} ms, of which"
          f" {(returned[0] - t_cut) * 1000:.0f} ms the loss handler and"
          f" {(conn.times[2] - t_attempt) * 1000:.0f} ms the worker's attempt")
    assert took < 1.5


@pytest.mark.parametrize("clean", [False, True])
def test_subscriptions_after_reconnection(proxy, fresh_broker, make_client, topic, clean):
    msgs = Recorder()
    sub, conn = connected_client(make_client, proxy.address, cleanSession=clean,
                                 clientId=f"tarnu-persist-{uuid.uuid4().hex[:8]}")
    sub.on_message(msgs)
    assert sub.subscribe(f"{topic}/#", 1)
    pub = make_client(fresh_broker.address)  # straight to the broker
    assert pub.connect()
    pub.publish(f"{topic}/before", "1", 1)
    assert msgs.wait_for(1)
    proxy.refuse()
    proxy.cut()
    assert wait_until(lambda: conn.snapshot()[1:] == [(False, -1)])
    pub.publish(f"{topic}/during", "2", 1)  # the broker queues it for a kept session
    proxy.accept()
    assert conn.wait_for(3, timeout=5)
    pub.publish(f"{topic}/after", "3", 1)
    if clean:
        time.sleep(0.3)
        assert msgs.snapshot() == [(f"{topic}/before", "1")]
    else:
        assert msgs.wait_for(3)
        assert msgs.snapshot() == [(f"{topic}/before", "1"), (f"{topic}/during", "2"),
                                   (f"{topic}/after", "3")]
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]


def test_no_auto_reconnect(proxy, make_client):
    c, conn = connected_client(make_client, proxy.address, autoReconnect=False)
    with LogTap() as tap:
        proxy.cut()
        assert conn.wait_for(2)
        time.sleep(1.2)  # longer than the default back-off of 1 s
        assert conn.snapshot() == [(True, 0), (False, -1)]
        assert not c.is_connected()
        assert tap.text(1) == b"" and tap.text(2) == LOST
        assert proxy.accepted == 1
        assert c.connect()
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert c.is_connected()
    assert tap.text(1) == f"[SDK] Connected to tcp://{proxy.address}\n".encode()


def test_backoff_sequence_with_cap_4(proxy, make_client):
    c, conn = connected_client(make_client, proxy.address, maxReconnectInterval=4)
    with LogTap() as tap:
        proxy.refuse()
        proxy.cut()
        fails = tap.wait(failed, count=4, timeout=12)
        assert len(fails) == 4
        time.sleep(0.5)
        proxy.accept()
        t_up = time.monotonic()
        assert conn.wait_for(3, timeout=6)
    attempts = [t for t, l in tap.get(1) if l == ATTEMPT]
    delays = [int(FAILED.match(l)[2]) for _, l in fails]
    codes = {int(FAILED.match(l)[1]) for _, l in fails}
    gaps = [round(b - a, 2) for a, b in zip(attempts, attempts[1:])]
    waits = [round(a - f, 2) for (f, _), a in zip(fails, attempts[1:])]
    print(f"\n[backoff cap 4] retrying in {delays}s, rc {codes}; gaps between attempts {gaps}s;"
          f" waits {waits}s; link restored -> (True, 0) {conn.times[2] - t_up:.2f}s")
    assert delays == [1, 2, 4, 4]
    assert codes <= {-1} and len(attempts) == 5
    assert tap.get(2)[0][1] == LOST and attempts[0] - tap.get(2)[0][0] < 0.5
    for d, w, g in zip(delays, waits, gaps):
        assert d - 0.05 <= w <= d + 0.3, (delays, waits)
        assert d <= g <= d + 1.0, (delays, gaps)
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert tap.get(1)[-1][1] == f"[SDK] Reconnected successfully to tcp://{proxy.address}\n".encode()


@pytest.mark.parametrize("cap", [0, -7])
def test_backoff_cap_zero_or_negative(proxy, make_client, cap):
    c, conn = connected_client(make_client, proxy.address, maxReconnectInterval=cap)
    with LogTap() as tap:
        proxy.refuse()
        proxy.cut()
        fails = tap.wait(failed, count=3, timeout=5)
        proxy.accept()
        assert conn.wait_for(3, timeout=3)
    fails = [(t, l) for t, l in tap.get(2) if failed(l)]
    attempts = [t for t, l in tap.get(1) if l == ATTEMPT]
    delays = [int(FAILED.match(l)[2]) for _, l in fails]
    waits = [round(a - f, 3) for (f, _), a in zip(fails, attempts[1:])]
    print(f"\n[backoff cap {cap}] retrying in {delays}s; waits {waits}s")
    assert len(delays) >= 3 and delays[0] == 1 and set(delays[1:]) == {0}
    assert 0.95 <= waits[0] <= 1.3
    assert all(w < 0.2 for w in waits[1:]), waits


def test_stop_during_backoff_wait(proxy, make_client):
    c, conn = connected_client(make_client, proxy.address, maxReconnectInterval=30)
    with LogTap() as tap:
        proxy.refuse()
        proxy.cut()
        fails = tap.wait(failed, count=3, timeout=8)
        assert [FAILED.match(l)[2] for _, l in fails] == [b"1", b"2", b"4"]
        time.sleep(0.2)  # now inside the 4 s wait
        t0 = time.monotonic()
        c.stop()
        took = time.monotonic() - t0
        proxy.accept()
        time.sleep(0.3)
    print(f"\n[stop] during a 4 s back-off wait returned in {took * 1000:.0f} ms")
    assert took < 0.5
    assert [l for _, l in tap.get(since=t0)] == [b"[SDK] Not connected\n"]
    assert conn.snapshot() == [(True, 0), (False, -1)]
    assert len([1 for _, l in tap.get(1) if l == ATTEMPT]) == 3
    assert not c.is_connected()


def test_dealloc_of_reconnecting_client(proxy):
    base = threads()
    conn = Recorder()
    c = tarnu_sdk.SDK()
    c.init(clientId=f"tarnu-dealloc-{uuid.uuid4().hex[:8]}", brokerHost=proxy.address,
           protocol="tcp", username="", password="", maxReconnectInterval=30)
    c.on_connection(conn)
    assert c.connect()
    with LogTap() as tap:
        proxy.refuse()
        proxy.cut()
        assert len(tap.wait(failed, count=2, timeout=5)) == 2  # now in the 2 s wait
        time.sleep(0.2)
        t0 = time.monotonic()
        del c
        gc.collect()
        took = time.monotonic() - t0
        proxy.accept()
        time.sleep(0.3)
    print(f"\n[dealloc] of a client in a 2 s back-off wait returned in {took * 1000:.0f} ms")
    assert took < 0.5
    assert [l for _, l in tap.get(since=t0)] == [b"[SDK] Not connected\n"]
    assert conn.snapshot() == [(True, 0), (False, -1)]
    assert wait_until(lambda: threads() <= base, timeout=2), (threads(), base)


def test_stop_right_after_reconnection_with_slow_handler(proxy, make_client):
    """stop() meets a worker that has just reconnected and a handler that is still
    running: no deadlock, and every state change is reported in order."""
    conn = Timed(on_call=lambda up, code: time.sleep(0.3))
    c = make_client(proxy.address)
    c.on_connection(conn)
    assert c.connect()
    with LogTap() as tap:
        proxy.cut()
        assert tap.wait(lambda l: l.startswith(b"[SDK] Reconnected successfully"), timeout=5)
        t0 = time.monotonic()
        c.stop()
        took = time.monotonic() - t0
    assert took < 2.0
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0), (False, 0)]
    assert tap.get(1)[-1][1] == b"[SDK] Disconnected\n"


def test_program_connect_during_wait_ends_worker(proxy, make_client):
    c, conn = connected_client(make_client, proxy.address, maxReconnectInterval=30)
    with LogTap() as tap:
        proxy.refuse()
        proxy.cut()
        (t_fail, _), = tap.wait(failed, count=1, timeout=5)  # in the 1 s wait
        proxy.accept()
        assert c.connect()
        t0 = time.monotonic()
        assert t0 < t_fail + 0.9
        time.sleep(t_fail + 1.4 - t0)  # past the end of that wait
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert [l for _, l in tap.get(since=t0)] == []
    assert len([1 for _, l in tap.get(1) if l == ATTEMPT]) == 1
    assert c.is_connected()


def test_broker_kill_and_restart(fresh_broker, make_client, topic):
    msgs = Recorder()
    c, conn = connected_client(make_client, fresh_broker.address)
    c.on_message(msgs)
    with LogTap() as tap:
        fresh_broker.kill()
        assert wait_until(lambda: conn.snapshot()[1:] == [(False, -1)], timeout=5)
        assert len(tap.wait(failed, count=1, timeout=5)) == 1
        fresh_broker.restart()
        t_up = time.monotonic()
        assert conn.wait_for(3, timeout=5)
    took = conn.times[2] - t_up
    print(f"\n[broker kill -9] broker listening again -> (True, 0) in {took * 1000:.0f} ms")
    assert took < 1.6  # at most one 1 s wait and one attempt
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert tap.text(2).startswith(LOST)
    assert all(failed(l) and l.endswith(b"Retrying in 1s\n") for _, l in tap.get(2)[1:])
    assert tap.get(1)[-1][1] == f"[SDK] Reconnected successfully to tcp://{fresh_broker.address}\n".encode()
    # The killed broker kept no session: subscribe again, and messages flow.
    assert c.subscribe(f"{topic}/x", 1)
    c.publish(f"{topic}/x", "back", 1)
    assert msgs.wait_for(1) and msgs.snapshot() == [(f"{topic}/x", "back")]


def test_time_from_link_restored_to_reconnected(proxy, make_client):
    c, conn = connected_client(make_client, proxy.address)  # default cap: 1 s waits
    with LogTap() as tap:
        proxy.refuse("unlisten")  # connects are refused outright (ECONNREFUSED)
        proxy.cut()
        assert len(tap.wait(failed, count=1, timeout=5)) == 1
        proxy.accept()
        t_up = time.monotonic()
        assert conn.wait_for(3, timeout=5)
    took = conn.times[2] - t_up
    print(f"\n[reconnect] link restored -> (True, 0) in {took * 1000:.0f} ms (1 s back-off)")
    assert took < 1.6
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]


def test_flapping_link(proxy, make_client):
    """Repeated losses, one of them during a reconnection attempt: at most one
    worker, the handler hears strictly alternating states, the link ends up."""
    c, conn = connected_client(make_client, proxy.address)
    with LogTap() as tap:
        for _ in range(3):
            n = len(conn.snapshot())
            proxy.cut()
            assert wait_until(lambda: len(conn.snapshot()) >= n + 2 and c.is_connected())
        n = len(tap.wait(ATTEMPT, count=1))
        proxy.cut()
        assert len(tap.wait(ATTEMPT, count=n + 1)) == n + 1
        time.sleep(0.05)
        proxy.cut()  # most likely in the middle of the attempt's handshake
        assert wait_until(lambda: c.is_connected() and conn.snapshot()[-1] == (True, 0), timeout=5)
        time.sleep(0.3)
    calls = conn.snapshot()
    assert set(calls[0::2]) == {(True, 0)} and set(calls[1::2]) == {(False, -1)}, calls
    assert calls[-1] == (True, 0) and c.is_connected()
    lines = [l for _, l in tap.get()]
    assert lines.count(LOST) == calls.count((False, -1))
    assert len([l for l in lines if l.startswith(b"[SDK] Reconnected")]) == calls.count((True, 0)) - 1
    assert proxy.live() == 1


def test_handler_raising_on_loss_does_not_stop_reconnection(proxy, make_client, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    conn = Recorder()

    def handler(up, code):
        conn(up, code)
        if code == -1:
            raise RuntimeError("boom on loss")

    c = make_client(proxy.address)
    c.on_connection(handler)
    assert c.connect()
    proxy.cut()
    assert conn.wait_for(3)
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert wait_until(lambda: reported)
    assert isinstance(reported[0].exc_value, RuntimeError)
    assert c.is_connected()
