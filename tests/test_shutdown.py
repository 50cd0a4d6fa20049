"""Interpreter exit with a live client: each script runs in a subprocess that must exit with
status 0 within a few seconds. On the way out, before the interpreter finalises, the module
stops every client still alive — held by a global, in a reference cycle, or about to be
deallocated — with its DISCONNECT and its (False, 0) call; no message handler call starts
once the exit has begun, and no handler runs once the gate to Python is closed. Scripts
write markers to a file: "main-end" last, "atexit" from an exit hook that runs just before
the module's own hook, "after-gate" from one that runs after it."""
from __future__ import annotations

import os
import re
import tempfile
import time
from types import SimpleNamespace

import pytest

from support import run_python

PRELUDE = r'''
import atexit, functools, sys, threading, time
OUT = open(sys.argv[1], "a", buffering=1)
def mark(text):
    OUT.write(text + "\n")
atexit.register(mark, "after-gate")  # registered first: runs after the module's hook
from support import new_client as client, wait_until  # imports tarnu_sdk, and its hook
atexit.register(mark, "atexit")  # runs just before the module's hook closes the gate
def main_end():
    mark("main-end")
    print("main-end", time.monotonic(), flush=True)
# Handlers that refer to nothing but OUT: no cycle through the client, which is
# therefore deallocated while the interpreter exits.
CONN = functools.partial(print, "call conn", file=OUT)
MSG = functools.partial(print, "call msg", file=OUT)
'''


def run(body: str, *args: str, within: float) -> SimpleNamespace:
    """Runs PRELUDE + body with argv [marker file, *args]; checks that it exits cleanly
    within `within` s of its "main-end"."""
    with tempfile.NamedTemporaryFile("r") as markers:
        done = run_python(PRELUDE + body, markers.name, *args, timeout=30)
        r = SimpleNamespace(rc=done.returncode, out=done.stdout, err=done.stderr,
                            markers=markers.read().splitlines())
    main_end = re.search(r"^main-end (\S+)$", r.out, re.M)
    took = time.monotonic() - float(main_end[1]) if main_end else None
    print(f"\n[exit] status {r.rc}, {took and round(took, 2)} s after main-end; {r.markers[:8]}")
    assert r.rc == 0 and took is not None and took < within, (r.rc, took, r.out, r.err)
    r.after_main = r.markers[r.markers.index("main-end") + 1:]
    return r


def test_exit_with_connected_client(broker, topic):
    r = run(f'''
c = client(sys.argv[2])
c.on_connection(CONN)
c.on_message(MSG)
assert c.connect() and c.subscribe("{topic}/#", 1)
c.publish("{topic}/a", "hello", 1)
assert wait_until(lambda: "call msg {topic}/a hello" in open(sys.argv[1]).read())
main_end()
''', broker.address, within=2.0)
    assert r.markers == ["call conn True 0", f"call msg {topic}/a hello", "main-end", "atexit",
                         "call conn False 0", "after-gate"]
    # Stopped on the way out; its deallocation afterwards finds it stopped and says
    # nothing more: the disconnect is the program's last line.
    assert re.search(r"^main-end \S+\n\[SDK\] Disconnected\n\Z", r.out, re.M), r.out


@pytest.mark.parametrize("handler", ["partial", "closure"])
def test_exit_mid_reconnect(fresh_broker, handler):
    """In a 2 s back-off wait when the script ends ("partial": the client is deallocated at
    exit; "closure": its handler keeps it alive in a cycle). The script kills the broker."""
    conn = "CONN" if handler == "partial" else 'lambda up, code: mark(f"call conn {up} {code}")'
    r = run(f'''
import os, signal
c = client(sys.argv[2], maxReconnectInterval=30)
c.on_connection({conn})
assert c.connect()
os.kill(int(sys.argv[3]), signal.SIGKILL)
assert wait_until(lambda: not c.is_connected())
time.sleep(2.5)  # attempts at 0 and ~1 s failed: in the middle of the 2 s wait now
main_end()
''', fresh_broker.address, str(fresh_broker.proc.pid), within=1.0)
    assert r.out.count("[SDK] Attempting to reconnect...\n") == 2, r.out
    assert r.err.splitlines() == ["[SDK] Connection lost: unknown",
                                  "[SDK] Reconnect failed, rc=-1. Retrying in 1s",
                                  "[SDK] Reconnect failed, rc=-1. Retrying in 2s"]
    assert r.markers == ["call conn True 0", "call conn False -1", "main-end", "atexit",
                         "after-gate"]


