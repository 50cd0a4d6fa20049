#!/usr/bin/env python3
"""Check that a file holds a sealing key the client can be built with.

The file must hold one 2048-bit RSA public key as a JSON Web Key of exactly 425
characters, members kty, kid, n, e in that order, no whitespace, where kid is the
RFC 7638 thumbprint of the key. Exit status 0 when it does; else the reason on
standard error and status 1. Used by the build's configure step.
"""
import base64
import hashlib
import json
import re
import sys

SHAPE = re.compile(
    r'\{"kty":"RSA","kid":"([A-Za-z0-9_-]{43})","n":"([A-Za-z0-9_-]{342})","e":"([A-Za-z0-9_-]{4})"\}'
)


def check(text: str) -> str | None:
    if len(text) != 425:
        return f"expected 425 characters, found {len(text)}"
    match = SHAPE.fullmatch(text)
    if not match:
        return 'expected {"kty":"RSA","kid":…,"n":…,"e":…} with base64url values of 43, 342 and 4 characters'
    kid, n, e = match.groups()
    modulus = base64.urlsafe_b64decode(n + "==")
    if len(modulus) != 256 or modulus[0] < 0x80:
        return "the modulus is not 2048 bits"
    canonical = json.dumps({"e": e, "kty": "RSA", "n": n}, separators=(",", ":"), sort_keys=True)
    thumbprint = base64.urlsafe_b64encode(hashlib.sha256(canonical.encode()).digest()).rstrip(b"=")
    if thumbprint.decode() != kid:
        return "kid is not the RFC 7638 thumbprint of the key"
    return None


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: check-sealing-key.py FILE", file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], encoding="ascii") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as error:
        print(f"{sys.argv[1]}: {error}", file=sys.stderr)
        return 1
    problem = check(text)
    if problem:
        print(f"{sys.argv[1]}: not a sealing key: {problem}", file=sys.stderr)
        return 1
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
