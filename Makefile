# The two commands of the README, `make demo` and `make test`, bootstrap whatever
# is missing (Debian packages, Python 3.13, .venv, the build) and are idempotent.
SHELL := /bin/bash
PY := .venv/bin/python
BUILD_DIR := build/cp313
MODULE_STAMP := .venv/.module-stamp
MODULE_SOURCES := $(wildcard sdk/*.h sdk/*.cpp sdk/*.in sdk/paho_workarounds/*.h sdk/paho_workarounds/*.cpp \
	python/*.h python/*.cpp python/*.map python/*.pyi) \
	CMakeLists.txt cmake/paho.cmake pyproject.toml $(wildcard keys/*.jwk)
# The public key Enterprise passwords are sealed under; a deployment builds with its
# own: make build SEALING_JWK=/path/to/key.public.jwk
SEALING_JWK ?= keys/development-only.public.jwk
KEY_CHOICE := build/sealing-key.choice
CMAKE_DEFINES := -Ccmake.define.TARNU_SEALING_JWK=$(abspath $(SEALING_JWK))
PYTEST_ARGS ?=

.PHONY: all bootstrap build plugin native test demo bench asan tsan asan-stress soak valgrind clean FORCE \
	plugin-valgrind plugin-fuzz wheel sdist library-race test-other-debian

all: test

bootstrap:
	@scripts/bootstrap.sh

# Records which key the module is built with, so that choosing another one (or
# changing the file) rebuilds the module.
$(KEY_CHOICE): FORCE
	@mkdir -p build
	@choice="$(abspath $(SEALING_JWK)) $$(sha256sum < $(SEALING_JWK))"; \
	 [ "$$(cat $@ 2>/dev/null)" = "$$choice" ] || echo "$$choice" > $@

# The module is built without build isolation into a kept build directory, so a
# rebuild is incremental and needs no network.
$(MODULE_STAMP): $(MODULE_SOURCES) $(KEY_CHOICE) .venv/.deps-stamp
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
		--no-index -Cbuild-dir=$(BUILD_DIR) $(CMAKE_DEFINES) .
	@touch $@

# The same module built as if the library's record layout were unknown, for the tests of
# what a user of another library release gets (tests/test_platforms.py).
NO_RECORD_SITE := build/no-record-site
NO_RECORD_STAMP := $(NO_RECORD_SITE)/.stamp
$(NO_RECORD_STAMP): $(MODULE_SOURCES) $(KEY_CHOICE) .venv/.deps-stamp
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
		--no-index -Cbuild-dir=build/no-record $(CMAKE_DEFINES) \
		-Ccmake.define.TARNU_IGNORE_LIBRARY_RECORD=ON --upgrade --target $(NO_RECORD_SITE) .
	@touch $@

build: bootstrap
	@$(MAKE) --no-print-directory $(MODULE_STAMP) $(NO_RECORD_STAMP) plugin native

# The installable wheel in dist/: the module (Release), repaired by auditwheel to carry
# Paho C, cjose, jansson and OpenSSL with their licences. Built in build/wheel, kept,
# so a second run compiles only what changed (and does nothing when nothing did).
wheel: bootstrap
	@$(PY) scripts/build-wheel.py --out dist --sealing-jwk $(SEALING_JWK)

# The source distribution in dist/, for machines with the system libraries installed.
sdist: bootstrap
	@mkdir -p dist && $(PY) -c 'from scikit_build_core.build import build_sdist; print("dist/" + build_sdist("dist"))'

CMAKE := .venv/bin/cmake
CMAKE_GEN := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath .venv/bin/ninja) -DCMAKE_BUILD_TYPE=Release

# The broker's unsealing plugin for the Enterprise edition (tests and demo use it).
plugin:
	@$(CMAKE) -S broker -B build/broker $(CMAKE_GEN) >/dev/null
	@$(CMAKE) --build build/broker

# The benchmark's native ceiling: the same library calls without Python.
native:
	@$(CMAKE) -S bench -B build/bench $(CMAKE_GEN) >/dev/null
	@$(CMAKE) --build build/bench

bench: build
	$(PY) bench/run.py $(BENCH_ARGS)

test: build
	$(PY) -m pytest $(PYTEST_ARGS)

demo: build
	@scripts/demo.sh

# The test suite against sanitizer builds of the module (PYTEST_ARGS selects tests).
asan tsan: build
	scripts/sanitize.sh $@ $(PYTEST_ARGS)

# 10,000 clients dropped inside their own message handler, under AddressSanitizer, with
# messages flowing and every CPU kept busy by other processes.
asan-stress: build
	@burners=""; for i in $$(seq $$(nproc)); do \
	   ( end=$$((SECONDS + 3600)); while [ $$SECONDS -lt $$end ]; do :; done ) & burners="$$burners $$!"; done; \
	 trap "kill $$burners 2>/dev/null" EXIT; \
	 TARNU_DROP_ROUNDS=$${TARNU_DROP_ROUNDS:-10000} scripts/sanitize.sh asan -o timeout=7200 \
		tests/test_lifecycle.py -k "message" $(PYTEST_ARGS)

# The library's own race (tests/native/library_race.c), LIBRARY_RACE_RUNS runs without, then with, a client kept connected.
library-race: bootstrap
	@mkdir -p build/native
	gcc -O2 -g -Wall -Wextra -pthread -o build/native/library_race tests/native/library_race.c -lpaho-mqtt3c
	@anchored_bad=0; runs=$${LIBRARY_RACE_RUNS:-10}; for anchor in "" --anchor; do \
	   crashed=0; stalled=0; failed=0; \
	   for run in $$(seq $$runs); do \
	     $(PY) scripts/with-broker.py -- build/native/library_race {broker} $$anchor \
	       $${LIBRARY_RACE_ARGS:---threads 4 --rounds 100 --timeout 120} | grep -v '^\[demo\]'; \
	     status=$${PIPESTATUS[0]}; \
	     if [ $$status -gt 128 ]; then crashed=$$((crashed + 1)); \
	       echo "[library-race] killed by SIG$$(kill -l $$((256 - status)))"; \
	     elif [ $$status -eq 3 ]; then stalled=$$((stalled + 1)); \
	     elif [ $$status -ne 0 ]; then failed=$$((failed + 1)); fi; \
	   done; \
	   echo "[library-race] anchor $${anchor:-none}: $$runs runs, $$crashed crashed, $$stalled stalled, $$failed with failed rounds"; \
	   if [ -n "$$anchor" ] && [ $$((crashed + stalled + failed)) -ne 0 ]; then anchored_bad=1; fi; \
	 done; exit $$anchored_bad

# The long run with the link cut every few seconds, left out of `make test` for its
# length (TARNU_SOAK_SECONDS, 600 by default).
soak: build
	$(PY) -m pytest -m soak tests/test_soak.py $(PYTEST_ARGS)

# Leaks: a short soak under memcheck; fails only on blocks this project definitely lost
# (the soak's own verdict is shown, but timing and RSS mean little under valgrind).
VALGRIND_DIR := build/valgrind
valgrind: build
	@mkdir -p $(VALGRIND_DIR) && rm -f $(VALGRIND_DIR)/memcheck.*.xml
	@status=0; TARNU_SOAK_SECONDS=$${TARNU_SOAK_SECONDS:-60} PYTHONMALLOC=malloc \
	 valgrind --tool=memcheck -q --leak-check=full --show-leak-kinds=definite \
		--child-silent-after-fork=yes \
		--num-callers=50 --xml=yes --xml-file=$(VALGRIND_DIR)/memcheck.%p.xml \
		$(PY) -m pytest -p no:cacheprovider -m soak tests/test_soak.py $(PYTEST_ARGS) \
	 || status=$$?; echo "[valgrind] the soak under memcheck exited with status $$status"
	$(PY) scripts/valgrind-leaks.py $(VALGRIND_DIR)/memcheck.*.xml

# make test in a debootstrap'ed root of the other Debian release (12 <-> 13), kept in
# build/debian-<suite> (see scripts/test-other-debian.sh).
test-other-debian: export PYTEST_ARGS := $(PYTEST_ARGS)
test-other-debian:
	@scripts/test-other-debian.sh

# Refuses while anything is mounted under build/ (the other Debian's root mounts only in
# a namespace of its own, so nothing should be), and never crosses into another file system.
clean:
	@if awk -v d="$(CURDIR)/build/" 'index($$5, d) == 1 { print "mounted:", $$5; found = 1 } END { exit !found }' \
	    /proc/self/mountinfo >&2; then echo "clean: unmount those first" >&2; exit 1; fi
	rm -rf --one-file-system build .venv/.module-stamp

# The plugin's crafted-text table with the broker under memcheck; any memcheck error fails it.
plugin-valgrind: plugin
	@rm -rf build/valgrind-plugin
	TARNU_PLUGIN_VALGRIND=build/valgrind-plugin $(PY) -m pytest -p no:cacheprovider -m "not fuzz" \
		tests/test_plugin_shapes.py $(PYTEST_ARGS)

# The seeded run of 5,000 mutants of valid sealed passwords alone (none may be accepted).
plugin-fuzz: plugin
	$(PY) -m pytest -p no:cacheprovider -m fuzz tests/test_plugin_shapes.py $(PYTEST_ARGS)
