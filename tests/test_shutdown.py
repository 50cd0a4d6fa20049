"""Interpreter exit with a live client: each case runs a `-c` script in a
subprocess of the same interpreter, which must exit with status 0 within a few
seconds, without a crash or a hang, and call no handler once the interpreter has
begun to exit.

Every script writes marker lines to a file: "main-end" as its last statement,
"atexit" from an exit hook that runs just before the module's own hook closes the
gate to Python, "after-gate" from one that runs after it. Handlers write lines
starting "call" (or "start"/"end" around a sleep).
"""
from __future__ import annotations

import subprocess
import sys
import threading
import time

import pytest

PRELUDE = r'''
import atexit, functools, sys, threading, time
OUT = open(sys.argv[2], "a", buffering=1)
def mark(text):
    OUT.write(text + "\n")
atexit.register(mark, "after-gate")  # registered first: runs after the module's hook
import tarnu_sdk
atexit.register(mark, "atexit")  # runs just before the module's hook closes the gate
def client(address, **kw):
    c = tarnu_sdk.SDK()
    c.init(clientId=f"shutdown-{id(c)}-{time.monotonic_ns()}", brokerHost=address,
           protocol="tcp", username="", password="", **kw)
    return c
def wait_until(pred, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not pred():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)
def main_end():
    mark("main-end")
    print("main-end", flush=True)
# Handlers that write to OUT and refer to nothing else: no reference cycle through
# the client, so it is deallocated while the interpreter exits.
CONN = functools.partial(print, "call conn", file=OUT)
MSG = functools.partial(print, "call msg", file=OUT)
'''


class Run:
    def __init__(self, rc, out, err, markers, t_main_end, t_exit):
        self.rc, self.out, self.err, self.markers = rc, out, err, markers
        self.t_main_end, self.t_exit = t_main_end, t_exit

    @property
    def after_main(self) -> list[str]:
        return self.markers[self.markers.index("main-end") + 1:]

    @property
    def exit_time(self) -> float:
        return self.t_exit - self.t_main_end


