"""Broker fixtures: every test talks to a real mosquitto on a free loopback port."""
from __future__ import annotations

import itertools
import os
import sys
import threading
import uuid

import pytest

from brokers import Broker

import tarnu_sdk

_ids = itertools.count()


@pytest.fixture(scope="module")
def broker():
    """A broker shared by the tests of one module (anonymous access)."""
    with Broker() as b:
        yield b


@pytest.fixture
def fresh_broker():
    """A broker of the test's own, for tests that stop, kill or restart it."""
    with Broker() as b:
        yield b


@pytest.fixture(scope="module")
def auth_broker():
    """A broker that accepts only alice / wonderland."""
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
        client = tarnu_sdk.SDK()
        kwargs.setdefault("clientId", f"tarnu-test-{os.getpid()}-{next(_ids)}")
        kwargs.setdefault("protocol", "tcp")
        kwargs.setdefault("username", "")
        kwargs.setdefault("password", "")
        client.init(brokerHost=address, **kwargs)
        made.append(client)
        return client

    yield make
    for client in made:
        client.stop()
    made.clear()


@pytest.fixture
def proxy(fresh_broker):
    """A fault-injection proxy (tests/proxy.py) in front of a broker of the test's
    own: connect clients to `proxy.address`; `cut()`, `refuse()`, `accept()`."""
    from proxy import Proxy

    with Proxy(fresh_broker.port) as p:
        yield p


class _UnraisableLog:
    """Stands in for sys.unraisablehook and keeps what it is given."""

    def __init__(self):
        self.lock = threading.Lock()
        self.entries = []

    def __call__(self, unraisable):
        with self.lock:
            self.entries.append(
                (unraisable.exc_type, unraisable.exc_value, unraisable.err_msg or "")
            )

    def snapshot(self):
        with self.lock:
            return list(self.entries)


@pytest.fixture
def unraisable(monkeypatch):
    """Records unraisable exceptions (handler errors) instead of failing the test.
    Request it before `make_client`, so it stays in force while clients stop."""
    log = _UnraisableLog()
    monkeypatch.setattr(sys, "unraisablehook", log)
    yield log
