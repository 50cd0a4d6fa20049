"""The wheel a user installs is self-contained: installed into a brand-new environment
with no index, the module loads the Paho C, cjose, jansson and OpenSSL libraries the
wheel carries (never the system's), talks to a real broker, finds the system's CA
store, and type checkers find its stub package. The wheel is built once per session
into build/wheelhouse by scripts/build-wheel.py, which does nothing when it is up to
date."""
from __future__ import annotations

import base64
import hashlib
import json
import os
import re
import subprocess
import sys
import tomllib
import zipfile
from pathlib import Path
from types import SimpleNamespace

import pytest

ROOT = Path(__file__).resolve().parent.parent
with open(ROOT / "pyproject.toml", "rb") as _f:
    PROJECT = tomllib.load(_f)["project"]

# A first build compiles the module (about a minute on two cores, more under load).
pytestmark = pytest.mark.timeout(900)

# What every manylinux policy lets a wheel take from the system (and what this module
# links beyond the libraries below); libz too, which Debian 13's OpenSSL links, and
# libexpat, which Debian's own Python loads for its pyexpat module.
SYSTEM_LIBRARIES = ("ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libgcc_s.so.1",
                    "libstdc++.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libz.so.1",
                    "libexpat.so.1")


def _openssl_links() -> set[str]:
    """The file-name stems of what the system's OpenSSL links beyond the system libraries:
    nothing on Debian 12, zstd on Debian 13 (its libcrypto compresses certificates)."""
    found = subprocess.run(["ldd", "/usr/lib/x86_64-linux-gnu/libcrypto.so.3"],
                           capture_output=True, text=True).stdout
    names = re.findall(r"^\s*(\S+) => ", found, re.M)
    return {name.split(".so")[0] for name in names if not name.startswith(SYSTEM_LIBRARIES)}


# What the wheel must carry, by the file-name stem of each library.
CARRIED = {"libpaho-mqtt3cs", "libcjose", "libjansson", "libssl", "libcrypto"} | _openssl_links()
# The Debian upstream name of each of those libraries beyond the first five.
UPSTREAM = {"libzstd": "Zstd"}
SHARED_OBJECT = re.compile(r"\.so(\.|$)")


def clean_env(**extra: str) -> dict[str, str]:
    """An environment with nothing that could lead a child to another copy of the
    module or its libraries (no PYTHONPATH, LD_*, sanitizer preloads, pip settings)."""
    env = {k: os.environ[k] for k in ("PATH", "HOME", "LANG", "TMPDIR") if k in os.environ}
    return {**env, "PIP_CONFIG_FILE": os.devnull, **extra}


def run(*command, timeout: float = 120, **kwargs) -> subprocess.CompletedProcess:
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout,
                          **{"env": clean_env(), **kwargs})
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done


def file_stem(path: str) -> str:
    """libcrypto-7c3c55df.so.3 -> libcrypto; libpaho-mqtt3cs.so.1.3.11 -> libpaho-mqtt3cs."""
    return re.sub(r"-[0-9a-f]{8}$", "", Path(path).name.split(".so")[0])


@pytest.fixture(scope="session")
def wheel() -> Path:
    done = subprocess.run([sys.executable, ROOT / "scripts" / "build-wheel.py",
                           "--out", ROOT / "build" / "wheelhouse"],
                          env=clean_env(), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=850)
    assert done.returncode == 0, done.stderr
    return Path(done.stdout.strip().splitlines()[-1])


def new_venv(path: Path) -> Path:
    run(sys.executable, "-m", "venv", "--without-pip", path)
    return path / "bin" / "python"


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory) -> SimpleNamespace:
    """A brand-new environment with the wheel installed from the file alone: no index,
    no links, so a dependency the wheel declared would fail the install."""
    python = new_venv(tmp_path_factory.mktemp("wheel") / "venv")
    run(sys.executable, "-m", "pip", "--python", python, "install", "--no-index",
        "--disable-pip-version-check", wheel)
    site = run(python, "-I", "-c", "import sysconfig; print(sysconfig.get_path('platlib'))")
    return SimpleNamespace(python=python, site=Path(site.stdout.strip()))


