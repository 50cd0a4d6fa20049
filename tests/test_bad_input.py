"""Bad input through every method: arguments that cannot be converted raise TypeError
before anything happens; inputs the library or the broker cannot take (QoS out of range,
topics MQTT cannot carry, a payload of 2 GiB) are refused with the
"[SDK] <method> failed on '<topic>', rc=<code>" line while the connection stays up;
edge-size payloads arrive whole; inbound payloads that are not UTF-8 are reported and
delivery goes on. After each case the client still makes a QoS 1 round trip."""
from __future__ import annotations

import time

import pytest

from support import Recorder, wait_until

LONG = 70_000  # bytes: an MQTT string holds at most 65,535


# Valid keyword arguments of each method; every argument in turn is replaced by each
# value that cannot be converted to its type (the type of the valid value).
VALID = {
    "init": dict(clientId="x", brokerHost="127.0.0.1:1", protocol="tcp", username="",
                 password="", cleanSession=False, resumeSubs=True, connectRetry=True,
                 autoReconnect=True, connectRetryInterval=5, maxReconnectInterval=1,
                 keepAlive=30, pingTimeout=10, writeTimeout=10, orderMatters=False,
                 connectTimeout=30, edition="Community"),
    "publish": dict(topic="{t}", payload="x", qos=0, retained=False),
    "subscribe": dict(topic="{t}", qos=0),
    "unsubscribe": dict(topic="{t}"),
}
WRONG = {
    str: [None, 7, ["x"], "a\ud800", "\udfffb"],  # lone surrogates cannot be UTF-8
    int: [None, 1.0, "1", 2**31, -2**31 - 1],  # a C int holds -2**31 .. 2**31-1
    bool: ["yes", object(), [True]],  # neither bool nor a number
}
PAYLOAD = WRONG[str] + [1.5, {"a": 1}, object(), memoryview(b"x")]


def wrong_calls(t):
    """(description, call) for every method fed each value it cannot take."""
    for method, valid in VALID.items():
        for name, value in valid.items():
            for bad in PAYLOAD if name == "payload" else WRONG[type(value)]:
                arguments = {k: v.format(t=t) if v == "{t}" else v for k, v in valid.items()}
                yield (f"{method} {name}={bad!r}",
                       lambda c, m=method, a={**arguments, name: bad}: getattr(c, m)(**a))
    for setter in ("on_message", "on_connection"):
        for bad in (5, "print", b"print", object(), [print]):
            yield f"{setter}({bad!r})", lambda c, s=setter, b=bad: getattr(c, s)(b)
        yield f"{setter}(handler=print)", lambda c, s=setter: getattr(c, s)(handler=print)
    for method in ("connect", "disconnect", "stop", "is_connected", "on_message"):
        yield f"{method} with the wrong number of arguments", lambda c, m=method: (
            getattr(c, m)() if m == "on_message" else getattr(c, m)(None))


def test_wrong_types_raise_type_error_before_anything_happens(broker, make_client, topic, capfd):
    client = make_client(broker.address, autoReconnect=False)
    messages, connections = Recorder(), Recorder()
    client.on_message(messages)
    client.on_connection(connections)
    assert client.connect() is True and client.subscribe(topic, qos=1) is True
    capfd.readouterr()
    problems, calls = [], list(wrong_calls(topic))
    for name, call in calls:
        try:
            call(client)
            problems.append(f"{name}: returned")
        except TypeError:
            pass
        except Exception as error:  # reported with the others below
            problems.append(f"{name}: {type(error).__name__}: {error}")
        if (logged := capfd.readouterr()) != ("", ""):  # a real init would have disconnected
            problems.append(f"{name}: wrote {logged}")
        if not client.is_connected():
            problems.append(f"{name}: left the client disconnected")
    assert problems == [] and len(calls) > 100
    client.publish(topic, "after the table", qos=1)
    # Nothing that a bad publish might have sent arrives before the round trip, and the
    # handlers set before the table are still the ones in force.
    assert messages.wait_for(1) and messages.snapshot() == [(topic, "after the table")]
    client.disconnect()
    assert connections.snapshot() == [(True, 0), (False, 0)]


def long_topic(t, size=LONG):
    return f"{t}/" + "x" * (size - len(t) - 1)


REFUSED = {  # id: (method, topic, arguments after the topic, code)
    "publish-qos-3": ("publish", lambda t: t, ("x", 3), -9),
    "publish-qos--1": ("publish", lambda t: t, ("x", -1), -9),
    "subscribe-qos-3": ("subscribe", lambda t: t, (3,), -9),
    "subscribe-qos--1": ("subscribe", lambda t: t, (-1,), -9),
    "publish-a/#": ("publish", lambda t: f"{t}/#", ("x", 0), -8),
    "publish-a/+/x": ("publish", lambda t: f"{t}/+/x", ("x", 1), -8),
    "publish-70000-byte-topic-qos-0": ("publish", long_topic, ("x", 0), -8),
    "publish-70000-byte-topic-qos-1": ("publish", long_topic, ("x", 1), -8),
    "publish-empty-topic": ("publish", lambda t: "", ("x", 0), -8),
    "publish-NUL-first": ("publish", lambda t: f"\x00{t}", ("x", 0), -8),  # empty on the wire
    "subscribe-70000-byte-topic": ("subscribe", long_topic, (1,), -8),
    "subscribe-a/#/b": ("subscribe", lambda t: f"{t}/#/b", (0,), -8),
    "unsubscribe-70000-byte-topic": ("unsubscribe", long_topic, (), -8),
    "unsubscribe-a+": ("unsubscribe", lambda t: f"{t}+", (), -8),
}


