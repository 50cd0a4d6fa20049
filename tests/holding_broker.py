"""A raw broker on a free loopback port that holds acknowledgements back, for tests that
must see several publishes of one client in flight at once. It accepts every CONNECT,
answers PINGREQ, UNSUBSCRIBE and PUBREL, and records every PUBLISH; what it answers
late:

- the PUBACK (QoS 1) or PUBREC (QoS 2) of each publish is held while `holding`: with
  `until=N`, until N are held at once on a connection, and then all of them are
  answered (with `once`, every later publish is then answered as it comes); without,
  until `release()`. `acked(payload)` names publishes answered at once all the same;
- with `hold_subscribes`, each SUBACK is held until `release_subscribes()`.

`drop()` ends every connection as a crashed broker would. Connections are served one
thread each, for at most LIFETIME seconds; only 127.0.0.1."""
from __future__ import annotations

import contextlib
import select
import socket
import struct
import threading
import time
from dataclasses import dataclass
from typing import Callable

from support import packet, read_packet

LIFETIME = 100.0


@dataclass(frozen=True)
class Publish:
    connection: int  # 1 for the first connection the broker accepted
    msgid: int  # 0 at QoS 0
    qos: int
    topic: str
    payload: bytes
    dup: bool


class HoldingBroker:
    def __init__(self, until: int | None = None, once: bool = False,
                 acked: Callable[[bytes], bool] | None = None, hold_subscribes: bool = False):
        self.until, self.once, self.acked = until, once, acked
        self.holding, self.holding_subscribes = True, hold_subscribes
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = f"127.0.0.1:{self.listener.getsockname()[1]}"
        self.port = self.listener.getsockname()[1]
        self.cond = threading.Condition(threading.RLock())  # guards all below and the sends
        self.connections = 0
        self.live: dict[int, socket.socket] = {}
        self.publishes: list[Publish] = []
        self.held: dict[tuple[int, int], Publish] = {}  # (connection, msgid) -> its PUBLISH
        self.held_subscribes: list[tuple[int, bytes]] = []  # (connection, SUBACK)
        self.subscribes = 0
        self.peak = 0  # the most publishes held at once on one connection
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept, name="holding-broker", daemon=True)

    # --- what a test reads and does -------------------------------------------------

    def held_count(self) -> int:
        with self.cond:
            return len(self.held)

    def held_publishes(self) -> list[Publish]:
        with self.cond:
            return list(self.held.values())

    def payloads(self, qos: int | None = None) -> list[bytes]:
        with self.cond:
            return [p.payload for p in self.publishes if qos is None or p.qos == qos]

    def wait_for(self, predicate: Callable[[], bool], timeout: float = 5.0) -> bool:
        """Waits, at most `timeout` s, until predicate() (called with the lock held)."""
        with self.cond:
            return self.cond.wait_for(predicate, timeout)

    def wait_held(self, count: int, timeout: float = 5.0) -> bool:
        return self.wait_for(lambda: len(self.held) >= count, timeout)

    def release(self) -> None:
        """Answers every held publish, and from now on every publish as it comes."""
        with self.cond:
            self.holding = False
            self._answer_held()

    def hold(self) -> None:
        """Holds the acknowledgements of publishes from now on again."""
        with self.cond:
            self.holding = True

    def release_subscribes(self) -> None:
        with self.cond:
            self.holding_subscribes = False
            held, self.held_subscribes = self.held_subscribes, []
            for connection, suback in held:
                self._send(connection, suback)

    def drop(self) -> int:
        """Ends every live connection without a word; returns how many there were."""
        with self.cond:
            live = list(self.live.values())
        for conn in live:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
        return len(live)

    # --- serving ------------------------------------------------------------------

    def _accept(self) -> None:
        self.listener.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            with self.cond:
                self.connections += 1
                number = self.connections
            threading.Thread(target=self._serve, args=(conn, number), daemon=True).start()

    def _serve(self, conn: socket.socket, number: int) -> None:
        deadline = time.monotonic() + LIFETIME
        conn.settimeout(5)
        try:
            with conn:
                if read_packet(conn)[0] >> 4 != 1:
                    return
                with self.cond:
                    self.live[number] = conn
                    conn.sendall(b"\x20\x02\x00\x00")
                while not self.stopping.is_set() and time.monotonic() < deadline:
                    if select.select([conn], [], [], 0.05)[0] and not self._answer(number, conn):
                        return
        except OSError:  # ConnectionError, timeouts: the client went away, or drop()
            pass
        finally:
            with self.cond:
                self.live.pop(number, None)
                self.held = {key: p for key, p in self.held.items() if key[0] != number}
                self.held_subscribes = [s for s in self.held_subscribes if s[0] != number]
                self.cond.notify_all()

    def _answer(self, number: int, conn: socket.socket) -> bool:
        first, body = read_packet(conn)
        kind = first >> 4
        with self.cond:
            if kind == 3:
                self._on_publish(number, first, body)
            elif kind == 6:  # PUBREL
                conn.sendall(packet(0x70, body[:2]))
            elif kind == 8:  # SUBSCRIBE: grant what was asked
                self.subscribes += 1
                suback = packet(0x90, body[:2] + bytes([body[-1] & 3]))
                if self.holding_subscribes:
                    self.held_subscribes.append((number, suback))
                else:
                    conn.sendall(suback)
            elif kind == 10:  # UNSUBSCRIBE
                conn.sendall(packet(0xB0, body[:2]))
            elif kind == 12:  # PINGREQ
                conn.sendall(b"\xd0\x00")
            elif kind == 14:  # DISCONNECT
                return False
            self.cond.notify_all()
        return True

    def _on_publish(self, number: int, first: int, body: bytes) -> None:
        size = struct.unpack_from("!H", body)[0]
        topic, rest, qos = body[2:2 + size].decode(), body[2 + size:], (first >> 1) & 3
        msgid = struct.unpack_from("!H", rest)[0] if qos else 0
        publish = Publish(number, msgid, qos, topic, rest[2:] if qos else rest, bool(first & 8))
        self.publishes.append(publish)
        if not qos:
            return
        if not self.holding or (self.acked is not None and self.acked(publish.payload)):
            return self._acknowledge(publish)
        self.held[(number, msgid)] = publish  # a DUP of a held message replaces it
        on_connection = sum(1 for key in self.held if key[0] == number)
        self.peak = max(self.peak, on_connection)
        if self.until is not None and on_connection >= self.until:
            if self.once:
                self.holding = False
            self._answer_held()

    def _answer_held(self) -> None:
        held, self.held = self.held, {}
        for publish in held.values():  # in the order they came
            self._acknowledge(publish)

    def _acknowledge(self, publish: Publish) -> None:
        self._send(publish.connection,
                   packet(0x40 if publish.qos == 1 else 0x50, struct.pack("!H", publish.msgid)))

    def _send(self, number: int, data: bytes) -> None:
        conn = self.live.get(number)
        if conn is not None:
            with contextlib.suppress(OSError):
                conn.sendall(data)

    def __enter__(self) -> "HoldingBroker":
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.thread.join(5)
        self.listener.close()
