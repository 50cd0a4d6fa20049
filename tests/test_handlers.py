"""on_message and on_connection: what handlers receive, on which thread and in which
order; replacing and clearing them; errors raised while delivering to them (refused
setter arguments and payloads that are not UTF-8: test_bad_input.py)."""
from __future__ import annotations

import os
import threading
import weakref

import pytest

from support import Recorder, wait_until


@pytest.fixture
def client(connected, topic):
    return connected(topic)


def tracked(log, name):
    """A handler that logs its calls and, through a finaliser, its release."""
    def handler(*args):
        log.append((name, args))
        return 17  # ignored
    weakref.finalize(handler, log.append, f"{name} released")
    return handler


def test_setters_replace_at_once_and_none_clears(unraisable, client, topic):
    log = []
    client.on_message(tracked(log, "first"))
    client.on_connection(tracked(log, "first connection"))
    client.publish(topic, "to first", qos=1)
    assert wait_until(lambda: ("first", (topic, "to first")) in log)
    assert client.on_message(tracked(log, "second")) is None
    assert log[-1] == "first released"  # the last reference went during the setter
    client.on_connection(tracked(log, "second connection"))
    assert log[-1] == "first connection released"
    client.publish(topic, "to second", qos=1)
    assert wait_until(lambda: ("second", (topic, "to second")) in log)
    client.on_message(None)
    assert log[-1] == "second released"
    for number in range(3):
        client.publish(topic, f"dropped {number}", qos=1)
    client.on_connection(None)
    assert log[-1] == "second connection released"
    connections = Recorder()
    client.on_connection(connections)
    client.disconnect()  # its (False, 0) comes after the messages that arrived before it
    assert connections.snapshot() == [(False, 0)]
    assert log == [("first", (topic, "to first")), "first released", "first connection released",
                   ("second", (topic, "to second")), "second released",
                   "second connection released"]
    assert unraisable == []


@pytest.mark.parametrize("kind, error", [("raises", ArithmeticError), ("wrong-arity", TypeError)])
def test_failed_delivery_is_reported_naming_the_handler_and_delivery_goes_on(
    unraisable, client, topic, kind, error
):
    raised, received = ArithmeticError("handler failed"), []

    def handler(t, payload):
        received.append(payload)
        if payload == "bad":
            raise raised

    handler = (lambda only_one: None) if kind == "wrong-arity" else handler
    client.on_message(handler)
    client.publish(topic, "bad", qos=1)
    client.publish(topic, "good", qos=1)
    reports = 2 if kind == "wrong-arity" else 1  # the wrong arity fails for both messages
    assert wait_until(lambda: len(unraisable) == reports)
    exc_type, exc_value, message = unraisable[0]
    assert exc_type is error and "message handler" in message and repr(handler) in message
    if kind == "raises":  # the message after it is delivered too (wrong arity: 2 reports)
        assert exc_value is raised and wait_until(lambda: received == ["bad", "good"])
    raised.__traceback__ = None
    recorder = Recorder()
    client.on_message(recorder)
    client.publish(topic, "after", qos=1)
    assert recorder.wait_for(1) and recorder.snapshot() == [(topic, "after")]
    assert len(unraisable) == reports


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


def test_handlers_run_in_arrival_order_on_one_event_thread_per_object(connected, topic):
    records, library = [[], []], set()
    for record in records:
        connected(topic).on_message(lambda t, p, record=record: (
            library.update(library_threads()),
            record.append((int(p), threading.get_ident(), threading.get_native_id()))))
    sender, publisher = connected(), []

    def publish_all():
        publisher.append(threading.get_ident())
        for number in range(200):
            sender.publish(topic, str(number), qos=1)

    worker = threading.Thread(target=publish_all)
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive()
    assert wait_until(lambda: all(len(r) == 200 for r in records), timeout=10)
    callers, event_threads = {threading.get_ident(), publisher[0]}, set()
    for record in records:
        assert [number for number, _, _ in record] == list(range(200))
        (ident,), (native,) = {i for _, i, _ in record}, {n for _, _, n in record}
        assert ident not in callers and library and native not in library
        event_threads.add(ident)
    assert len(event_threads) == 2
