"""Publishes of many threads on one client in flight at once: each call hands its message
to the library and waits for its own completion, with at most WINDOW QoS 1/2 messages of
a client in flight; a thread's messages keep their order; ending the connection, or
losing it, ends every wait; QoS 0 publishes, subscribes and unsubscribes do not wait
behind another thread's wait.

Raw brokers (holding_broker.py) that hold acknowledgements back show what is in flight
at once; mosquitto behind the delaying proxy (a 20 ms round trip) shows the order and
that nothing is lost. Every wait is bounded: serialised calls would each wait out their
10 s completion timeout, so a test that needs them to overlap fails at its own deadline,
before the first of them could time out."""
from __future__ import annotations

import threading
import time
from collections import defaultdict

import pytest

from holding_broker import HoldingBroker
from proxy import Proxy
from support import RawSubscriber, Recorder, wait_until

WINDOW = 64  # QoS 1/2 messages one client keeps in flight
DELAY = 0.010  # one way, through the proxy: a 20 ms round trip
# s: calls that overlap are done by then; serialised ones are still in their first 10 s wait
OVERLAP = 8.0
PROMPT = 5.0  # s: the publishes that stop, disconnect, init or a loss end return within this
LIBRARY_DISCONNECT = 10 + 3  # its wait for messages in flight, and a margin


class Crew:
    """`count` daemon threads, thread i running work(i); records what they raise."""

    def __init__(self, count: int, work, name: str = "publisher"):
        self.errors: list[BaseException] = []
        self.threads = [threading.Thread(target=self._run, args=(work, i), name=f"{name}-{i}",
                                         daemon=True) for i in range(count)]

    def _run(self, work, i: int) -> None:
        try:
            work(i)
        except BaseException as error:  # noqa: BLE001 - reported by the test
            self.errors.append(error)

    def start(self) -> "Crew":
        for thread in self.threads:
            thread.start()
        return self

    def join(self, timeout: float) -> int:
        """Joins them all within `timeout` s in total; how many are still running."""
        deadline = time.monotonic() + timeout
        for thread in self.threads:
            thread.join(max(deadline - time.monotonic(), 0.0))
        return len(self.running())

    def running(self) -> list[int]:
        return [i for i, thread in enumerate(self.threads) if thread.is_alive()]


def call(function, *args) -> Crew:
    """One call on a thread of its own (a hanging call then fails the test, bounded)."""
    return Crew(1, lambda _: function(*args), name=getattr(function, "__name__", "call")).start()


@pytest.fixture
def slow_link(fresh_broker):
    """The delaying proxy in front of a broker of the test's own."""
    with Proxy(fresh_broker.port, delay=DELAY) as link:
        link.record = False
        yield link


@pytest.fixture
def holding():
    """Makes raw brokers that hold acknowledgements back; released and closed after the test."""
    made: list[HoldingBroker] = []

    def make(**options) -> HoldingBroker:
        made.append(HoldingBroker(**options).__enter__())
        return made[-1]

    yield make
    for broker in made:
        broker.release()
        broker.release_subscribes()
        broker.__exit__(None, None, None)


def wind_down(client, broker: HoldingBroker, *crews: Crew) -> None:
    """After a test, also a failed one: nothing stays held, the client stops and its
    callers return before the next test starts."""
    broker.release()
    broker.release_subscribes()
    client.stop()
    for crew in crews:
        crew.join(15)


# --- Calls of many threads overlap -------------------------------------------------------


@pytest.mark.parametrize("threads, qos", [(8, 1), (WINDOW, 1), (8, 2), (WINDOW, 2)])
def test_publishes_of_many_threads_on_one_client_are_in_flight_at_once(
    holding, make_client, capfd, threads, qos
):
    # The broker answers none of them (PUBACK, or PUBREC at QoS 2) until it holds all of
    # them: only calls that are in flight at the same time can ever complete.
    broker = holding(until=threads)
    client = make_client(broker.address)
    assert client.connect() is True
    crew = Crew(threads, lambda i: client.publish("inflight/all", f"m{i}", qos=qos))
    try:
        crew.start()
        still = crew.join(OVERLAP)
        assert still == 0, (f"{still} of {threads} publishes still waiting after {OVERLAP} s; "
                            f"the broker held at most {broker.peak} at once (it answers at "
                            f"{threads}): the calls do not overlap")
        assert broker.peak == threads and crew.errors == []
        assert sorted(broker.payloads()) == sorted(f"m{i}".encode() for i in range(threads))
    finally:
        wind_down(client, broker, crew)
    assert "failed" not in capfd.readouterr().err


