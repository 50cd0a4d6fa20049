"""A broker that announces a huge packet and then trickles it, a byte at a time: the library
takes each byte as progress and would wait for ever; the client counts the connection lost
once its PINGREQ has gone unanswered for 1.5 x keepAlive + 1 s, and reconnects."""
from __future__ import annotations

import socket
import threading
import time

import pytest

from support import Recorder, read_packet, wait_until

pytestmark = pytest.mark.timeout(120, method="thread")


class TricklingBroker:
    """Accepts each CONNECT, then sends a PUBLISH header announcing 256 MiB and two bytes
    of it a second; records when each connection began and the packets it received."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = f"127.0.0.1:{self.listener.getsockname()[1]}"
        self.sessions, self.stop = [], threading.Event()

    def serve(self):
        self.listener.settimeout(0.1)
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return  # closed by __exit__
            threading.Thread(target=self.session, args=(conn,), daemon=True).start()

    def session(self, conn):
        received, started = [], time.monotonic()
        self.sessions.append((started, received))
        conn.settimeout(0.2)
        try:
            first, _ = read_packet(conn)
            received.append(first >> 4)
            conn.sendall(b"\x20\x02\x00\x00")
            conn.sendall(b"\x30\xff\xff\xff\x7f")  # PUBLISH, 268,435,455 bytes to come
            deadline = started + 60
            while not self.stop.is_set() and time.monotonic() < deadline:
                conn.sendall(b"\x00\x01" if len(received) == 1 else b"ab")
                try:
                    first, _ = read_packet(conn)  # PINGREQ, nothing else
                    received.append(first >> 4)
                except TimeoutError:
                    pass
                time.sleep(0.3)
        except (OSError, ConnectionError):
            pass
        finally:
            conn.close()

    def __enter__(self):
        threading.Thread(target=self.serve, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.listener.close()


def test_a_trickled_packet_ends_in_a_connection_loss_and_a_reconnection(make_client, capfd):
    keepalive = 1
    with TricklingBroker() as broker:
        conn = Recorder()
        client = make_client(broker.address, keepAlive=keepalive)
        client.on_connection(conn)
        started = time.monotonic()
        assert client.connect() is True
        assert wait_until(lambda: (False, -1) in conn.snapshot(), timeout=15), conn.snapshot()
        lost_after = conn.times[conn.snapshot().index((False, -1))] - started
        # The PINGREQ went out, stayed unanswered behind the trickle, and the link was
        # given up within the bound (plus the watch's tenth of a second).
        assert 12 in broker.sessions[0][1]
        assert 1.5 * keepalive + 1 <= lost_after <= keepalive + 1.5 * keepalive + 1 + 1.0
        assert wait_until(lambda: conn.snapshot().count((True, 0)) >= 2, timeout=10)
        assert len(broker.sessions) >= 2
        client.stop()
    with capfd.disabled():
        print(f"\n[trickle] keepAlive {keepalive} s: loss reported {lost_after:.2f} s after"
              " the connect, the reconnection followed")
