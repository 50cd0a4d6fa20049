"""Handlers that call methods of their own client, slow handlers, and many Python
threads on one client at once. Every wait is bounded, so a deadlock fails the test;
the thread-based timeout ends the run should a teardown hang as well."""
from __future__ import annotations

import threading
import time
import weakref

import pytest

from support import Recorder, wait_until

pytestmark = pytest.mark.timeout(90, method="thread")

QUICK = 0.5  # seconds: "well under 1 s"


def in_thread(function, timeout: float):
    """Runs `function` on a daemon thread; fails the test if it does not return in time."""
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(result=function()), daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        pytest.fail(f"{function.__name__} did not return within {timeout} s")
    return outcome.get("result")


def timed(timings, name, call):
    started = time.perf_counter()
    timings[name] = (call(), time.perf_counter() - started)


@pytest.fixture
def connect(broker, make_client):
    def make(*topics):
        client = make_client(broker.address)
        assert client.connect() is True
        assert all(client.subscribe(t, qos=1) for t in topics)
        return client
    return make


def test_publish_subscribe_and_unsubscribe_inside_a_handler_finish_quickly(
    unraisable, connect, topic
):
    requests, replies, extra = f"{topic}/req", f"{topic}/rep", f"{topic}/extra"
    responder, requester = connect(requests), connect(replies)
    timings, done, seen, answers = {}, threading.Event(), Recorder(), Recorder()

    def respond(t, payload):
        seen(t, payload)
        if payload == "request":
            timed(timings, "publish 1", lambda: responder.publish(replies, "one", qos=1))
            timed(timings, "publish 2", lambda: responder.publish(replies, "two", qos=1))
            timed(timings, "subscribe", lambda: responder.subscribe(extra, qos=1))
        elif payload == "unsubscribe":
            timed(timings, "unsubscribe", lambda: responder.unsubscribe(extra))
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
    assert timings["subscribe"][0] is True
    slow = {name: round(took, 3) for name, (_, took) in timings.items() if took >= QUICK}
    assert not slow, f"calls from inside a handler took too long: {slow}"
    assert unraisable.snapshot() == []


def test_setters_inside_a_handler_take_effect_for_later_events(unraisable, connect, topic):
    client = connect(topic)
    calls, later, connections = [], Recorder(), Recorder()

    def first(t, payload):
        calls.append(payload)
        client.on_message(later)
        client.on_connection(connections)
        calls.append("setters returned")

    released = weakref.finalize(first, calls.append, "first released")
    client.on_message(first)
    del first
    client.publish(topic, "one", qos=1)
    client.publish(topic, "two", qos=1)
    assert later.wait_for(1) and wait_until(lambda: not released.alive)
    assert calls == ["one", "setters returned", "first released"]
    assert later.snapshot() == [(topic, "two")]
    in_thread(client.disconnect, 15)
    assert connections.snapshot() == [(False, 0)]
    assert unraisable.snapshot() == []


def test_disconnect_and_connect_inside_handlers_complete(unraisable, connect, topic):
    client = connect(topic)
    timings, connections, reconnected = {}, [], threading.Event()

    def on_message(t, payload):
        timed(timings, "disconnect", client.disconnect)
        timings["connected after disconnect"] = client.is_connected()

    def on_connection(up, code):
        connections.append((up, code))
        timed(timings, "connect", client.connect) if not up else reconnected.set()

    client.on_message(on_message)
    client.on_connection(on_connection)
    client.publish(topic, "disconnect", qos=1)
    assert reconnected.wait(15), f"no reconnection reported: {connections}, {timings}"
    assert connections == [(False, 0), (True, 0)]
    assert timings["connected after disconnect"] is False and timings["connect"][0] is True
    assert client.is_connected() is True
    messages = Recorder()
    client.on_message(messages)
    client.publish(topic, "works again", qos=1)
    assert messages.wait_for(1)
    client.on_connection(None)  # else the teardown's disconnect would connect again
    assert unraisable.snapshot() == []


