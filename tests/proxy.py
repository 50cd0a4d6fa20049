"""A loopback TCP forwarder in front of a broker, for fault injection: `cut()` closes every
live link (the broker keeps the session, the client sees its link drop); `refuse()` accepts
and closes new connections (TCP connect succeeds, MQTT CONNECT fails) until `accept()`;
`freeze()` stops forwarding in both directions on every link, new ones included, while
keeping every socket open (a middlebox that went silent), until `thaw()`.
It records the type of each MQTT packet the clients send (`sent(link)`), per link in the
order the links were accepted, unless `record` is cleared (a long run of many links would
otherwise hold their records in the test's own memory). One thread forwards; the methods
take its lock, so they are done when they return."""
from __future__ import annotations

import selectors
import socket
import threading
import time


class Proxy:
    MAX_CONNECTIONS, IO_TIMEOUT = 32, 5.0

    def __init__(self, target_port: int):
        self.target, self.accepted = ("127.0.0.1", target_port), 0
        self.refusing = self.frozen = False
        self.record = True
        self.pairs: dict[socket.socket, socket.socket] = {}
        self.taps: dict[socket.socket, _Tap] = {}  # client side of each link
        self.links: list[_Tap] = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock, self.running = threading.RLock(), True
        self.selector = selectors.DefaultSelector()
        self.thread = threading.Thread(target=self._run, name="fault-proxy", daemon=True)

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def cut(self) -> int:
        """Closes every live link; returns how many there were."""
        with self.lock:
            count = self.live()
            self._close(*self.pairs)
            return count

    def refuse(self) -> None:
        with self.lock:
            self.refusing = True

    def accept(self) -> None:
        with self.lock:
            self.refusing = False

    def freeze(self) -> None:
        with self.lock:
            self.frozen = True
            for sock in self.pairs:
                self.selector.unregister(sock)

    def thaw(self) -> None:
        with self.lock:
            self.frozen = False
            for sock in self.pairs:
                self.selector.register(sock, selectors.EVENT_READ)

    def sent(self, link: int = -1) -> list[tuple[float, int]]:
        """(time, packet type) of each MQTT packet the client sent on a link (-1: the last)."""
        with self.lock:
            return list(self.links[link].packets) if self.links else []

    def live(self) -> int:
        with self.lock:
            return len(self.pairs) // 2

    def _close(self, *sockets: socket.socket) -> None:
        for sock in list(sockets):
            self.pairs.pop(sock, None)
            self.taps.pop(sock, None)
            try:
                self.selector.unregister(sock)
            except (KeyError, ValueError):
                pass
            sock.close()

    def _run(self) -> None:
        while self.running:
            events = self.selector.select(timeout=0.05)
            with self.lock:
                for key, _ in events:
                    if key.fileobj is self.listener:
                        self._on_accept()
                    elif key.fileobj in self.pairs:
                        self._forward(key.fileobj)

    def _on_accept(self) -> None:
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        try:
            if self.refusing or self.live() >= self.MAX_CONNECTIONS:
                raise ConnectionRefusedError
            upstream = socket.create_connection(self.target, timeout=self.IO_TIMEOUT)
        except OSError:
            return conn.close()
        conn.settimeout(self.IO_TIMEOUT)  # bounds sendall to a peer that stops reading
        for sock in (conn, upstream):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if not self.frozen:
                self.selector.register(sock, selectors.EVENT_READ)
        self.pairs[conn], self.pairs[upstream] = upstream, conn
        if self.record:
            self.taps[conn] = _Tap()
            self.links.append(self.taps[conn])
        self.accepted += 1

    def _forward(self, sock: socket.socket) -> None:
        peer = self.pairs[sock]
        try:
            if data := sock.recv(65536):
                if sock in self.taps:
                    self.taps[sock].feed(data)
                return peer.sendall(data)
        except OSError:
            pass
        self._close(sock, peer)

    def __enter__(self) -> "Proxy":
        self.listener.setblocking(False)
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.running = False
        self.thread.join(timeout=self.IO_TIMEOUT)
        assert not self.thread.is_alive(), "proxy thread did not end"
        with self.lock:
            self._close(*self.pairs, self.listener)
        self.selector.close()


class _Tap:
    """Splits one direction of an MQTT stream into packets, noting each one's type; a
    packet's body is skipped as it passes, not kept."""
    LIMIT = 100_000  # packets kept per link

    def __init__(self):
        self.header, self.skip, self.packets = bytearray(), 0, []

    def feed(self, data: bytes) -> None:
        at = 0
        while at < len(data):
            if self.skip:
                step = min(self.skip, len(data) - at)
                self.skip, at = self.skip - step, at + step
                continue
            self.header.append(data[at])
            at += 1
            if len(self.header) >= 2 and not self.header[-1] & 0x80 or len(self.header) == 5:
                size = sum((b & 0x7F) << (7 * i) for i, b in enumerate(self.header[1:]))
                if len(self.packets) < self.LIMIT:
                    self.packets.append((time.monotonic(), self.header[0] >> 4))
                self.header, self.skip = bytearray(), size
