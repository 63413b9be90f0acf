# Set-up and checks for a fresh machine. Everything lands in .venv (and
# .venv-asan for the sanitizer build); only CPython 3.13 and a C++20 compiler
# must exist beforehand.
SHELL := /bin/bash
# The first CPython 3.13 that actually runs (a pyenv shim may exist and fail).
PYTHON ?= $(shell for p in python3.13 $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 \
                              $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13 \
                              /usr/local/bin/python3.13 /usr/bin/python3.13 2>/dev/null); do \
            $$p -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo $$p; break; }; done)
VENV := .venv
ASAN_VENV := .venv-asan
# Pinned so CI sees the tools (and mypy's error codes) the tests were written against.
DEV_PACKAGES := scikit-build-core==1.1.2 ninja==1.13.2 cmake==4.4.5 pytest==9.2.0 hypothesis==6.170.29 pyperf==2.11.0 mypy==2.4.1

.PHONY: all example test install sanitize typecheck bench clean

all: test

define make_venv
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found: put python3.13 on PATH or set PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(1)
	$(1)/bin/python -m pip install -q --upgrade pip
	$(1)/bin/python -m pip install -q $(DEV_PACKAGES)
	touch $(1)/.ready
endef

$(VENV)/.ready: pyproject.toml
	$(call make_venv,$(VENV))

$(ASAN_VENV)/.ready: pyproject.toml
	$(call make_venv,$(ASAN_VENV))

install: $(VENV)/.ready
	$(VENV)/bin/python -m pip install -q --no-build-isolation .

# The walk through one spawn tree (README, first command).
example: install
	$(VENV)/bin/python examples/spawn_tree.py

test: install
	$(VENV)/bin/python -m pytest

# The whole suite against a build instrumented with ASan and UBSan.
sanitize: $(ASAN_VENV)/.ready
	CORLITH_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
	    -C build-dir=build/asan -C cmake.build-type=Debug .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider -q

typecheck: install
	PY=$(VENV)/bin/python .ci/typecheck

bench: install
	$(VENV)/bin/python benchmarks/bench.py

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)

# ---- Redis backend (backends/redis): a separate distribution, installed into
# the same .venv and tested against real redis-server processes that its tests
# start on loopback ports. `make test` runs it too.
.PHONY: test-redis install-redis bench-redis
test: test-redis

install-redis: install
	backends/redis/scripts/ensure-redis-server
	$(VENV)/bin/python -m pip install -q "./backends/redis[test,hiredis]"

test-redis: install-redis
	cd backends/redis && ../../$(VENV)/bin/python -m pytest
	$(VENV)/bin/python -m mypy --strict --cache-dir /dev/null backends/redis/src

bench-redis: install-redis
	$(VENV)/bin/python backends/redis/benchmarks/bench.py
