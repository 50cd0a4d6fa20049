"""Enterprise edition: the sealed password on the wire (seen by a capturing fake
broker and opened with jwcrypto), and end to end through mosquitto with the
tarnu_unseal plugin (broker/) and a mosquitto_passwd file."""
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
from capture_broker import CaptureBroker, raw_connect
from support import wait_until

ROOT = Path(__file__).resolve().parent.parent
PRIVATE_KEY = ROOT / "tests" / "keys" / "development-only.private.jwk"
KEY = jwk.JWK.from_json(PRIVATE_KEY.read_text())
USERS = {"alice": "wonderland", "bob": "Bücher & Brötchen €"}
REFUSED = "[SDK] connect failed, rc=5\n"  # MQTT 3.1.1 CONNACK 5: not authorised
B64URL = re.compile(rb"[A-Za-z0-9_-]*")


def b64url(part: bytes) -> bytes:
    return base64.urlsafe_b64decode(part + b"=" * (-len(part) % 4))


def opened(text: bytes) -> bytes:
    """The plaintext of a sealed text, after checking its shape and algorithms."""
    parts = text.split(b".")
    assert len(parts) == 5 and all(B64URL.fullmatch(part) for part in parts)
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


def unsealing_broker(plugin_path, allow_plain: str) -> Broker:
    return Broker(users=USERS, plugin=[f"plugin {plugin_path}",
                                       f"plugin_opt_private_key {PRIVATE_KEY}",
                                       f"plugin_opt_allow_plain {allow_plain}"])


@pytest.fixture(scope="module")
def sealed_broker(plugin_path):
    with unsealing_broker(plugin_path, "false") as b:
        yield b


@pytest.fixture(scope="module")
def lenient_broker(plugin_path):
    with unsealing_broker(plugin_path, "true") as b:
        yield b


@pytest.fixture
def capture():
    with CaptureBroker() as c:
        yield c


# --- what the client sends ----------------------------------------------------------

@pytest.mark.parametrize("password", ["wonderland", "pässwörd € 🔑", "a\x00b", "x" * 3000,
                                      ""])
def test_sealed_password_opens_to_its_exact_bytes(capture, make_client, password):
    client = make_client(capture.address, username="alice", password=password,
                         edition="Enterprise")
    assert client.connect()
    [text] = capture.captured(1)
    assert opened(text) == password.encode()


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


@pytest.mark.parametrize("edition", ["Community", "enterprise", " Enterprise", "Enterprise "])
def test_other_editions_send_the_plain_password(capture, make_client, edition):
    client = make_client(capture.address, username="alice", password="wönderland",
                         edition=edition)
    assert client.connect()
    assert capture.captured(1) == ["wönderland".encode()]


# --- through mosquitto and the plugin ----------------------------------------------

@pytest.mark.parametrize("user", USERS)
def test_enterprise_connects_with_the_right_password(sealed_broker, make_client, user):
    client = make_client(sealed_broker.address, username=user, password=USERS[user],
                         edition="Enterprise")
    assert client.connect() and client.is_connected()


@pytest.mark.parametrize("user, password", [("alice", "wonderlanD"), ("carol", "wonderland")])
def test_a_wrong_password_is_refused(sealed_broker, make_client, capfd, user, password):
    capfd.readouterr()
    client = make_client(sealed_broker.address, username=user, password=password,
                         edition="Enterprise")
    assert client.connect() is False
    assert REFUSED in capfd.readouterr().err
    assert not client.is_connected()
    assert password not in sealed_broker.log()


@pytest.mark.parametrize("allow_plain", [False, True])
def test_plain_passwords_only_where_allowed(sealed_broker, lenient_broker, make_client, capfd,
                                            allow_plain):
    broker = lenient_broker if allow_plain else sealed_broker
    plain = make_client(broker.address, username="bob", password=USERS["bob"])
    assert plain.connect() is allow_plain
    assert (REFUSED in capfd.readouterr().err) is not allow_plain
    wrong = make_client(broker.address, username="bob", password="Bücher")
    assert wrong.connect() is False
    sealed = make_client(broker.address, username="bob", password=USERS["bob"],
                         edition="Enterprise")
    assert sealed.connect()


def test_garbage_passwords_are_refused_and_the_broker_lives_on(sealed_broker, make_client):
    right = sealed_by_jwcrypto(KEY, b"wonderland")
    other_key = jwk.JWK.generate(kty="RSA", size=2048)
    garbage = [
        os.urandom(200), b"\xff\xfe\x00\x01" * 50, right[: len(right) // 2], right[:-3],
        right.replace(b".", b"..", 1), b"a.b.c.d.e", b"....",
        sealed_by_jwcrypto(other_key, b"wonderland"),
        sealed_by_jwcrypto(KEY, b"wonderland", alg="RSA1_5"),
        sealed_by_jwcrypto(KEY, b"wonderland", enc="A128GCM"),
        sealed_by_jwcrypto(KEY, b"wonderland\x00"), sealed_by_jwcrypto(KEY, b"\x00"),
        right + b"A" * 9000, b"A" * 60000,
        b".".join([b"A" * 1600] * 5), b".".join([b"A" * 12000] * 5),
    ]
    for password in garbage:
        assert raw_connect(sealed_broker.port, b"alice", password) == 5, password[:40]
    assert raw_connect(sealed_broker.port, None, None) == 5
    assert raw_connect(sealed_broker.port, b"alice", right) == 0  # made by another library
    assert sealed_broker.proc.poll() is None
    client = make_client(sealed_broker.address, username="alice", password="wonderland",
                         edition="Enterprise")
    assert client.connect()
    log = sealed_broker.log()
    assert "tarnu_unseal: refused client" in log
    assert right.decode() not in log and right.decode()[:60] not in log


def test_the_password_file_is_read_again_on_sighup(plugin_path):
    with unsealing_broker(plugin_path, "false") as broker:
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
    config = tmp_path / "mosquitto.conf"
    lines = [f"listener {free_port()} 127.0.0.1", "log_dest stderr", "allow_anonymous false"]
    lines += ["user root"] * (os.geteuid() == 0) + [f"plugin {plugin_path}"]
    lines += [line.format(pw=tmp_path / "pw") for line in options]
    config.write_text("\n".join(lines) + "\n")
    done = subprocess.run([MOSQUITTO, "-c", str(config)], capture_output=True, text=True,
                          timeout=10)
    assert done.returncode != 0
    assert complaint in done.stderr and "Plugin returned" in done.stderr