@pytest.mark.parametrize("method, make_topic, arguments, code", REFUSED.values(), ids=REFUSED)
def test_input_the_broker_cannot_take_is_refused_with_the_failed_line_and_the_link_stays(
    broker, make_client, topic, capfd, method, make_topic, arguments, code
):
    watcher, watched = make_client(broker.address, cleanSession=True), Recorder()
    watcher.on_message(watched)
    assert watcher.connect() and watcher.subscribe("#", qos=1)  # sees whatever gets through
    client = make_client(broker.address, cleanSession=True, autoReconnect=False)
    connections = Recorder()
    client.on_connection(connections)
    assert client.connect() is True
    bad = make_topic(topic)
    capfd.readouterr()
    started = time.monotonic()
    result = getattr(client, method)(bad, *arguments)
    elapsed = time.monotonic() - started
    out, err = capfd.readouterr()
    assert result is (False if method == "subscribe" else None)
    expected = f"[SDK] {method} failed on '{bad}', rc={code}\n"
    assert (out, err == expected) == ("", True), f"stderr {err[:99]!r}{'...' * (len(err) > 99)}"
    assert elapsed < 1.0, f"refusing took {elapsed:.1f} s"  # decided here, not by a timeout
    client.publish(topic, "round trip", qos=1)  # arrives after anything the bad call sent
    assert watched.wait_for(1) and watched.snapshot() == [(topic, "round trip")]
    assert client.is_connected() is True and connections.snapshot() == [(True, 0)]


def test_payload_too_long_for_the_length_field_is_refused_not_truncated(connected, topic, capfd):
    client, received = connected(topic, autoReconnect=False), Recorder()
    client.on_message(received)
    capfd.readouterr()
    huge = bytes(2**31)  # one byte more than a C int holds
    try:
        assert client.publish(topic, huge) is None
    finally:
        del huge
    assert capfd.readouterr() == ("", f"[SDK] publish failed on '{topic}', rc=-8\n")
    client.publish(topic, "round trip", qos=1)  # arrives after anything the bad call sent
    assert received.wait_for(1) and received.snapshot() == [(topic, "round trip")]
    assert client.is_connected() is True


def test_topic_of_the_largest_size_mqtt_carries_is_used_whole(connected, topic, capfd):
    longest, received = long_topic(topic, 65_535), Recorder()
    client = connected(longest)
    client.on_message(received)
    client.publish(longest, "at the limit", qos=1)
    assert received.wait_for(1) and received.snapshot() == [(longest, "at the limit")]
    assert capfd.readouterr().err == ""


SIZES = {"0 bytes": b"", "1 byte": b"\x00",
         "16 MiB": bytes(range(32, 127)) * (16 * 2**20 // 95) + b"." * (16 * 2**20 % 95)}


@pytest.mark.parametrize("qos", [0, 1])
@pytest.mark.parametrize("size", list(SIZES))
def test_payloads_of_edge_sizes_arrive_whole(connected, topic, capfd, size, qos):
    payload, received, sender = SIZES[size], Recorder(), connected()
    connected(topic).on_message(received)
    capfd.readouterr()
    assert sender.publish(topic, payload, qos=qos) is None
    assert capfd.readouterr().err == ""
    assert received.wait_for(1, timeout=15)
    [(got_topic, got)] = received.snapshot()
    assert got_topic == topic and len(got) == len(payload) and got == payload.decode()
    sender.publish(topic, "round trip", qos=1)
    assert received.wait_for(2) and received.snapshot()[1] == (topic, "round trip")


NOT_UTF8 = [b"\xff", b"\xc3", b"ok\x80ok", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
            b"\xe2\x82"]  # never valid, lone lead, stray continuation, overlong, surrogate,
#                        past U+10FFFF, sequence cut short


def test_inbound_payloads_that_are_not_utf8_are_reported_and_delivery_goes_on(
    unraisable, connected, topic
):
    client, received = connected(topic), Recorder()
    client.on_message(received)
    for number, payload in enumerate(NOT_UTF8):
        client.publish(topic, payload, qos=1)
        client.publish(topic, f"valid {number}", qos=1)
    client.publish(topic, "round trip", qos=1)
    expected = [(topic, f"valid {n}") for n in range(len(NOT_UTF8))] + [(topic, "round trip")]
    assert received.wait_for(len(expected)) and received.snapshot() == expected
    assert wait_until(lambda: len(unraisable) >= len(NOT_UTF8))
    # Each reported once, naming the handler, which the payload never reached.
    assert [(kind, value.object) for kind, value, _ in unraisable] == [
        (UnicodeDecodeError, payload) for payload in NOT_UTF8]
    assert all("message handler" in text and repr(received) in text for _, _, text in unraisable)
