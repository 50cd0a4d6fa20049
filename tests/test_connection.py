"""init, connect, disconnect, stop and deallocation: log lines and their streams, return
values, state changes and the calls of the connection handler."""
from __future__ import annotations

import re
import socketserver
import struct
import sys
import threading
import weakref

import pytest

import tarnu_sdk
from brokers import free_port
from support import Recorder, new_client, read_packet, wait_until

INIT_FIRST = "[SDK] connect \u2014 call init() first\n"


def disconnected_cleanly(broker, client_id):
    line = re.compile(rf"Client {re.escape(client_id)} disconnected\.$", re.M)
    return wait_until(lambda: line.search(broker.log()) is not None, timeout=3)


def test_connect_asks_for_init_before_init_after_a_failed_init_and_after_stop(
    broker, make_client, capfd
):
    client = tarnu_sdk.SDK()
    assert client.connect() is False and client.is_connected() is False
    with pytest.raises(TypeError):  # the conversion fails before anything is made
        client.init("tarnu-surrogate", "\ud800", "tcp", "", "")
    assert client.connect() is False
    assert capfd.readouterr() == ("", INIT_FIRST * 2)
    with pytest.raises(RuntimeError) as info:
        client.init("tarnu-tcpx", broker.address, "tcpx", "", "")
    # -14: the library's "bad protocol" code.
    assert type(info.value) is RuntimeError
    assert str(info.value) == "SDK::init \u2014 MQTTClient_create failed: -14"
    assert client.connect() is False
    assert capfd.readouterr() == ("", INIT_FIRST)
    client = make_client(broker.address)
    client.connect()
    client.stop()
    capfd.readouterr()
    assert client.connect() is False and client.is_connected() is False
    assert capfd.readouterr() == ("", INIT_FIRST)
    client.init("tarnu-init-after-stop", broker.address, "tcp", "", "")
    assert client.is_connected() is False and client.connect() is True


def test_connect_failure_reports_the_library_or_broker_code(auth_broker, make_client, capfd):
    closed = make_client(f"127.0.0.1:{free_port()}", connectTimeout=5)
    wrong = make_client(auth_broker.address, username="alice", password="wrong")
    anonymous, recorder = make_client(auth_broker.address), Recorder()
    for client in (closed, wrong):
        client.on_connection(recorder)
    capfd.readouterr()
    assert closed.connect() is False
    assert capfd.readouterr() == ("", "[SDK] connect failed, rc=-1\n")
    assert wrong.connect() is False and anonymous.connect() is False
    # 5: the broker's "not authorised" answer.
    assert capfd.readouterr() == ("", "[SDK] connect failed, rc=5\n" * 2)
    assert not any(c.is_connected() for c in (closed, wrong)) and recorder.snapshot() == []
    assert make_client(auth_broker.address, username="alice", password="wonderland").connect()


@pytest.mark.parametrize("end", ["disconnect", "stop"])
def test_connect_once_then_disconnect_or_stop_once_then_not_connected(
    broker, make_client, topic, capfd, end
):
    client_id, recorder, messages = f"tarnu-{end}", Recorder(), Recorder()
    fresh, idle, client = tarnu_sdk.SDK(), make_client(broker.address), tarnu_sdk.SDK()
    client.on_connection(recorder)  # handlers set before init are used
    client.on_message(messages)
    client.init(client_id, broker.address, "tcp", "", "")
    capfd.readouterr()
    assert client.connect() is True and client.is_connected() is True
    assert capfd.readouterr() == (f"[SDK] Connected to tcp://{broker.address}\n", "")
    assert client.connect() is True and recorder.snapshot() == [(True, 0)]
    assert capfd.readouterr() == ("[SDK] Already connected\n", "")
    client.subscribe(topic)
    client.publish(topic, "early")
    assert messages.wait_for(1) and messages.snapshot() == [(topic, "early")]
    capfd.readouterr()
    assert getattr(client, end)() is None and client.is_connected() is False
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert disconnected_cleanly(broker, client_id)
    for target in (client, fresh, idle):
        getattr(target, end)()
    assert capfd.readouterr() == ("[SDK] Not connected\n" * 3, "")
    assert recorder.snapshot() == [(True, 0), (False, 0)]  # each before its call returned
    assert [tuple(map(type, call)) for call in recorder.snapshot()] == [(bool, int)] * 2
    never_initialised, initialised = tarnu_sdk.SDK(), new_client(broker.address)
    del never_initialised, initialised  # deallocated unconnected
    assert capfd.readouterr() == ("[SDK] Not connected\n" * 2, "")


