"""init, connect, disconnect, stop and deallocation: log lines and their streams,
return values, state changes and the calls of the connection handler."""
from __future__ import annotations

import re
import sys
import time
import weakref

import pytest

import tarnu_sdk
from brokers import free_port
from support import Recorder, wait_until

INIT_FIRST = "[SDK] connect \u2014 call init() first\n"


def fresh_client(broker, client_id):
    client = tarnu_sdk.SDK()
    client.init(client_id, broker.address, "tcp", "", "")
    return client


def disconnected_cleanly(broker, client_id):
    line = re.compile(rf"Client {re.escape(client_id)} disconnected\.$", re.M)
    return wait_until(lambda: line.search(broker.log()) is not None, timeout=3)


def test_connect_logs_the_uri_reports_true_zero_and_a_second_connect_does_nothing(
    broker, make_client, capfd
):
    client = make_client(broker.address)
    recorder = Recorder()
    client.on_connection(recorder)
    capfd.readouterr()
    assert client.connect() is True and client.is_connected() is True
    assert capfd.readouterr() == (f"[SDK] Connected to tcp://{broker.address}\n", "")
    assert client.connect() is True
    assert capfd.readouterr() == ("[SDK] Already connected\n", "")
    assert recorder.snapshot() == [(True, 0)]


def test_connect_without_a_client_asks_for_init_before_init_and_after_stop(
    broker, make_client, capfd
):
    assert tarnu_sdk.SDK().connect() is False  # the object goes at once: "Not connected"
    assert capfd.readouterr() == ("[SDK] Not connected\n", INIT_FIRST)
    client = make_client(broker.address)
    client.connect()
    client.stop()
    capfd.readouterr()
    assert client.connect() is False and client.is_connected() is False
    assert capfd.readouterr() == ("", INIT_FIRST)
    client.init("tarnu-init-after-stop", broker.address, "tcp", "", "")
    assert client.is_connected() is False and client.connect() is True


def test_connect_to_a_closed_port_fails_with_the_library_code(make_client, capfd):
    client = make_client(f"127.0.0.1:{free_port()}", connectTimeout=5)
    recorder = Recorder()
    client.on_connection(recorder)
    capfd.readouterr()
    assert client.connect() is False and client.is_connected() is False
    assert capfd.readouterr() == ("", "[SDK] connect failed, rc=-1\n")
    assert recorder.snapshot() == []


def test_connect_with_refused_credentials_fails_with_the_broker_code(
    auth_broker, make_client, capfd
):
    wrong = make_client(auth_broker.address, username="alice", password="wrong")
    anonymous = make_client(auth_broker.address)
    recorder = Recorder()
    wrong.on_connection(recorder)
    capfd.readouterr()
    assert wrong.connect() is False and anonymous.connect() is False
    # 5: the broker's "not authorised" answer.
    assert capfd.readouterr() == ("", "[SDK] connect failed, rc=5\n" * 2)
    assert wrong.is_connected() is False and recorder.snapshot() == []
    assert make_client(auth_broker.address, username="alice", password="wonderland").connect()


def test_disconnect_reports_false_zero_once_then_says_not_connected(broker, make_client, capfd):
    client = make_client(broker.address, clientId="tarnu-disconnect")
    recorder = Recorder()
    client.on_connection(recorder)
    client.connect()
    capfd.readouterr()
    assert client.disconnect() is None and client.is_connected() is False
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert disconnected_cleanly(broker, "tarnu-disconnect")
    fresh, idle = tarnu_sdk.SDK(), make_client(broker.address)
    client.disconnect()
    fresh.disconnect()
    idle.disconnect()
    assert capfd.readouterr() == ("[SDK] Not connected\n" * 3, "")
    assert recorder.snapshot() == [(True, 0), (False, 0)]


def test_stop_disconnects_once_and_says_not_connected_otherwise(broker, make_client, capfd):
    fresh = tarnu_sdk.SDK()
    fresh.stop()
    assert capfd.readouterr() == ("[SDK] Not connected\n", "")
    client = make_client(broker.address, clientId="tarnu-stop")
    recorder = Recorder()
    client.on_connection(recorder)
    client.connect()
    capfd.readouterr()
    client.stop()
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert client.is_connected() is False and disconnected_cleanly(broker, "tarnu-stop")
    client.stop()
    assert capfd.readouterr() == ("[SDK] Not connected\n", "")
    assert recorder.snapshot() == [(True, 0), (False, 0)]


