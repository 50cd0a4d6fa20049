"""A native MQTT client.

Handlers run on the client's event thread, one call at a time, in the order the
events happened. Every method releases the interpreter lock while it works.
"""
from collections.abc import Callable
from typing import SupportsIndex, SupportsInt

class SDK:
    def __init__(self) -> None: ...
    def init(
        self,
        clientId: str,
        brokerHost: str,
        protocol: str,
        username: str,
        password: str,
        cleanSession: bool = False,
        resumeSubs: bool = True,
        connectRetry: bool = True,
        autoReconnect: bool = True,
        connectRetryInterval: SupportsInt | SupportsIndex = 5,
        maxReconnectInterval: SupportsInt | SupportsIndex = 1,
        keepAlive: SupportsInt | SupportsIndex = 30,
        pingTimeout: SupportsInt | SupportsIndex = 10,
        writeTimeout: SupportsInt | SupportsIndex = 10,
        orderMatters: bool = False,
        connectTimeout: SupportsInt | SupportsIndex = 30,
        edition: str = "Community",
    ) -> None: ...
    def connect(self) -> bool: ...
    def disconnect(self) -> None: ...
    def publish(
        self,
        topic: str,
        payload: str | bytes | bytearray,
        qos: SupportsInt | SupportsIndex = 0,
        retained: bool = False,
    ) -> None: ...
    def subscribe(self, topic: str, qos: SupportsInt | SupportsIndex = 0) -> bool: ...
    def unsubscribe(self, topic: str) -> None: ...
    def on_message(self, handler: Callable[[str, str], object] | None, /) -> None: ...
    def on_connection(self, handler: Callable[[bool, int], object] | None, /) -> None: ...
    def stop(self) -> None: ...
    def is_connected(self) -> bool: ...
