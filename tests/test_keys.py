"""The sealing-key tools: a new pair has the one shape the build accepts, and the
build's check refuses anything else."""
import json
import subprocess
import sys
from pathlib import Path

import pytest
from jwcrypto import jwe, jwk

ROOT = Path(__file__).resolve().parent.parent
CHECK = ROOT / "scripts" / "check-sealing-key.py"


def check(path: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True, timeout=30)


def test_a_new_pair_is_accepted_by_the_build_and_its_halves_match(tmp_path):
    made = subprocess.run([sys.executable, ROOT / "scripts" / "make-sealing-key.py",
                           tmp_path / "k"], capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    public, private = tmp_path / "k.public.jwk", tmp_path / "k.private.jwk"
    assert check(public).returncode == 0 and len(public.read_text()) == 425
    assert private.stat().st_mode & 0o077 == 0  # only the owner may read the private half
    sealed = jwe.JWE(b"pw", json.dumps({"alg": "RSA-OAEP", "enc": "A256GCM"}))
    sealed.add_recipient(jwk.JWK.from_json(public.read_text()))
    opened = jwe.JWE()
    opened.deserialize(sealed.serialize(compact=True), key=jwk.JWK.from_json(private.read_text()))
    assert opened.payload == b"pw"


def _variants(good: dict) -> dict:
    other = dict(good, kid="A" * 43)
    reordered = {k: good[k] for k in ("kid", "kty", "n", "e")}
    return {
        "kid is not the thumbprint": json.dumps(other, separators=(",", ":")),
        "members reordered": json.dumps(reordered, separators=(",", ":")),
        "whitespace": json.dumps(good),
        "trailing newline": json.dumps(good, separators=(",", ":")) + "\n",
        "private key": (ROOT / "tests" / "keys" / "development-only.private.jwk").read_text(),
        "not JSON": "x" * 425,
    }


@pytest.mark.parametrize("variant", list(_variants({"kty": "RSA", "kid": "", "n": "", "e": ""})))
def test_the_build_refuses_a_file_that_is_not_the_expected_public_key(tmp_path, variant):
    good = json.loads((ROOT / "keys" / "development-only.public.jwk").read_text())
    path = tmp_path / "key.jwk"
    path.write_text(_variants(good)[variant])
    result = check(path)
    assert result.returncode == 1 and "not a sealing key" in result.stderr
