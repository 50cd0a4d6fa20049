"""Connection loss and reconnection, by fault injection: the client talks to the broker
through tests/proxy.py, which cuts the link and refuses new connections while the broker
keeps its sessions."""
from __future__ import annotations

import gc
import os
import re
import threading
import time

import pytest

from support import Recorder, new_client, run_python, wait_until

LOST = "[SDK] Connection lost: unknown\n"
ATTEMPT = "[SDK] Attempting to reconnect...\n"
FAILED = re.compile(r"\[SDK\] Reconnect failed, rc=(-?\d+)\. Retrying in (-?\d+)s\n\Z")


class Log:
    """The client's log lines, read from capfd while the test waits: (time, fd, line)."""

    def __init__(self, capfd):
        self.capfd, self.lines, self.partial = capfd, [], {1: "", 2: ""}
        capfd.readouterr()

    def now(self) -> float:
        """The time, once every line written before it has been read."""
        read, now = self.capfd.readouterr(), time.monotonic()
        for fd, text in ((1, read.out), (2, read.err)):
            *done, self.partial[fd] = (self.partial[fd] + text).split("\n")
            self.lines += [(now, fd, line + "\n") for line in done]
        return now

    def get(self, fd: int | None = None, since: float = 0.0) -> list[tuple[float, str]]:
        self.now()
        return [(t, line) for t, f, line in self.lines if fd in (None, f) and t > since]

    def text(self, fd: int) -> str:
        return "".join(line for _, line in self.get(fd))

    def wait(self, pred, count: int = 1, timeout: float = 5.0) -> list[tuple[float, str]]:
        match = pred if callable(pred) else pred.__eq__
        wait_until(lambda: len([1 for _, l in self.get() if match(l)]) >= count, timeout, 0.005)
        return [(t, line) for t, line in self.get() if match(line)]

    def attempts(self) -> list[float]:
        return [t for t, line in self.get(1) if line == ATTEMPT]

    def report(self, text: str) -> None:
        with self.capfd.disabled():
            print(f"\n{text}")


def failed(line: str) -> bool:
    return FAILED.match(line) is not None


def connected_client(make_client, address, on_call=None, **kw):
    conn, client = Recorder(on_call), make_client(address, **kw)
    client.on_connection(conn)
    assert client.connect() and conn.snapshot() == [(True, 0)]
    return client, conn


def tasks() -> set[str]:
    return set(os.listdir("/proc/self/task"))


def test_loss_and_immediate_reconnection_then_stop_meets_a_slow_handler(
    unraisable, proxy, make_client, capfd
):
    returned = []  # when each handler call returns: each takes 0.2 s, the loss's raises

    def slow(up, code):
        time.sleep(0.2)
        returned.append(time.monotonic())
        if code == -1:
            raise RuntimeError("boom on loss")

    c, conn = connected_client(make_client, proxy.address, on_call=slow)
    log, t_cut = Log(capfd), time.monotonic()
    assert proxy.cut() == 1  # the link is back at once: the first attempt succeeds
    assert log.wait(lambda line: line.startswith("[SDK] Reconnected")) and conn.wait_for(3)
    assert c.is_connected()
    t_stop = time.monotonic()
    c.stop()  # while the handler still runs for (True, 0)
    took = time.monotonic() - t_stop
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0), (False, 0)] and took < 2.0
    assert log.text(2) == LOST and log.text(1) == (
        f"{ATTEMPT}[SDK] Reconnected successfully to tcp://{proxy.address}\n"
        "[SDK] Disconnected\n")
    assert [type(e) for _, e, _ in unraisable] == [RuntimeError]
    # Loss and reconnection are reported on the client's event thread, not ours.
    assert conn.idents[1] == conn.idents[2] != threading.get_ident()
    # The handler hears of the loss, and returns, before the worker starts.
    assert log.get(2)[0][0] <= returned[1] <= log.attempts()[0] and proxy.accepted == 2
    log.report(f"[reconnect] link cut and back at once -> (True, 0) in"
               f" {(conn.times[2] - t_cut) * 1000:.0f} ms, 200 of them in the loss handler")
    assert conn.times[2] - t_cut < 1.5


@pytest.mark.parametrize("clean", [False, True])
def test_subscriptions_survive_reconnection_only_without_clean_session(
    proxy, fresh_broker, make_client, topic, clean
):
    msgs = Recorder()
    sub, conn = connected_client(make_client, proxy.address, cleanSession=clean)
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
    # A QoS 1 message whose acknowledgement was still on its way at the cut comes again.
    unique = lambda: list(dict.fromkeys(msgs.snapshot()))  # noqa: E731
    wait_until(lambda: len(unique()) >= 3, timeout=0.3 if clean else 5)  # clean: the window
    expected = [("before", "1")] if clean else [("before", "1"), ("during", "2"), ("after", "3")]
    assert unique() == [(f"{topic}/{name}", n) for name, n in expected]
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]


