"""Fixtures: every test talks to a real mosquitto on a free loopback port."""
from __future__ import annotations

import itertools
import os
import sys
import uuid

import pytest

from brokers import Broker
from proxy import Proxy

import tarnu_sdk

_ids = itertools.count()


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

    def make(address: str, **kwargs) -> tarnu_sdk.SDK:
        made.append(tarnu_sdk.SDK())
        made[-1].init(brokerHost=address, **{
            "clientId": f"tarnu-test-{os.getpid()}-{next(_ids)}", "protocol": "tcp",
            "username": "", "password": "", **kwargs})
        return made[-1]

    yield make
    for client in made:
        client.stop()
    made.clear()


@pytest.fixture
def connected(broker, make_client):
    """Makes clients connected to `broker`, subscribed at QoS 1 to the topics given."""
    def make(*topics: str, **kwargs) -> tarnu_sdk.SDK:
        client = make_client(broker.address, **kwargs)
        assert client.connect() is True and all(client.subscribe(t, qos=1) for t in topics)
        return client
    return make


@pytest.fixture
def proxy(fresh_broker):
    """A fault-injection proxy (tests/proxy.py) in front of a broker of the test's own."""
    with Proxy(fresh_broker.port) as p:
        yield p


class _Unraisable(list):
    def __call__(self, unraisable):
        self.append((unraisable.exc_type, unraisable.exc_value, unraisable.err_msg or ""))

    def snapshot(self) -> list:
        return list(self)


@pytest.fixture
def unraisable(monkeypatch):
    """Records unraisable exceptions (handler errors) as (type, value, message) instead of
    failing the test. Request it before `make_client`, so it stays in force while clients stop."""
    log = _Unraisable()
    monkeypatch.setattr(sys, "unraisablehook", log)
    yield log
