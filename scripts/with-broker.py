#!/usr/bin/env python3
"""Runs a command against a private mosquitto on a free loopback port.

    scripts/with-broker.py [--conf-line LINE]... [--user NAME:PASSWORD]...
                           [--plugin-line LINE]... [--restart-after SECONDS]
                           -- COMMAND [ARG]...

The broker's address (host:port) replaces every "{broker}" in the command. The
broker is stopped when the command ends; the command's exit status is returned.
With --user, only those users may connect; with --plugin-line too, their password
file goes to that authentication plugin instead of mosquitto, e.g.

    --user demo:secret --plugin-line "plugin build/broker/tarnu_unseal.so"
        --plugin-line "plugin_opt_private_key tests/keys/development-only.private.jwk"
"""
import argparse
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from brokers import Broker  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--conf-line", action="append", default=[],
                        help="a line to add to the broker's configuration")
    parser.add_argument("--user", action="append", default=[], metavar="NAME:PASSWORD",
                        help="a user the broker accepts (no anonymous access then)")
    parser.add_argument("--plugin-line", action="append", default=[],
                        help="a plugin or plugin_opt_ line; the plugin gets the password file")
    parser.add_argument("--restart-after", type=float, metavar="SECONDS",
                        help="kill the broker (kill -9) this long after the command "
                             "starts, and start it again on the same port 2 s later")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")
    users = dict(user.split(":", 1) for user in args.user) if args.user else None
    if args.plugin_line and users is None:
        parser.error("--plugin-line needs --user")
    with Broker(users=users, extra=args.conf_line, plugin=args.plugin_line) as broker:
        print(f"[demo] mosquitto listening on {broker.address}", flush=True)
        command = [part.replace("{broker}", broker.address) for part in command]
        process = subprocess.Popen(command)
        if args.restart_after is not None:
            try:
                process.wait(timeout=args.restart_after)
            except subprocess.TimeoutExpired:
                print("[demo] killing the broker", flush=True)
                broker.kill()
                time.sleep(2)
                print("[demo] starting the broker again", flush=True)
                broker.restart()
        return process.wait()


if __name__ == "__main__":
    sys.exit(main())
