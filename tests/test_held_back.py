"""Arrived messages the MQTT library holds back. The library hands a client its messages
one per packet it reads on that connection; when it holds some without handing one over
(after a storm of cuts, hundreds: tests/test_storm.py), the client asks the broker for
answers, an UNSUBSCRIBE from a filter nobody subscribes to per held message. A stream
that flows, fast or into a slow handler, must be left alone: no UNSUBSCRIBE on the wire,
every message delivered once and in order."""
from __future__ import annotations

import time

import pytest

from support import wait_until

pytestmark = pytest.mark.timeout(120, method="thread")
UNSUBSCRIBE = 10
COUNT = 900  # below the broker's queue of 1000 per client: none is dropped there


@pytest.mark.parametrize("handling", [0.0, 0.002], ids=["fast handler", "slow handler"])
def test_a_flowing_stream_is_left_alone(proxy, fresh_broker, make_client, topic, handling):
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