def test_the_tag_is_the_lowest_auditwheel_accepts(wheel):
    name = re.fullmatch(r"tarnu_sdk-(.+)-cp313-cp313-(manylinux_\d+_\d+_x86_64)\.whl", wheel.name)
    assert name, wheel.name
    assert name.group(1) == PROJECT["version"]
    shown = " ".join(run(sys.executable, "-m", "auditwheel", "show", wheel).stdout.split())
    verdict = re.search(r'consistent with the following platform tag: "([^"]+)"', shown)
    assert verdict, shown
    assert verdict.group(1) == name.group(2)


def test_the_wheel_holds_module_stub_package_libraries_and_licences(wheel):
    with zipfile.ZipFile(wheel) as z:
        files = {n: z.read(n) for n in z.namelist() if not n.endswith("/")}
    dist_info = f"tarnu_sdk-{PROJECT['version']}.dist-info"
    top = {n for n in files if "/" not in n}
    assert len(top) == 1 and re.fullmatch(r"tarnu_sdk\.cpython-313-x86_64-linux-gnu\.so", top.pop())
    # The stub as a PEP 561 stub-only package; a .pyi beside the module, type checkers ignore.
    assert files["tarnu_sdk-stubs/__init__.pyi"] == (ROOT / "python" / "tarnu_sdk.pyi").read_bytes()
    assert not any(n.endswith("tarnu_sdk.pyi") for n in files)
    carried = [n for n in files if n.startswith("tarnu_sdk.libs/")]
    assert sorted(map(file_stem, carried)) == sorted(CARRIED)

    # Every file is in RECORD with its hash: the licences were added after the repair.
    record = {}
    for line in files[f"{dist_info}/RECORD"].decode().splitlines():
        path, digest, size = line.rsplit(",", 2)
        record[path] = (digest, size)
    assert record.pop(f"{dist_info}/RECORD") == ("", "")

    def entry(data: bytes) -> tuple[str, str]:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        return f"sha256={digest}", str(len(data))
    assert record == {n: entry(data) for n, data in files.items() if n != f"{dist_info}/RECORD"}

    # The project's licence and each carried library's Debian copyright file, with the
    # full text of the licence OpenSSL's file only refers to, all named in METADATA.
    metadata = files[f"{dist_info}/METADATA"].decode().partition("\n\n")[0]
    named = re.findall(r"^License-File: (.+)$", metadata, re.M)
    licences = {n.removeprefix(f"{dist_info}/licenses/"): data
                for n, data in files.items() if n.startswith(f"{dist_info}/licenses/")}
    assert sorted(named) == sorted(licences)
    assert licences["LICENSE"] == (ROOT / "LICENSE").read_bytes()
    upstream = {}
    for path, data in licences.items():
        if path.startswith("tarnu_sdk.libs/") and path.endswith("/copyright"):
            found = re.search(rb"^Upstream-Name: (.+)$", data, re.M)
            upstream[found.group(1).decode()] = Path(path).parent
    assert sorted(upstream) == sorted(["paho.mqtt.c", "cjose", "Jansson", "OpenSSL"] +
                                      [UPSTREAM[stem] for stem in CARRIED if stem in UPSTREAM])
    assert b"Version 2.0" in licences[f"{upstream['OpenSSL'].as_posix()}/Apache-2.0"]


