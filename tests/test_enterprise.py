"""Enterprise edition: the sealed password on the wire (seen by a capturing fake broker and
opened with jwcrypto), and end to end through mosquitto with the tarnu_unseal plugin."""
from __future__ import annotations

import base64
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from jwcrypto import jwe, jwk

from brokers import MOSQUITTO, MOSQUITTO_PASSWD, Broker, free_port
from capture_broker import CaptureBroker
from support import raw_connect, wait_until

ROOT = Path(__file__).resolve().parent.parent
PRIVATE_KEY = ROOT / "tests" / "keys" / "development-only.private.jwk"
KEY = jwk.JWK.from_json(PRIVATE_KEY.read_text())
USERS = {"alice": "wonderland", "bob": "Bücher & Brötchen €"}
REFUSED = "[SDK] connect failed, rc=5\n"  # MQTT 3.1.1 CONNACK 5: not authorised


def b64url(part: bytes) -> bytes:
    return base64.urlsafe_b64decode(part + b"=" * (-len(part) % 4))


def opened(text: bytes) -> bytes:
    """The plaintext of a sealed text, after checking its shape and algorithms."""
    parts = text.split(b".")
    assert len(parts) == 5 and all(re.fullmatch(rb"[A-Za-z0-9_-]*", part) for part in parts)
    assert json.loads(b64url(parts[0])) == {"alg": "RSA-OAEP", "enc": "A256GCM"}
    if not parts[3]:  # jwcrypto refuses an empty plaintext: open it by hand
        cek = KEY.get_op_key("decrypt").decrypt(b64url(parts[1]), padding.OAEP(
            padding.MGF1(hashes.SHA1()), hashes.SHA1(), None))
        return AESGCM(cek).decrypt(b64url(parts[2]), b64url(parts[4]), parts[0])
    token = jwe.JWE()
    token.deserialize(text.decode(), key=KEY)
    return token.payload


def sealed_by_jwcrypto(key, plaintext: bytes, alg="RSA-OAEP", enc="A256GCM") -> bytes:
    token = jwe.JWE(plaintext, json.dumps({"alg": alg, "enc": enc}), algs=[alg, enc])
    token.add_recipient(key)
    return token.serialize(compact=True).encode()


