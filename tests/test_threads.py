"""Handlers that call methods of their own client, slow handlers, many Python threads on one
client at once. Every wait is bounded, so a deadlock fails the test (the thread-based
timeout covers a hanging teardown)."""
from __future__ import annotations

import threading
import time
import weakref

import pytest

from support import SANITIZED, Recorder, run_python, wait_until

pytestmark = pytest.mark.timeout(90, method="thread")
QUICK = 0.5  # seconds: "well under 1 s"


def in_thread(function, timeout: float = 15):
    """Runs `function` on a daemon thread; fails the test if it does not return in time."""
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(result=function()), daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), f"{function.__name__} did not return within {timeout} s"
    return outcome.get("result")


def timed(timings, name, call):
    started = time.perf_counter()
    timings[name] = (call(), time.perf_counter() - started)


def test_publish_subscribe_and_unsubscribe_inside_a_handler_finish_quickly(
    unraisable, connected, topic
):
    requests, replies, extra = f"{topic}/req", f"{topic}/rep", f"{topic}/extra"
    responder, requester = connected(requests), connected(replies)
    timings, done, seen, answers = {}, threading.Event(), Recorder(), Recorder()
    blocked, release = threading.Event(), threading.Event()

    def respond(t, payload):
        seen(t, payload)
        if payload == "request":
            timed(timings, "publish 1", lambda: responder.publish(replies, "one", qos=1))
            timed(timings, "publish 2", lambda: responder.publish(replies, "two", qos=1))
            timed(timings, "subscribe", lambda: responder.subscribe(extra, qos=1))
        elif payload == "unsubscribe":
            timed(timings, "unsubscribe", lambda: responder.unsubscribe(extra))
        elif payload == "block":
            blocked.set()
            release.wait(10)
        done.set()

    responder.on_message(respond)
    requester.on_message(answers)
    requester.publish(requests, "request", qos=1)
    assert done.wait(10) and answers.wait_for(2)
    assert answers.snapshot() == [(replies, "one"), (replies, "two")]
    requester.publish(extra, "on the new subscription", qos=1)
    assert seen.wait_for(2) and seen.snapshot()[1] == (extra, "on the new subscription")
    done.clear()
    requester.publish(requests, "unsubscribe", qos=1)
    assert done.wait(10)
    requester.publish(extra, "not delivered", qos=1)
    requester.publish(requests, "marker", qos=1)  # same connection: arrives after it
    assert seen.wait_for(4) and seen.snapshot()[3:] == [(requests, "marker")]
    # A slow handler stalls neither its own client's publish nor another client's handlers.
    requester.publish(requests, "block", qos=1)
    try:
        assert blocked.wait(5)
        timed(timings, "publish beside", lambda: responder.publish(replies, "three", qos=1))
        assert answers.wait_for(3, timeout=QUICK)
    finally:
        release.set()
    assert timings["subscribe"][0] is True
    slow = {name: round(took, 3) for name, (_, took) in timings.items() if took >= QUICK}
    assert not slow and unraisable == [], f"calls inside a handler took {slow}"


def test_setters_connect_disconnect_and_stop_inside_handlers_complete(
    unraisable, broker, connected, topic
):
    client = connected(topic)
    calls, timings, connections = [], {}, []
    reconnected, stopped = threading.Event(), threading.Event()

    def first(t, payload):  # sets the handlers for the events that follow
        calls.append(payload)
        client.on_message(on_message)
        client.on_connection(on_connection)
        calls.append("setters returned")

    def on_message(t, payload):
        calls.append(payload)
        if payload == "disconnect":
            timed(timings, "disconnect", client.disconnect)
            timings["connected after disconnect"] = client.is_connected()
        else:
            client.stop()
            stopped.set()

    def on_connection(up, code):
        connections.append((up, code))
        if len(connections) == 1:
            timed(timings, "connect", client.connect)
        elif len(connections) == 2:
            reconnected.set()

    released = weakref.finalize(first, calls.append, "first released")
    client.on_message(first)
    del first
    client.publish(topic, "one", qos=1)
    client.publish(topic, "disconnect", qos=1)
    assert reconnected.wait(15), f"no reconnection reported: {connections}, {timings}"
    assert calls == ["one", "setters returned", "first released", "disconnect"]
    assert timings["connected after disconnect"] is False and timings["connect"][0] is True
    assert client.is_connected() is True and not released.alive
    client.publish(topic, "stop", qos=1)
    assert stopped.wait(15), "stop inside a message handler did not return"
    assert wait_until(lambda: connections == [(False, 0), (True, 0), (False, 0)])
    assert client.is_connected() is False
    # Again, from the handler that connect() itself calls.
    client.init("tarnu-restart-after-stop", broker.address, "tcp", "", "")
    client.on_connection(lambda up, code: (connections.append((up, code)), up and client.stop()))
    assert in_thread(client.connect) is True
    assert wait_until(lambda: connections[3:] == [(True, 0), (False, 0)])
    assert client.is_connected() is False
    client.on_connection(None)
    client.init("tarnu-restart-again", broker.address, "tcp", "", "")
    assert in_thread(client.connect) is True and unraisable == []


