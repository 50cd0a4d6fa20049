"""A live client across os.fork(), and a client whose last reference goes inside its
own handler. Each case runs a script in a subprocess of the same interpreter (fork in
the test process is unsafe) that must exit with status 0 within its time bound."""
from __future__ import annotations

import os

import pytest

from support import run_python

PRELUDE = r'''
import gc, os, sys, time, warnings, weakref
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads is the case here
from support import new_client as client, wait_until
address, topic = sys.argv[1], sys.argv[2]
def say(*words):
    print(*words, flush=True)
'''


FORK = r'''
mode = sys.argv[3]
got, connections = [], []
c = client(address, autoReconnect=False)
c.on_message(lambda t, p: got.append(p))
c.on_connection(lambda up, code: connections.append((up, code)))
assert c.connect() and c.subscribe(topic, 1)
sys.stdout.flush()
pid = os.fork()
if pid == 0:
    if mode == "use":
        args = {"init": ("again", address, "tcp", "", ""), "publish": (topic, "child", 1),
                "subscribe": (topic, 1), "unsubscribe": (topic,), "on_message": (print,),
                "on_connection": (None,)}
        for name in sys.argv[4:]:  # every method
            try:
                getattr(c, name)(*args.get(name, ()))
                say("child", name, "returned")
            except RuntimeError:
                say("child", name, "RuntimeError")
        try:
            client(address)
            say("child new-init returned")
        except RuntimeError:
            say("child new-init RuntimeError")
    elif mode == "drop":
        del c
        gc.collect()
    say("child end")
    sys.exit(0)  # the interpreter's own exit, with its exit hooks and teardown
started = time.monotonic()
while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() - started < 10:
    time.sleep(0.01)
if done[0] == 0:
    os.kill(pid, 9)
    done = os.waitpid(pid, 0)
took = time.monotonic() - started
say("child status", os.waitstatus_to_exitcode(done[1]), "prompt" if took < 3 else f"{took:.1f} s")
c.publish(topic, "after the fork", 1)
assert wait_until(lambda: got)
say("parent", got, connections, c.is_connected())
c.disconnect()
'''
METHODS = ["init", "connect", "disconnect", "publish", "subscribe", "unsubscribe", "on_message",
           "on_connection", "stop", "is_connected"]


@pytest.mark.parametrize("mode", ["use", "drop", "untouched"])
def test_fork_child_is_refused_exits_promptly_and_parent_keeps_working(broker, topic, mode):
    done = run_python(PRELUDE + FORK, broker.address, topic, mode, *METHODS)
    lines, stderr = done.stdout.splitlines(), done.stderr
    assert done.returncode == 0, (lines, stderr)
    refused = [f"child {name} RuntimeError" for name in METHODS] + [
        "child new-init RuntimeError", "[SDK] Not connected"]  # then the refused one is dropped
    assert lines == [
        f"[SDK] Connected to tcp://{broker.address}", f"[SDK] Subscribed to: {topic}",
        *(refused if mode == "use" else []), "child end", "child status 0 prompt",
        "parent ['after the fork'] [(True, 0)] True", "[SDK] Disconnected"], stderr
    assert stderr == "", stderr  # the child wrote no line: it left the parent's link alone


IN_HANDLER = r'''
where, rounds = sys.argv[3], int(sys.argv[4])
def on_message(t, p):
    holder.clear()  # the last reference: the teardown runs here, right after the delivery
    calls.append(("message", p, "released", gone() is None))
def on_connection(up, code):
    if where == "connection" and (up, code) == (True, 0) and calls and holder:
        holder.clear()  # the last reference, in the reconnection's call
        calls.append(("reconnected", "released", gone() is None))
    else:
        calls.append(("connection", up, code))
import threading
from proxy import Proxy
with Proxy(int(address.rsplit(":", 1)[1])) as proxy:
    sender = client(address)
    assert sender.connect()
    # Messages flowing through the library's network thread all along, to other clients.
    noise, listener, quiet = client(address), client(address), threading.Event()
    assert noise.connect() and listener.connect() and listener.subscribe(topic + "/noise", 0)
    listener.on_message(lambda t, p: None)
    def stream():
        while not quiet.is_set():
            noise.publish(topic + "/noise", "n" * 200, 0)
            time.sleep(0.0005)
    threading.Thread(target=stream, daemon=True).start()
    for round in range(rounds):
        calls, holder = [], []
        # A clean session: the broker keeps no session of the rounds gone by, which it
        # would otherwise queue each round's message for (a broker slower every round).
        c = client(address if where == "message" else proxy.address, maxReconnectInterval=0,
                   cleanSession=True)
        c.on_message(on_message)
        c.on_connection(on_connection)
        assert c.connect() and c.subscribe(topic, 1)
        holder.append(c)
        gone = weakref.ref(c)
        del c
        sender.publish(topic, "drop it", 1) if where == "message" else proxy.cut()
        assert wait_until(lambda: ("connection", False, 0) in calls)
        say(calls)
    quiet.set()
    noise.stop()
    listener.stop()
    sender.stop()
'''


# The teardown races the library's thread after a delivery: many rounds make a crash likely.
# `make asan-stress` runs the message case for TARNU_DROP_ROUNDS rounds under full load.
DROP_ROUNDS = int(os.environ.get("TARNU_DROP_ROUNDS", "20"))


@pytest.mark.parametrize("where, rounds", [("message", DROP_ROUNDS), ("connection", 4)])
def test_last_reference_dropped_in_its_own_handler(broker, topic, where, rounds):
    """No crash, no hang, and the (False, 0) call of the teardown still arrives."""
    done = run_python(PRELUDE + IN_HANDLER, broker.address, topic, where, str(rounds),
                      timeout=max(60, rounds * 0.5))
    lines, stderr = done.stdout.splitlines(), done.stderr
    assert done.returncode == 0, (lines[-3:], stderr)
    dropped = [("message", "drop it", "released", True)] if where == "message" else [
        ("connection", False, -1), ("reconnected", "released", True)]
    calls = repr([("connection", True, 0), *dropped, ("connection", False, 0)])
    # The teardown ran in the handler: its line comes before the (False, 0) call is reported.
    assert [line for line in lines if line in ("[SDK] Disconnected", calls)] == [
        "[SDK] Disconnected", calls] * rounds + ["[SDK] Disconnected"] * 3, (lines, stderr)
