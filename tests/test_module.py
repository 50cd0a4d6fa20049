"""The module frame: exported symbols, imports, the interpreter version check, keyword
names and defaults, instances whose __init__ never ran (arguments that cannot be
converted: test_bad_input.py)."""
from __future__ import annotations

import glob
import json
import re
import subprocess
import sys

import pytest

import tarnu_sdk

SO_PATH = tarnu_sdk.__file__


def python(*args: str, interpreter: str = sys.executable) -> subprocess.CompletedProcess:
    return subprocess.run([interpreter, "-c", *args], capture_output=True, text=True, timeout=60)


def test_pyinit_is_the_only_export_and_a_second_import_is_the_same_module():
    nm = subprocess.run(["nm", "-D", "--defined-only", SO_PATH],
                        capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit_tarnu_sdk"]
    run = python("import importlib, sys, tarnu_sdk as first; cls = first.SDK\n"
                 "del sys.modules['tarnu_sdk']; second = importlib.import_module('tarnu_sdk')\n"
                 "print(second is first, second.SDK is cls)")
    assert (run.returncode, run.stdout.split()) == (0, ["True", "True"]), run.stderr


LOAD = """import importlib.util, json, sys
where = importlib.util.spec_from_file_location("tarnu_sdk", sys.argv[1])
try:
    where.loader.exec_module(importlib.util.module_from_spec(where)); error = None
except BaseException as e:
    error = [type(e).__name__, str(e)]
print(json.dumps([sys.version, error]))"""


@pytest.mark.parametrize("series", ["3.12", "3.11"])
def test_other_interpreter_gets_the_exact_version_mismatch_error(series):
    found = sorted(glob.glob(f"/root/.pyenv/versions/{series}.*/bin/python"))
    if not found:
        pytest.skip(f"no Python {series} on this machine")
    version, error = json.loads(python(LOAD, SO_PATH, interpreter=found[-1]).stdout)
    assert version.startswith(series + ".")
    assert error == ["ImportError", "Python version mismatch: module was compiled for Python 3.13, "
                     f"but the interpreter version is incompatible: {version}."]


ALL_KEYWORDS = dict(cleanSession=True, resumeSubs=False, connectRetry=False, autoReconnect=False,
                    connectRetryInterval=7, maxReconnectInterval=3, keepAlive=17, pingTimeout=4,
                    writeTimeout=6, orderMatters=True, connectTimeout=9, edition="Community")


@pytest.mark.parametrize("by_keyword, flags", [(False, "c0, k30"), (True, "c1, k17")],
                         ids=["five-positional-strings", "all-seventeen-keywords"])
def test_init_signature_and_defaults_reach_the_broker(broker, make_client, by_keyword, flags):
    client_id = f"tarnu-init-{by_keyword}"
    client = make_client(broker.address, clientId=client_id, **ALL_KEYWORDS if by_keyword else {})
    if not by_keyword:  # again, the five strings positionally and defaults for the rest
        assert client.init(client_id, broker.address, "tcp", "", "") is None
    assert client.connect() is True
    # The broker logs the clean-session flag and the keepalive it was sent.
    assert re.search(rf"as {client_id} \(p\d, {flags}\b", broker.log())


METHODS = {"is_connected": "", "connect": "", "publish": "'t', 'p'", "subscribe": "'t'",
           "unsubscribe": "'t'", "on_message": "print", "on_connection": "print",
           "disconnect": "", "stop": ""}  # name: arguments
UNCONSTRUCTED = """import json, os, sys, threading, tarnu_sdk
for name, args in json.loads(sys.argv[1]).items():
    outcome = []
    def call():
        try:
            getattr(tarnu_sdk.SDK.__new__(tarnu_sdk.SDK), name)(*eval(f"[{args}]"))
            outcome.append("returned")
        except Exception as error:
            outcome.append(type(error).__name__)
    worker = threading.Thread(target=call, daemon=True)
    worker.start()
    worker.join(3)
    print(name, outcome[0] if outcome else "hung", flush=True)
os._exit(0)"""


def test_an_instance_whose_init_never_ran_raises_type_error_and_goes_silently():
    run = python(UNCONSTRUCTED, json.dumps(METHODS))
    assert run.returncode == 0, f"the process died with {run.returncode}: {run.stdout}"
    # Each instance is dropped right after its call: nothing else may be printed.
    assert run.stdout.splitlines() == [f"{name} TypeError" for name in METHODS]
    assert run.stderr == ""


REUSED = """import tarnu_sdk
outcomes = set()
for _ in range(50):
    tarnu_sdk.SDK()  # made and deleted at once: its memory is free again
    try:
        outcomes.add(repr(tarnu_sdk.SDK.__new__(tarnu_sdk.SDK).is_connected()))
    except TypeError:
        outcomes.add("TypeError")
print(sorted(outcomes))"""


def test_an_instance_whose_init_never_ran_is_refused_where_a_deleted_client_was():
    run = python(REUSED)
    assert (run.returncode, run.stdout.splitlines()[-1]) == (0, "['TypeError']"), run.stderr
