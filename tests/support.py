"""Helpers shared by the tests and the scripts they run in other interpreters: clients,
scripts, bounded waits, a recording handler, raw MQTT 3.1.1 packets."""
from __future__ import annotations

import itertools
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import tarnu_sdk

_ids = itertools.count()
# Under a sanitizer (scripts/sanitize.sh preloads its runtime) memory figures mean
# nothing: freed memory is held back on purpose.
SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))
CRASHES = ("Fatal Python error", "Segmentation", "Traceback", "Exception ignored", "terminate")


def new_client(address: str, **options) -> tarnu_sdk.SDK:
    """An initialised (not connected) client with a client id no other one uses."""
    client = tarnu_sdk.SDK()
    client.init(**{"clientId": f"tarnu-{os.getpid()}-{next(_ids)}-{time.monotonic_ns()}",
                   "brokerHost": address, "protocol": "tcp", "username": "", "password": "",
                   **options})
    return client


def run_python(code: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `code` in a new interpreter in this directory (its scripts import these
    modules); fails the test if it runs past `timeout` s or reports a crash."""
    done = subprocess.run([sys.executable, "-c", code, *args], cwd=Path(__file__).parent,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)
    assert not any(crash in done.stderr for crash in CRASHES), done.stderr
    return done


def census() -> tuple[int, int, int]:
    """This process's threads, open descriptors and resident memory (KiB)."""
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), rss


def wait_until(predicate, timeout: float = 5.0, interval: float = 0.01) -> bool:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)
    return True


class Recorder:
    """A handler that records its calls with their time and thread; `on_call` runs after."""

    def __init__(self, on_call=None):
        self.calls, self.times, self.idents = [], [], []
        self.lock, self.on_call = threading.Lock(), on_call

    def __call__(self, *args):
        with self.lock:
            self.calls.append(args)
            self.times.append(time.monotonic())
            self.idents.append(threading.get_ident())
        if self.on_call:
            self.on_call(*args)

    def snapshot(self) -> list:
        with self.lock:
            return list(self.calls)

    def wait_for(self, count: int, timeout: float = 5.0) -> bool:
        return wait_until(lambda: len(self.snapshot()) >= count, timeout)


def field(data: bytes) -> bytes:
    return struct.pack("!H", len(data)) + data


def packet(first: int, body: bytes) -> bytes:
    length, size = b"", len(body)
    while True:
        size, digit = divmod(size, 128)
        length += bytes([digit | (0x80 if size else 0)])
        if not size:
            return bytes([first]) + length + body


def connect_packet(username: bytes | None = None, password: bytes | None = None) -> bytes:
    flags = 0x02 | (0x80 if username is not None else 0) | (0x40 if password is not None else 0)
    body = field(b"MQTT") + bytes([4, flags, 0, 60]) + field(uuid.uuid4().hex.encode())
    return packet(0x10, body + b"".join(field(f) for f in (username, password) if f is not None))


def read_packet(sock: socket.socket) -> tuple[int, bytes]:
    """(first byte, body) of the next packet; ConnectionError at the end of the stream."""
    def exactly(count: int) -> bytes:
        data = b""
        while len(data) < count:
            if not (chunk := sock.recv(count - len(data))):
                raise ConnectionError("closed by the peer")
            data += chunk
        return data

    first, size, shift = exactly(1)[0], 0, 0
    while (digit := exactly(1)[0]) & 0x80:
        size, shift = size + ((digit & 0x7F) << shift), shift + 7
    return first, exactly(size + (digit << shift))


def raw_connect(port: int, username: bytes | None, password: bytes | None) -> int | None:
    """The CONNACK code a broker gives one hand-made CONNECT, or None if it gives none."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.sendall(connect_packet(username, password))
        try:
            first, body = read_packet(conn)
        except ConnectionError:
            return None
        return body[1] if first == 0x20 else None


class RawSubscriber:
    """A bare subscriber (QoS 2) on a socket: sees each message as it came over the wire."""

    def __init__(self, port: int, topic_filter: str):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.sendall(connect_packet())
        assert read_packet(self.sock) == (0x20, b"\x00\x00")
        self.sock.sendall(packet(0x82, b"\x00\x01" + field(topic_filter.encode()) + b"\x02"))
        assert read_packet(self.sock)[0] == 0x90

    def messages(self, count: int, timeout: float = 5.0) -> list[tuple[bytes, bytes, int, bool]]:
        """The next `count` messages as (topic, payload, QoS, retain), fewer if `timeout` passes."""
        found, deadline = [], time.monotonic() + timeout
        while len(found) < count and (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                first, body = read_packet(self.sock)
            except TimeoutError:
                break
            qos = (first >> 1) & 3
            if first >> 4 == 6:  # PUBREL: answer PUBCOMP
                self.sock.sendall(packet(0x70, body[:2]))
            elif first >> 4 == 3:
                size = struct.unpack_from("!H", body)[0]
                rest = body[2 + size:]
                if qos:  # PUBACK or PUBREC
                    self.sock.sendall(packet(0x40 if qos == 1 else 0x50, rest[:2]))
                found.append((body[2:2 + size], rest[2:] if qos else rest, qos, bool(first & 1)))
        return found

    def close(self) -> None:
        self.sock.close()