def test_the_wheel_was_built_from_the_source_distribution_beside_it(wheel):
    """The wheel is compiled from the unpacked source distribution, so the archive carries
    everything the module's build reads; here it is checked to carry nothing else."""
    import tarfile

    (sdist,) = wheel.parent.glob(f"tarnu_sdk-{PROJECT['version']}.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {Path(*Path(n).parts[1:]).as_posix() for n in archive.getnames()
                 if archive.getmember(n).isfile()}
    tracked = run("git", "ls-files", "CMakeLists.txt", "cmake", "sdk", "python", cwd=ROOT,
                  env=clean_env()).stdout.split()
    expected = {*tracked, "pyproject.toml", "README.md", "LICENSE",
                "keys/development-only.public.jwk", "scripts/check-sealing-key.py"}
    assert names - {"PKG-INFO"} == expected


def test_pip_shows_the_project_metadata(venv):
    shown = run(sys.executable, "-m", "pip", "--python", venv.python, "show", "-v",
                "tarnu_sdk").stdout
    fields = dict(re.findall(r"^([\w-]+): ?(.*)$", shown, re.M))
    assert fields["Version"] == PROJECT["version"]
    assert fields["Summary"] == PROJECT["description"]
    assert fields["License-Expression"] == "LicenseRef-Proprietary"
    assert fields["Requires"] == ""
    assert "  Programming Language :: Python :: 3.13" in shown.splitlines()
    meta = json.loads(run(venv.python, "-I", "-c", """if True:
        import importlib.metadata, json, tarnu_sdk
        md = importlib.metadata.metadata("tarnu_sdk")
        print(json.dumps({"requires_python": md["Requires-Python"],
                          "description": md.json["description"],
                          "content_type": md["Description-Content-Type"],
                          "has_version": hasattr(tarnu_sdk, "__version__")}))""").stdout)
    assert meta == {"requires_python": "==3.13.*",
                    "description": (ROOT / "README.md").read_text(),
                    "content_type": "text/markdown", "has_version": False}


ROUND_TRIP = """if True:
    import json, os, sys, sysconfig, threading
    import tarnu_sdk

    address, topic = sys.argv[1:]
    received, arrived = [], threading.Event()
    client = tarnu_sdk.SDK()
    client.init(f"wheel-{os.getpid()}", address, "tcp", "", "")
    client.on_message(lambda t, p: (received.append([t, p]), arrived.set()))
    connected = client.connect()
    subscribed = client.subscribe(topic, qos=1)
    client.publish(topic, "from the wheel", qos=1)
    arrived.wait(10)
    client.stop()
    with open("/proc/self/maps") as maps:
        mapped = sorted({line.split(None, 5)[5].strip() for line in maps
                         if len(line.split(None, 5)) == 6})
    print(json.dumps({"module": tarnu_sdk.__file__, "connected": connected,
                      "subscribed": subscribed, "received": received, "mapped": mapped,
                      "interpreter": sysconfig.get_config_var("DESTSHARED")}))
"""


def test_the_module_uses_only_what_the_wheel_carries_and_round_trips(venv, broker, topic, tmp_path):
    done = run(venv.python, "-I", "-c", ROUND_TRIP, broker.address, topic, cwd=tmp_path,
               timeout=60)
    child = json.loads(done.stdout.splitlines()[-1])  # after the client's log lines
    # The client recognises the record of the library release the wheel carries: it
    # would say so on standard error otherwise (and the wheel's build would refuse).
    assert "[SDK] Paho C" not in done.stderr, done.stderr
    assert (child["connected"], child["subscribed"]) == (True, True)
    assert child["received"] == [[topic, "from the wheel"]]
    assert Path(child["module"]).parent == venv.site

    libraries = [p for p in child["mapped"] if SHARED_OBJECT.search(Path(p).name)]
    inside = [p for p in libraries if Path(p).is_relative_to(venv.site)]
    assert sorted(file_stem(p) for p in inside if "/tarnu_sdk.libs/" in p) == sorted(CARRIED)
    # Everything else is the interpreter's own (its extension modules, libpython) or a
    # base library of the system.
    foreign = [p for p in libraries if p not in inside
               and not Path(p).is_relative_to(child["interpreter"])
               and not Path(p).name.startswith(("libpython3.13.so",) + SYSTEM_LIBRARIES)]
    assert foreign == []
    assert [p for p in libraries if file_stem(p) in CARRIED and p not in inside] == []


