"""Private mosquitto brokers on free loopback ports, for the tests and the demo.

Every broker gets its own directory with a generated configuration, listens on
127.0.0.1 only, and is stopped (and waited for) by `stop()`.
"""
from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
MOSQUITTO_PASSWD = shutil.which("mosquitto_passwd") or "/usr/bin/mosquitto_passwd"


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
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
    """One mosquitto process. `users` maps user names to passwords and turns off
    anonymous access; `extra` lines are appended to the configuration. `plugin`
    lines (a `plugin` line and its `plugin_opt_` lines) load an authentication
    plugin, which is then given the users' password file as plugin_opt_password_file
    instead of mosquitto."""

    def __init__(self, users: dict[str, str] | None = None, extra: list[str] | None = None,
                 plugin: list[str] | None = None):
        self.users = users
        self.extra = list(extra or [])
        self.plugin = list(plugin or [])
        self.dir = Path(tempfile.mkdtemp(prefix="tarnu-broker-"))
        self.port = free_port()
        self.proc: subprocess.Popen | None = None
        self.log_path = self.dir / "mosquitto.log"

    @property
    def address(self) -> str:
        """The brokerHost argument of SDK.init: host and port."""
        return f"127.0.0.1:{self.port}"

    def _write_config(self) -> Path:
        lines = [
            f"listener {self.port} 127.0.0.1",
            "persistence false",
            "log_dest stderr",
            "log_type error",
            "log_type warning",
            "log_type notice",
            "log_type information",
            "max_queued_messages 100000",
        ]
        if os.geteuid() == 0 and not any(line.split()[:1] == ["user"] for line in self.extra):
            # Started by root, mosquitto would drop to its own user and could not
            # read the password file (nor a plugin's key) written here.
            lines.append("user root")
        if self.users is None:
            lines.append("allow_anonymous true")
        else:
            password_file = self.dir / "passwords"
            password_file.touch(mode=0o600)
            for user, password in self.users.items():
                subprocess.run(
                    [MOSQUITTO_PASSWD, "-b", str(password_file), user, password],
                    check=True, capture_output=True,
                )
            lines.append("allow_anonymous false")
            if self.plugin:
                lines += self.plugin + [f"plugin_opt_password_file {password_file}"]
            else:
                lines.append(f"password_file {password_file}")
        lines += self.extra
        config = self.dir / "mosquitto.conf"
        config.write_text("\n".join(lines) + "\n")
        return config

    def start(self) -> "Broker":
        config = self._write_config()
        for _ in range(3):
            log = open(self.log_path, "ab")
            self.proc = subprocess.Popen(
                [MOSQUITTO, "-c", str(config)],
                stdout=log, stderr=log, stdin=subprocess.DEVNULL,
            )
            log.close()
            if wait_for_port(self.port):
                return self
            self.stop()
            self.port = free_port()  # lost the port to someone else: try another
            config = self._write_config()
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
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=5)
            self.proc = None

    def restart(self) -> None:
        """Start again on the same port (after stop or kill)."""
        self.stop()
        config = self.dir / "mosquitto.conf"
        deadline = time.monotonic() + 10
        while True:
            log = open(self.log_path, "ab")
            self.proc = subprocess.Popen(
                [MOSQUITTO, "-c", str(config)], stdout=log, stderr=log, stdin=subprocess.DEVNULL
            )
            log.close()
            if wait_for_port(self.port, timeout=2):
                return
            self.stop()
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
