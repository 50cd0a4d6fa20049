#!/usr/bin/env bash
# Builds the module with sanitizers and runs the test suite under them.
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/sanitize.sh tsan   ThreadSanitizer
# The instrumented module goes to build/<kind>/site, which is put ahead of the
# regular install on PYTHONPATH; the interpreter itself is not instrumented, so the
# sanitizer runtime is preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?asan or tsan}
shift
PY=.venv/bin/python
case "$kind" in
    asan)
        sanitize=address,undefined
        runtime=$(gcc -print-file-name=libasan.so)
        # Leaks are checked by `make valgrind`: at exit the interpreter keeps much
        # of its memory on purpose, which would drown this project's own.
        export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tests/sanitizers/ubsan.supp"
        # Every allocation through malloc, where the sanitizer can see it.
        export PYTHONMALLOC=malloc
        ;;
    tsan)
        sanitize=thread
        runtime=$(gcc -print-file-name=libtsan.so)
        # atexit_sleep_ms: the runtime otherwise sleeps a second at every exit, which
        # the tests that time interpreter exits would take for a hang.
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$PWD/tests/sanitizers/tsan.supp"
        ;;
    *) echo "unknown sanitizer kind: $kind" >&2; exit 2 ;;
esac

site=build/$kind/site
$PY -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps --no-index \
    -Cbuild-dir="build/$kind/cmake" -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.TARNU_SANITIZE="$sanitize" --target "$site" --upgrade .
# The C++ runtime is preloaded too: the interpreter does not link it, and the
# sanitizer must find the real exception functions when it starts.
preload="$runtime $(gcc -print-file-name=libstdc++.so)"
echo "[sanitize] running the tests with the $kind build ($preload)"
PYTHONPATH="$PWD/$site" LD_PRELOAD="$preload" $PY -m pytest -p no:cacheprovider "$@"
