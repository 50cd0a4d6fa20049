"""paho-mqtt 2.x (CallbackAPIVersion.VERSION2) with its network thread, loop_start();
wait_for_publish() is the QoS 1 completion wait."""
from __future__ import annotations

import argparse
import os
import sys
import threading

from .common import WAIT_S, Handler, Publish


def transport(o: argparse.Namespace) -> dict:
    """Client() arguments for the run's URL scheme (TLS is set on the client, below)."""
    return {"transport": "tcp"}


class Peer:
    def __init__(self, o: argparse.Namespace, client_id: str | None = None):
        import paho.mqtt.client as mqtt

        self.o = o
        self.c = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id or o.id,
                             clean_session=True, **transport(o))
        self.subscribed = threading.Event()
        self.disconnected = threading.Event()
        if o.scheme == "ssl":
            # Verified against the CA the run trusts, with the host name checked, as
            # tarnu_sdk does.
            self.c.tls_set(ca_certs=os.environ["SSL_CERT_FILE"])
        self.c.on_subscribe = lambda *args: self.subscribed.set()
        self.c.on_disconnect = lambda *args: self.disconnected.set()

    def on_message(self, handler: Handler) -> None:
        def on_message(client, userdata, msg):
            handler(msg.topic, msg.payload.decode())

        self.c.on_message = on_message

    def connect(self) -> None:
        connected = threading.Event()
        self.c.on_connect = lambda *args: connected.set()
        self.c.connect(self.o.host, self.o.port, keepalive=30)
        self.c.loop_start()
        if not connected.wait(WAIT_S):
            sys.exit("paho-mqtt: connect failed")

    def subscribe(self, topic: str) -> None:
        self.c.subscribe(topic, 0)
        if not self.subscribed.wait(WAIT_S):
            sys.exit("paho-mqtt: subscribe failed")

    def publisher(self, qos: int) -> Publish:
        publish = self.c.publish
        if qos == 0:
            return publish
        return lambda topic, payload: publish(topic, payload, qos).wait_for_publish(WAIT_S)

    def in_flight(self):
        """send(topic, payload) for QoS 1 messages that are not awaited, and wait_all(),
        which returns once every one sent is acknowledged. paho-mqtt keeps at most
        max_inflight_messages (20 by default, kept here) in flight and queues the rest."""
        publish, infos = self.c.publish, []

        def send(topic: str, payload: str) -> None:
            infos.append(publish(topic, payload, 1))

        def wait_all() -> None:
            for info in infos:
                info.wait_for_publish(WAIT_S)
                if not info.is_published():
                    sys.exit("paho-mqtt: a message in flight was not acknowledged in time")

        return send, wait_all

    def disconnect(self) -> None:
        """Returns once the network thread has closed the connection (on_disconnect):
        disconnect() alone only queues the DISCONNECT packet."""
        self.c.disconnect()
        if not self.disconnected.wait(WAIT_S):
            sys.exit("paho-mqtt: disconnect did not complete")

    def release(self) -> None:
        self.c.loop_stop()

    def close(self) -> None:
        self.disconnect()
        self.release()