OPENSSL = """if True:
    import ctypes, json, os, sys
    import tarnu_sdk

    with open("/proc/self/maps") as maps:
        mapped = {line.split(None, 5)[5].strip() for line in maps
                  if "/tarnu_sdk.libs/libssl" in line or "/tarnu_sdk.libs/libcrypto" in line}
    (crypto,) = [p for p in mapped if "libcrypto" in p]
    (ssl,) = [p for p in mapped if "libssl" in p]
    crypto, ssl = ctypes.CDLL(crypto), ctypes.CDLL(ssl)
    for lib, name, restype, argtypes in [
            (crypto, "OpenSSL_version", ctypes.c_char_p, [ctypes.c_int]),
            (crypto, "X509_get_default_cert_file", ctypes.c_char_p, []),
            (crypto, "X509_get_default_cert_dir", ctypes.c_char_p, []),
            (crypto, "X509_get_default_cert_file_env", ctypes.c_char_p, []),
            (crypto, "X509_get_default_cert_dir_env", ctypes.c_char_p, []),
            (crypto, "X509_STORE_get0_objects", ctypes.c_void_p, [ctypes.c_void_p]),
            (crypto, "OPENSSL_sk_num", ctypes.c_int, [ctypes.c_void_p]),
            (ssl, "TLS_client_method", ctypes.c_void_p, []),
            (ssl, "SSL_CTX_new", ctypes.c_void_p, [ctypes.c_void_p]),
            (ssl, "SSL_CTX_free", None, [ctypes.c_void_p]),
            (ssl, "SSL_CTX_set_default_verify_paths", ctypes.c_int, [ctypes.c_void_p]),
            (ssl, "SSL_CTX_get_cert_store", ctypes.c_void_p, [ctypes.c_void_p])]:
        getattr(lib, name).restype, getattr(lib, name).argtypes = restype, argtypes

    def trusted() -> int:
        # What a TLS client of the library trusts by default: the certificates loaded
        # eagerly from the default file (the directory is searched lazily).
        ctx = ssl.SSL_CTX_new(ssl.TLS_client_method())
        assert ssl.SSL_CTX_set_default_verify_paths(ctx) == 1
        store = ssl.SSL_CTX_get_cert_store(ctx)
        count = crypto.OPENSSL_sk_num(crypto.X509_STORE_get0_objects(store))
        ssl.SSL_CTX_free(ctx)
        return count

    OPENSSL_DIR = 4
    found = {"dir": crypto.OpenSSL_version(OPENSSL_DIR).decode(),
             "file": crypto.X509_get_default_cert_file().decode(),
             "certs": crypto.X509_get_default_cert_dir().decode(),
             "file_env": crypto.X509_get_default_cert_file_env().decode(),
             "dir_env": crypto.X509_get_default_cert_dir_env().decode(),
             "trusted": trusted()}
    os.environ["SSL_CERT_FILE"] = sys.argv[1]
    found["trusted_from_env"] = trusted()
    print(json.dumps(found))
"""


def test_the_carried_openssl_uses_the_system_trust_store(venv, tmp_path):
    system_dir = run("openssl", "version", "-d").stdout.strip()  # OPENSSLDIR: "/usr/lib/ssl"
    # Two self-signed certificates of the test's own, for SSL_CERT_FILE.
    for name in ("one", "two"):
        run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-nodes", "-keyout", tmp_path / f"{name}.key", "-out", tmp_path / f"{name}.pem",
            "-days", "1", "-subj", f"/CN=tarnu test {name}")
    bundle = tmp_path / "bundle.pem"
    bundle.write_bytes((tmp_path / "one.pem").read_bytes() + (tmp_path / "two.pem").read_bytes())

    found = json.loads(run(venv.python, "-I", "-c", OPENSSL, bundle, cwd=tmp_path).stdout)
    openssl_dir = re.fullmatch(r'OPENSSLDIR: "(.*)"', system_dir).group(1)
    assert found["dir"] == system_dir
    assert (found["file"], found["certs"]) == (f"{openssl_dir}/cert.pem", f"{openssl_dir}/certs")
    assert (found["file_env"], found["dir_env"]) == ("SSL_CERT_FILE", "SSL_CERT_DIR")
    try:
        in_store = Path(found["file"]).read_text().count("-----BEGIN CERTIFICATE-----")
    except FileNotFoundError:
        in_store = 0
    assert found["trusted"] == in_store
    assert found["trusted_from_env"] == 2


