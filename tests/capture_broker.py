"""A fake broker on a free loopback port that records the password of every CONNECT and
accepts it, answers PINGREQ, and can drop the connection as a crashed broker would. It
serves one connection at a time, each for at most LIFETIME seconds."""
from __future__ import annotations

import contextlib
import select
import socket
import socketserver
import struct
import threading
import time

from support import read_packet, wait_until

LIFETIME = 60.0


def password_of(connect: bytes) -> bytes | None:
    pos = 2 + struct.unpack_from("!H", connect)[0] + 4  # protocol name, level, flags, keep-alive
    flags, value = connect[pos - 3], None
    for present in (True, flags & 0x04, flags & 0x04, flags & 0x80, flags & 0x40):
        value = None  # client id, will topic and message, user name, password
        if present:
            size = struct.unpack_from("!H", connect, pos)[0]
            value, pos = connect[pos + 2:pos + 2 + size], pos + 2 + size
    return value


class _Session(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        conn, server, deadline = self.request, self.server, time.monotonic() + LIFETIME
        server.current = conn
        conn.settimeout(5)
        try:
            while not server.stopping.is_set() and time.monotonic() < deadline:
                if not select.select([conn], [], [], 0.05)[0]:
                    continue
                kind, body = read_packet(conn)
                if kind >> 4 == 1:  # CONNECT
                    server.passwords.append(password_of(body))
                    conn.sendall(b"\x20\x02\x00\x00")
                elif kind >> 4 == 12:  # PINGREQ
                    conn.sendall(b"\xd0\x00")
                elif kind >> 4 == 14:  # DISCONNECT
                    return
        except OSError:
            pass
        finally:
            server.current = None


class CaptureBroker(socketserver.TCPServer):
    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Session)
        self.address = f"127.0.0.1:{self.server_address[1]}"
        self.passwords: list[bytes | None] = []
        self.current: socket.socket | None = None
        self.stopping = threading.Event()

    def captured(self, count: int = 0, timeout: float = 10.0) -> list[bytes | None]:
        """The passwords so far, after waiting until there are `count` of them."""
        wait_until(lambda: len(self.passwords) >= count, timeout)
        return list(self.passwords)

    def drop(self) -> None:
        with contextlib.suppress(AttributeError, OSError):  # no connection, or it just ended
            self.current.shutdown(socket.SHUT_RDWR)

    def __enter__(self) -> "CaptureBroker":
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.shutdown()
        self.server_close()