@pytest.fixture(scope="session")
def plugin_path():
    """build/broker/tarnu_unseal.so, (re)built when missing or older than its sources."""
    plugin = ROOT / "build" / "broker" / "tarnu_unseal.so"
    newest = max(p.stat().st_mtime for p in (ROOT / "broker").iterdir())
    if not plugin.exists() or plugin.stat().st_mtime < newest:
        tools = Path(sys.executable).parent
        for command in (
            [tools / "cmake", "-S", "broker", "-B", "build/broker", "-G", "Ninja",
             f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release"],
            [tools / "cmake", "--build", "build/broker"],
        ):
            done = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
            assert done.returncode == 0, done.stdout + done.stderr
    return plugin


def unsealing_broker(plugin_path, allow_plain: bool) -> Broker:
    return Broker(users=USERS, plugin=[f"plugin {plugin_path}",
                                       f"plugin_opt_private_key {PRIVATE_KEY}",
                                       f"plugin_opt_allow_plain {str(allow_plain).lower()}"])


@pytest.fixture(scope="module")
def sealed_broker(plugin_path):
    with unsealing_broker(plugin_path, False) as b:
        yield b


@pytest.fixture
def capture():
    with CaptureBroker() as c:
        yield c


def connects(make_client, address, user, password, edition="Enterprise", **kwargs) -> bool:
    client = make_client(address, username=user, password=password, edition=edition, **kwargs)
    try:
        return client.connect()
    finally:
        client.stop()  # the capture broker serves one connection at a time


def test_the_enterprise_edition_alone_seals_and_the_text_opens_to_the_exact_bytes(
    capture, make_client
):
    passwords = ["wonderland", "pässwörd € 🔑", "a\x00b", "x" * 3000, ""]
    editions = ["Community", "enterprise", " Enterprise", "Enterprise "]
    for password in passwords:
        assert connects(make_client, capture.address, "alice", password)
    for edition in editions:
        assert connects(make_client, capture.address, "alice", "wönderland", edition)
    texts = capture.captured(len(passwords) + len(editions))
    assert [opened(text) for text in texts[:len(passwords)]] == [p.encode() for p in passwords]
    assert texts[len(passwords):] == ["wönderland".encode()] * len(editions)


def test_each_connect_seals_anew_and_a_reconnection_resends(capture, make_client):
    client = make_client(capture.address, username="alice", password="wonderland",
                         edition="Enterprise", maxReconnectInterval=1)
    assert client.connect()
    assert client.connect() and len(capture.captured()) == 1  # connected already: no sealing
    client.disconnect()
    assert client.connect()
    first, second = capture.captured(2)
    assert first != second and opened(first) == opened(second) == b"wonderland"
    capture.drop()  # the client reconnects by itself, with the text it has
    assert capture.captured(3)[2:] == [second]
    assert wait_until(client.is_connected, timeout=10)


def test_the_plugin_accepts_the_right_sealed_password_only(sealed_broker, make_client, capfd):
    assert all(connects(make_client, sealed_broker.address, *user) for user in USERS.items())
    capfd.readouterr()
    for user, password in [("alice", "wonderlanD"), ("carol", "wonderland")]:
        assert connects(make_client, sealed_broker.address, user, password) is False
    assert capfd.readouterr().err == REFUSED * 2
    log = sealed_broker.log()
    assert not any(password in log for password in (*USERS.values(), "wonderlanD"))


@pytest.mark.parametrize("allow_plain", [False, True])
def test_plain_passwords_only_where_allowed(plugin_path, make_client, capfd, allow_plain):
    with unsealing_broker(plugin_path, allow_plain) as broker:
        capfd.readouterr()
        plain = connects(make_client, broker.address, "bob", USERS["bob"], "Community")
        assert plain is allow_plain and (REFUSED in capfd.readouterr().err) is not allow_plain
        assert connects(make_client, broker.address, "bob", "Bücher", "Community") is False
        assert connects(make_client, broker.address, "bob", USERS["bob"])


def test_garbage_passwords_are_refused_and_the_broker_lives_on(sealed_broker, make_client):
    right = sealed_by_jwcrypto(KEY, b"wonderland")
    garbage = [
        os.urandom(200), b"\xff\xfe\x00\x01" * 50, right[: len(right) // 2], right[:-3],
        right.replace(b".", b"..", 1), b"a.b.c.d.e", b"....",
        sealed_by_jwcrypto(jwk.JWK.generate(kty="RSA", size=2048), b"wonderland"),
        sealed_by_jwcrypto(KEY, b"wonderland", alg="RSA1_5"),
        sealed_by_jwcrypto(KEY, b"wonderland", enc="A128GCM"),
        sealed_by_jwcrypto(KEY, b"wonderland\x00"), sealed_by_jwcrypto(KEY, b"\x00"),
        right + b"A" * 9000, b"A" * 60000, b".".join([b"A" * 1600] * 5),
        b".".join([b"A" * 12000] * 5),
    ]
    for password in garbage:
        assert raw_connect(sealed_broker.port, b"alice", password) == 5, password[:40]
    assert raw_connect(sealed_broker.port, None, None) == 5
    assert raw_connect(sealed_broker.port, b"alice", right) == 0  # made by another library
    assert sealed_broker.proc.poll() is None
    assert connects(make_client, sealed_broker.address, "alice", "wonderland")
    log = sealed_broker.log()
    assert "tarnu_unseal: refused client" in log and right.decode()[:60] not in log


def test_the_password_file_is_read_again_on_sighup(plugin_path):
    with unsealing_broker(plugin_path, False) as broker:
        carol = sealed_by_jwcrypto(KEY, b"queen of hearts")
        assert raw_connect(broker.port, b"carol", carol) == 5
        subprocess.run([MOSQUITTO_PASSWD, "-b", str(broker.dir / "passwords"), "carol",
                        "queen of hearts"], check=True)
        broker.proc.send_signal(signal.SIGHUP)
        assert wait_until(lambda: raw_connect(broker.port, b"carol", carol) == 0)
        with open(broker.dir / "passwords", "a") as passwords:
            passwords.write("not a user line\n")
        broker.proc.send_signal(signal.SIGHUP)
        assert wait_until(lambda: "line 4 is not" in broker.log())
        assert raw_connect(broker.port, b"carol", carol) == 0  # the users read before stay


@pytest.mark.parametrize("options, complaint", [
    ([f"plugin_opt_private_key {PRIVATE_KEY}"], "needs plugin_opt_private_key and"),
    (["plugin_opt_private_key /nonexistent.jwk", "plugin_opt_password_file {pw}"],
     "cannot open it"),
    ([f"plugin_opt_private_key {ROOT / 'keys' / 'development-only.public.jwk'}",
      "plugin_opt_password_file {pw}"], "not a private key"),
    ([f"plugin_opt_private_key {PRIVATE_KEY}", f"plugin_opt_password_file {PRIVATE_KEY}"],
     "line 1 is not"),
    ([f"plugin_opt_private_key {PRIVATE_KEY}", "plugin_opt_password_file {pw}",
      "plugin_opt_allow_plain yes"], "plugin_opt_allow_plain is \"yes\""),
])
def test_the_plugin_refuses_to_load_when_misconfigured(plugin_path, tmp_path, options, complaint):
    (tmp_path / "pw").write_text("alice:$6$AAAAAAAAAAAAAAAA$" + "A" * 86 + "==\n")
    lines = [f"listener {free_port()} 127.0.0.1", "log_dest stderr", "allow_anonymous false",
             *["user root"] * (os.geteuid() == 0), f"plugin {plugin_path}",
             *(line.format(pw=tmp_path / "pw") for line in options)]
    (tmp_path / "mosquitto.conf").write_text("\n".join(lines) + "\n")
    done = subprocess.run([MOSQUITTO, "-c", str(tmp_path / "mosquitto.conf")],
                          capture_output=True, text=True, timeout=10)
    assert done.returncode != 0
    assert complaint in done.stderr and "Plugin returned" in done.stderr