@pytest.mark.parametrize("auto", [False, True])
def test_a_program_connect_after_a_loss_restores_the_link_and_leaves_no_worker(
    proxy, make_client, capfd, auto
):
    c, conn = connected_client(make_client, proxy.address, autoReconnect=auto,
                               maxReconnectInterval=30)
    log = Log(capfd)
    proxy.refuse()
    proxy.cut()
    assert conn.wait_for(2) and not c.is_connected()
    # With autoReconnect, connect during the first 1 s wait; without, after 1.2 s of nothing.
    fails = log.wait(failed, count=1, timeout=5 if auto else 1.2)
    assert len(fails) == len(log.attempts()) == int(auto) and log.get(2)[0][1] == LOST
    proxy.accept()
    assert c.connect() and c.is_connected()
    t0 = log.now()
    assert not auto or t0 < fails[0][0] + 0.9
    time.sleep(1.4)  # past the end of the wait the worker was in
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)] and c.is_connected()
    assert log.get(since=t0) == [] and len(log.attempts()) == int(auto)
    assert log.get(1)[-1][1] == f"[SDK] Connected to tcp://{proxy.address}\n"


@pytest.mark.parametrize("end", ["stop", "dealloc"])
def test_backoff_doubles_up_to_the_cap_and_ending_the_client_in_a_wait_returns_at_once(
    proxy, capfd, end
):
    base, conn = tasks(), Recorder()
    c = new_client(proxy.address, maxReconnectInterval=2)  # not kept by make_client
    c.on_connection(conn)
    assert c.connect()
    log, before = Log(capfd), tasks()
    proxy.refuse()
    proxy.cut()
    fails, worker = log.wait(failed, count=3, timeout=8), tasks() - before
    time.sleep(0.2)  # into the third wait
    t0 = log.now()
    if end == "stop":
        c.stop()
        assert not c.is_connected()
    else:
        del c
        gc.collect()
    took = time.monotonic() - t0
    proxy.accept()
    tries = log.attempts()
    delays = [int(FAILED.match(line)[2]) for _, line in fails]
    gaps = [round(b - a, 2) for a, b in zip(tries, tries[1:])]
    waits = [round(a - f, 2) for (f, _), a in zip(fails, tries[1:])]
    log.report(f"[backoff cap 2] retrying in {delays}s; gaps between attempts {gaps}s;"
               f" waits {waits}s; {end} during a wait returned in {took * 1000:.0f} ms")
    assert delays == [1, 2, 2] and {FAILED.match(line)[1] for _, line in fails} == {"-1"}
    assert len(tries) == 3 and log.get(2)[0][1] == LOST and tries[0] - log.get(2)[0][0] < 0.5
    for d, w, g in zip(delays, waits, gaps):
        # A wait is timed from when its lines were read, which a busy test may do late;
        # the gaps between attempts hold the real lower bound.
        assert d - 0.3 <= w <= d + 0.3 and d <= g <= d + 1.0, (delays, waits, gaps)
    assert took < 0.5 and [line for _, line in log.get(since=t0)] == ["[SDK] Not connected\n"]
    assert conn.snapshot() == [(True, 0), (False, -1)]
    # The worker ended; after deallocation, every thread of the client did.
    assert worker and wait_until(lambda: not worker & tasks(), timeout=2)
    assert end == "stop" or wait_until(lambda: tasks() <= base, timeout=2), (tasks(), base)


@pytest.mark.parametrize("cap", [0, -7])
def test_backoff_cap_zero_or_negative_retries_at_once_after_the_first_wait(
    proxy, make_client, capfd, cap
):
    c, conn = connected_client(make_client, proxy.address, maxReconnectInterval=cap)
    log = Log(capfd)
    proxy.refuse()
    proxy.cut()
    fails = log.wait(failed, count=3, timeout=5)
    proxy.accept()
    assert conn.wait_for(3, timeout=3)
    delays = [int(FAILED.match(line)[2]) for _, line in fails]
    waits = [round(a - f, 3) for (f, _), a in zip(fails, log.attempts()[1:])]
    log.report(f"[backoff cap {cap}] retrying in {delays}s; waits {waits}s")
    assert delays[:3] == [1, 0, 0] and set(delays[1:]) == {0}
    assert 0.95 <= waits[0] <= 1.3 and all(w < 0.2 for w in waits[1:]), waits
    # With no wait asked for, attempts still come at most ten a second, not as a tight
    # loop of connects and lines against a broker that refuses at once.
    proxy.refuse()
    proxy.cut()
    log.wait(failed, count=len(fails) + 2, timeout=5)  # past the first wait
    t1 = log.now()
    time.sleep(1.0)
    flood = [t for t, line in log.get(since=t1) if failed(line)]
    proxy.accept()
    assert conn.wait_for(5, timeout=3)
    assert 5 <= len(flood) <= 12, f"{len(flood)} failed attempts in a second"


