"""A console nobody reads: a program whose standard output or standard error is a pipe
that has filled up (a daemon under a stalled log collector). A client whose line cannot be
written waits, but only that client's thread: the library's one network thread of the
process goes on, and other clients in the process go on receiving and delivering."""
from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.timeout(120, method="thread")

# Fills the given stream (a pipe the test never reads), then makes client B write a line
# to it, and counts what client A receives meanwhile. The result goes to a file: the
# full stream cannot carry it, and the child leaves with os._exit (a normal exit would
# write lines of its own).
COMMON = r"""
import os, sys, threading, time
from support import new_client
broker, result, stream = sys.argv[1], sys.argv[2], sys.argv[3]
got = [0]
a = new_client(broker)
a.on_message(lambda topic, payload: got.__setitem__(0, got[0] + 1))
feeder = new_client(broker)
assert a.connect() and a.subscribe("busy/#", qos=0) and feeder.connect()

def fill(fd):
    os.set_blocking(fd, False)
    try:
        for _ in range(100_000):
            os.write(fd, b"." * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(fd, True)

def measure(blocked, also=None):
    before, end = got[0], time.monotonic() + 3
    for _ in range(100_000):
        if time.monotonic() >= end:
            break
        if also:
            feeder.publish(also, "q", qos=0)  # more for B, while it waits to write
        feeder.publish("busy/x", "m", qos=1)  # each waits for its PUBACK, at most 10 s
    time.sleep(0.5)
    with open(result, "w") as out:
        out.write(f"{got[0] - before} {blocked.is_alive()}")
    os._exit(0)
"""

# stdout: B, with messages queued for it at the broker, connects and blocks writing its
# "Connected to" line while the library hands it those messages.
STDOUT = COMMON + r"""
b_id = f"console-b-{os.getpid()}"
b = new_client(broker, clientId=b_id, cleanSession=False)
assert b.connect() and b.subscribe("queued/#", qos=1)
b.disconnect()
for i in range(200):
    feeder.publish("queued/x", str(i), qos=1)
fill(1)
blocked = threading.Thread(target=b.connect, daemon=True)
blocked.start()
time.sleep(0.5)
measure(blocked, also="queued/x")
"""

# stderr: B's link is cut; the line reporting the loss cannot be written, and B keeps
# publishing from a thread of its own into the closed connection, each call with its
# "not connected" line.
STDERR = COMMON + r"""
from proxy import Proxy
proxy = Proxy(int(broker.rsplit(":", 1)[1])).__enter__()
b = new_client(proxy.address)
assert b.connect() and b.subscribe("b/#", qos=1)
fill(2)
proxy.cut()
def keep_publishing():
    for _ in range(100_000):
        b.publish("b/x", "lost", qos=1)
blocked = threading.Thread(target=keep_publishing, daemon=True)
blocked.start()
time.sleep(0.5)
measure(blocked, also="b/x")
"""


@pytest.mark.parametrize("stream", ["stdout", "stderr"])
def test_a_full_console_holds_up_only_the_client_that_writes(broker, stream):
    with tempfile.TemporaryDirectory() as folder:
        result = Path(folder) / "result"
        pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.DEVNULL}
        if stream == "stderr":
            pipes = {"stdout": subprocess.DEVNULL, "stderr": subprocess.PIPE}
        # Under a sanitizer (make asan, make tsan) its reports go to files: the child's
        # standard error may be the full pipe. The child leaves with os._exit, threads
        # and all, which is no thread leak of the client's.
        env, reports = dict(os.environ), Path(folder) / "sanitizer"
        for name, extra in (("ASAN_OPTIONS", ""), ("TSAN_OPTIONS", ":report_thread_leaks=0")):
            if name in env:
                env[name] += f"{extra}:log_path={reports}"
        child = subprocess.Popen(
            [sys.executable, "-c", STDOUT if stream == "stdout" else STDERR, broker.address,
             str(result), stream],
            cwd=Path(__file__).parent, stdin=subprocess.DEVNULL, env=env, **pipes)
        try:
            # Never reads the pipe: the child must finish on its own.
            assert child.wait(timeout=90) == 0
        finally:
            child.kill()
            child.wait()
            for pipe in (child.stdout, child.stderr):
                if pipe is not None:
                    pipe.close()
        found = [path.read_text() for path in Path(folder).glob("sanitizer*")]
        assert found == [], found
        received, blocked_alive = result.read_text().split()
    # A stream of QoS 1 publishes for 3 s at a message per round trip: hundreds, where a
    # process whose delivery froze behind the full console receives none.
    assert int(received) >= 50, f"client A received {received} messages"
    assert blocked_alive == "True"  # B's own thread still waits to write its line
