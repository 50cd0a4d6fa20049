#!/usr/bin/env python3
"""The cost of sealing a password (Enterprise edition), in microseconds.

Times connect + disconnect of two clients against the same private mosquitto, one
with edition "Enterprise" (seals the password on every connect) and one with
"Community", in alternating rounds, and reports both medians and the difference.

    .venv/bin/python bench/seal_cost.py [--rounds N] [--unseal]

By default the broker takes any password, so the difference is the client's sealing
alone. With --unseal it runs the tarnu_unseal plugin (built by `make plugin`) with
plain passwords allowed, and the difference also holds the broker's unsealing.

The Paho library polls in steps of 100 ms inside connect and disconnect, so one
round takes about 0.3 to 0.4 s and the difference is small against it; as a check,
the same cjose calls that the client makes for one sealing are also timed on their
own (through ctypes, which adds a few microseconds of call overhead).
"""
import argparse
import ctypes
import ctypes.util
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from brokers import Broker  # noqa: E402

import tarnu_sdk  # noqa: E402

EDITIONS = ("Community", "Enterprise")
PASSWORD = "a password of usual length"


def measure(address: str, rounds: int, warmup: int) -> dict[str, list[float]]:
    clients = {}
    for edition in EDITIONS:
        client = tarnu_sdk.SDK()
        client.init(f"seal-cost-{edition}-{os.getpid()}", address, "tcp", "bench",
                    PASSWORD, edition=edition)
        clients[edition] = client
    times: dict[str, list[float]] = {edition: [] for edition in EDITIONS}
    for round_ in range(warmup + rounds):
        # Alternate the order so that drift and caching favour neither edition.
        for edition in EDITIONS if round_ % 2 else reversed(EDITIONS):
            client = clients[edition]
            start = time.perf_counter_ns()
            if not client.connect():
                raise SystemExit(f"{edition} client could not connect")
            client.disconnect()
            if round_ >= warmup:
                times[edition].append((time.perf_counter_ns() - start) / 1000)
    for client in clients.values():
        client.stop()
    return times


def cjose_sealings(rounds: int) -> list[float]:
    """Microseconds per sealing: key import, header, encryption, export, releases."""
    cjose, libc = ctypes.CDLL(ctypes.util.find_library("cjose")), ctypes.CDLL(None)
    ptr, text = ctypes.c_void_p, ctypes.c_char_p
    for name, result, args in (
        ("cjose_jwk_import", ptr, [text, ctypes.c_size_t, ptr]),
        ("cjose_header_new", ptr, [ptr]),
        ("cjose_header_set", ctypes.c_bool, [ptr, text, text, ptr]),
        ("cjose_jwe_encrypt", ptr, [ptr, ptr, text, ctypes.c_size_t, ptr]),
        ("cjose_jwe_export", ptr, [ptr, ptr]),
        ("cjose_jwe_release", None, [ptr]),
        ("cjose_header_release", ctypes.c_bool, [ptr]),
        ("cjose_jwk_release", ctypes.c_bool, [ptr]),
    ):
        getattr(cjose, name).restype, getattr(cjose, name).argtypes = result, args
    libc.free.argtypes = [ptr]
    key = (ROOT / "keys" / "development-only.public.jwk").read_bytes()
    password, error = PASSWORD.encode(), ctypes.create_string_buffer(64)
    times = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        jwk = cjose.cjose_jwk_import(key, len(key), error)
        header = cjose.cjose_header_new(error)
        cjose.cjose_header_set(header, b"alg", b"RSA-OAEP", error)
        cjose.cjose_header_set(header, b"enc", b"A256GCM", error)
        jwe = cjose.cjose_jwe_encrypt(jwk, header, password, len(password), error)
        compact = cjose.cjose_jwe_export(jwe, error)
        if not compact:
            raise SystemExit("cjose could not seal")
        libc.free(compact)
        cjose.cjose_jwe_release(jwe)
        cjose.cjose_header_release(header)
        cjose.cjose_jwk_release(jwk)
        times.append((time.perf_counter_ns() - start) / 1000)
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=300)
    parser.add_argument("--warmup", type=int, default=10)
    parser.add_argument("--unseal", action="store_true",
                        help="the broker unseals and checks passwords (tarnu_unseal plugin)")
    args = parser.parse_args()
    users, plugin = None, None
    if args.unseal:
        users = {"bench": PASSWORD}
        private_key = ROOT / "tests" / "keys" / "development-only.private.jwk"
        plugin = [f"plugin {ROOT / 'build' / 'broker' / 'tarnu_unseal.so'}",
                  f"plugin_opt_private_key {private_key}", "plugin_opt_allow_plain true"]
    with Broker(users=users, plugin=plugin) as broker:
        # The client's log lines go to fd 1; keep them out of the report.
        saved = os.dup(1)
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
        try:
            times = measure(broker.address, args.rounds, args.warmup)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
    medians = {edition: statistics.median(times[edition]) for edition in EDITIONS}
    paired = statistics.median(e - c for e, c in zip(times["Enterprise"], times["Community"]))
    where = "client sealing + broker unsealing" if args.unseal else "client sealing only"
    print(f"connect + disconnect, {args.rounds} rounds each, median ({where}):")
    for edition in EDITIONS:
        print(f"  {edition:<10} {medians[edition]:9.1f} us")
    print(f"  difference {medians['Enterprise'] - medians['Community']:9.1f} us"
          f" (median of paired differences {paired:.1f} us)")
    print(f"the cjose calls of one sealing alone, median of 5000: "
          f"{statistics.median(cjose_sealings(5000)):.1f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