def test_broker_kill_and_restart(fresh_broker, make_client, topic, capfd):
    msgs = Recorder()
    c, conn = connected_client(make_client, fresh_broker.address)
    c.on_message(msgs)
    log = Log(capfd)
    fresh_broker.kill()
    assert len(log.wait(failed, count=1, timeout=5)) == 1
    fresh_broker.restart()
    t_up = time.monotonic()
    assert conn.wait_for(3, timeout=5)
    took = conn.times[2] - t_up
    log.report(f"[broker kill -9] link restored -> (True, 0) in {took * 1000:.0f} ms")
    assert took < 1.6  # at most one 1 s wait and one attempt
    assert conn.snapshot() == [(True, 0), (False, -1), (True, 0)]
    assert log.get(2)[0][1] == LOST
    assert all(line.endswith("Retrying in 1s\n") and failed(line) for _, line in log.get(2)[1:])
    log.wait(lambda line: line.startswith("[SDK] Reconnected"))
    assert log.get(1)[-1][1] == (
        f"[SDK] Reconnected successfully to tcp://{fresh_broker.address}\n")
    # The killed broker kept no session: subscribe again, and messages flow.
    assert c.subscribe(f"{topic}/x", 1)
    c.publish(f"{topic}/x", "back", 1)
    assert msgs.wait_for(1) and msgs.snapshot() == [(f"{topic}/x", "back")]


def test_flapping_link_gives_alternating_states_and_one_live_link(proxy, make_client, capfd):
    c, conn = connected_client(make_client, proxy.address)
    log = Log(capfd)
    for _ in range(3):
        n = len(conn.snapshot())
        proxy.cut()
        assert wait_until(lambda: len(conn.snapshot()) >= n + 2 and c.is_connected())
    n = len(log.attempts())
    proxy.cut()
    assert len(log.wait(ATTEMPT, count=n + 1)) == n + 1
    time.sleep(0.05)
    proxy.cut()  # most likely in the middle of the attempt's handshake
    assert wait_until(lambda: c.is_connected() and conn.snapshot()[-1] == (True, 0))
    time.sleep(0.3)  # room for a second worker to show itself
    calls, lines = conn.snapshot(), [line for _, line in log.get()]
    assert set(calls[0::2]) == {(True, 0)} and set(calls[1::2]) == {(False, -1)}, calls
    assert calls[-1] == (True, 0) and c.is_connected() and proxy.live() == 1
    assert lines.count(LOST) == calls.count((False, -1))
    assert sum(line.startswith("[SDK] Reconnected") for line in lines) == len(calls[2::2])


def test_init_from_the_loss_handler_starts_no_reconnection_of_the_new_client(
    proxy, fresh_broker, make_client, capfd
):
    # The loss is reported, its handler makes a new client with init(); the new one is
    # the program's to connect, not the reconnection's that the loss would have begun.
    client, calls = make_client(proxy.address), []

    def on_connection(up, code):
        calls.append((up, code))
        if (up, code) == (False, -1):
            client.init(f"tarnu-reinit-{time.monotonic_ns()}", fresh_broker.address, "tcp", "", "")

    client.on_connection(on_connection)
    assert client.connect()
    log = Log(capfd)
    proxy.cut()
    assert wait_until(lambda: (False, -1) in calls)
    time.sleep(1.5)  # a reconnection, had one begun, would have connected by now
    assert calls == [(True, 0), (False, -1)] and not client.is_connected()
    assert ATTEMPT not in log.text(1)
    assert client.connect() and calls[-1] == (True, 0)


STALLED_STDERR = r'''
import fcntl, os, sys
from support import new_client, wait_until
from hostile_broker import HostileBroker
# Standard error becomes a pipe that nobody reads, filled to the brim.
_, writer = os.pipe()
os.dup2(writer, 2)
flags = fcntl.fcntl(2, fcntl.F_GETFL)
fcntl.fcntl(2, fcntl.F_SETFL, flags | os.O_NONBLOCK)
try:
    while True:
        os.write(2, b"x" * 4096)
except BlockingIOError:
    pass
fcntl.fcntl(2, fcntl.F_SETFL, flags)
calls = []
# The first link ends 0.6 s after its CONNACK (a harmless PINGRESP, trickled); later ones stay.
with HostileBroker(b"\xd0\x00", pause=0.3, close=True) as broker:
    c = new_client(broker.address)
    c.on_connection(lambda up, code: calls.append((up, code)))
    assert c.connect()
    back = wait_until(lambda: calls == [(True, 0), (False, -1), (True, 0)], timeout=15)
    c.stop()  # its lines go to standard output
    print("RESULT", back, calls, flush=True)
    os._exit(0)  # the interpreter's own goodbyes would wait on standard error for ever
'''


def test_a_loss_while_standard_error_is_not_read_is_still_reported_and_followed(capfd):
    """The library gives its connection-lost callback 5 s and then frees what that callback's
    thread still uses; the callback writes a line to standard error, which must not block."""
    done = run_python(STALLED_STDERR, timeout=40)
    assert "RESULT True" in done.stdout, done.stdout
