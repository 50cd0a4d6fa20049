#!/usr/bin/env bash
# The demo: each example against a private broker, with the client's log lines.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python

echo "== quickstart: connect, subscribe, publish, receive"
$PY scripts/with-broker.py -- $PY examples/quickstart.py '{broker}'

echo "== enterprise: a sealed password, opened by the broker's tarnu_unseal plugin"
# The broker holds the development private key that matches the default build's
# public key (a build with SEALING_JWK=... needs its own private key here).
$PY scripts/with-broker.py --user 'demo:s3cret pässwort' \
    --plugin-line "plugin $PWD/build/broker/tarnu_unseal.so" \
    --plugin-line "plugin_opt_private_key $PWD/tests/keys/development-only.private.jwk" \
    -- $PY examples/enterprise.py '{broker}' demo 's3cret pässwort'
