"""A raw broker on a free loopback port that answers the first connection's CONNECT and
then sends it `hostile` bytes (garbage, malformed or out-of-place packets), then closes it
if `close` is set; every later
connection is served correctly: CONNACK, PINGRESP, SUBACK, UNSUBACK, PUBACK, and a
message published to "echo" comes back to the client as a QoS 0 PUBLISH on "echo"."""
from __future__ import annotations

import select
import socket
import struct
import threading
import time

from support import packet, read_packet

LIFETIME = 60.0


class HostileBroker:
    def __init__(self, hostile: bytes, pause: float = 0.0, close: bool = False):
        self.hostile, self.pause, self.close = hostile, pause, close
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = f"127.0.0.1:{self.listener.getsockname()[1]}"
        self.connections = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)

    def _accept(self) -> None:
        self.listener.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            self.connections += 1
            threading.Thread(target=self._serve, args=(conn, self.connections == 1),
                             daemon=True).start()

    def _serve(self, conn: socket.socket, first: bool) -> None:
        deadline = time.monotonic() + LIFETIME
        conn.settimeout(5)
        try:
            with conn:
                if read_packet(conn)[0] >> 4 != 1:
                    return
                conn.sendall(b"\x20\x02\x00\x00")
                if first:
                    self._send_hostile(conn)
                    if self.close:
                        return
                while not self.stopping.is_set() and time.monotonic() < deadline:
                    if select.select([conn], [], [], 0.05)[0] and not self._answer(conn):
                        return
        except OSError:  # ConnectionError, timeouts: the client went away
            pass

    def _send_hostile(self, conn: socket.socket) -> None:
        if not self.pause:
            return conn.sendall(self.hostile)
        for byte in self.hostile:  # trickled
            conn.sendall(bytes([byte]))
            time.sleep(self.pause)

    @staticmethod
    def _answer(conn: socket.socket) -> bool:
        first, body = read_packet(conn)
        kind = first >> 4
        if kind == 8:  # SUBSCRIBE: grant what was asked
            conn.sendall(packet(0x90, body[:2] + bytes([body[-1] & 3])))
        elif kind == 10:  # UNSUBSCRIBE
            conn.sendall(packet(0xB0, body[:2]))
        elif kind == 12:  # PINGREQ
            conn.sendall(b"\xd0\x00")
        elif kind == 3:  # PUBLISH
            size = struct.unpack_from("!H", body)[0]
            topic, rest, qos = body[2:2 + size], body[2 + size:], (first >> 1) & 3
            if qos == 1:
                conn.sendall(packet(0x40, rest[:2]))
            elif qos == 2:
                conn.sendall(packet(0x50, rest[:2]))
            if topic == b"echo":
                conn.sendall(packet(0x30, body[:2 + size] + (rest[2:] if qos else rest)))
        elif kind == 6:  # PUBREL
            conn.sendall(packet(0x70, body[:2]))
        elif kind == 14:  # DISCONNECT
            return False
        return True

    def __enter__(self) -> "HostileBroker":
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.thread.join(5)
        self.listener.close()
