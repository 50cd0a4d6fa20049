"""TLS and websockets through real brokers: mosquitto with TLS listeners (plain and
websockets) whose certificates come from a throwaway CA made by the fixtures. Each client
runs in a child process whose SSL_CERT_FILE names the CA it is to trust (and whose
SSL_CERT_DIR is empty), as a user would point OpenSSL at a private CA."""
from __future__ import annotations

import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import serialization

from brokers import Broker, free_port
from pki import Authority, listener
from proxy import Proxy
from test_enterprise import PRIVATE_KEY, USERS  # noqa: F401 - the plugin_path fixture below
from test_enterprise import plugin_path  # noqa: F401

pytestmark = pytest.mark.timeout(180, method="thread")
HERE = Path(__file__).parent

CHILD = r'''
import json, sys, time, threading
import tarnu_sdk
from support import wait_until
protocol, host, size, mixed, user, password, edition = sys.argv[1:8]
size, mixed = int(size), int(mixed)
c = tarnu_sdk.SDK()
c.init(f"tarnu-tls-{time.monotonic_ns()}", host, protocol, user, password, connectTimeout=5,
       edition=edition)
got, connections = [], []
c.on_message(lambda t, p: got.append(p))
c.on_connection(lambda up, code: connections.append([up, code]))
out = {"connected": c.connect()}
if out["connected"]:
    out["subscribed"] = c.subscribe("tls/#", 1)
    c.publish("tls/a", "zero", 0)
    c.publish("tls/a", "one", 1)
    if size:
        c.publish("tls/big", "b" * size, 1)
    wanted = 3 if size else 2
    wait_until(lambda: len(got) >= wanted, timeout=15)
    out["got"] = [p if len(p) < 100 else f"{p[0]}*{len(p)}" for p in got]
    if mixed:  # each QoS 1 publish right after a small QoS 0 one (Nagle would hold it);
        # to a topic nobody takes, so no delivery back carries the broker's TCP ACK early
        started = time.perf_counter()
        for n in range(mixed):
            c.publish("nagle/m", "q0", 0)
            c.publish("nagle/m", "q1", 1)
        out["mixed_seconds"] = time.perf_counter() - started
    c.stop()
out["connections"] = connections
print("RESULT " + json.dumps(out), flush=True)
'''


