"""Raw MQTT 3.1.1 packets, for the tests that must see or send what goes on the wire.

CaptureBroker: a fake broker on a free loopback port that records the password of
every CONNECT and accepts it (CONNACK 0), answers PINGREQ, and can drop the
connection as a crashed broker would. raw_connect: one hand-made CONNECT to a real
broker, and its answer.
"""
from __future__ import annotations

import socket
import struct
import threading
import time

from support import wait_until

LIFETIME = 60.0  # seconds: the server thread ends by then whatever happens


def _field(data: bytes) -> bytes:
    return struct.pack("!H", len(data)) + data


def connect_packet(username: bytes | None, password: bytes | None) -> bytes:
    flags = 0x02 | (0x80 if username is not None else 0) | (0x40 if password is not None else 0)
    body = _field(b"MQTT") + bytes([4, flags]) + struct.pack("!H", 30) + _field(b"tarnu-raw")
    body += b"".join(_field(f) for f in (username, password) if f is not None)
    length, size = b"", len(body)
    while True:
        size, digit = divmod(size, 128)
        length += bytes([digit | (0x80 if size else 0)])
        if not size:
            return b"\x10" + length + body


def _take_packet(buffer: bytearray) -> tuple[int, bytes] | None:
    """The first whole packet in `buffer` (type, body), removed from it."""
    size = 0
    for pos in range(1, min(len(buffer), 5)):
        size += (buffer[pos] & 0x7F) << 7 * (pos - 1)
        if not buffer[pos] & 0x80:
            if len(buffer) < pos + 1 + size:
                return None
            packet = buffer[0] >> 4, bytes(buffer[pos + 1:pos + 1 + size])
            del buffer[:pos + 1 + size]
            return packet
    return None


def password_of(connect: bytes) -> bytes | None:
    """The password field of a CONNECT body (None when it has none)."""
    pos = 2 + struct.unpack_from("!H", connect)[0] + 4  # protocol name, level, flags, keep-alive
    flags = connect[pos - 3]
    fields = []
    for present in (True, flags & 0x04, flags & 0x04, flags & 0x80, flags & 0x40):
        if not present:  # client id, will topic and message, user name, password
            fields.append(None)
            continue
        size = struct.unpack_from("!H", connect, pos)[0]
        fields.append(connect[pos + 2:pos + 2 + size])
        pos += 2 + size
    return fields[-1]


class CaptureBroker:
    def __init__(self) -> None:
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.05)
        self.address = f"127.0.0.1:{self.server.getsockname()[1]}"
        self.lock = threading.Lock()
        self.passwords: list[bytes | None] = []
        self.current: socket.socket | None = None
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def captured(self, count: int = 0, timeout: float = 10.0) -> list[bytes | None]:
        """The passwords so far, after waiting until there are `count` of them."""
        wait_until(lambda: len(self.passwords) >= count, timeout)
        with self.lock:
            return list(self.passwords)

    def drop(self) -> None:
        with self.lock:
            if self.current is not None:
                self.current.shutdown(socket.SHUT_RDWR)

    def _serve(self) -> None:
        deadline = time.monotonic() + LIFETIME
        while not self.stopping.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = self.server.accept()
            except TimeoutError:
                continue
            with self.lock:
                self.current = conn
            try:
                self._talk(conn, deadline)
            except OSError:
                pass
            finally:
                with self.lock:
                    self.current = None
                conn.close()

    def _talk(self, conn: socket.socket, deadline: float) -> None:
        conn.settimeout(0.05)
        buffer = bytearray()
        while not self.stopping.is_set() and time.monotonic() < deadline:
            try:
                data = conn.recv(65536)
            except TimeoutError:
                continue
            if not data:
                return
            buffer += data
            while (packet := _take_packet(buffer)) is not None:
                kind, body = packet
                if kind == 1:  # CONNECT
                    with self.lock:
                        self.passwords.append(password_of(body))
                    conn.sendall(b"\x20\x02\x00\x00")
                elif kind == 12:  # PINGREQ
                    conn.sendall(b"\xd0\x00")
                elif kind == 14:  # DISCONNECT
                    return

    def __enter__(self) -> "CaptureBroker":
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.thread.join(timeout=5)
        self.server.close()


def raw_connect(port: int, username: bytes | None, password: bytes | None) -> int | None:
    """The CONNACK return code a broker gives one CONNECT, or None if it gives none."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.sendall(connect_packet(username, password))
        answer = b""
        while len(answer) < 4 and (data := conn.recv(4 - len(answer))):
            answer += data
        return answer[3] if answer[:2] == b"\x20\x02" else None
