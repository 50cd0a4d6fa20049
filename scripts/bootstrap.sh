#!/usr/bin/env bash
# Brings a fresh Debian machine to the point where the project builds and its tests
# run: system packages, a Python 3.13, the .venv and the project's dependencies.
# Idempotent: a second run with nothing changed does no network work.
set -euo pipefail

cd "$(dirname "$0")/.."
VENV=.venv
STAMP=$VENV/.deps-stamp

say() { printf '[bootstrap] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- Debian packages -------------------------------------------------------------
PACKAGES=(
    build-essential pkg-config binutils openssl
    libpaho-mqtt-dev libcjose-dev libjansson-dev libssl-dev
    mosquitto mosquitto-dev libmosquitto-dev mosquitto-clients valgrind
)
missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- Python 3.13 -----------------------------------------------------------------
is_313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

find_python() {
    local candidate
    if candidate=$(command -v python3.13) && is_313 "$candidate"; then
        echo "$candidate"; return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
            if [ -x "$candidate" ] && is_313 "$candidate"; then echo "$candidate"; return; fi
        done
    fi
    for candidate in /usr/bin/python3.13 /opt/python3.13/bin/python3.13; do
        if [ -x "$candidate" ] && is_313 "$candidate"; then echo "$candidate"; return; fi
    done
    return 1
}

PYTHON=$(find_python || true)
if [ -z "$PYTHON" ]; then
    if apt-cache show python3.13-venv >/dev/null 2>&1; then
        say "installing Debian's python3.13"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            python3.13 python3.13-dev python3.13-venv >/dev/null
    else
        scripts/build-python.sh /opt/python3.13
    fi
    PYTHON=$(find_python)
fi

# --- The virtual environment and the project's dependencies ----------------------
if [ -x "$VENV/bin/python" ] && ! is_313 "$VENV/bin/python"; then
    say "replacing $VENV: it is not Python 3.13"
    rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
    say "creating $VENV with $PYTHON"
    "$PYTHON" -m venv "$VENV"
fi

# Everything pip needs comes from pyproject.toml: the build requirements (the
# module is built without isolation, into a build directory that is kept between
# runs), cmake and ninja, and the test and bench extras.
want=$(sha256sum pyproject.toml scripts/bootstrap.sh | sha256sum | cut -c1-16)
if [ "$(cat "$STAMP" 2>/dev/null)" != "$want" ]; then
    say "installing Python dependencies"
    requirements=$("$VENV/bin/python" - <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
wanted = list(project["build-system"]["requires"]) + ["cmake>=3.18", "ninja"]
for extra in ("test", "bench"):
    wanted += project["project"]["optional-dependencies"][extra]
print("\n".join(wanted))
EOF
)
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    mapfile -t reqs <<<"$requirements"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${reqs[@]}"
    echo "$want" >"$STAMP"
fi
