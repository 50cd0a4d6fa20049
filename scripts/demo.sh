#!/usr/bin/env bash
# The demo: each example against a private broker, with the client's log lines.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python

WITH_BROKER="$PY scripts/with-broker.py"

echo "== quickstart: connect, subscribe, publish, receive"
$WITH_BROKER -- $PY examples/quickstart.py '{broker}'

echo; echo "== publish: text and bytes at each QoS, a retained message, a refused QoS"
$WITH_BROKER -- $PY examples/publish.py '{broker}'

echo; echo "== subscribe: a filter, and what arrives on it"
$WITH_BROKER -- $PY examples/subscribe.py '{broker}' 1

echo; echo "== request/response: a handler that publishes its answer"
$WITH_BROKER -- $PY examples/request_response.py '{broker}'

echo; echo "== many QoS 1 publishes at once: a thread pool sharing one client"
$WITH_BROKER -- $PY examples/publish_pool.py '{broker}'

echo; echo "== the same from asyncio, each call in a worker thread (asyncio.to_thread)"
$WITH_BROKER -- $PY examples/publish_asyncio.py '{broker}'

echo; echo "== reconnection: the broker is killed and comes back"
$WITH_BROKER --restart-after 1.5 -- $PY examples/connection_watch.py '{broker}' 20

echo; echo "== enterprise: a sealed password, opened by the broker's tarnu_unseal plugin"
# The broker holds the development private key that matches the default build's
# public key (a build with SEALING_JWK=... needs its own private key here).
$WITH_BROKER --user 'demo:s3cret pässwort' \
    --plugin-line "plugin $PWD/build/broker/tarnu_unseal.so" \
    --plugin-line "plugin_opt_private_key $PWD/tests/keys/development-only.private.jwk" \
    -- $PY examples/enterprise.py '{broker}' demo 's3cret pässwort'
