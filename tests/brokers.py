"""Private mosquitto brokers on free loopback ports (127.0.0.1 only), each with its own
directory and generated configuration, for the tests, the demo and the benchmark."""
from __future__ import annotations

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent() -> None:
    # A broker must not outlive a test run that crashed before its teardown.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
MOSQUITTO_PASSWD = shutil.which("mosquitto_passwd") or "/usr/bin/mosquitto_passwd"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, timeout: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            time.sleep(0.02)
    return False


class Broker:
    """One mosquitto process. `users` maps user names to passwords and turns off anonymous
    access; `extra` lines are appended to the configuration; `plugin` lines (a `plugin`
    line and its `plugin_opt_` lines) load an authentication plugin, which is then given
    the users' password file as plugin_opt_password_file instead of mosquitto."""

    def __init__(self, users: dict[str, str] | None = None, extra: list[str] | None = None,
                 plugin: list[str] | None = None):
        self.users, self.extra, self.plugin = users, list(extra or []), list(plugin or [])
        self.dir = Path(tempfile.mkdtemp(prefix="tarnu-broker-"))
        self.port, self.proc = free_port(), None
        self.log_path = self.dir / "mosquitto.log"

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def _write_config(self) -> None:
        lines = [f"listener {self.port} 127.0.0.1", "persistence false", "log_dest stderr",
                 *(f"log_type {kind}" for kind in ("error", "warning", "notice", "information")),
                 "max_queued_messages 100000"]
        if os.geteuid() == 0 and not any(line.split()[:1] == ["user"] for line in self.extra):
            # Started by root, mosquitto would drop to its own user and could not read
            # the password file (nor a plugin's key) written here.
            lines.append("user root")
        if self.users is None:
            lines.append("allow_anonymous true")
        else:
            password_file = self.dir / "passwords"
            password_file.touch(mode=0o600)
            for user, password in self.users.items():
                subprocess.run([MOSQUITTO_PASSWD, "-b", str(password_file), user, password],
                               check=True, capture_output=True)
            lines.append("allow_anonymous false")
            lines += (self.plugin + [f"plugin_opt_password_file {password_file}"] if self.plugin
                      else [f"password_file {password_file}"])
        (self.dir / "mosquitto.conf").write_text("\n".join(lines + self.extra) + "\n")

    def _spawn(self) -> bool:
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.dir / "mosquitto.conf")],
                                         stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                         preexec_fn=_die_with_parent)
        if wait_for_port(self.port) and self.proc.poll() is None:
            return True
        self.stop()
        return False

    def start(self) -> "Broker":
        for _ in range(3):
            self._write_config()
            if self._spawn():
                return self
            self.port = free_port()  # lost the port to someone else: try another
        raise RuntimeError(f"mosquitto did not start; log:\n{self.log()}")

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        self.proc = None

    def kill(self) -> None:
        """kill -9: no goodbye to the clients."""
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(timeout=5)
            self.proc = None

    def restart(self) -> None:
        """Starts again on the same port (after stop or kill)."""
        self.stop()
        deadline = time.monotonic() + 10
        while not self._spawn():
            if time.monotonic() > deadline:
                raise RuntimeError(f"mosquitto did not restart; log:\n{self.log()}")

    def log(self) -> str:
        try:
            return self.log_path.read_text(errors="replace")
        except OSError:
            return ""

    def cleanup(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "Broker":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.cleanup()