def run_client(ca: Path, empty: Path, protocol: str, host: str, size: int = 0, mixed: int = 0,
               user: str = "", password: str = "", edition: str = "Community",
               cert_dir: Path | None = None) -> dict:
    env = {**os.environ, "SSL_CERT_FILE": str(ca), "SSL_CERT_DIR": str(cert_dir or empty)}
    done = subprocess.run([sys.executable, "-c", CHILD, protocol, host, str(size), str(mixed),
                           user, password, edition], cwd=HERE, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr and "Fatal" not in done.stderr, done.stderr
    line = next(l for l in done.stdout.splitlines() if l.startswith("RESULT "))
    result = json.loads(line[len("RESULT "):])
    result["stderr"] = done.stderr
    return result


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    directory = tmp_path_factory.mktemp("pki")
    ca, other = Authority(directory, "test-ca"), Authority(directory, "other-ca")
    empty = directory / "no-certs"
    empty.mkdir()
    return {"dir": directory, "ca": ca, "other": other, "empty": empty,
            "good": ca.server("server"), "wrong-name": ca.server("elsewhere", ["broker.invalid"]),
            "expired": ca.server("expired", expired=True), "untrusted": other.server("stranger"),
            "ip-only": ca.server("ip-only", ["127.0.0.1"])}


@pytest.fixture(scope="module")
def tls_broker(pki):
    """tcp on `port`, TLS on `tls`, websockets on `ws`, websockets over TLS on `wss`, and one
    TLS listener per certificate a client must refuse."""
    ports = {name: free_port() for name in
             ("tls", "ws", "wss", "wrong-name", "expired", "untrusted", "ip-only")}
    ca = pki["ca"].path
    extra = listener(ports["tls"], *pki["good"], ca)
    extra += [f"listener {ports['ws']} 127.0.0.1", "protocol websockets"]
    extra += listener(ports["wss"], *pki["good"], ca, websockets=True)
    for bad in ("wrong-name", "expired", "untrusted", "ip-only"):
        extra += listener(ports[bad], *pki[bad], ca)

    broker = Broker(extra=extra)
    with broker:
        broker.ports = ports
        yield broker


ROUND_TRIP = ["zero", "one"]


@pytest.mark.parametrize("protocol, listener_name, host", [
    ("ssl", "tls", "127.0.0.1"), ("mqtts", "tls", "localhost"), ("wss", "wss", "127.0.0.1"),
    ("ws", "ws", "127.0.0.1"), ("tcp", None, "127.0.0.1")])
def test_round_trip_over_each_transport(pki, tls_broker, protocol, listener_name, host):
    port = tls_broker.ports[listener_name] if listener_name else tls_broker.port
    result = run_client(pki["ca"].path, pki["empty"], protocol, f"{host}:{port}")
    assert result["connected"] is True and result["subscribed"] is True, result["stderr"]
    assert result["got"] == ROUND_TRIP
    assert result["connections"] == [[True, 0], [False, 0]]
    assert f"[SDK] connect failed" not in result["stderr"]


def served_certificate(port: int) -> bytes:
    """The certificate a TLS listener presents, fetched without checking it."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock, \
            context.wrap_socket(sock) as tls:
        return tls.getpeercert(binary_form=True)


@pytest.mark.parametrize("case, host", [
    ("untrusted", "127.0.0.1"), ("wrong-name", "127.0.0.1"), ("ip-only", "localhost"),
    ("expired", "127.0.0.1"), ("plain-to-tls", "127.0.0.1")])
def test_a_certificate_that_does_not_verify_is_refused_and_nothing_falls_back(
    pki, tls_broker, case, host
):
    if case == "plain-to-tls":  # a TLS client to a plain listener: no link either
        port = tls_broker.port
    else:
        port = tls_broker.ports[case]
        # The listener is up and serves the certificate the case is about, so the refusal
        # below is the client's verdict on that certificate, not a port nobody answers.
        cert = x509.load_pem_x509_certificate(pki[case][0].read_bytes())
        assert served_certificate(port) == cert.public_bytes(serialization.Encoding.DER)
    result = run_client(pki["ca"].path, pki["empty"], "ssl", f"{host}:{port}")
    assert result["connected"] is False and result["connections"] == []
    assert result["stderr"] == "[SDK] connect failed, rc=-1\n"


def test_a_private_ca_is_found_through_ssl_cert_dir_too(pki, tls_broker, tmp_path):
    hashed = tmp_path / "certs"
    hashed.mkdir()
    (hashed / "ca.pem").write_bytes(pki["ca"].path.read_bytes())
    subprocess.run(["openssl", "rehash", str(hashed)], check=True, capture_output=True)
    missing = tmp_path / "no-such-file.pem"  # the file variable leads nowhere
    result = run_client(missing, pki["empty"], "ssl", f"127.0.0.1:{tls_broker.ports['tls']}",
                        cert_dir=hashed)
    assert result["connected"] is True and result["got"] == ROUND_TRIP, result["stderr"]
    # Without the directory, the same client trusts nothing of the test's.
    result = run_client(missing, pki["empty"], "ssl", f"127.0.0.1:{tls_broker.ports['tls']}")
    assert result["connected"] is False


def test_a_server_that_speaks_nothing_newer_than_tls_1_1_is_refused(pki):
    # mosquitto's tls_version is a minimum: a server held to TLS 1.1 is made here, at the
    # OpenSSL security level 0 that alone still has it, with the good certificate.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*pki["good"])
    context.set_ciphers("DEFAULT:@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
    server, outcome = socket.create_server(("127.0.0.1", 0)), []

    def serve():
        server.settimeout(10)
        try:
            conn, _ = server.accept()
            conn.settimeout(10)
            with context.wrap_socket(conn, server_side=True) as tls:
                outcome.append(tls.version())
        except (OSError, ssl.SSLError) as error:
            outcome.append(type(error).__name__)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    with server:
        result = run_client(pki["ca"].path, pki["empty"], "ssl",
                            f"127.0.0.1:{server.getsockname()[1]}")
        thread.join(15)
    assert result["connected"] is False
    assert result["stderr"] == "[SDK] connect failed, rc=-1\n"
    assert outcome and outcome[0] not in ("TLSv1", "TLSv1.1"), outcome  # no handshake made


def test_the_ca_is_trusted_only_through_the_environment_the_client_was_given(pki, tls_broker):
    # The same good server, but the child trusts only the other CA: refused.
    result = run_client(pki["other"].path, pki["empty"], "ssl",
                        f"127.0.0.1:{tls_broker.ports['tls']}")
    assert result["connected"] is False
    assert result["stderr"] == "[SDK] connect failed, rc=-1\n"


def test_large_payloads_and_prompt_qos_1_after_qos_0_over_tls(pki, tls_broker):
    result = run_client(pki["ca"].path, pki["empty"], "ssl",
                        f"127.0.0.1:{tls_broker.ports['tls']}", size=4 * 2**20, mixed=200)
    assert result["got"] == ROUND_TRIP + [f"b*{4 * 2**20}"]
    # 200 QoS 1 publishes each behind a QoS 0 one: with the TLS socket found and sent at
    # once, no wait for the broker's delayed acknowledgement (about
    # 40 ms each: 8 s in all).
    assert result["mixed_seconds"] < 6.0, result["mixed_seconds"]


def test_reconnection_over_tls_through_a_cut_link(pki, tls_broker):
    with Proxy(tls_broker.ports["tls"]) as proxy:
        env = {**os.environ, "SSL_CERT_FILE": str(pki["ca"].path),
               "SSL_CERT_DIR": str(pki["empty"])}
        child = subprocess.Popen([sys.executable, "-c", r'''
import sys, time
from support import new_client, wait_until
c = new_client(sys.argv[1], protocol="ssl")
seen, got = [], []
c.on_connection(lambda up, code: seen.append((up, code)))
c.on_message(lambda t, p: got.append(p))
assert c.connect() and c.subscribe("tls/r", 1)
print("ready", flush=True)
assert wait_until(lambda: len(seen) >= 3, timeout=20), seen
c.publish("tls/r", "after", 1)
assert wait_until(lambda: got == ["after"], timeout=10), got
print("done", seen, flush=True)
c.stop()
''', proxy.address], cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            lines = []
            while len(lines) < 5 and "ready" not in lines:
                lines.append(child.stdout.readline().strip())
            assert "ready" in lines, lines
            time.sleep(0.2)
            assert proxy.cut() == 1
            out, err = child.communicate(timeout=60)
        finally:
            child.kill()
    assert child.returncode == 0, err
    assert "done [(True, 0), (False, -1), (True, 0)]" in out
    assert "[SDK] Reconnected successfully to ssl://" in out


@pytest.fixture(scope="module")
def sealed_tls_broker(pki, plugin_path):  # noqa: F811 - the fixture imported above
    port = free_port()
    broker = Broker(users=USERS, plugin=[f"plugin {plugin_path}",
                                         f"plugin_opt_private_key {PRIVATE_KEY}",
                                         "plugin_opt_allow_plain false"],
                    extra=listener(port, *pki["good"], pki["ca"].path))
    with broker:
        broker.tls = port
        yield broker


def test_enterprise_sealed_password_over_tls_through_the_plugin(pki, sealed_tls_broker):
    host = f"127.0.0.1:{sealed_tls_broker.tls}"
    good = run_client(pki["ca"].path, pki["empty"], "ssl", host, user="alice",
                      password="wonderland", edition="Enterprise")
    assert good["connected"] is True and good["got"] == ROUND_TRIP, good["stderr"]
    wrong = run_client(pki["ca"].path, pki["empty"], "ssl", host, user="alice",
                       password="not it", edition="Enterprise")
    assert wrong["connected"] is False and wrong["stderr"] == "[SDK] connect failed, rc=5\n"
    plain = run_client(pki["ca"].path, pki["empty"], "ssl", host, user="alice",
                       password="wonderland")  # Community: plain passwords are refused
    assert plain["connected"] is False and plain["stderr"] == "[SDK] connect failed, rc=5\n"

