"""The module frame: exported symbols, imports, the interpreter version check,
method registration, keyword names and defaults, argument conversion."""
from __future__ import annotations

import glob
import json
import re
import subprocess
import sys

import pytest

import tarnu_sdk
from support import Recorder

SO_PATH = tarnu_sdk.__file__


def test_pyinit_is_the_only_exported_symbol():
    nm = subprocess.run(["nm", "-D", "--defined-only", SO_PATH],
                        capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit_tarnu_sdk"]


def test_second_import_returns_the_same_module_object():
    script = ("import importlib, sys, tarnu_sdk as first; cls = first.SDK\n"
              "del sys.modules['tarnu_sdk']; second = importlib.import_module('tarnu_sdk')\n"
              "print(second is first, second.SDK is cls)")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    assert (run.returncode, run.stdout.split()) == (0, ["True", "True"]), run.stderr


LOAD = """import importlib.util, json, sys
spec = importlib.util.spec_from_file_location("tarnu_sdk", sys.argv[1])
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec)); error = None
except BaseException as e:
    error = [type(e).__name__, str(e)]
print(json.dumps([sys.version, error]))"""


@pytest.mark.parametrize("series", ["3.12", "3.11"])
def test_other_interpreter_gets_the_exact_version_mismatch_error(series):
    found = sorted(glob.glob(f"/root/.pyenv/versions/{series}.*/bin/python"))
    if not found:
        pytest.skip(f"no Python {series} on this machine")
    run = subprocess.run([found[-1], "-c", LOAD, SO_PATH],
                         capture_output=True, text=True, timeout=30)
    version, error = json.loads(run.stdout)
    assert version.startswith(series + ".")
    assert error == ["ImportError", "Python version mismatch: module was compiled for Python 3.13, "
                     f"but the interpreter version is incompatible: {version}."]


def test_methods_are_registered_in_table_order():
    assert [name for name in vars(tarnu_sdk.SDK) if not name.startswith("__")] == [
        "_pybind11_conduit_v1_", "init", "connect", "disconnect", "publish", "subscribe",
        "unsubscribe", "on_message", "on_connection", "stop", "is_connected"]


ALL_KEYWORDS = dict(cleanSession=True, resumeSubs=False, connectRetry=False, autoReconnect=False,
                    connectRetryInterval=7, maxReconnectInterval=3, keepAlive=17, pingTimeout=4,
                    writeTimeout=6, orderMatters=True, connectTimeout=9, edition="Community")


@pytest.mark.parametrize("by_keyword, flags", [(False, "c0, k30"), (True, "c1, k17")],
                         ids=["five-positional-strings", "all-seventeen-keywords"])
def test_init_signature_and_defaults_reach_the_broker(broker, by_keyword, flags):
    client_id = f"tarnu-init-{by_keyword}"
    client = tarnu_sdk.SDK()
    try:
        if by_keyword:
            client.init(clientId=client_id, brokerHost=broker.address, protocol="tcp",
                        username="", password="", **ALL_KEYWORDS)
        else:
            assert client.init(client_id, broker.address, "tcp", "", "") is None
        assert client.connect() is True
        # The broker logs the clean-session flag and the keepalive it was sent.
        assert re.search(rf"as {client_id} \(p\d, {flags}\b", broker.log())
    finally:
        client.stop()


def test_methods_take_their_keyword_names_and_return_bool_or_none(broker, make_client, topic):
    client = make_client(broker.address)
    recorder = Recorder()
    assert client.on_message(recorder) is None and client.on_connection(None) is None
    assert client.connect() is True and client.is_connected() is True
    assert client.subscribe(topic=topic, qos=1) is True
    assert client.publish(topic=topic, payload="kw", qos=1, retained=False) is None
    assert recorder.wait_for(1)
    assert client.unsubscribe(topic=topic) is None
    assert client.disconnect() is None and client.is_connected() is False
    assert client.stop() is None
    for setter in (client.on_message, client.on_connection):
        with pytest.raises(TypeError):
            setter(handler=recorder)


BAD_CALLS = {
    "publish qos float": lambda c, t: c.publish(t, "x", qos=1.0),
    "subscribe qos float": lambda c, t: c.subscribe(t, qos=0.0),
    "publish qos 2**31": lambda c, t: c.publish(t, "x", qos=2**31),
    "subscribe qos 2**31": lambda c, t: c.subscribe(t, qos=2**31),
    "subscribe qos -2**31-1": lambda c, t: c.subscribe(t, qos=-2**31 - 1),
    "publish topic surrogate": lambda c, t: c.publish(t + "\ud800", "x"),
    "publish payload surrogate": lambda c, t: c.publish(t, "a\ud800b"),
    "subscribe topic surrogate": lambda c, t: c.subscribe("\ud800"),
    "unsubscribe topic surrogate": lambda c, t: c.unsubscribe(t + "\udfff"),
    "publish retained str": lambda c, t: c.publish(t, "x", retained="yes"),
    "init keepAlive -2**31-1": lambda c, t: c.init("x", "h:1", "tcp", "", "", keepAlive=-2**31 - 1),
    "init timeout 2**31": lambda c, t: c.init("x", "h:1", "tcp", "", "", connectTimeout=2**31),
    "init keepAlive float": lambda c, t: c.init("x", "127.0.0.1:1", "tcp", "", "", keepAlive=30.0),
    "init host surrogate": lambda c, t: c.init("x", "127.0.0.1:\ud800", "tcp", "", ""),
    "init edition surrogate": lambda c, t: c.init("x", "h:1", "tcp", "", "", edition="\ud800"),
}


def test_unconvertible_arguments_raise_type_error_and_leave_the_client_as_it_was(
    broker, make_client, topic, capfd
):
    client = make_client(broker.address)
    client.connect()
    recorder = Recorder()
    client.on_message(recorder)
    client.subscribe(topic, qos=1)
    capfd.readouterr()
    for name, call in BAD_CALLS.items():
        with pytest.raises(TypeError):
            call(client, topic)
        # Nothing ran: a real init would first have disconnected the client.
        assert capfd.readouterr() == ("", ""), name
        assert client.is_connected() is True, name
    client.publish(topic, "still works", qos=1)
    assert recorder.wait_for(1) and recorder.snapshot() == [(topic, "still works")]


def test_unconvertible_init_on_a_fresh_object_creates_no_client(capfd):
    client = tarnu_sdk.SDK()
    with pytest.raises(TypeError):
        client.init("c", "\ud800", "tcp", "", "")
    assert client.connect() is False
    assert capfd.readouterr() == ("", "[SDK] connect \u2014 call init() first\n")


def test_instance_without_init_is_deallocated_silently(capfd):
    instance = tarnu_sdk.SDK.__new__(tarnu_sdk.SDK)
    del instance
    assert capfd.readouterr() == ("", "")


UNCONSTRUCTED = """import os, threading, tarnu_sdk
calls = [("is_connected", ()), ("connect", ()), ("publish", ("t", "p")), ("subscribe", ("t",)),
         ("unsubscribe", ("t",)), ("on_message", (print,)), ("disconnect", ()), ("stop", ())]
def call(name, args, outcome):
    try:
        getattr(tarnu_sdk.SDK.__new__(tarnu_sdk.SDK), name)(*args)
        outcome.append("returned")
    except Exception as error:
        outcome.append(type(error).__name__)
for name, args in calls:
    outcome = []
    worker = threading.Thread(target=call, args=(name, args, outcome), daemon=True)
    worker.start()
    worker.join(3)
    print(name, outcome[0] if outcome else "hung", flush=True)
os._exit(0)"""


def test_methods_of_an_instance_whose_init_never_ran_raise_type_error():
    run = subprocess.run([sys.executable, "-c", UNCONSTRUCTED],
                         capture_output=True, text=True, timeout=60)
    outcome = dict(line.split() for line in run.stdout.splitlines())
    assert run.returncode == 0, f"the process died with {run.returncode} after {outcome}"
    assert outcome == dict.fromkeys(outcome, "TypeError")