def test_init_again_ends_the_first_client_completely(broker, make_client, capfd):
    client_id, recorder = "tarnu-init-twice", Recorder()
    client = make_client(broker.address, clientId=client_id)
    client.on_connection(recorder)
    client.connect()
    capfd.readouterr()
    client.init(client_id, broker.address, "tcp", "", "")
    assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
    assert client.is_connected() is False and disconnected_cleanly(broker, client_id)
    # Were the first client still connected, the broker would now kick it off for the
    # same client id, and its loss would reach this object.
    assert client.connect() is True
    assert not wait_until(lambda: not client.is_connected(), timeout=0.5)
    assert f"Client {client_id} already connected" not in broker.log()
    assert capfd.readouterr() == (f"[SDK] Connected to tcp://{broker.address}\n", "")
    assert recorder.snapshot() == [(True, 0), (False, 0), (True, 0)]


def test_connection_handler_error_reaches_the_caller_after_the_state_change(
    broker, make_client, capfd
):
    client, raised, calls = make_client(broker.address), LookupError("from the handler"), []

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


@pytest.mark.parametrize("raising", [False, True], ids=["quiet-handler", "raising-handler"])
def test_deallocating_a_connected_object_reports_false_zero_then_releases_the_handler(
    unraisable, broker, capfd, raising
):
    """Outside and inside an `except` block, whose exception must stay in place; a
    handler's error goes to sys.unraisablehook and the teardown completes."""
    for inside_except in (False, True):
        events, raised = [], ValueError("handler failed at teardown")

        def handler(connected, code):
            events.append((connected, code))
            if raising and not connected:
                raise raised

        weakref.finalize(handler, events.append, "released")
        client_id, name = f"tarnu-dealloc-{raising}-{inside_except}", repr(handler)
        client = new_client(broker.address, clientId=client_id)
        client.on_connection(handler)
        del handler
        client.connect()
        capfd.readouterr()
        if inside_except:
            try:
                raise KeyError("pending")
            except KeyError:
                pending = sys.exc_info()[1]
                del client
                assert sys.exc_info()[1] is pending
        else:
            del client
        assert capfd.readouterr() == ("[SDK] Disconnected\n", "")
        assert disconnected_cleanly(broker, client_id)
        if raising:
            (_, exc_value, message), = unraisable
            assert exc_value is raised and "connection handler" in message and name in message
            unraisable.clear()
            raised.__traceback__ = None  # it holds the handler's frame, the frame its function
        assert unraisable == [] and events == [(True, 0), (False, 0), "released"]


class RefusingBroker(socketserver.ThreadingTCPServer):
    """Answers every CONNECT with CONNACK `code` and records (protocol name, level) of each."""
    daemon_threads, allow_reuse_address = True, True

    def __init__(self, code: int):
        self.code, self.connects = code, []

        class Session(socketserver.BaseRequestHandler):
            def handle(inner):
                inner.request.settimeout(5)
                try:
                    first, body = read_packet(inner.request)
                except (OSError, ConnectionError):
                    return
                if first >> 4 == 1:
                    size = struct.unpack_from("!H", body)[0]
                    self.connects.append((body[2:2 + size], body[2 + size]))
                    inner.request.sendall(bytes([0x20, 2, 0, self.code]))
        super().__init__(("127.0.0.1", 0), Session)
        self.address = f"127.0.0.1:{self.server_address[1]}"

    def __enter__(self):
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.shutdown()
        self.server_close()


@pytest.mark.parametrize("code", [1, 2, 3, 4, 5])
def test_a_refused_connect_reports_the_brokers_answer_and_falls_back_only_for_the_version(
    make_client, capfd, code
):
    with RefusingBroker(code) as refusing:
        client = make_client(refusing.address, autoReconnect=False, connectTimeout=5)
        capfd.readouterr()
        assert client.connect() is False
        assert capfd.readouterr() == ("", f"[SDK] connect failed, rc={code}\n")
        # 3.1.1 first; 3.1 ("MQIsdp", level 3) only when the broker refused the version.
        expected = [(b"MQTT", 4)] + ([(b"MQIsdp", 3)] if code == 1 else [])
        assert wait_until(lambda: len(refusing.connects) >= len(expected))
        assert refusing.connects == expected
