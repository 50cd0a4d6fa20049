#!/usr/bin/env bash
# Last resort of the bootstrap: builds CPython 3.13 from Debian's source package
# into a prefix (default /opt/python3.13), for a release of Debian that has no
# Python 3.13 of its own. About three minutes on two cores.
set -euo pipefail

PREFIX=${1:-/opt/python3.13}
SUITE=${PYTHON_SOURCE_SUITE:-trixie}
say() { printf '[build-python] %s\n' "$*" >&2; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    dpkg-dev build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev uuid-dev >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial"
echo "deb-src http://deb.debian.org/debian $SUITE main" >"$work/sources.list"
apt_src=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
         -o "Dir::State::Lists=$work/lists")
say "fetching python3.13 source from Debian $SUITE"
apt-get "${apt_src[@]}" update -qq
(cd "$work" && apt-get "${apt_src[@]}" source --download-only -qq python3.13)
(cd "$work" && dpkg-source --no-check -x python3.13_*.dsc src >/dev/null)

say "building into $PREFIX"
cd "$work/src"
./configure --prefix="$PREFIX" --with-ensurepip=install >/dev/null
make -j"$(nproc)" >/dev/null
as_root make install >/dev/null
"$PREFIX/bin/python3.13" -V
