"""on_message and on_connection: what handlers receive, on which thread and in which
order; replacing and clearing them; errors raised while delivering to them."""
from __future__ import annotations

import functools
import os
import threading
import weakref

import pytest

import tarnu_sdk
from support import Recorder, wait_until


@pytest.fixture
def client(broker, make_client, topic):
    c = make_client(broker.address)
    assert c.connect() is True and c.subscribe(topic, qos=1) is True
    return c


def tracked(log, name):
    """A handler that logs its calls and, through a finaliser, its release."""
    def handler(*args):
        log.append((name, args))
    weakref.finalize(handler, log.append, f"{name} released")
    return handler


class Handler:
    def __init__(self, calls):
        self.calls = calls

    def __call__(self, topic, payload):
        self.calls.append(("object", payload))
        return "ignored"

    def method(self, topic, payload):
        self.calls.append(("method", payload))
        return 17


def test_any_callable_is_accepted_and_its_result_ignored(unraisable, client, topic):
    calls = []
    handlers = [Handler(calls), Handler(calls).method,
                lambda t, p: calls.append(("lambda", p)) or 5,
                functools.partial(lambda tag, t, p: calls.append((tag, p)), "partial")]
    for number, handler in enumerate(handlers):
        assert client.on_message(handler) is None
        client.publish(topic, str(number), qos=1)
        assert wait_until(lambda: len(calls) > number)
    assert calls == [("object", "0"), ("method", "1"), ("lambda", "2"), ("partial", "3")]
    assert unraisable.snapshot() == []


def test_handlers_registered_before_init_are_used(broker, make_client, topic):
    client, messages, connections = tarnu_sdk.SDK(), Recorder(), Recorder()
    client.on_message(messages)
    client.on_connection(connections)
    client.init("tarnu-early-handlers", broker.address, "tcp", "", "")
    try:
        client.connect()
        client.subscribe(topic)
        client.publish(topic, "early")
        assert messages.wait_for(1) and messages.snapshot() == [(topic, "early")]
        assert connections.snapshot() == [(True, 0)]
    finally:
        client.stop()


def test_connect_and_disconnect_report_true_zero_and_false_zero_before_returning(
    broker, make_client
):
    client, calls = make_client(broker.address), []
    client.on_connection(lambda connected, code: calls.append((connected, code)))
    client.connect()
    assert calls == [(True, 0)]
    client.disconnect()
    assert calls == [(True, 0), (False, 0)]
    assert [(type(c), type(n)) for c, n in calls] == [(bool, int), (bool, int)]


def test_non_callable_is_a_type_error_and_the_old_handlers_stay(client, topic):
    messages, connections = Recorder(), Recorder()
    client.on_message(messages)
    client.on_connection(connections)
    for bad in (42, "text", b"bytes"):
        for setter in (client.on_message, client.on_connection):
            with pytest.raises(TypeError):
                setter(bad)
    client.publish(topic, "still here", qos=1)
    assert messages.wait_for(1)
    client.disconnect()
    assert messages.snapshot() == [(topic, "still here")]
    assert connections.snapshot() == [(False, 0)]


def test_replacing_a_handler_releases_the_old_callable_during_the_setter(client, topic):
    log = []
    client.on_message(tracked(log, "first"))
    client.on_connection(tracked(log, "first connection"))
    client.publish(topic, "to first", qos=1)
    assert wait_until(lambda: ("first", (topic, "to first")) in log)
    client.on_message(tracked(log, "second"))
    assert log[-1] == "first released"
    client.on_connection(tracked(log, "second connection"))
    assert log[-1] == "first connection released"
    client.publish(topic, "to second", qos=1)
    assert wait_until(lambda: ("second", (topic, "to second")) in log)
    client.on_message(None)
    assert log[-1] == "second released"
    client.on_connection(None)
    assert log[-1] == "second connection released"


def test_none_stops_delivery_to_python(client, topic):
    log, connections = [], Recorder()
    client.on_message(tracked(log, "handler"))
    client.publish(topic, "delivered", qos=1)
    assert wait_until(lambda: len(log) == 1)
    client.on_message(None)
    for number in range(3):
        client.publish(topic, f"dropped {number}", qos=1)
    client.on_connection(connections)
    client.disconnect()  # its (False, 0) comes after the messages that arrived before it
    assert connections.snapshot() == [(False, 0)]
    assert log == [("handler", (topic, "delivered")), "handler released"]


def test_undecodable_payload_is_reported_and_the_next_message_arrives(unraisable, client, topic):
    recorder = Recorder()
    client.on_message(recorder)
    client.publish(topic, b"\xff\xfe", qos=1)
    client.publish(topic, "valid", qos=1)
    assert recorder.wait_for(1) and wait_until(lambda: unraisable.snapshot())
    assert recorder.snapshot() == [(topic, "valid")]
    [(exc_type, _, message)] = unraisable.snapshot()
    assert exc_type is UnicodeDecodeError
    assert "message handler" in message and repr(recorder) in message


@pytest.mark.parametrize("kind", ["raises", "wrong-arity"])
def test_failing_handler_is_reported_and_delivery_goes_on(unraisable, client, topic, kind):
    raised, received = ArithmeticError("handler failed"), []

    def raising(t, payload):
        received.append(payload)
        if payload == "bad":
            raise raised

    handler = raising if kind == "raises" else (lambda only_one: None)
    client.on_message(handler)
    client.publish(topic, "bad", qos=1)
    client.publish(topic, "good", qos=1)
    reports = 1 if kind == "raises" else 2  # the wrong arity fails for both messages
    assert wait_until(lambda: len(unraisable.snapshot()) == reports)
    exc_type, exc_value, message = unraisable.snapshot()[0]
    assert "message handler" in message and repr(handler) in message
    if kind == "raises":
        assert exc_value is raised and wait_until(lambda: received == ["bad", "good"])
    else:
        assert exc_type is TypeError
    raised.__traceback__ = None
    recorder = Recorder()
    client.on_message(recorder)
    client.publish(topic, "after", qos=1)
    assert recorder.wait_for(1) and recorder.snapshot() == [(topic, "after")]
    assert len(unraisable.snapshot()) == reports


def library_threads():
    """Native ids of the MQTT library's own threads."""
    found = set()
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                if comm.read().startswith("MQTTClient"):
                    found.add(int(task))
        except OSError:
            pass
    return found


def test_handlers_run_in_arrival_order_on_one_event_thread_per_object(broker, make_client, topic):
    records, library = [[], []], set()
    for record in records:
        receiver = make_client(broker.address)
        receiver.on_message(lambda t, p, record=record: (
            library.update(library_threads()),
            record.append((int(p), threading.get_ident(), threading.get_native_id()))))
        receiver.connect()
        receiver.subscribe(topic, qos=1)
    sender, publisher = make_client(broker.address), []
    sender.connect()

    def publish_all():
        publisher.append(threading.get_ident())
        for number in range(200):
            sender.publish(topic, str(number), qos=1)

    worker = threading.Thread(target=publish_all)
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive()
    assert wait_until(lambda: all(len(r) == 200 for r in records), timeout=10)
    callers = {threading.main_thread().ident, threading.get_ident(), publisher[0]}
    event_threads = set()
    for record in records:
        assert [number for number, _, _ in record] == list(range(200))
        (ident,), (native,) = {i for _, i, _ in record}, {n for _, _, n in record}
        assert ident not in callers and library and native not in library
        event_threads.add(ident)
    assert len(event_threads) == 2