@pytest.mark.parametrize("where", ["message handler", "handler called by connect"])
def test_stop_inside_a_handler_completes_and_the_client_can_start_again(
    unraisable, broker, connect, topic, capfd, where
):
    client = connect(topic)
    stopped, connections = threading.Event(), Recorder()

    def stop_now(*args):
        client.stop()
        stopped.set()

    client.on_connection(connections)
    if where == "message handler":
        client.on_message(stop_now)
        client.publish(topic, "stop", qos=1)
    else:
        client.disconnect()
        client.on_connection(lambda up, code: (connections(up, code), up and stop_now()))
        assert in_thread(client.connect, 15) is True
    assert stopped.wait(15), "stop inside a handler did not return"
    assert wait_until(lambda: connections.snapshot()[-1:] == [(False, 0)])
    assert client.is_connected() is False
    capfd.readouterr()
    assert client.connect() is False
    assert capfd.readouterr().err == "[SDK] connect \u2014 call init() first\n"
    client.on_connection(None)
    client.on_message(None)
    client.init("tarnu-restart-after-stop", broker.address, "tcp", "", "")
    assert in_thread(client.connect, 15) is True
    assert unraisable.snapshot() == []


def test_slow_handler_stalls_neither_its_own_client_nor_another(connect, topic):
    slow, other = connect(f"{topic}/slow"), connect(f"{topic}/other")
    inside, release, received, timings = threading.Event(), threading.Event(), Recorder(), {}
    slow.on_message(lambda t, p: (inside.set(), release.wait(10)))
    other.on_message(received)
    try:
        slow.publish(f"{topic}/slow", "block", qos=1)
        assert inside.wait(5)
        timed(timings, "own publish", lambda: slow.publish(f"{topic}/x", "a", qos=1))
        timed(timings, "other publish", lambda: other.publish(f"{topic}/other", "b", qos=1))
        assert received.wait_for(1, timeout=QUICK)
        assert all(took < QUICK for _, took in timings.values()), timings
    finally:
        release.set()


def test_many_threads_on_one_client_neither_deadlock_nor_lose_qos_1_messages(
    unraisable, connect, topic
):
    q1, q0, external, echo = (f"{topic}/{name}" for name in ("q1", "q0", "ext", "echo"))
    hub, outside = connect(q1, q0, external), connect(echo)
    lock = threading.Lock()
    received, sent = ({name: [] for name in (q1, q0, external)} for _ in range(2))
    echoes_sent, echoes, errors = set(), Recorder(), []
    outside.on_message(echoes)
    stop_at = time.monotonic() + 3.0

    def make_handler():
        def handler(t, payload):
            with lock:
                received[t].append(int(payload))
            if t == q1 and int(payload) % 50 == 0:
                hub.publish(echo, payload, qos=1)  # a method of its own client, from inside
                echoes_sent.add(payload)
        return handler

    def loop(body):
        def run():
            try:
                for n in range(100_000):
                    if time.monotonic() > stop_at:
                        break
                    body(n)
            except BaseException as error:
                errors.append(error)
        return threading.Thread(target=run, name=body.__name__, daemon=True)

    def publisher(client, target, qos):
        def publish(n):
            client.publish(target, str(n), qos=qos)
            sent[target].append(n)
        publish.__name__ = f"publish {target} qos {qos}"
        return publish

    def subscriptions(n):
        assert hub.subscribe(f"{topic}/extra/{n % 7}", qos=n % 3) is True
        hub.unsubscribe(f"{topic}/extra/{n % 7}")

    def replace_handlers(n):
        hub.on_message(make_handler())
        hub.on_connection(Recorder())
        time.sleep(0.002)

    hub.on_message(make_handler())
    bodies = (publisher(hub, q1, 1), publisher(hub, q0, 0), publisher(outside, external, 1),
              subscriptions, replace_handlers)
    threads = [loop(body) for body in bodies]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.0, stop_at - time.monotonic()) + 20)
    assert not [t.name for t in threads if t.is_alive()], "threads blocked long after the deadline"
    assert errors == [] and len(sent[q1]) > 100 and len(sent[external]) > 100

    def all_arrived():
        with lock:
            return all(set(sent[name]) <= set(received[name]) for name in (q1, external))

    assert wait_until(all_arrived, timeout=15)
    with lock:
        for name in (q1, external):
            first_seen = list(dict.fromkeys(received[name]))
            assert first_seen == sent[name], f"{name}: extra or out of order"
        assert set(received[q0]) <= set(sent[q0])
    assert echoes_sent
    assert wait_until(lambda: len(echoes.snapshot()) >= len(echoes_sent), timeout=10)
    assert {payload for _, payload in echoes.snapshot()} == echoes_sent
    assert hub.is_connected() is True and unraisable.snapshot() == []
