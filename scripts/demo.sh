#!/usr/bin/env bash
# The demo: each example against a private broker, with the client's log lines.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python

echo "== quickstart: connect, subscribe, publish, receive"
$PY scripts/with-broker.py -- $PY examples/quickstart.py '{broker}'
