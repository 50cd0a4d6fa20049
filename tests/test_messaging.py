"""publish, subscribe and unsubscribe: payloads byte for byte, QoS and retained flag,
log lines and their streams, topics with a zero byte, throughput, oversized payloads."""
from __future__ import annotations

import re
import socket
import struct
import time
import uuid

import pytest

import tarnu_sdk
from support import Recorder


class RawSubscriber:
    """A bare MQTT 3.1.1 subscriber on a socket: sees each delivered message as
    (topic bytes, payload bytes, QoS, retain flag)."""

    def __init__(self, port: int, topic_filter: str):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self._send(0x10, b"\x00\x04MQTT\x04\x02\x00\x3c" + self._text(uuid.uuid4().hex.encode()))
        assert self._read() == (0x20, b"\x00\x00")
        self._send(0x82, b"\x00\x01" + self._text(topic_filter.encode()) + b"\x02")
        assert self._read()[0] == 0x90

    @staticmethod
    def _text(data: bytes) -> bytes:
        return struct.pack("!H", len(data)) + data

    def _send(self, header: int, body: bytes) -> None:
        assert len(body) < 128
        self.sock.sendall(bytes([header, len(body)]) + body)

    def _exactly(self, count: int) -> bytes:
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise ConnectionError("the broker closed the connection")
            data += chunk
        return data

    def _read(self) -> tuple[int, bytes]:
        header, length, shift = self._exactly(1)[0], 0, 0
        while True:
            digit = self._exactly(1)[0]
            length, shift = length + ((digit & 0x7F) << shift), shift + 7
            if digit < 0x80:
                return header, self._exactly(length)

    def messages(self, count: int, timeout: float = 5.0) -> list[tuple[bytes, bytes, int, bool]]:
        """The next `count` messages, or fewer if `timeout` passes first."""
        found, deadline = [], time.monotonic() + timeout
        while len(found) < count and (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                header, body = self._read()
            except socket.timeout:
                break
            if header >> 4 == 6:  # PUBREL: the end of a QoS 2 delivery
                self._send(0x70, body[:2])
            elif header >> 4 == 3:
                qos, (size,) = (header >> 1) & 3, struct.unpack("!H", body[:2])
                topic, rest = body[2:2 + size], body[2 + size:]
                if qos:
                    self._send(0x40 if qos == 1 else 0x50, rest[:2])
                    rest = rest[2:]
                found.append((topic, rest, qos, bool(header & 1)))
        return found


@pytest.fixture
def raw(broker, topic):
    made = []

    def make(topic_filter=topic):
        made.append(RawSubscriber(broker.port, topic_filter))
        return made[-1]

    yield make
    for subscriber in made:
        subscriber.sock.close()


@pytest.fixture
def client(broker, make_client):
    c = make_client(broker.address, autoReconnect=False)
    assert c.connect() is True
    return c


@pytest.mark.parametrize("payload, sent", [
    ("hello", b"hello"), ("\u00e9", b"\xc3\xa9"), ("a\x00b\x00", b"a\x00b\x00"), ("", b""),
    (b"", b""), (b"\x00\xff\x00\xfe", b"\x00\xff\x00\xfe"), (bytes(range(256)), bytes(range(256))),
    (bytearray(b"\x01\x00\x02"), b"\x01\x00\x02"),
], ids=["text", "e-acute", "text-with-zeros", "empty-text", "empty-bytes", "bytes-with-zeros",
        "all-byte-values", "bytearray"])
def test_payload_is_sent_byte_for_byte_at_qos_0_not_retained(
    client, raw, topic, capfd, payload, sent
):
    subscriber = raw()
    capfd.readouterr()
    assert client.publish(topic, payload) is None
    assert capfd.readouterr() == ("", "")
    client.publish(topic, "end")  # same connection: arrives after it
    assert subscriber.messages(2) == [(topic.encode(), sent, 0, False),
                                      (topic.encode(), b"end", 0, False)]


def test_text_payloads_reach_a_python_handler_whole(client, topic):
    recorder = Recorder()
    client.on_message(recorder)
    client.subscribe(topic, qos=1)
    for payload in ["plain", "a\x00b\x00", "", "\u00e9\u20ac", b"bytes\x00too"]:
        client.publish(topic, payload, qos=1)
    assert recorder.wait_for(5)
    assert [p for _, p in recorder.snapshot()] == [
        "plain", "a\x00b\x00", "", "\u00e9\u20ac", "bytes\x00too"]


def test_qos_and_retained_flag_reach_the_broker(client, raw, topic):
    live = raw(topic + "/#")
    client.publish(topic + "/one", "q1", qos=1)
    client.publish(topic=topic + "/two", payload="q2", qos=2, retained=False)
    client.publish(topic + "/kept", "r", 1, True)
    assert live.messages(3) == [(f"{topic}/one".encode(), b"q1", 1, False),
                                (f"{topic}/two".encode(), b"q2", 2, False),
                                (f"{topic}/kept".encode(), b"r", 1, False)]
    assert raw(topic + "/#").messages(1) == [(f"{topic}/kept".encode(), b"r", 1, True)]
    client.publish(topic + "/kept", "", retained=True)  # clear it again


def test_subscribe_and_unsubscribe_log_and_control_delivery(client, topic, capfd):
    recorder = Recorder()
    client.on_message(recorder)
    other = topic + "/other"
    capfd.readouterr()
    assert client.subscribe(topic) is True and client.subscribe(other, 1) is True
    assert capfd.readouterr() == (
        f"[SDK] Subscribed to: {topic}\n[SDK] Subscribed to: {other}\n", "")
    client.publish(topic, "before")
    assert recorder.wait_for(1)
    assert client.unsubscribe(topic) is None
    assert capfd.readouterr() == (f"[SDK] Unsubscribed from: {topic}\n", "")
    client.publish(topic, "after")
    client.publish(other, "marker")  # same connection: delivered in order
    assert recorder.wait_for(2)
    assert recorder.snapshot() == [(topic, "before"), (other, "marker")]


@pytest.mark.parametrize("qos", [3, -1])
def test_invalid_qos_is_refused_with_the_failed_line_and_nothing_is_sent(
    client, raw, topic, capfd, qos
):
    subscriber = raw()
    capfd.readouterr()
    assert client.subscribe(topic, qos=qos) is False
    # -9: the library's "bad QoS" code.
    assert capfd.readouterr() == ("", f"[SDK] subscribe failed on '{topic}', rc=-9\n")
    assert client.publish(topic, "bad qos", qos=qos) is None
    out, err = capfd.readouterr()
    assert out == "" and re.fullmatch(rf"\[SDK\] publish failed on '{topic}', rc=-?\d+\n", err), err
    assert client.is_connected() is True
    client.publish(topic, "next")  # would arrive after anything the bad call sent
    assert subscriber.messages(1) == [(topic.encode(), b"next", 0, False)]


@pytest.mark.parametrize("state", ["fresh", "initialised", "disconnected", "stopped"])
def test_operations_without_connection_write_their_not_connected_line(
    broker, make_client, raw, topic, capfd, state
):
    client = tarnu_sdk.SDK() if state == "fresh" else make_client(broker.address)
    if state in ("disconnected", "stopped"):
        client.connect()
        client.disconnect() if state == "disconnected" else client.stop()
    subscriber = raw()
    capfd.readouterr()
    assert client.publish(topic, "lost") is None
    assert client.subscribe(topic) is False
    assert client.unsubscribe(topic) is None
    out, err = capfd.readouterr()
    lines = err.split("\n")
    assert out == "" and lines == ["[SDK] publish \u2014 not connected",
                                   "[SDK] subscribe \u2014 not connected",
                                   "[SDK] unsubscribe \u2014 not connected", ""]
    assert [len(line.encode()) for line in lines[:3]] == [31, 33, 35]
    assert subscriber.messages(1, timeout=0.3) == []


def test_topic_with_zero_byte_is_cut_for_the_library_but_logged_whole(client, raw, topic, capfd):
    recorder = Recorder()
    client.on_message(recorder)
    subscriber = raw(topic + "/#")
    capfd.readouterr()
    assert client.subscribe(f"{topic}/in\x00junk") is True
    assert capfd.readouterr() == (f"[SDK] Subscribed to: {topic}/in\x00junk\n", "")
    client.publish(f"{topic}/in", "arrives")  # the subscription holds the part before \0
    assert recorder.wait_for(1) and recorder.snapshot() == [(f"{topic}/in", "arrives")]
    client.publish(f"{topic}/out\x00junk", "cut")
    assert subscriber.messages(2) == [(f"{topic}/in".encode(), b"arrives", 0, False),
                                      (f"{topic}/out".encode(), b"cut", 0, False)]
    client.unsubscribe(f"{topic}/in\x00junk")
    assert capfd.readouterr() == (f"[SDK] Unsubscribed from: {topic}/in\x00junk\n", "")


def test_thousand_qos_1_publishes_finish_within_two_seconds(broker, make_client, client, topic):
    receiver = make_client(broker.address)
    receiver.connect()
    recorder = Recorder()
    receiver.on_message(recorder)
    receiver.subscribe(topic, qos=1)
    started = time.perf_counter()
    for number in range(1000):
        client.publish(topic, str(number), qos=1)
    elapsed = time.perf_counter() - started
    assert elapsed < 2.0, f"1000 QoS 1 publishes took {elapsed:.2f} s"
    assert recorder.wait_for(1000, timeout=10)
    assert [payload for _, payload in recorder.snapshot()] == [str(n) for n in range(1000)]


def test_payload_of_two_gibibytes_is_refused_and_nothing_is_sent(client, raw, topic, capfd):
    subscriber = raw()
    capfd.readouterr()
    huge = bytes(2**31)
    try:
        client.publish(topic, huge)
    finally:
        del huge
    out, err = capfd.readouterr()
    assert out == "" and re.fullmatch(rf"\[SDK\] publish failed on '{topic}', rc=-?\d+\n", err), err
    assert client.is_connected() is True
    client.publish(topic, "small")  # would arrive after anything the refused call sent
    assert subscriber.messages(1) == [(topic.encode(), b"small", 0, False)]
