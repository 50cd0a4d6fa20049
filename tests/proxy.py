"""A loopback TCP forwarder in front of a broker, for fault injection: `cut()` closes every
live link (the broker keeps the session, the client sees its link drop); `refuse()` accepts
and closes new connections (TCP connect succeeds, MQTT CONNECT fails) until `accept()`.
One thread forwards; the methods take its lock, so they are done when they return."""
from __future__ import annotations

import selectors
import socket
import threading


class Proxy:
    MAX_CONNECTIONS, IO_TIMEOUT = 32, 5.0

    def __init__(self, target_port: int):
        self.target, self.accepted = ("127.0.0.1", target_port), 0
        self.refusing = False
        self.pairs: dict[socket.socket, socket.socket] = {}
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

    def live(self) -> int:
        with self.lock:
            return len(self.pairs) // 2

    def _close(self, *sockets: socket.socket) -> None:
        for sock in list(sockets):
            self.pairs.pop(sock, None)
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
            self.selector.register(sock, selectors.EVENT_READ)
        self.pairs[conn], self.pairs[upstream] = upstream, conn
        self.accepted += 1

    def _forward(self, sock: socket.socket) -> None:
        peer = self.pairs[sock]
        try:
            if data := sock.recv(65536):
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
