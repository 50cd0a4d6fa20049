"""Memory stays bounded while a handler is inside a method: the library's thread does not
wait for room in an event queue then (the method may need that thread), so the queue grows,
up to eight times its usual bound; past that, messages are dropped, counted, and reported
once per second of dropping, and delivery resumes, in order, once the handler returns."""
from __future__ import annotations

import re

import pytest

from support import SANITIZED, run_python

pytestmark = pytest.mark.timeout(180, method="thread")
DROPPED = re.compile(r"^\[SDK\] Message queue full, dropped (\d+) messages$")

SCRIPT = r'''
import socket, sys, threading, time
from support import new_client, wait_until
address, topic, hold = sys.argv[1], sys.argv[2], float(sys.argv[3])
def rss():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmRSS:"))
HOLE = socket.socket()
HOLE.bind(("127.0.0.1", 0))
HOLE.listen(4)  # accepts the TCP connection, never answers the CONNECT
silent = new_client(f"127.0.0.1:{HOLE.getsockname()[1]}", connectTimeout=int(hold))
receiver, feeder = new_client(address), new_client(address)
got, holding, peak = [], threading.Event(), [0]
def on_message(t, p):
    got.append(int(p))
    if p == "0":
        holding.set()
        silent.connect()  # waits `hold` seconds inside the handler
        holding.clear()
receiver.on_message(on_message)
assert receiver.connect() and receiver.subscribe(topic, 0) and feeder.connect()
stop, sent = threading.Event(), [0]
def feed():
    while not stop.is_set():
        feeder.publish(topic, str(sent[0]), 0)
        sent[0] += 1
        if sent[0] % 1000 == 0:
            time.sleep(0.01)  # about 50,000 messages a second on this machine at most
threading.Thread(target=feed, daemon=True).start()
assert wait_until(holding.is_set, timeout=10)
base = rss()
while holding.is_set():
    peak[0] = max(peak[0], rss() - base)
    time.sleep(0.05)
stop.set()
last = sent[0] - 1
feeder.publish(topic, "-1", 1)  # a marker after the last fed message
assert wait_until(lambda: got and got[-1] == -1, timeout=30)
print("RESULT", sent[0], len(got), peak[0], int(all(a < b for a, b in zip(got, got[1:-1]))),
      flush=True)
'''


def test_a_flood_while_a_handler_waits_in_connect_stays_bounded_and_resumes_in_order(
    broker, topic
):
    hold = 20
    done = run_python(SCRIPT, broker.address, topic, str(hold), timeout=120)
    result = next(line for line in done.stdout.splitlines() if line.startswith("RESULT"))
    sent, received, peak, ordered = (int(v) for v in result.split()[1:])
    drops = [int(m[1]) for line in done.stderr.splitlines() if (m := DROPPED.match(line))]
    print(f"\n[back-pressure] {sent} fed in {hold} s, {received} delivered, {sum(drops)} dropped"
          f" in {len(drops)} lines, RSS growth {peak / 2**20:.1f} MiB")
    assert done.returncode == 0, done.stderr[-2000:]
    assert drops and sum(drops) + received >= sent  # each message delivered or counted
    assert len(drops) <= hold + 3  # about one line per second of dropping
    assert SANITIZED or peak < 128 * 2**20
    assert ordered == 1  # what was delivered came in order
