"""The library releases the client meets: on this machine's release the client recognises
the library's private record of a client and says nothing; on a release whose record it
does not know (the module built as if it knew none, by `make build`) it says so once, on
standard error, naming the release, and every method still returns within a bound,
also behind a link that went silent with a publish stuck inside the library."""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from support import CRASHES

pytestmark = pytest.mark.timeout(180, method="thread")
ROOT = Path(__file__).resolve().parent.parent
NO_RECORD_SITE = ROOT / "build" / "no-record-site"
UNKNOWN = "the library's record of a client is not in a layout this client knows"


def run(code: str, *args: str, site: Path | None = None, timeout: float = 90):
    env = dict(os.environ)
    if site is not None:
        assert (site / "tarnu_sdk-stubs").is_dir(), f"{site} is missing: run make build"
        # That build is not instrumented: a sanitizer's runtime preloaded for the suite
        # would see only half of its synchronisation.
        env = {k: v for k, v in env.items() if not k.startswith(("LD_PRELOAD", "TSAN_", "ASAN_"))}
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", code, *args], cwd=Path(__file__).parent, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    assert not any(crash in done.stderr for crash in CRASHES), done.stderr
    return done


ROUND_TRIP = r"""
import sys, tarnu_sdk
from support import Recorder, new_client
got = Recorder()
a, b = new_client(sys.argv[1]), new_client(sys.argv[1])
a.on_message(got)
assert a.connect() and b.connect() and a.subscribe("p/#", qos=1)
b.publish("p/1", "one", qos=1)
b.publish("p/2", "two", qos=2)
assert got.wait_for(2), got.snapshot()
print("module", tarnu_sdk.__file__)
print("got", sorted(got.snapshot()))
a.stop(); b.stop()
"""


def test_this_machines_library_is_recognised_without_a_word(broker):
    done = run(ROUND_TRIP, broker.address)
    assert done.returncode == 0, done.stderr
    assert "got [('p/1', 'one'), ('p/2', 'two')]" in done.stdout
    assert UNKNOWN not in done.stderr, done.stderr


def test_an_unknown_record_is_reported_once_and_the_client_still_works(broker):
    done = run(ROUND_TRIP, broker.address, site=NO_RECORD_SITE)
    assert done.returncode == 0, done.stderr
    assert str(NO_RECORD_SITE) in done.stdout  # the test ran the build it means to test
    assert "got [('p/1', 'one'), ('p/2', 'two')]" in done.stdout
    lines = [line for line in done.stderr.splitlines() if UNKNOWN in line]
    assert len(lines) == 1, done.stderr  # two clients, one line
    assert lines[0].startswith("[SDK] Paho C 1.3.") and "(ignored by this build)" in lines[0]


FROZEN = r"""
import sys, threading, time
from proxy import Proxy
from support import new_client
port, ending, size = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
with Proxy(port) as proxy:
    client = new_client(proxy.address, keepAlive=10, connectTimeout=30)
    assert client.connect() and client.subscribe("f/#", qos=1)
    proxy.freeze()
    stop = threading.Event()
    def stream():
        for _ in range(100_000):
            if stop.is_set():
                return
            client.publish("f/stream", b"s" * size, qos=0)
    publisher = threading.Thread(target=stream, daemon=True)
    publisher.start()
    time.sleep(1)  # the socket's buffers fill and a publish waits inside the library
    started = time.monotonic()
    if ending == "init":
        client.init("again", proxy.address, "tcp", "", "")
    else:
        getattr(client, ending)()
    took = time.monotonic() - started
    stop.set()
    publisher.join(10)
    print(f"took {took:.2f} publisher returned {not publisher.is_alive()}", flush=True)
    proxy.thaw()
    client.stop()
"""


@pytest.mark.parametrize("size", [4096, 8 << 20], ids=["small packets", "a packet larger than the socket"])
@pytest.mark.parametrize("ending", ["stop", "disconnect", "init"])
def test_an_unknown_record_still_ends_a_connection_stuck_behind_a_frozen_link(
    fresh_broker, ending, size
):
    done = run(FROZEN, str(fresh_broker.port), ending, str(size), site=NO_RECORD_SITE)
    assert done.returncode == 0, done.stderr
    line = next(line for line in done.stdout.splitlines() if line.startswith("took "))
    took, returned = line.split()[1], line.split()[-1]
    assert returned == "True", done.stdout
    # The publish is given 2 s to leave the library before the library's own disconnect
    # ends its connection; the stuck write is never drained.
    assert float(took) < 6, done.stdout
    assert done.stderr.count(UNKNOWN) == 1, done.stderr