def test_exit_with_handler_running_and_more_queued(broker, topic):
    """The call in progress may finish, but no handler call starts once the exit began."""
    r = run(f'''
def on_message(t, p):
    mark("start " + p)
    time.sleep(0.3 if p == "0" else 0.6)  # messages 1 to 4 queue up behind message 0
    mark("end " + p)
c = client(sys.argv[2])
c.on_message(on_message)
assert c.connect() and c.subscribe("{topic}", 1)
for i in range(5):
    c.publish("{topic}", str(i), 1)
assert wait_until(lambda: "start 1" in open(sys.argv[1]).read())
main_end()
''', broker.address, within=2.0)
    assert r.markers[:4] == ["start 0", "end 0", "start 1", "main-end"]
    assert [m for m in r.after_main if m.startswith("start")] == [], r.markers


def test_exit_with_handler_running_past_the_exit_wait(broker, topic):
    """The handler sleeps longer than the module waits at exit (5 s), on a client that is
    deallocated at exit: the exit neither waits for it nor crashes."""
    r = run(f'''
ns = {{"time": time, "OUT": OUT}}  # the handler's globals: no cycle through the client
exec("def on_message(t, p):\\n    OUT.write('start ' + p + '\\\\n')\\n    time.sleep(7)\\n"
     "    OUT.write('end ' + p + '\\\\n')\\n", ns)
c = client(sys.argv[2])
c.on_message(ns["on_message"])
assert c.connect() and c.subscribe("{topic}", 1)
c.publish("{topic}", "0", 1)
assert wait_until(lambda: "start 0" in open(sys.argv[1]).read())
main_end()
''', broker.address, within=6.5)
    assert r.markers[:2] == ["start 0", "main-end"]
    assert [m for m in r.after_main if m.startswith("start")] == []


def test_exit_with_client_in_global_and_cycle_under_load(broker, topic):
    """The client is held by a module global and by reference cycles (its handlers are
    bound methods of an object that holds it) while a burst of messages arrives."""
    r = run(f'''
class Holder:
    def __init__(self):
        self.client, self.me, self.count = client(sys.argv[2]), self, 0
        self.client.on_message(self.on_message)
        self.client.on_connection(self.on_connection)
    def on_message(self, t, p):
        self.count += 1
        mark("call msg")
    def on_connection(self, up, code):
        mark(f"call conn {{up}} {{code}}")
HOLDER = Holder()
CLIENT, CYCLE = HOLDER.client, [HOLDER]
CYCLE.append(CYCLE)
assert CLIENT.connect() and CLIENT.subscribe("{topic}/#", 0)
PUB = client(sys.argv[2])
assert PUB.connect()
for i in range(3000):
    PUB.publish("{topic}/x", str(i), 0)
assert wait_until(lambda: HOLDER.count >= 100)
del HOLDER
main_end()
''', broker.address, within=2.0)
    assert r.markers[0] == "call conn True 0", r.markers[:3]
    # Stopped in the module's exit hook (after the user's, "atexit"): the (False, 0) call
    # is the last handler call; the messages still queued then are dropped.
    assert r.after_main[-2:] == ["call conn False 0", "after-gate"], r.after_main[-6:]
    assert "atexit" in r.after_main


def test_exit_while_a_daemon_thread_is_inside_a_method():
    """A daemon thread is inside connect() (the broker never answers) while the interpreter
    finalises, held up by a slow finaliser: the thread ends quietly, as daemon threads do."""
    r = run('''
import socket, types
HOLE = socket.socket()
HOLE.bind(("127.0.0.1", 0))
HOLE.listen(4)  # never accepted: the CONNACK never comes
c = client(f"127.0.0.1:{HOLE.getsockname()[1]}", connectTimeout=1)
threading.Thread(target=c.connect, daemon=True).start()
class SlowFinaliser:
    def __del__(self):
        mark("finaliser")
        time.sleep(1.5)
mod = types.ModuleType("slow_at_exit")
mod.SLOW = SlowFinaliser()  # released while the interpreter finalises its modules
sys.modules[mod.__name__] = mod
del mod
time.sleep(0.2)
main_end()
''', within=3.0)
    assert r.markers == ["main-end", "atexit", "after-gate", "finaliser"]


