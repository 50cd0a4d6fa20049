"""A loopback TCP forwarding proxy for fault injection (stdlib only).

The client connects to the proxy; the proxy opens one broker connection per
client connection and copies bytes both ways. The test can cut every live
connection (the broker sees its client go and keeps the session, the client sees
its link drop) and refuse new connections for a while:

  * "close":    accept and close at once (TCP connect succeeds, MQTT CONNECT fails);
  * "unlisten": close the listening socket, so connects are refused (ECONNREFUSED);
                `accept()` listens again on the same port.

One thread runs everything with a selector; the public methods hand it a command
and wait until it has been carried out, so after `cut()` returns every connection
is closed. It is bounded (connection count, blocking timeouts) and `close()` ends
the thread and every socket.
"""
from __future__ import annotations

import queue
import selectors
import socket
import struct
import threading
import time


class Proxy:
    MAX_CONNECTIONS = 32
    IO_TIMEOUT = 5.0

    def __init__(self, target_port: int, target_host: str = "127.0.0.1"):
        self.target = (target_host, target_port)
        self.port = 0
        self.accepted = 0  # connections forwarded to the broker
        self.refused = 0  # connections turned away ("close" mode)
        self.refusing: str | None = None
        self._pairs: dict[socket.socket, socket.socket] = {}
        self._listener: socket.socket | None = None
        self._commands: queue.Queue = queue.Queue()
        self._wake_r, self._wake_w = socket.socketpair()
        self._selector = selectors.DefaultSelector()
        self._thread: threading.Thread | None = None
        self._stopping = False

    @property
    def address(self) -> str:
        """The brokerHost argument of SDK.init."""
        return f"127.0.0.1:{self.port}"

    # ---- public API (any thread) ----

    def start(self) -> "Proxy":
        self._listen()
        self._selector.register(self._wake_r, selectors.EVENT_READ, "wake")
        self._thread = threading.Thread(target=self._run, name="fault-proxy", daemon=True)
        self._thread.start()
        return self

    def cut(self, reset: bool = False) -> int:
        """Closes every live connection (both sides); returns how many there were.
        With `reset`, the client side gets an RST instead of a FIN."""
        return self._call("cut", reset)

    def refuse(self, mode: str = "close") -> None:
        """Turns away new connections until `accept()`; live ones are kept."""
        assert mode in ("close", "unlisten"), mode
        self._call("refuse", mode)

    def accept(self) -> None:
        """Forwards new connections again."""
        self._call("accept", None)

    def live(self) -> int:
        return self._call("live", None)

    def close(self) -> None:
        if self._thread is None:
            return
        if self._thread.is_alive():
            self._stopping = True
            self._wake()
            self._thread.join(timeout=self.IO_TIMEOUT)
        assert not self._thread.is_alive(), "proxy thread did not end"
        self._thread = None
        self._shutdown_sockets()

    def __enter__(self) -> "Proxy":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- internals (proxy thread, except _listen during start) ----

    def _call(self, name, arg):
        if self._thread is None or not self._thread.is_alive():
            raise RuntimeError("proxy is not running")
        done: queue.Queue = queue.Queue(maxsize=1)
        self._commands.put((name, arg, done))
        self._wake()
        ok, result = done.get(timeout=self.IO_TIMEOUT)
        if not ok:
            raise result
        return result

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _listen(self) -> None:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        deadline = time.monotonic() + self.IO_TIMEOUT
        while True:
            try:
                s.bind(("127.0.0.1", self.port))
                break
            except OSError:
                if self.port == 0 or time.monotonic() > deadline:
                    s.close()
                    raise
                time.sleep(0.02)
        s.listen(16)
        s.setblocking(False)
        self.port = s.getsockname()[1]
        self._listener = s

    def _unlisten(self) -> None:
        if self._listener is not None:
            self._selector.unregister(self._listener)
            self._listener.close()
            self._listener = None

    def _run(self) -> None:
        if self._listener is not None:
            self._selector.register(self._listener, selectors.EVENT_READ, "listen")
        while not self._stopping:
            for key, _ in self._selector.select(timeout=0.5):
                if key.data == "wake":
                    self._wake_r.recv(4096)
                    self._commands_run()
                elif key.data == "listen":
                    self._on_accept()
                elif key.fileobj in self._pairs:
                    self._on_data(key.fileobj)

    def _commands_run(self) -> None:
        while True:
            try:
                name, arg, done = self._commands.get_nowait()
            except queue.Empty:
                return
            try:
                result = None
                if name == "cut":
                    result = self._close_all(reset=arg)
                elif name == "refuse":
                    self.refusing = arg
                    if arg == "unlisten":
                        self._unlisten()
                elif name == "accept":
                    if self._listener is None:
                        self._listen()
                        self._selector.register(self._listener, selectors.EVENT_READ, "listen")
                    self.refusing = None
                elif name == "live":
                    result = len(self._pairs) // 2
                done.put((True, result))
            except Exception as error:  # handed to the caller
                done.put((False, error))

    def _on_accept(self) -> None:
        try:
            conn, _ = self._listener.accept()
        except OSError:
            return
        if self.refusing or len(self._pairs) // 2 >= self.MAX_CONNECTIONS:
            self.refused += 1
            conn.close()
            return
        try:
            upstream = socket.create_connection(self.target, timeout=self.IO_TIMEOUT)
        except OSError:
            self.refused += 1
            conn.close()
            return
        for s in (conn, upstream):
            s.settimeout(self.IO_TIMEOUT)  # bounds sendall to a peer that stops reading
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._pairs[conn] = upstream
        self._pairs[upstream] = conn
        self._selector.register(conn, selectors.EVENT_READ)
        self._selector.register(upstream, selectors.EVENT_READ)
        self.accepted += 1

    def _on_data(self, sock: socket.socket) -> None:
        peer = self._pairs[sock]
        try:
            data = sock.recv(65536)
            if data:
                peer.sendall(data)
                return
        except OSError:
            pass
        self._close_pair(sock)

    def _close_pair(self, sock: socket.socket, reset: bool = False) -> None:
        peer = self._pairs.pop(sock, None)
        for s in (sock, peer):
            if s is None:
                continue
            self._pairs.pop(s, None)
            try:
                self._selector.unregister(s)
            except (KeyError, ValueError):
                pass
            if reset:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()

    def _close_all(self, reset: bool = False) -> int:
        count = 0
        while self._pairs:
            sock = next(iter(self._pairs))
            self._close_pair(sock, reset=reset)
            count += 1
        return count

    def _shutdown_sockets(self) -> None:
        self._close_all()
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        self._selector.close()
        self._wake_r.close()
        self._wake_w.close()
