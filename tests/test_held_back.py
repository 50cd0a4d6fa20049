"""Arrived messages the MQTT library holds back. The library hands a client its messages
one per packet it reads on that connection; when it holds some without handing one over
(after a storm of cuts, hundreds: tests/test_storm.py), the client asks the broker for
answers, an UNSUBSCRIBE from a filter nobody subscribes to per held message. A stream
that flows, fast, into a slow handler or over a 20 ms round trip, must be left alone: no UNSUBSCRIBE on the wire,
every message delivered once and in order."""
from __future__ import annotations

import threading
import time

import pytest

from proxy import Proxy
from support import wait_until

pytestmark = pytest.mark.timeout(120, method="thread")
UNSUBSCRIBE = 10
COUNT = 900  # below the broker's queue of 1000 per client: none is dropped there


@pytest.mark.parametrize("handling, delay", [(0.0, 0.0), (0.002, 0.0), (0.0, 0.01)],
                         ids=["fast handler", "slow handler", "20 ms round trip"])
def test_a_flowing_stream_is_left_alone(fresh_broker, make_client, topic, handling, delay):
    with Proxy(fresh_broker.port, delay=delay) as proxy:
        client = make_client(proxy.address, keepAlive=60)  # no keep-alive traffic meanwhile
        got: list[int] = []

        def on_message(_topic: str, payload: str) -> None:
            got.append(int(payload))
            if handling:
                time.sleep(handling)

        client.on_message(on_message)
        assert client.connect() and client.subscribe(topic, qos=1)
        feeder = make_client(fresh_broker.address)
        assert feeder.connect()
        for n in range(COUNT):
            feeder.publish(topic, str(n), qos=1)
        assert wait_until(lambda: len(got) >= COUNT, timeout=60), len(got)
        time.sleep(0.5)  # a request made late would show up by now
        assert got == list(range(COUNT))
        kinds = [kind for _, kind in proxy.sent()]
        assert UNSUBSCRIBE not in kinds, kinds.count(UNSUBSCRIBE)
        client.stop()  # before its link goes with the proxy


def test_subscribes_and_unsubscribes_from_many_threads_do_not_mix_their_answers(
        connected, topic):
    """The library's subscribe and unsubscribe wait for their answers in one slot of the
    handle: side by side on one client, one took the other's answer (and both freed it)."""
    client = connected()
    errors: list[BaseException] = []

    def churn(kind: int) -> None:
        try:
            for n in range(150):
                if kind:
                    assert client.subscribe(f"{topic}/{kind}/{n % 5}", qos=1)
                else:
                    client.unsubscribe(f"{topic}/{kind}/{n % 5}")
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=churn, args=(k,)) for k in (0, 1, 2, 0)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(t.is_alive() for t in threads) and not errors, errors
    assert client.is_connected()
