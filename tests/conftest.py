"""Fixtures: every test talks to a real mosquitto on a free loopback port."""
from __future__ import annotations

import gc
import sys
import uuid

import pytest

from brokers import Broker
from proxy import Proxy
from support import new_client


@pytest.fixture(autouse=True)
def earlier_garbage_collected(request):
    """A client that an earlier test left in a reference cycle is torn down whenever the
    collector next runs, and its teardown writes "[SDK] Not connected": a test that reads
    the output line by line has that garbage collected before it starts."""
    if {"capfd", "capsys"} & set(request.fixturenames):
        gc.collect()


@pytest.fixture(scope="module")
def broker():
    """Shared by the tests of one module (anonymous access)."""
    with Broker() as b:
        yield b


@pytest.fixture
def fresh_broker():
    """The test's own, for tests that stop, kill or restart it."""
    with Broker() as b:
        yield b


@pytest.fixture(scope="module")
def auth_broker():
    """Accepts only alice / wonderland."""
    with Broker(users={"alice": "wonderland"}) as b:
        yield b


@pytest.fixture
def topic():
    """A topic prefix no other test uses."""
    return f"t/{uuid.uuid4().hex[:12]}"


@pytest.fixture
def make_client():
    """Makes initialised (not connected) clients and stops them after the test."""
    made = []

    def make(address: str, **kwargs):
        made.append(new_client(address, **kwargs))
        return made[-1]

    yield make
    for client in made:
        client.stop()
    made.clear()


@pytest.fixture
def connected(broker, make_client):
    """Makes clients connected to `broker`, subscribed at QoS 1 to the topics given."""
    def make(*topics: str, **kwargs):
        client = make_client(broker.address, **kwargs)
        assert client.connect() is True and all(client.subscribe(t, qos=1) for t in topics)
        return client
    return make


@pytest.fixture
def proxy(fresh_broker):
    """A fault-injection proxy (tests/proxy.py) in front of a broker of the test's own."""
    with Proxy(fresh_broker.port) as p:
        yield p


@pytest.fixture
def unraisable(monkeypatch):
    """Records unraisable exceptions (handler errors) as (type, value, message) instead of
    failing the test. Request it before `make_client`, so it stays in force while clients stop."""
    log = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: log.append((u.exc_type, u.exc_value, u.err_msg or "")))
    return log