def run(tmp_path, body: str, *args: str, on_line=None, timeout: float = 30) -> Run:
    """Runs PRELUDE + body with argv [address-ish args..., marker file]; calls
    on_line(line) for each stdout line as it arrives."""
    markers = tmp_path / "markers.txt"
    markers.touch()
    p = subprocess.Popen([sys.executable, "-c", PRELUDE + body, args[0], str(markers), *args[1:]],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    err: list[bytes] = []
    reader = threading.Thread(target=lambda: err.append(p.stderr.read()), daemon=True)
    reader.start()
    out, t_main_end = [], None
    watchdog = threading.Timer(timeout, p.kill)  # a hung child ends the read loop
    watchdog.start()
    try:
        for line in iter(p.stdout.readline, b""):
            out.append(line)
            if line == b"main-end\n":
                t_main_end = time.monotonic()
            if on_line:
                on_line(line)
        p.wait(timeout=timeout)
    finally:
        watchdog.cancel()
        if p.poll() is None:
            p.kill()
            p.wait()
        t_exit = time.monotonic()
        reader.join(timeout=5)
        p.stdout.close()
        p.stderr.close()
    r = Run(p.returncode, b"".join(out).decode(), b"".join(err).decode(),
            markers.read_text().splitlines(), t_main_end, t_exit)
    print(f"\n[exit] status {r.rc}, {r.exit_time if t_main_end else float('nan'):.2f}s after the"
          f" script's last line; markers {r.markers[:8]}{'...' if len(r.markers) > 8 else ''}")
    return r


def assert_clean_exit(r: Run, within: float) -> None:
    assert r.rc == 0, (r.rc, r.err)
    for bad in ("Fatal Python error", "Segmentation", "Traceback", "Exception ignored", "terminate"):
        assert bad not in r.err, r.err
    assert r.t_main_end is not None, (r.out, r.err)
    assert r.exit_time < within, r.exit_time


def test_exit_with_connected_client(tmp_path, broker, topic):
    r = run(tmp_path, f'''
c = client(sys.argv[1])
c.on_connection(CONN)
c.on_message(MSG)
assert c.connect() and c.subscribe("{topic}/#", 1)
c.publish("{topic}/a", "hello", 1)
wait_until(lambda: "call msg {topic}/a hello" in open(sys.argv[2]).read())
main_end()
''', broker.address)
    assert_clean_exit(r, within=2.0)
    assert r.markers == ["call conn True 0", f"call msg {topic}/a hello", "main-end", "atexit",
                         "after-gate"]
    # Torn down on the way out, with a clean disconnect but no handler call.
    assert r.out.endswith("main-end\n[SDK] Disconnected\n"), r.out


@pytest.mark.parametrize("handler", ["partial", "closure"])
def test_exit_mid_reconnect(tmp_path, proxy, handler):
    """The client is in a 2 s back-off wait when the script ends ("partial": it is
    deallocated at exit; "closure": its handler keeps it alive in a cycle)."""
    conn = "CONN" if handler == "partial" else 'lambda up, code: mark(f"call conn {up} {code}")'

    def on_line(line):
        if line == b"ready\n":
            proxy.refuse()
            proxy.cut()

    r = run(tmp_path, f'''
c = client(sys.argv[1], maxReconnectInterval=30)
c.on_connection({conn})
assert c.connect()
print("ready", flush=True)
wait_until(lambda: not c.is_connected())
time.sleep(1.6)  # attempts at 0 and ~1.3 s failed: inside the 2 s wait now
main_end()
''', proxy.address, on_line=on_line)
    assert_clean_exit(r, within=1.0)
    assert r.out.count("[SDK] Attempting to reconnect...\n") == 2, r.out
    assert r.err.splitlines() == ["[SDK] Connection lost: unknown",
                                  "[SDK] Reconnect failed, rc=-1. Retrying in 1s",
                                  "[SDK] Reconnect failed, rc=-1. Retrying in 2s"]
    assert r.markers == ["call conn True 0", "call conn False -1", "main-end", "atexit",
                         "after-gate"]


def test_exit_with_handler_running_and_more_queued(tmp_path, broker, topic):
    """A message handler sleeps while four more messages wait in the same batch: the
    call in progress may finish, but no handler call starts once the exit began."""
    r = run(tmp_path, f'''
def on_message(t, p):
    mark("start " + p)
    time.sleep(0.3 if p == "0" else 0.6)  # messages 1 to 4 queue up behind message 0
    mark("end " + p)
c = client(sys.argv[1])
c.on_message(on_message)
assert c.connect() and c.subscribe("{topic}", 1)
for i in range(5):
    c.publish("{topic}", str(i), 1)
wait_until(lambda: "start 1" in open(sys.argv[2]).read())
main_end()
''', broker.address)
    assert r.markers[:4] == ["start 0", "end 0", "start 1", "main-end"]
    assert [m for m in r.after_main if m.startswith("start")] == [], r.markers
    assert_clean_exit(r, within=2.0)


def test_exit_with_handler_running_past_the_exit_wait(tmp_path, broker, topic):
    """A handler that sleeps longer than the module waits at exit (5 s), on a client
    that is deallocated at exit: the exit must not wait for the handler or crash."""
    r = run(tmp_path, f'''
ns = {{"time": time, "OUT": OUT}}  # the handler's globals: no cycle through the client
exec("def on_message(t, p):\\n    OUT.write('start ' + p + '\\\\n')\\n    time.sleep(7)\\n"
     "    OUT.write('end ' + p + '\\\\n')\\n", ns)
c = client(sys.argv[1])
c.on_message(ns["on_message"])
assert c.connect() and c.subscribe("{topic}", 1)
c.publish("{topic}", "0", 1)
wait_until(lambda: "start 0" in open(sys.argv[2]).read())
main_end()
''', broker.address)
    assert r.markers[:2] == ["start 0", "main-end"]
    assert [m for m in r.after_main if m.startswith("start")] == []
    assert_clean_exit(r, within=6.5)


def test_exit_with_client_in_global_and_cycle_under_load(tmp_path, broker, topic):
    """The client is reachable from a module global and from reference cycles (its
    handlers are bound methods of an object that holds it), and a burst of messages
    is still arriving while the interpreter exits."""
    r = run(tmp_path, f'''
class Holder:
    def __init__(self):
        self.client = client(sys.argv[1])
        self.client.on_message(self.on_message)
        self.client.on_connection(self.on_connection)
        self.me = self
        self.count = 0
    def on_message(self, t, p):
        self.count += 1
        mark("call msg")
    def on_connection(self, up, code):
        mark(f"call conn {{up}} {{code}}")
HOLDER = Holder()
CLIENT = HOLDER.client
CYCLE = [HOLDER]
CYCLE.append(CYCLE)
assert CLIENT.connect() and CLIENT.subscribe("{topic}/#", 0)
PUB = client(sys.argv[1])
assert PUB.connect()
for i in range(3000):
    PUB.publish("{topic}/x", str(i), 0)
wait_until(lambda: HOLDER.count >= 100)
del HOLDER
main_end()
''', broker.address)
    assert_clean_exit(r, within=2.0)
    assert r.markers[0] == "call conn True 0"
    assert r.markers[-1] == "after-gate", r.markers[-5:]


def test_exit_while_a_daemon_thread_is_inside_a_method(tmp_path):
    """A daemon thread is inside connect() (the broker never answers) while the
    interpreter finalises (held up by a slow finaliser): the thread must end
    quietly, as daemon threads do, not abort the process."""
    r = run(tmp_path, '''
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
''', "unused")
    assert r.markers == ["main-end", "atexit", "after-gate", "finaliser"]
    assert_clean_exit(r, within=3.0)
