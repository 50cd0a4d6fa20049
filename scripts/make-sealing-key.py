#!/usr/bin/env python3
"""Make a new key pair for sealed (Enterprise) passwords.

Writes two JSON Web Keys:
  <name>.public.jwk   the 2048-bit RSA public key the client is built with
                      (members kty, kid, n, e in that order, no whitespace, 425 characters)
  <name>.private.jwk  the matching private key, for the broker's unsealing plugin only

The key identifier is the RFC 7638 thumbprint of the public key. Needs only the
openssl command and the Python standard library.

    scripts/make-sealing-key.py keys/production
    pip install . -Ccmake.define.TARNU_SEALING_JWK=$PWD/keys/production.public.jwk
"""
import argparse
import base64
import hashlib
import json
import os
import subprocess
import sys


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def uint(n: int) -> bytes:
    return n.to_bytes((n.bit_length() + 7) // 8 or 1, "big")


def der_integers(der: bytes) -> list[int]:
    """The INTEGERs of a DER SEQUENCE (a PKCS#1 RSAPrivateKey)."""

    def length(pos: int) -> tuple[int, int]:
        first = der[pos]
        if first < 0x80:
            return first, pos + 1
        count = first & 0x7F
        return int.from_bytes(der[pos + 1 : pos + 1 + count], "big"), pos + 1 + count

    if der[0] != 0x30:
        raise ValueError("not a DER sequence")
    _, pos = length(1)
    values = []
    while pos < len(der):
        if der[pos] != 0x02:
            raise ValueError("expected an INTEGER")
        size, pos = length(pos + 1)
        values.append(int.from_bytes(der[pos : pos + size], "big"))
        pos += size
    return values


def make_pair() -> tuple[str, str]:
    pem = subprocess.run(
        ["openssl", "genrsa", "-traditional", "2048"],
        check=True, capture_output=True,
    ).stdout
    der = subprocess.run(
        ["openssl", "rsa", "-traditional", "-outform", "DER"],
        input=pem, check=True, capture_output=True,
    ).stdout
    _version, n, e, d, p, q, dp, dq, qi = der_integers(der)[:9]
    if n.bit_length() != 2048:
        raise ValueError("expected a 2048-bit modulus")
    members = {"e": b64url(uint(e)), "kty": "RSA", "n": b64url(uint(n))}
    canonical = json.dumps(members, separators=(",", ":"), sort_keys=True)
    kid = b64url(hashlib.sha256(canonical.encode("ascii")).digest())
    public = {"kty": "RSA", "kid": kid, "n": members["n"], "e": members["e"]}
    private = dict(public)
    for name, value in (("d", d), ("p", p), ("q", q), ("dp", dp), ("dq", dq), ("qi", qi)):
        private[name] = b64url(uint(value))
    public_text = json.dumps(public, separators=(",", ":"))
    if len(public_text) != 425 or len(kid) != 43:
        raise ValueError("unexpected public key size")
    return public_text, json.dumps(private, separators=(",", ":"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("name", help="path prefix of the two files, e.g. keys/production")
    parser.add_argument("--force", action="store_true", help="overwrite existing files")
    args = parser.parse_args()
    public_path, private_path = args.name + ".public.jwk", args.name + ".private.jwk"
    for path in (public_path, private_path):
        if os.path.exists(path) and not args.force:
            print(f"{path} exists; use --force to replace it", file=sys.stderr)
            return 1
    public_text, private_text = make_pair()
    with open(public_path, "w") as f:
        f.write(public_text)
    fd = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(private_text)
    print(f"wrote {public_path} (build the client with it) and {private_path} (broker only)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
