"""publish, subscribe and unsubscribe: payloads byte for byte, QoS and retained flag, log
lines and their streams, topics with a zero byte, throughput (refused input, edge-size
and non-UTF-8 payloads: test_bad_input.py)."""
from __future__ import annotations

import time

import pytest

import tarnu_sdk
from support import RawSubscriber, Recorder


@pytest.fixture
def raw(broker, topic):
    made = []

    def make(topic_filter=topic):
        made.append(RawSubscriber(broker.port, topic_filter))
        return made[-1]

    yield make
    for subscriber in made:
        subscriber.close()


@pytest.fixture
def client(connected):
    return connected(autoReconnect=False)


PAYLOADS = [("hello", b"hello"), ("\u00e9", b"\xc3\xa9"), ("a\x00b\x00", b"a\x00b\x00"),
            ("", b""), (bytes(range(256)), bytes(range(256))),
            (bytearray(b"\x01\x00\x02"), b"\x01\x00\x02")]


def test_publish_puts_the_exact_bytes_qos_and_retained_flag_on_the_wire(client, raw, topic, capfd):
    live = raw(topic + "/#")
    capfd.readouterr()
    for payload, _ in PAYLOADS:
        assert client.publish(f"{topic}/p", payload) is None
    assert capfd.readouterr() == ("", "")
    client.publish(topic + "/one", "q1", qos=1)
    client.publish(topic=topic + "/two", payload="q2", qos=2, retained=False)
    client.publish(topic + "/kept", "r", 1, True)
    assert live.messages(len(PAYLOADS) + 3) == [
        *((f"{topic}/p".encode(), sent, 0, False) for _, sent in PAYLOADS),
        (f"{topic}/one".encode(), b"q1", 1, False), (f"{topic}/two".encode(), b"q2", 2, False),
        (f"{topic}/kept".encode(), b"r", 1, False)]
    assert raw(topic + "/#").messages(1) == [(f"{topic}/kept".encode(), b"r", 1, True)]
    client.publish(topic + "/kept", "", retained=True)  # clear it again


def test_subscribe_and_unsubscribe_log_and_control_delivery(client, topic, capfd):
    recorder, other = Recorder(), topic + "/other"
    client.on_message(recorder)
    capfd.readouterr()
    assert client.subscribe(topic) is True and client.subscribe(topic=other, qos=1) is True
    assert capfd.readouterr() == (
        f"[SDK] Subscribed to: {topic}\n[SDK] Subscribed to: {other}\n", "")
    client.publish(topic, "plain", qos=1)
    client.publish(topic, "\u00e9\u20ac", qos=1)
    assert recorder.wait_for(2)
    assert client.unsubscribe(topic=topic) is None
    assert capfd.readouterr() == (f"[SDK] Unsubscribed from: {topic}\n", "")
    client.publish(topic, "after")
    client.publish(other, "marker")  # same connection: delivered in order
    assert recorder.wait_for(3)
    assert recorder.snapshot() == [(topic, "plain"), (topic, "\u00e9\u20ac"), (other, "marker")]


def test_operations_without_connection_write_their_not_connected_line(
    broker, make_client, raw, topic, capfd
):
    subscriber = raw()
    for state in ("fresh", "initialised", "disconnect", "stop"):  # the last two: after it
        client = tarnu_sdk.SDK() if state == "fresh" else make_client(broker.address)
        if state in ("disconnect", "stop"):
            client.connect()
            getattr(client, state)()
        capfd.readouterr()
        assert client.publish(topic, "lost") is None
        assert client.subscribe(topic) is False
        assert client.unsubscribe(topic) is None
        assert capfd.readouterr() == ("", "[SDK] publish \u2014 not connected\n"
                                          "[SDK] subscribe \u2014 not connected\n"
                                          "[SDK] unsubscribe \u2014 not connected\n"), state
    assert subscriber.messages(1, timeout=0.3) == []


def test_topic_with_zero_byte_is_cut_for_the_library_but_logged_whole(client, raw, topic, capfd):
    recorder, subscriber = Recorder(), raw(topic + "/#")
    client.on_message(recorder)
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


@pytest.mark.parametrize("mixed", [False, True], ids=["qos1", "qos0-then-qos1"])
def test_thousand_qos_1_publishes_finish_within_two_seconds(connected, client, topic, mixed):
    # Mixed: each QoS 1 publish follows a small QoS 0 one still awaiting its TCP
    # acknowledgement; with Nagle's algorithm on, each would wait ~40 ms for it.
    recorder = Recorder()
    connected(topic).on_message(recorder)
    started = time.perf_counter()
    for number in range(1000):
        if mixed:
            client.publish(topic, f"q0 {number}", qos=0)
        client.publish(topic, str(number), qos=1)
    elapsed = time.perf_counter() - started
    assert elapsed < 2.0, f"1000 QoS 1 publishes took {elapsed:.2f} s"
    assert recorder.wait_for(1000 * (1 + mixed), timeout=10)
    qos1 = [payload for _, payload in recorder.snapshot() if not payload.startswith("q0")]
    assert qos1 == [str(n) for n in range(1000)]
