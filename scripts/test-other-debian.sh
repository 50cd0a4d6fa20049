#!/usr/bin/env bash
# `make test` on the other Debian release: a Debian 12 machine runs it in a Debian 13
# (trixie) root, a Debian 13 machine in a Debian 12 (bookworm) one.
#
#     scripts/test-other-debian.sh          (make test-other-debian [PYTEST_ARGS=...])
#
# The root is made once with debootstrap (minbase) under build/debian-<suite> and kept;
# each run copies this machine's CA certificates, pip and apt registry settings and
# resolv.conf into it, then the working tree (tracked and untracked-but-not-ignored
# files, and .git) to /work/main and ../shared to /work/shared, keeping the root's own
# .venv, build/ and dist/ so that a second run is incremental. `make test` then runs
# there under chroot with a clean environment, in a private mount and PID namespace:
# every mount (proc, sys, devpts, /dev/shm, /tmp, the read-only /opt indexes) and every
# process the run started vanish when it ends, however it ends. No writable host
# directory and nothing of the host's /dev is ever mounted into the root, so removing
# build/ can never reach the host's files. Exits with the status of the inner
# `make test`.
set -euo pipefail

say() { printf '[other-debian] %s\n' "$*" >&2; }
die() { say "$*"; exit 2; }

# The part that runs inside the private namespaces: mounts, chroot, make test.
if [ "${1:-}" = --inside ]; then
    root=$2
    mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5,nosuid,noexec devpts "$root/dev/pts"
    if [ -c "$root/dev/ptmx" ]; then mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"; fi
    mount -t tmpfs -o nosuid,nodev,mode=1777 tmpfs "$root/dev/shm"
    mount -t tmpfs -o nosuid,nodev,mode=1777 tmpfs "$root/tmp"
    # The local package indexes the pip configuration names, read-only.
    for dir in /opt/wheels /opt/pypi /opt/pypi-more; do
        if [ -d "$dir" ]; then
            mkdir -p "$root$dir"
            mount --bind -o ro,nosuid,nodev "$dir" "$root$dir"
        fi
    done

    environment=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    while IFS= read -r name; do
        environment+=("$name=${!name}")
    done < <(compgen -e | grep -E '^(PIP_.*|CI|PYTEST_ARGS)$' || true)

    status=0
    chroot "$root" /usr/bin/env -i "${environment[@]}" \
        /bin/bash -c 'cd /work/main && exec make test' || status=$?
    release=$(cat "$root/etc/debian_version")
    paho=$(chroot "$root" dpkg-query -W -f='${Version}' libpaho-mqtt1.3 2>/dev/null || echo "not installed")
    say "Debian $release ($3), Paho MQTT C (libpaho-mqtt1.3) $paho: make test exited with status $status"
    exit "$status"
fi

if [ "$(id -u)" -ne 0 ]; then
    keep=$(compgen -e | grep -E '^(PIP_.*|CI|PYTEST_ARGS)$' | paste -sd, || true)
    exec sudo ${keep:+--preserve-env="$keep"} "$0" "$@"
fi

cd "$(dirname "$0")/.."
CHECKOUT=$PWD
export LC_ALL=C
SHARED=$(dirname "$CHECKOUT")/shared

# --- Which release ----------------------------------------------------------------
[ -r /etc/debian_version ] || die "this machine is not Debian (no /etc/debian_version)"
host_version=$(cat /etc/debian_version)
case $host_version in
    12.* | bookworm*) SUITE=trixie; NUMBER=13 ;;
    13.* | trixie*) SUITE=bookworm; NUMBER=12 ;;
    *) die "this machine is Debian $host_version; only Debian 12 and 13 have another to test" ;;
esac

# The mirror this machine's apt uses for Debian itself (not the security archive).
mirror=""
if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    mirror=$(awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++)
                  if ($i ~ /^(https?|ftp|file):/ && $i !~ /security/) { print $i; exit } }' \
             /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$mirror" ] && [ -r /etc/apt/sources.list ]; then
    mirror=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) {
                      if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; continue }
                      if ($i ~ /^(https?|ftp|file):/ && $i !~ /security/) { print $i; exit }
                      break } }' /etc/apt/sources.list)