def test_many_threads_on_one_client_neither_deadlock_nor_lose_qos_1_messages(
    unraisable, connected, topic
):
    q1, q0, external, echo = (f"{topic}/{name}" for name in ("q1", "q0", "ext", "echo"))
    hub, outside, echoes = connected(q1, q0, external), connected(echo), Recorder()
    received, sent = ({name: [] for name in (q1, q0, external)} for _ in range(2))
    # 3 s of traffic; under a sanitizer the module runs several times slower and the
    # client's own QoS 0 flood delays its QoS 1 acknowledgements, so the run goes on
    # until the QoS 1 streams made the progress checked below (at most 30 s).
    errors, stop_at, hard_stop = [], time.monotonic() + 3.0, time.monotonic() + 30.0

    def enough() -> bool:
        now = time.monotonic()
        return now > hard_stop or now > stop_at and (
            not SANITIZED or len(sent[q1]) > 100 and len(sent[external]) > 100)
    outside.on_message(echoes)

    def handler(t, payload):
        received[t].append(int(payload))
        if t == q1 and int(payload) % 50 == 0:
            hub.publish(echo, payload, qos=1)  # a method of its own client, from inside

    def publisher(client, target, qos):
        return lambda n: (client.publish(target, str(n), qos=qos), sent[target].append(n))

    def subscriptions(n):
        assert hub.subscribe(f"{topic}/extra/{n % 7}", qos=n % 3) is True
        hub.unsubscribe(f"{topic}/extra/{n % 7}")

    def replace_handlers(n):
        hub.on_message(lambda t, p: handler(t, p))  # a new callable each time
        hub.on_connection(Recorder())
        time.sleep(0.002)

    def loop(body):
        try:
            for n in range(100_000):
                if enough():
                    return
                body(n)
        except BaseException as error:
            errors.append(error)

    hub.on_message(handler)
    threads = [threading.Thread(target=loop, args=(body,), daemon=True) for body in (
        publisher(hub, q1, 1), publisher(hub, q0, 0), publisher(outside, external, 1),
        subscriptions, replace_handlers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.0, hard_stop - time.monotonic()) + 20)
    assert not any(t.is_alive() for t in threads), "threads blocked long after the deadline"
    assert errors == [] and len(sent[q1]) > 100 and len(sent[external]) > 100
    assert wait_until(lambda: all(set(sent[name]) <= set(received[name][:])
                                  for name in (q1, external)), timeout=15)
    for name in (q1, external):  # each message once, in order (a QoS 1 repeat comes later)
        assert list(dict.fromkeys(received[name])) == sent[name], f"{name}: extra or reordered"
    assert set(received[q0]) <= set(sent[q0])
    echoes_sent = {str(n) for n in dict.fromkeys(received[q1]) if n % 50 == 0}
    assert echoes_sent and wait_until(lambda: len(echoes.snapshot()) >= len(echoes_sent), 10)
    assert {payload for _, payload in echoes.snapshot()} == echoes_sent
    assert hub.is_connected() is True and unraisable == []


CROSSED = r'''
import sys, threading
from support import new_client, wait_until
address, topic = sys.argv[1:3]
a, b = new_client(address), new_client(address)
both = threading.Barrier(2, timeout=5)
done = []

def handler_of(me, other):
    def on_message(t, payload):
        both.wait()  # both handlers run now, each on its client's event thread
        other.on_message(lambda t, p: None)  # replaces the other's running handler
        other.on_connection(lambda up, code: None)
        other.disconnect()
        me.disconnect()
        done.append(payload)
    return on_message

a.on_message(handler_of(a, b))
b.on_message(handler_of(b, a))
assert a.connect() and b.connect() and a.subscribe(topic, 1) and b.subscribe(topic, 1)
a.publish(topic, "go", 1)
assert wait_until(lambda: len(done) == 2, timeout=10), done
print("RESULT", a.is_connected(), b.is_connected(), flush=True)
a.stop()
b.stop()
'''


def test_handlers_of_two_clients_that_call_into_each_other_do_not_deadlock(broker, topic):
    # Each handler replaces the other client's handlers and disconnects it while that
    # client's own handler runs and does the same the other way round.
    done = run_python(CROSSED, broker.address, topic, timeout=30)
    assert done.returncode == 0, done.stderr
    assert "RESULT False False" in done.stdout, done.stdout