# --- The window -------------------------------------------------------------------------


@pytest.mark.parametrize("qos", [1, 2])
def test_a_full_window_makes_publishes_wait_for_room_and_never_fail(
    holding, make_client, capfd, qos
):
    # 100 threads, one publish each: the broker holds the acknowledgements until it holds
    # WINDOW of them, then answers them and every later one at once. The other 36 wait
    # for room, and are sent as it comes.
    threads = 100
    broker = holding(until=WINDOW, once=True)
    client = make_client(broker.address)
    assert client.connect() is True
    crew = Crew(threads, lambda i: client.publish("inflight/window", f"m{i}", qos=qos))
    try:
        crew.start()
        still = crew.join(OVERLAP)
        assert still == 0, (f"{still} of {threads} publishes still waiting after {OVERLAP} s; "
                            f"the broker held at most {broker.peak} at once (it answers at "
                            f"{WINDOW})")
        assert broker.peak == WINDOW, f"{broker.peak} QoS {qos} messages in flight at once"
        assert crew.errors == []
        received = broker.payloads()
        assert sorted(received) == sorted(f"m{i}".encode() for i in range(threads)), \
            "a message was lost or sent twice"
    finally:
        wind_down(client, broker, crew)
    err = capfd.readouterr().err
    assert "failed" not in err and err == "", err


def test_more_threads_than_the_window_over_a_slow_link_deliver_every_message(
    fresh_broker, slow_link, make_client, topic, capfd
):
    threads, each = 100, 3
    subscriber = RawSubscriber(fresh_broker.port, f"{topic}/#")
    client = make_client(slow_link.address)
    assert client.connect() is True
    crew = Crew(threads, lambda i: [client.publish(f"{topic}/{i}", f"{i}:{k}", qos=1)
                                    for k in range(each)])
    try:
        crew.start()
        assert crew.join(60) == 0, f"publishes still waiting: threads {crew.running()[:10]}"
        assert crew.errors == []
        got = subscriber.messages(threads * each, timeout=20)
    finally:
        subscriber.close()
        client.stop()
        crew.join(15)
    payloads = sorted(payload.decode() for _, payload, _, _ in got)
    assert payloads == sorted(f"{i}:{k}" for i in range(threads) for k in range(each))
    err = capfd.readouterr().err
    assert "failed" not in err and err == "", err


# --- A thread's messages keep their order ---------------------------------------------


@pytest.mark.parametrize("qos", [1, 2, "mixed"])
def test_each_threads_messages_arrive_in_the_order_it_published_them(
    fresh_broker, slow_link, make_client, topic, capfd, qos
):
    # All threads publish to one topic, through a link with a 20 ms round trip, so that
    # their messages interleave on the wire; "mixed" goes through QoS 0, 1 and 2 in turn.
    # The subscriber takes them at the QoS they were published with, or, mixed, at QoS 0:
    # the broker keeps the order of one publisher's messages only within one QoS level
    # towards a subscriber (its in-flight window holds QoS 1/2 messages back, not QoS 0).
    threads, each = 8, 25
    subscriber, received = make_client(fresh_broker.address), Recorder()
    subscriber.on_message(received)
    assert subscriber.connect() is True
    assert subscriber.subscribe(topic, qos=0 if qos == "mixed" else qos) is True
    client = make_client(slow_link.address)
    assert client.connect() is True

    def publish_sequence(i: int) -> None:
        for k in range(each):
            client.publish(topic, f"{i}:{k}", qos=k % 3 if qos == "mixed" else qos)

    crew = Crew(threads, publish_sequence)
    try:
        crew.start()
        assert crew.join(60) == 0, f"publishes still waiting: threads {crew.running()}"
        assert crew.errors == []
        assert received.wait_for(threads * each, timeout=20), \
            f"{len(received.snapshot())} of {threads * each} messages arrived"
    finally:
        client.stop()
        crew.join(15)
    sequences: dict[int, list[int]] = defaultdict(list)
    for _, payload in received.snapshot():
        i, k = map(int, payload.split(":"))
        sequences[i].append(k)
    for i in range(threads):
        assert sequences[i] == list(range(each)), f"thread {i}'s messages: {sequences[i]}"
    assert "failed" not in capfd.readouterr().err