def test_init_again_ends_the_first_client_completely(broker, make_client, capfd):
    client_id = "tarnu-init-twice"
    client = make_client(broker.address, clientId=client_id)
    recorder = Recorder()
    client.on_connection(recorder)
    client.connect()
    capfd.readouterr()
    client.init(client_id, broker.address, "tcp", "", "")
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert client.is_connected() is False and disconnected_cleanly(broker, client_id)
    # Were the first client still connected, the broker would now kick it off for the
    # same client id, and its loss would reach this object.
    assert client.connect() is True
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        assert client.is_connected() is True
        time.sleep(0.05)
    assert f"Client {client_id} already connected" not in broker.log()
    assert capfd.readouterr() == (f"[SDK] Connected to tcp://{broker.address}\n", "")
    assert recorder.snapshot() == [(True, 0), (False, 0), (True, 0)]


def test_init_with_unknown_protocol_raises_and_leaves_a_fresh_object_without_client(broker, capfd):
    client = tarnu_sdk.SDK()
    with pytest.raises(RuntimeError) as info:
        client.init("tarnu-tcpx", broker.address, "tcpx", "", "")
    assert type(info.value) is RuntimeError
    # -14: the library's "bad protocol" code.
    assert str(info.value) == "SDK::init \u2014 MQTTClient_create failed: -14"
    assert client.connect() is False and client.is_connected() is False
    assert capfd.readouterr() == ("", INIT_FIRST)


def test_connection_handler_error_reaches_the_caller_after_the_state_change(
    broker, make_client, capfd
):
    client = make_client(broker.address)
    raised, calls = LookupError("from the handler"), []

    def handler(connected, code):
        calls.append((connected, code))
        raise raised

    client.on_connection(handler)
    capfd.readouterr()
    with pytest.raises(LookupError) as info:
        client.connect()
    assert info.value is raised and client.is_connected() is True
    assert capfd.readouterr() == (f"[SDK] Connected to tcp://{broker.address}\n", "")
    with pytest.raises(LookupError) as info:
        client.disconnect()
    assert info.value is raised and client.is_connected() is False
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert calls == [(True, 0), (False, 0)]


def test_deallocating_an_unconnected_object_says_not_connected(broker, capfd):
    never_initialised, initialised = tarnu_sdk.SDK(), fresh_client(broker, "tarnu-dealloc-idle")
    del never_initialised, initialised
    assert capfd.readouterr() == ("[SDK] Not connected\n" * 2, "")


def test_deallocating_a_connected_object_reports_false_zero_then_releases_the_handler(
    broker, capfd
):
    events = []

    class Handler:
        def __call__(self, connected, code):
            events.append((connected, code))

    handler = Handler()
    weakref.finalize(handler, events.append, "released")
    client = fresh_client(broker, "tarnu-dealloc-connected")
    client.on_connection(handler)
    del handler
    client.connect()
    capfd.readouterr()
    del client
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert events == [(True, 0), (False, 0), "released"]
    assert disconnected_cleanly(broker, "tarnu-dealloc-connected")


def test_handler_raising_during_deallocation_is_unraisable_and_teardown_completes(
    unraisable, broker, capfd
):
    raised, released = ValueError("handler failed at teardown"), []

    def handler(connected, code):
        if not connected:
            raise raised

    weakref.finalize(handler, released.append, True)
    client = fresh_client(broker, "tarnu-dealloc-raising")
    client.on_connection(handler)
    name = repr(handler)
    del handler
    client.connect()
    capfd.readouterr()
    del client
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert disconnected_cleanly(broker, "tarnu-dealloc-raising")
    [(exc_type, exc_value, message)] = unraisable.snapshot()
    assert exc_value is raised and "connection handler" in message and name in message
    raised.__traceback__ = None  # it holds the handler's frame, and the frame its function
    assert released == [True]


@pytest.mark.parametrize("handler_raises", [False, True], ids=["quiet", "raising-handler"])
def test_dropping_an_object_while_an_exception_is_handled_keeps_that_exception(
    unraisable, broker, capfd, handler_raises
):
    def handler(connected, code):
        if handler_raises and not connected:
            raise RuntimeError("teardown handler")

    try:
        raise KeyError("pending")
    except KeyError as pending:
        client = fresh_client(broker, f"tarnu-drop-{handler_raises}")
        client.on_connection(handler)
        client.connect()
        del client
        assert sys.exc_info()[1] is pending
    assert capfd.readouterr().out.endswith("[SDK] Disconnected\n")
    assert len(unraisable.snapshot()) == int(handler_raises)