fi
MIRROR=${mirror:-http://deb.debian.org/debian}

ROOT=$CHECKOUT/build/debian-$SUITE
mkdir -p build
say "Debian $NUMBER ($SUITE) in $ROOT, from $MIRROR"

# One run at a time per root.
exec 9>"build/debian-$SUITE.lock"
if ! flock -n 9; then
    say "waiting for another run in $ROOT to end"
    flock 9
fi

# Refuses to go on when anything is mounted at or under $1 in this namespace.
nothing_mounted_under() {
    local mounts
    mounts=$(awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo)
    [ -z "$mounts" ] || die "mounted under $1 (unmount these first): $mounts"
}

# --- The root, made once -----------------------------------------------------------
# git: tests/test_wheel.py compares the source distribution with `git ls-files`.
INCLUDE=make,ca-certificates,git
MADE="debootstrap --variant=minbase --include=$INCLUDE $SUITE $MIRROR"
MARKER=$ROOT/.debootstrap-complete
if [ "$(cat "$MARKER" 2>/dev/null)" != "$MADE" ]; then
    if ! command -v debootstrap >/dev/null && [ ! -x /usr/sbin/debootstrap ]; then
        say "installing debootstrap"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    fi
    if [ -e "$ROOT" ]; then
        say "removing the unfinished (or differently made) root"
        nothing_mounted_under "$ROOT"
        rm -rf --one-file-system "$ROOT"
    fi
    mkdir -p "$ROOT"
    log=build/debian-$SUITE.debootstrap.log
    say "$MADE (log: $log)"
    # debootstrap mounts proc, sys and (in a container) the host's /dev inside the
    # root; its own namespace makes those vanish too if it is interrupted.
    if ! unshare --mount --propagation private --fork --kill-child \
            /usr/sbin/debootstrap --variant=minbase --include="$INCLUDE" \
            "$SUITE" "$ROOT" "$MIRROR" >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        die "debootstrap failed; the next run starts it again"
    fi
    echo "$MADE" >"$MARKER"
fi
nothing_mounted_under "$ROOT"

# --- How this machine reaches the registries ------------------------------------------
cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf.new" && mv -f "$ROOT/etc/resolv.conf.new" "$ROOT/etc/resolv.conf"
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    install -D -m 644 /etc/ssl/certs/ca-certificates.crt "$ROOT/etc/ssl/certs/ca-certificates.crt"
fi
rm -rf "$ROOT/usr/local/share/ca-certificates"
if [ -d /usr/local/share/ca-certificates ]; then
    cp -a /usr/local/share/ca-certificates "$ROOT/usr/local/share/ca-certificates"
else
    mkdir -p "$ROOT/usr/local/share/ca-certificates"
fi
rm -f "$ROOT/etc/pip.conf"
if [ -f /etc/pip.conf ]; then cp /etc/pip.conf "$ROOT/etc/pip.conf"; fi
rm -rf "$ROOT/etc/xdg/pip"
if [ -d /etc/xdg/pip ]; then mkdir -p "$ROOT/etc/xdg" && cp -a /etc/xdg/pip "$ROOT/etc/xdg/pip"; fi
# The user's own pip configuration (the one run as root here) becomes root's there.
rm -rf "$ROOT/root/.config/pip" "$ROOT/root/.pip"
user_config=${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf
if [ -f "$user_config" ]; then install -D -m 644 "$user_config" "$ROOT/root/.config/pip/pip.conf"; fi
if [ -f "$HOME/.pip/pip.conf" ]; then install -D -m 644 "$HOME/.pip/pip.conf" "$ROOT/root/.pip/pip.conf"; fi
if [ -n "${PIP_CONFIG_FILE:-}" ] && [ -f "$PIP_CONFIG_FILE" ]; then
    install -D -m 644 "$PIP_CONFIG_FILE" "$ROOT$PIP_CONFIG_FILE"
fi
# apt settings about how the archive is reached (proxies, validity of a snapshot).
for file in /etc/apt/apt.conf.d/*; do
    if [ -f "$file" ] && grep -qiE 'proxy|Check-Valid-Until|Check-Date|Acquire::(https?|ftp)::' "$file"; then
        cp "$file" "$ROOT/etc/apt/apt.conf.d/"
    fi
done

# --- The working tree ----------------------------------------------------------------
# Copies the NUL-separated relative paths on stdin from $1 to $2 (times kept, so that
# make sees unchanged files as unchanged). A file that vanishes or changes while it is
# read (others edit this tree) is not an error.
copy_files() {
    local status=0
    (cd "$1" && tar -c --null --no-recursion --ignore-failed-read --warning=no-file-changed \
        --warning=no-failed-read -T - -f -) | (cd "$2" && tar -x --no-same-owner -f -) || status=$?
    [ "$status" -eq 0 ] || [ "$status" -eq 1 ] || die "copying $1 to $2 failed"
}

# Makes $2 hold exactly the files of $1 that the NUL-separated list $3 names (and the
# directories leading to them), leaving .venv, build, dist and .git in $2 alone.
sync_tree() {
    local src=$1 dst=$2 list=$3
    mkdir -p "$dst"
    (cd "$dst" && find . -mindepth 1 \( -path ./.venv -o -path ./build -o -path ./dist -o -path ./.git \) \
        -prune -o ! -type d -printf '%P\0' | sort -z) >"$list.there"
    sort -z -u "$list" >"$list.wanted"
    comm -z -23 "$list.there" "$list.wanted" | (cd "$dst" && xargs -0 -r rm -f --)
    (cd "$dst" && find . -mindepth 1 \( -path ./.venv -o -path ./build -o -path ./dist -o -path ./.git \) \
        -prune -o -type d -empty -printf '%P\0' | xargs -0 -r rmdir -p --ignore-fail-on-non-empty 2>/dev/null) || true
    copy_files "$src" "$dst" <"$list.wanted"
    rm -f "$list.there" "$list.wanted"
}

lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT

git -C "$CHECKOUT" ls-files -z --cached --others --exclude-standard |
    (cd "$CHECKOUT" && while IFS= read -r -d '' f; do
        if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
    done) >"$lists/main"
sync_tree "$CHECKOUT" "$ROOT/work/main" "$lists/main"
# The repository itself, whole, for the tests that ask git what is tracked.
rm -rf "$ROOT/work/main/.git"
(cd "$CHECKOUT" && find .git -print0) | copy_files "$CHECKOUT" "$ROOT/work/main"

if [ -d "$SHARED" ]; then
    (cd "$SHARED" && find . -mindepth 1 ! -type d -printf '%P\0') >"$lists/shared"
    sync_tree "$SHARED" "$ROOT/work/shared" "$lists/shared"
else
    rm -rf "$ROOT/work/shared"
fi

# --- The run ----------------------------------------------------------------------------
say "make test in Debian $(cat "$ROOT/etc/debian_version") ($SUITE)${PYTEST_ARGS:+, PYTEST_ARGS=$PYTEST_ARGS}"
status=0
unshare --mount --propagation private --pid --fork --kill-child \
    "$CHECKOUT/scripts/test-other-debian.sh" --inside "$ROOT" "$SUITE" 9>&- || status=$?
exit "$status"
