"""A loopback TCP forwarder in front of a broker, for fault injection: `cut()` closes every
live link (the broker keeps the session, the client sees its link drop); `refuse()` accepts
and closes new connections (TCP connect succeeds, MQTT CONNECT fails) until `accept()`;
`freeze()` stops forwarding in both directions on every link, new ones included, while
keeping every socket open (a middlebox that went silent), until `thaw()`.
With `delay` (seconds), every chunk read from either side is held that long before it is
written to the other, in order per direction (a link with a round trip of twice `delay`);
the end of a stream follows its last bytes after the same delay. Links and directions do
not hold each other up: the one thread keeps the delayed chunks in a heap by due time and
writes without blocking; a direction with more than BACKLOG bytes on the way is not read
until the other side has taken some (as TCP would push back). A frozen link holds its
delayed chunks until it is thawed.
It records the type of each MQTT packet the clients send (`sent(link)`), per link in the
order the links were accepted, unless `record` is cleared (a long run of many links would
otherwise hold their records in the test's own memory). One thread forwards; the methods
take its lock, so they are done when they return."""
from __future__ import annotations

import heapq
import itertools
import selectors
import socket
import threading
import time

READ, WRITE = selectors.EVENT_READ, selectors.EVENT_WRITE


class Proxy:
    MAX_CONNECTIONS, IO_TIMEOUT = 32, 5.0
    BACKLOG = 4 << 20  # delayed bytes on the way to one socket before its source waits

    def __init__(self, target_port: int, delay: float = 0.0):
        self.target, self.accepted = ("127.0.0.1", target_port), 0
        self.delay = delay
        self.refusing = self.frozen = False
        self.record = True
        self.pairs: dict[socket.socket, socket.socket] = {}
        self.taps: dict[socket.socket, _Tap] = {}  # client side of each link
        self.links: list[_Tap] = []
        # The delay: (due time, order, destination, chunk or None for the end of the
        # stream), the bytes due and not yet taken by each destination, the bytes on the
        # way to it, sources whose end was read, destinations to close once written.
        self.due: list[tuple[float, int, socket.socket, bytes | None]] = []
        self.order = itertools.count()
        self.outbox: dict[socket.socket, bytearray] = {}
        self.backlog: dict[socket.socket, int] = {}
        self.ended: set[socket.socket] = set()
        self.closing: set[socket.socket] = set()
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
                self._watch(sock)

    def thaw(self) -> None:
        with self.lock:
            self.frozen = False
            for sock in self.pairs:
                self._watch(sock)

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
            self.outbox.pop(sock, None)
            self.backlog.pop(sock, None)
            self.ended.discard(sock)
            self.closing.discard(sock)
            try:
                self.selector.unregister(sock)
            except (KeyError, ValueError):
                pass
            sock.close()

    def _watch(self, sock: socket.socket) -> None:
        """Registers `sock` for what it waits for now: reading unless frozen, ended or its
        destination's backlog is full; writing while delayed bytes wait for its socket."""
        events = 0
        if not self.frozen:
            if sock not in self.ended and self.backlog.get(self.pairs[sock], 0) < self.BACKLOG:
                events |= READ
            if self.outbox.get(sock):
                events |= WRITE
        try:
            current = self.selector.get_key(sock).events
        except KeyError:
            current = 0
        if events == current:
            return
        if not events:
            self.selector.unregister(sock)
        elif not current:
            self.selector.register(sock, events)
        else:
            self.selector.modify(sock, events)

    def _wait(self) -> float:
        with self.lock:
            if self.due and not self.frozen:
                return min(0.05, max(self.due[0][0] - time.monotonic(), 0.0))
            return 0.05

    def _run(self) -> None:
        while self.running:
            events = self.selector.select(timeout=self._wait())
            with self.lock:
                for key, mask in events:
                    if key.fileobj is self.listener:
                        self._on_accept()
                        continue
                    if mask & WRITE and key.fileobj in self.pairs:
                        self._send(key.fileobj)
                    if mask & READ and key.fileobj in self.pairs:
                        self._forward(key.fileobj)
                if self.due and not self.frozen:
                    self._release_due()

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
        if self.delay:
            for sock in (conn, upstream):
                sock.setblocking(False)  # written from the heap only as far as it takes
        else:
            conn.settimeout(self.IO_TIMEOUT)  # bounds sendall to a peer that stops reading
        self.pairs[conn], self.pairs[upstream] = upstream, conn
        for sock in (conn, upstream):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._watch(sock)
        if self.record:
            self.taps[conn] = _Tap()
            self.links.append(self.taps[conn])
        self.accepted += 1

    def _forward(self, sock: socket.socket) -> None:
        peer = self.pairs[sock]
        if self.delay:
            return self._forward_later(sock, peer)
        try:
            if data := sock.recv(65536):
                if sock in self.taps:
                    self.taps[sock].feed(data)
                return peer.sendall(data)
        except OSError:
            pass
        self._close(sock, peer)

    def _forward_later(self, sock: socket.socket, peer: socket.socket) -> None:
        try:
            data = sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if data and sock in self.taps:
            self.taps[sock].feed(data)
        heapq.heappush(self.due, (time.monotonic() + self.delay, next(self.order), peer,
                                  data or None))
        if data:
            self.backlog[peer] = self.backlog.get(peer, 0) + len(data)
        else:
            self.ended.add(sock)  # its end goes to the peer after the bytes before it
        self._watch(sock)

    def _release_due(self) -> None:
        now = time.monotonic()
        while self.due and self.due[0][0] <= now:
            _, _, dest, data = heapq.heappop(self.due)
            if dest not in self.pairs:
                continue  # its link was cut or ended meanwhile
            if data is None:
                self.closing.add(dest)
            else:
                self.outbox.setdefault(dest, bytearray()).extend(data)
            self._send(dest)

    def _send(self, dest: socket.socket) -> None:
        box = self.outbox.get(dest)
        try:
            if box:
                taken = dest.send(box)
                del box[:taken]
                self.backlog[dest] -= taken
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            return self._close(dest, self.pairs[dest])
        if not box and dest in self.closing:
            return self._close(dest, self.pairs[dest])
        self._watch(dest)
        self._watch(self.pairs[dest])  # its source may be read again

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
