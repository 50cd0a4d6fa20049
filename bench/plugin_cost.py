#!/usr/bin/env python3
"""What the broker's unsealing plugin costs per CONNECT, in microseconds.

    .venv/bin/python bench/plugin_cost.py [--count N]

Starts a private mosquitto with the tarnu_unseal plugin (built by `make plugin`) and
times, for each kind of password, N CONNECTs on fresh TCP connections from the CONNECT
packet's sending to the CONNACK's arrival, in alternating order. The kinds: a plain
password (refused before any work, the baseline of a connection's own cost), a
misshapen sealed text (refused by the shape check), a well-shaped text that does not
open (one RSA-OAEP decryption), and a valid sealed text (RSA, AES-GCM and the password
file's PBKDF2). The medians minus the baseline are what the plugin adds.
"""
from __future__ import annotations

import argparse
import socket
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from brokers import Broker  # noqa: E402
from support import connect_packet, read_packet  # noqa: E402

PLUGIN = ROOT / "build" / "broker" / "tarnu_unseal.so"
PRIVATE_KEY = ROOT / "tests" / "keys" / "development-only.private.jwk"
PUBLIC_KEY = ROOT / "keys" / "development-only.public.jwk"
USER, PASSWORD = "alice", "wonderland"
HEADER = "eyJhbGciOiJSU0EtT0FFUCIsImVuYyI6IkEyNTZHQ00ifQ"  # {"alg":"RSA-OAEP","enc":"A256GCM"}


def sealed(password: str) -> str:
    from jwcrypto import jwe, jwk

    key = jwk.JWK.from_json(PUBLIC_KEY.read_text())
    token = jwe.JWE(password.encode(), protected={"alg": "RSA-OAEP", "enc": "A256GCM"})
    token.add_recipient(key)
    return token.serialize(compact=True)


KINDS = {
    "plain, refused": PASSWORD,
    "misshapen": f"{HEADER}.{'A' * 341}.{'A' * 16}.AAAA.{'A' * 22}",  # 255-byte key
    "well shaped, does not open": f"{HEADER}.{'A' * 342}.{'A' * 16}.AAAA.{'A' * 22}",
    "valid": "",  # made at start
}


def one(port: int, password: str) -> tuple[float, int]:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        packet = connect_packet(USER.encode(), password.encode())
        started = time.perf_counter()
        conn.sendall(packet)
        first, body = read_packet(conn)
        took = time.perf_counter() - started
    return took, body[1] if first == 0x20 else -1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=400)
    args = parser.parse_args()
    KINDS["valid"] = sealed(PASSWORD)
    plugin = [f"plugin {PLUGIN}", f"plugin_opt_private_key {PRIVATE_KEY}",
              "plugin_opt_allow_plain false"]
    times: dict[str, list[float]] = {kind: [] for kind in KINDS}
    with Broker(users={USER: PASSWORD}, plugin=plugin) as broker:
        for _ in range(20):  # warm-up
            one(broker.port, KINDS["valid"])
        for _ in range(args.count):
            for kind, password in KINDS.items():
                took, code = one(broker.port, password)
                if code != (0 if kind == "valid" else 5):
                    print(f"{kind}: unexpected CONNACK code {code}", file=sys.stderr)
                    return 1
                times[kind].append(took)
    base = statistics.median(times["plain, refused"])
    print(f"CONNECT to CONNACK, median of {args.count} each (µs); plugin's share = minus the plain refusal")
    for kind, values in times.items():
        median = statistics.median(values)
        print(f"  {kind:28s} {median * 1e6:8.0f}   plugin's share {max(median - base, 0) * 1e6:7.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