# --- Ending the connection, losing it, and whose acknowledgement answers a wait --------------


@pytest.mark.parametrize("ending", ["stop", "disconnect", "init", "loss"])
def test_ending_or_losing_the_connection_returns_every_waiting_publish(
    broker, holding, make_client, connected, topic, ending
):
    # WINDOW threads wait for acknowledgements the raw broker never sends; then the
    # connection ends: each call returns well before its own 10 s, the method that ended
    # it returns too, and the client works afterwards.
    raw = holding()
    client = make_client(raw.address)
    assert client.connect() is True
    observer, seen = connected(topic), Recorder()
    observer.on_message(seen)
    crew = Crew(WINDOW, lambda i: client.publish("inflight/held", f"m{i}", qos=1))
    try:
        crew.start()
        assert raw.wait_held(WINDOW, timeout=PROMPT), \
            f"the broker holds {raw.held_count()} of {WINDOW} publishes: not in flight at once"
        began = time.monotonic()
        if ending == "loss":
            assert raw.drop() == 1
            ender = Crew(0, lambda i: None)
        else:
            ender = call({"stop": client.stop, "disconnect": client.disconnect,
                          "init": lambda: client.init(f"{topic.replace('/', '-')}-again",
                                                      broker.address, "tcp", "", "")}[ending])
        still = crew.join(max(began + PROMPT - time.monotonic(), 0.0))
        assert still == 0, f"{PROMPT} s after the {ending}: {still} of {WINDOW} publishes still waiting"
        # The library's disconnect gives messages in flight 10 s to be acknowledged; this
        # broker never acknowledges them, so stop, disconnect and init take that long.
        ending_still = ender.join(max(began + LIBRARY_DISCONNECT - time.monotonic(), 0.0))
        assert ending_still == 0, f"{ending}() has not returned {LIBRARY_DISCONNECT} s after it began"
        assert crew.errors == [] and ender.errors == []
        # The client works afterwards.
        if ending == "stop":
            client.init(f"{topic.replace('/', '-')}-after", broker.address, "tcp", "", "")
        if ending in ("stop", "init"):
            assert client.connect() is True
            client.publish(topic, "after", qos=1)
            assert seen.wait_for(1) and seen.snapshot() == [(topic, "after")]
        else:  # the same raw broker, which now answers
            if ending == "disconnect":
                assert client.connect() is True
            else:
                assert wait_until(client.is_connected, timeout=10), "no reconnection after the loss"
            raw.release()
            done = call(client.publish, "inflight/after", "after", 1)
            assert done.join(PROMPT) == 0, "a publish after the reconnection did not complete"
            assert b"after" in raw.payloads()
    finally:
        wind_down(client, raw, crew)