EXIT_CASES = {  # how the client is kept alive, its connection handler, the exit's bound
    "cycle": ("BOX = []\nBOX.append(c)\nBOX.append(BOX)\n", "CONN_MARK", 2.0),
    "global": ("KEEP = c\n", "CONN_MARK", 2.0),
    "raises": ("KEEP = c\n", "RAISES", 2.0),
    "blocks": ("KEEP = c\n", "BLOCKS", 6.0),
}
EXIT_HANDLERS = r"""
def CONN_MARK(up, code):
    mark(f"call conn {up} {code}")
def RAISES(up, code):
    CONN_MARK(up, code)
    if not up:
        raise RuntimeError("boom at exit")
def BLOCKS(up, code):
    CONN_MARK(up, code)
    if not up:
        threading.Event().wait(60)
sys.unraisablehook = lambda u: mark(f"unraisable {u.exc_type.__name__}")
"""


@pytest.mark.parametrize("case", list(EXIT_CASES))
def test_exit_stops_every_live_client_with_its_disconnect_and_handler_call(broker, case):
    """A connected client kept alive at exit (by a reference cycle or a global), or whose
    handler raises or blocks at exit: the broker sees a DISCONNECT, the handler its
    (False, 0) call; a blocking handler holds the exit for the module's bound at most."""
    keep, handler, within = EXIT_CASES[case]
    client_id = f"tarnu-exit-{case}-{time.monotonic_ns()}"
    r = run(EXIT_HANDLERS + f"""
import tarnu_sdk
c = tarnu_sdk.SDK()
c.init({client_id!r}, sys.argv[2], "tcp", "", "")
c.on_connection({handler})
{keep}
assert c.connect()
del c
main_end()
""", broker.address, within=within)
    expected = ["call conn True 0", "main-end", "atexit", "call conn False 0"]
    expected += ["unraisable RuntimeError"] if case == "raises" else []
    assert r.markers == expected + ["after-gate"], r.markers
    assert r.out.count("[SDK] Disconnected\n") == 1
    clean = re.compile(rf"Client {re.escape(client_id)} disconnected\.$", re.M)
    deadline = time.monotonic() + 3
    while clean.search(broker.log()) is None and time.monotonic() < deadline:
        time.sleep(0.02)
    assert clean.search(broker.log()), broker.log()[-500:]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's runtime stops on its own stack bookkeeping when "
                           "a thread that glibc is unwinding rethrows (no fault of the code)")
def test_a_handler_past_the_exit_bound_that_returns_while_the_interpreter_finalises(broker):
    """The connection handler of the exit's stop blocks past the module's bound, and returns
    while a slow finaliser keeps the interpreter finalising: its thread is ended by the
    interpreter as it asks for the lock, nothing on the way out touches that thread's
    interpreter state (freed by then), and the process exits cleanly (no abort)."""
    r = run(EXIT_HANDLERS + '''
import socket, types
def LATE(up, code):
    CONN_MARK(up, code)
    if not up:
        time.sleep(3.6)  # the module waits 3 s, then lets the interpreter finalise
class SlowFinaliser:
    def __del__(self):
        mark("finaliser")
        time.sleep(2.0)
mod = types.ModuleType("slow_at_exit")
mod.SLOW = SlowFinaliser()
sys.modules[mod.__name__] = mod
del mod
KEEP = client(sys.argv[2])
KEEP.on_connection(LATE)
assert KEEP.connect()
main_end()
''', broker.address, within=8.0)
    assert r.markers[:4] == ["call conn True 0", "main-end", "atexit", "call conn False 0"]
    assert "finaliser" in r.after_main and "Fatal" not in r.err and "terminate" not in r.err
