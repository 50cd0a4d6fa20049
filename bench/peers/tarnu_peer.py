"""tarnu_sdk, the client measured: every call blocks until done, handlers run on the
client's event thread."""
from __future__ import annotations

import argparse
import sys

from .common import Handler, Publish


def transport(o: argparse.Namespace) -> tuple[str, str]:
    """The `protocol` and `brokerHost` arguments of SDK.init for the run's URL."""
    return o.scheme, f"{o.host}:{o.port}"  # "ssl": verified against SSL_CERT_FILE


class Peer:
    def __init__(self, o: argparse.Namespace, client_id: str | None = None):
        import tarnu_sdk  # type: ignore[import-not-found]

        protocol, host = transport(o)
        self.c = tarnu_sdk.SDK()
        self.c.init(client_id or o.id, host, protocol, "", "", cleanSession=True)

    def on_message(self, handler: Handler) -> None:
        self.c.on_message(handler)  # handler(topic: str, payload: str)

    def connect(self) -> None:
        if not self.c.connect():
            sys.exit("tarnu_sdk: connect failed")

    def subscribe(self, topic: str) -> None:
        if not self.c.subscribe(topic, 0):
            sys.exit("tarnu_sdk: subscribe failed")

    def publisher(self, qos: int) -> Publish:
        """A function publish(topic, payload) at `qos`; at QoS 1 it returns after the
        completion, as SDK.publish does."""
        publish = self.c.publish
        if qos == 0:
            return publish
        return lambda topic, payload: publish(topic, payload, qos)

    def disconnect(self) -> None:
        self.c.disconnect()

    def release(self) -> None:
        self.c.stop()

    def close(self) -> None:
        self.disconnect()
        self.release()
