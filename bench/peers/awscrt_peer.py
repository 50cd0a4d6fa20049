"""awscrt's MQTT 3.1.1 client (awscrt.mqtt.Connection) over plain TCP: the library's
own event-loop threads do the I/O; every operation returns a concurrent Future, and
publish(...)[0].result() is the QoS 1 completion wait (it resolves on the PUBACK)."""
from __future__ import annotations

import argparse
import sys

from .common import WAIT_S, Handler, Publish

_client = None  # one awscrt.mqtt.Client (and so one event-loop group) per process


def transport(o: argparse.Namespace):
    """The awscrt.mqtt.Client for the run's URL scheme: tls_ctx=None is plain TCP."""
    global _client
    if o.scheme != "tcp":
        sys.exit(f"awscrt: scheme {o.scheme!r} is not wired up in the benchmark")
    if _client is None:
        from awscrt import io, mqtt

        # One Client for the process, on the library's default bootstrap (its event
        # loop threads and resolver), as an application would hold it; every
        # Connection, one per cycle in the connect row, is made from it.
        _client = mqtt.Client(io.ClientBootstrap.get_or_create_static_default(), None)
    return _client


class Peer:
    def __init__(self, o: argparse.Namespace, client_id: str | None = None):
        from awscrt import io, mqtt

        self.mqtt = mqtt
        # IPv4, for the broker's 127.0.0.1 (SocketOptions defaults to IPv6). awscrt
        # offers no TCP_NODELAY from Python: its sockets keep Nagle's algorithm.
        socket_options = io.SocketOptions()
        socket_options.domain = io.SocketDomain.IPv4
        # keep_alive_secs as for the other clients; disable_metrics leaves the user
        # name empty instead of adding the SDK's metrics string to it.
        self.c = mqtt.Connection(transport(o), o.host, o.port, client_id or o.id,
                                 clean_session=True, keep_alive_secs=30,
                                 socket_options=socket_options, disable_metrics=True)
        self.handler: Handler | None = None

    def on_message(self, handler: Handler) -> None:
        self.handler = handler

    def connect(self) -> None:
        try:
            self.c.connect().result(WAIT_S)
        except Exception as exc:  # noqa: BLE001 - any failure ends the run
            sys.exit(f"awscrt: connect failed: {exc!r}")

    def subscribe(self, topic: str) -> None:
        handler = self.handler
        on_message = None
        if handler is not None:
            def on_message(topic, payload, **kwargs):
                handler(topic, payload.decode())

        future, _ = self.c.subscribe(topic, self.mqtt.QoS.AT_MOST_ONCE, on_message)
        try:
            future.result(WAIT_S)
        except Exception as exc:  # noqa: BLE001
            sys.exit(f"awscrt: subscribe failed: {exc!r}")

    def publisher(self, qos: int) -> Publish:
        publish = self.c.publish
        if qos == 0:
            at_most_once = self.mqtt.QoS.AT_MOST_ONCE
            return lambda topic, payload: publish(topic, payload, at_most_once)
        at_least_once = self.mqtt.QoS.AT_LEAST_ONCE
        return lambda topic, payload: publish(topic, payload, at_least_once)[0].result(WAIT_S)

    def disconnect(self) -> None:
        self.c.disconnect().result(WAIT_S)

    def release(self) -> None:
        self.c = None

    def close(self) -> None:
        self.disconnect()
        self.release()