USER_CODE = """\
# pyright: strict
from typing import reveal_type

import tarnu_sdk

client = tarnu_sdk.SDK()
client.init("sensor-7", "127.0.0.1:1883", "tcp", "user", "password", keepAlive=30)
reveal_type(client.connect())  # bool
reveal_type(client.subscribe("sensors/#", qos=1))  # bool
reveal_type(client.publish("sensors/7", b"21.5", qos=1))  # None
reveal_type(client.is_connected())  # bool
client.on_message(lambda topic, payload: print(topic.upper(), payload.upper()))
client.on_connection(None)
client.publish("sensors/7", 21.5)  # error: a float is no payload
"""


def _expected() -> tuple[dict[int, str], list[int]]:
    """(line -> revealed type, error lines) as the comments in USER_CODE say."""
    reveals, errors = {}, []
    for number, line in enumerate(USER_CODE.splitlines(), 1):
        if line.startswith("reveal_type("):
            reveals[number] = line.rsplit("# ", 1)[1]
        elif "# error:" in line:
            errors.append(number)
    return reveals, errors


def _mypy(python: Path, cwd: Path) -> tuple[dict[int, str], list[tuple[int, str]]]:
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-executable", str(python), "user.py"],
        cwd=cwd, env=clean_env(), capture_output=True, text=True, timeout=120)
    reveals, errors = {}, []
    for line in done.stdout.splitlines():
        if (m := re.fullmatch(r'user\.py:(\d+): note: Revealed type is "(.*)"', line)):
            reveals[int(m.group(1))] = m.group(2).removeprefix("builtins.")
        elif ": error: " in line:  # in any file, with its code if it has one
            m = re.fullmatch(r"(?:user\.py:(\d+)|.*?): error: .*?(?:  \[([\w-]+)\])?", line)
            errors.append((int(m.group(1) or 0), m.group(2) or line))
    return reveals, errors


def _pyright(python: Path, cwd: Path) -> tuple[dict[int, str], list[tuple[int, str]]]:
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", str(python), "user.py"],
        cwd=cwd, env=clean_env(PYRIGHT_PYTHON_IGNORE_WARNINGS="1"),
        capture_output=True, text=True, timeout=120)
    reveals, errors = {}, []
    for d in json.loads(done.stdout)["generalDiagnostics"]:
        line = d["range"]["start"]["line"] + 1
        if d["severity"] == "information" and d["message"].startswith("Type of "):
            reveals[line] = re.search(r' is "(.*)"$', d["message"]).group(1)
        else:
            errors.append((line, d.get("rule", d["severity"])))
    return reveals, errors


def test_mypy_and_pyright_find_the_stub_package(venv, tmp_path):
    (tmp_path / "user.py").write_text(USER_CODE)
    reveals, (error_line,) = _expected()
    for check, rule in ((_mypy, "arg-type"), (_pyright, "reportArgumentType")):
        assert check(venv.python, tmp_path) == (reveals, [(error_line, rule)]), check.__name__

    # The same file against an environment without the wheel: the types above came
    # from the one the wheel was installed into.
    bare = new_venv(tmp_path / "bare")
    assert (4, "import-not-found") in _mypy(bare, tmp_path)[1]
    assert (4, "reportMissingImports") in _pyright(bare, tmp_path)[1]