def test_a_wait_is_answered_only_by_its_own_acknowledgement(holding, make_client):
    # Half the threads' messages are answered at once, the other half are held: the held
    # ones' calls go on waiting while all the others return.
    threads = 16
    raw = holding(acked=lambda payload: payload.startswith(b"ack"))
    client = make_client(raw.address)
    assert client.connect() is True
    name = lambda i: f"ack-{i}" if i % 2 == 0 else f"hold-{i}"  # noqa: E731
    crew = Crew(threads, lambda i: client.publish("inflight/mixed", name(i), qos=1))
    try:
        crew.start()
        answered = crew.threads[0::2]
        deadline = time.monotonic() + OVERLAP
        for thread in answered:
            thread.join(max(deadline - time.monotonic(), 0.0))
        waiting = [i for i in range(0, threads, 2) if crew.threads[i].is_alive()]
        assert waiting == [], (f"publishes {waiting} still waiting for acknowledgements the "
                               f"broker sent; it holds {raw.held_count()} others")
        assert raw.wait_held(threads // 2, timeout=PROMPT)
        assert crew.running() == list(range(1, threads, 2)), \
            "a call returned before the acknowledgement of its own message"
        raw.release()
        assert crew.join(PROMPT) == 0 and crew.errors == []
    finally:
        wind_down(client, raw, crew)


def test_an_acknowledgement_of_an_earlier_message_with_the_same_id_answers_no_later_wait(
    holding, make_client
):
    # A clean session starts its message ids again at each connection. The first
    # connection's message is acknowledged after its call gave up (a disconnect came);
    # the next connection's first message has the same id and must still wait for its own.
    raw = holding()
    client = make_client(raw.address, cleanSession=True)
    assert client.connect() is True
    first = call(client.publish, "inflight/first", "first", 1)
    try:
        assert raw.wait_held(1)
        (held,) = raw.held_publishes()
        ender = call(client.disconnect)
        assert first.join(PROMPT) == 0, "a disconnect did not end the wait"
        raw.release()  # the late acknowledgement, while the disconnect may still wait for it
        assert ender.join(15) == 0
        raw.hold()
        assert client.connect() is True
        second = call(client.publish, "inflight/second", "second", 1)
        assert raw.wait_held(1)
        (again,) = raw.held_publishes()
        assert again.msgid == held.msgid, "the library did not reuse the message id"
        second.join(1.0)
        assert second.running() == [0], "the publish returned before its acknowledgement"
        raw.release()
        assert second.join(PROMPT) == 0 and first.errors == second.errors == []
    finally:
        wind_down(client, raw, first)


# --- QoS 0, subscribes and unsubscribes beside waiting publishes --------------------------


def test_a_qos_0_publish_does_not_wait_behind_a_qos_1_wait(holding, make_client):
    raw = holding()
    client = make_client(raw.address)
    assert client.connect() is True
    waiting = call(client.publish, "inflight/held", "held", 1)
    try:
        assert raw.wait_held(1)
        quick = call(client.publish, "inflight/q0", "now", 0)
        assert quick.join(PROMPT) == 0, "a QoS 0 publish waited behind another thread's QoS 1 wait"
        assert raw.wait_for(lambda: b"now" in raw.payloads(qos=0)), "the QoS 0 message is missing"
        assert waiting.running() == [0], "the QoS 1 publish returned without its acknowledgement"
        raw.release()
        assert waiting.join(PROMPT) == 0 and waiting.errors == quick.errors == []
    finally:
        wind_down(client, raw, waiting)


def test_subscribe_and_unsubscribe_complete_while_qos_1_publishes_wait(holding, make_client):
    raw = holding()
    client = make_client(raw.address)
    assert client.connect() is True
    crew = Crew(4, lambda i: client.publish("inflight/held", f"m{i}", qos=1))
    try:
        crew.start()
        assert raw.wait_held(1)
        results = []
        other = call(lambda: (results.append(client.subscribe("inflight/other", 1)),
                              client.unsubscribe("inflight/other")))
        assert other.join(PROMPT) == 0, "subscribe/unsubscribe waited behind QoS 1 publishes"
        assert results == [True] and other.errors == []
        assert crew.running(), "the publishes returned without their acknowledgements"
        raw.release()
        assert crew.join(OVERLAP) == 0 and crew.errors == []
    finally:
        wind_down(client, raw, crew)


def test_a_publish_completes_while_a_subscribe_waits_for_its_suback(holding, make_client):
    raw = holding(hold_subscribes=True)
    raw.release()  # publishes are answered at once; SUBACKs are held
    client = make_client(raw.address)
    assert client.connect() is True
    results: list[bool] = []
    subscribing = call(lambda: results.append(client.subscribe("inflight/slow", 1)))
    try:
        assert raw.wait_for(lambda: raw.subscribes == 1), "no SUBSCRIBE reached the broker"
        published = call(client.publish, "inflight/beside", "beside", 1)
        assert published.join(PROMPT) == 0, "a publish waited behind another thread's subscribe"
        assert b"beside" in raw.payloads() and published.errors == []
        assert subscribing.running() == [0], "subscribe returned without its SUBACK"
        raw.release_subscribes()
        assert subscribing.join(PROMPT) == 0 and results == [True]
    finally:
        wind_down(client, raw, subscribing)


# --- Handlers that publish -------------------------------------------------------------


def test_handlers_of_several_clients_publish_qos_1_on_their_own_client(
    unraisable, connected, topic
):
    # Each client's handler answers a request with a QoS 1 publish on its own client,
    # while two other threads publish QoS 1 on that client all along.
    clients, requests = 3, 20
    observer, replies = connected(f"{topic}/reply/#"), Recorder()
    observer.on_message(replies)
    servers = [connected(f"{topic}/request/{n}") for n in range(clients)]
    for n, server in enumerate(servers):
        server.on_message(lambda t, payload, n=n, server=server:
                          server.publish(f"{topic}/reply/{n}", payload, qos=1))
    quiet = threading.Event()

    def noise(i: int) -> None:
        for k in range(2_000):
            if quiet.is_set():
                return
            servers[i // 2].publish(f"{topic}/noise", str(k), qos=1)

    background = Crew(2 * clients, noise, name="noise").start()
    requester = connected()
    try:
        for k in range(requests):
            for n in range(clients):
                requester.publish(f"{topic}/request/{n}", str(k), qos=1)
        assert replies.wait_for(clients * requests, timeout=30), \
            f"{len(replies.snapshot())} of {clients * requests} replies"
    finally:
        quiet.set()
        assert background.join(30) == 0
    by_client: dict[str, list[str]] = defaultdict(list)
    for reply_topic, payload in replies.snapshot():
        by_client[reply_topic].append(payload)
    for n in range(clients):
        assert by_client[f"{topic}/reply/{n}"] == [str(k) for k in range(requests)]
    assert background.errors == [] and unraisable == []


@pytest.mark.parametrize("ending", ["disconnect", "stop"])
def test_a_loss_while_the_client_waits_for_messages_in_flight_ends_the_wait_and_nothing_reconnects(
    holding, make_client, capfd, ending
):
    # disconnect() and stop() give an unacknowledged message up to 10 s; the broker drops
    # the connection meanwhile. The call returns at the loss, not at the end of the 10 s,
    # and the loss belongs to a connection the program is ending: it is reported, but
    # nothing reconnects.
    raw = holding()
    client = make_client(raw.address, maxReconnectInterval=1)
    events = Recorder()
    client.on_connection(events)
    assert client.connect() is True
    assert events.wait_for(1)
    waiting = call(client.publish, "inflight/held", "held", 1)
    ender = None
    try:
        assert raw.wait_held(1, timeout=PROMPT)
        capfd.readouterr()
        ender = call(getattr(client, ending))
        time.sleep(0.5)  # the call is waiting for the message
        assert ender.running() == [0], f"{ending} returned before the message was answered"
        assert raw.drop() == 1
        assert ender.join(PROMPT) == 0, f"{ending}() still waits {PROMPT} s after the loss"
        assert waiting.join(PROMPT) == 0 and ender.errors == []
        # A reconnection would have begun at once when the loss was reported (its first
        # attempt does not wait).
        reconnected = wait_until(lambda: raw.connections > 1 or client.is_connected(), timeout=1)
        out = capfd.readouterr().out
        assert not reconnected, f"the program's {ending} was undone by a reconnection:\n{out}"
        assert "Attempting to reconnect" not in out and "[SDK] Disconnected\n" in out, out
        assert (False, 0) in events.snapshot()[1:]
    finally:
        wind_down(client, raw, *(c for c in (ender, waiting) if c is not None))
