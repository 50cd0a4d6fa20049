"""A broker that sends garbage, malformed or out-of-place packets right after its CONNACK
(tests/hostile_broker.py). Whatever the bytes, the client must not crash or stall: it either
stays connected and keeps working, or reports the loss and reconnects, and then a
subscribe and a message round trip work. Each case runs in an interpreter of its own, so a
crash is pinned on its case."""
from __future__ import annotations

import json
import random
from concurrent.futures import ThreadPoolExecutor

import pytest

from hostile_broker import HostileBroker
from support import field, packet, run_python

pytestmark = pytest.mark.timeout(240, method="thread")

# name: (bytes after the CONNACK, pause between them, close the link after them)
CASES = {
    "random bytes": (random.Random(7).randbytes(4096), 0.0, False),
    "a length of five bytes": (b"\x30\xff\xff\xff\xff\x7f" + b"x" * 64, 0.0, False),
    "a topic longer than its packet": (b"\x30\x03\xff\xffa", 0.0, False),
    "a publish at qos 3": (packet(0x36, field(b"t") + b"\x00\x01x"), 0.0, False),
    "a qos 1 publish with packet id 0": (packet(0x32, field(b"t") + b"\x00\x00x"), 0.0, False),
    "packets of reserved types": (b"\x00\x00\xf0\x00", 0.0, False),
    "a second connack, refusing": (b"\x20\x02\x00\x05", 0.0, False),  # taken as the answer
    "acknowledgements nobody asked for": (
        b"\x40\x02\x12\x34\x50\x02\x12\x35\x62\x02\x12\x36\x70\x02\x12\x37"
        b"\x90\x03\x12\x38\x00\xb0\x02\x12\x39", 0.0, False),
    "a topic that is not utf-8": (packet(0x30, field(b"\xff\xfe") + b"x"), 0.0, False),
    "a topic with wildcards and a nul": (packet(0x30, field(b"a/#/+\x00b") + b"x"), 0.0, False),
    "an empty topic": (packet(0x30, field(b"") + b"x"), 0.0, False),
    "a client's packets": (
        packet(0x10, field(b"MQTT") + b"\x04\x02\x00\x3c" + field(b"x"))
        + packet(0x82, b"\x00\x01" + field(b"#") + b"\x00") + b"\xc0\x00\xe0\x00", 0.0, False),
    # The loss may reach the client before its connect has returned: the handler must
    # still see (True, 0) first, and the client must not believe in a dead link.
    "the end of the link right after the connack": (b"", 0.0, True),
    "a message right after the connack": (packet(0x30, field(b"early") + b"bird"), 0.0, False),
    "a valid message, a byte at a time": (packet(0x30, field(b"slow") + b"payload"), 0.02, False),
}

CHILD = r"""
import json, sys, time
import tarnu_sdk

calls, got, unraisable = [], [], []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)
client = tarnu_sdk.SDK()
client.on_connection(lambda up, code: calls.append((up, code)))
client.on_message(lambda topic, payload: got.append((topic, payload, list(calls))))
client.init("hostile", sys.argv[1], "tcp", "", "", keepAlive=1, maxReconnectInterval=1)
connected = client.connect()  # the broker's nonsense may be taken as its refusal
time.sleep(1.0)  # the hostile bytes arrive and are dealt with
subscribed, deadline = False, time.monotonic() + 20
while not subscribed and time.monotonic() < deadline:
    if not connected and not client.is_connected():
        client.connect()  # after a refusal, a connect of the program's own
    subscribed = client.is_connected() and client.subscribe("echo", 1)
    time.sleep(0 if subscribed else 0.1)
if subscribed:
    client.publish("echo", "round trip", 1)
    deadline = time.monotonic() + 5
    while not any(g[:2] == ("echo", "round trip") for g in got) and time.monotonic() < deadline:
        time.sleep(0.01)
client.stop()
print(json.dumps(dict(connected=connected, subscribed=subscribed, calls=calls, got=got,
                      unraisable=unraisable)))
"""


def run_case(name: str) -> dict:
    hostile, pause, close = CASES[name]
    with HostileBroker(hostile, pause, close) as broker:
        done = run_python(CHILD, broker.address, timeout=60)
        assert done.returncode == 0, f"{name}: exit {done.returncode}\n{done.stderr}"
        result = json.loads(done.stdout.strip().splitlines()[-1])
        result["connections"] = broker.connections
        return result


def test_no_bytes_from_the_broker_crash_or_stall_the_client(capfd):
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = dict(zip(CASES, pool.map(run_case, CASES)))
    lines = []
    for name, r in results.items():
        calls = [tuple(c) for c in r["calls"]]
        assert r["subscribed"] and any(g[:2] == ["echo", "round trip"] for g in r["got"]), \
            (name, r)
        # Every message comes while the handler last heard (True, 0).
        assert all(seen and seen[-1] == [True, 0] for _, _, seen in r["got"]), (name, r)
        # States alternate, starting connected and ending with stop's (False, 0).
        assert calls[0] == (True, 0) and calls[-1] == (False, 0), (name, calls)
        assert all(up == (i % 2 == 0) for i, (up, _) in enumerate(calls)), (name, calls)
        made = r["connections"] - (0 if r["connected"] else 1)  # a refused one is no connection
        assert calls.count((True, 0)) == made, (name, calls, r["connections"])
        outcome = ("refused, connected again" if not r["connected"] else
                   "reconnected" if r["connections"] > 1 else "stayed connected")
        lines.append(f"{name}: {outcome}"
                     + (f", reported {r['unraisable']}" if r["unraisable"] else ""))
    # A valid message sent slowly, or at once with the CONNACK, is a message like any other.
    for name, topic, payload in [("a valid message, a byte at a time", "slow", "payload"),
                                 ("a message right after the connack", "early", "bird")]:
        assert [topic, payload] in [g[:2] for g in results[name]["got"]], results[name]
        assert results[name]["connections"] == 1
    ended = results["the end of the link right after the connack"]
    assert ended["connections"] >= 2 and ended["calls"][:2] in ([[True, 0], [False, -1]],
                                                               [[True, 0], [False, 0]]), ended
    with capfd.disabled():
        print("\n[hostile broker] " + "; ".join(lines))
