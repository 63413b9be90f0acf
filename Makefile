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
# Where we build, warnings are errors; a user's `pip install .` keeps them warnings.
export CORLITH_WERROR := ON
# Every build step runs without build isolation from the pinned tools of the
# dependency groups in pyproject.toml (`pip install --group` needs pip 25.1+).
PIP_INSTALL := python -m pip install -q --no-build-isolation
WHEEL_PLATFORM := manylinux_2_28_x86_64
# Two workers, one per core of the machine `make test` is timed on: no test
# shares state across processes (a leak check counts its own process's blocks).
PYTEST := $(VENV)/bin/python -m pytest -n 2

.PHONY: all help example test test-fast test-exhaustive test-tools install sanitize typecheck exception-escape wheel bench clean

all: test

help:  ## list the targets
	@awk -F':.*## ' '/^[a-z-]+:.*## / {printf "  %-16s %s\n", $$1, $$2}' $(MAKEFILE_LIST)

# A venv gets each dependency group the first time a target needs it, behind a
# stamp of its own: `make example` installs the build tools alone, the checks
# add theirs. A venv that exists already is kept.
$(VENV)/.python $(ASAN_VENV)/.python:
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found: put python3.13 on PATH or set PYTHON=" >&2; exit 1; }
	@$(PYTHON) -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] != (3, 13))' 2>/dev/null || { \
	    echo "PYTHON=$(PYTHON) is not CPython 3.13; these modules build only against 3.13" >&2; exit 1; }
	test -x $(@D)/bin/python || $(PYTHON) -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade 'pip>=25.1'
	touch $@

$(VENV)/.group-%: pyproject.toml | $(VENV)/.python
	$(VENV)/bin/python -m pip install -q --group $*
	touch $@

$(ASAN_VENV)/.group-%: pyproject.toml | $(ASAN_VENV)/.python
	$(ASAN_VENV)/bin/python -m pip install -q --group $*
	touch $@

# What the tests run: pytest, and the type checkers test_typing.py and the
# Redis backend's checks drive.
test-tools: $(VENV)/.group-test $(VENV)/.group-typing
install-redis: test-tools

install: $(VENV)/.group-build  ## build the modules into .venv, with the stand-in runtime module
	$(VENV)/bin/$(PIP_INSTALL) .
	$(VENV)/bin/$(PIP_INSTALL) ./standin
	@for db in build/cp313-*/compile_commands.json; do test -e "$$db" && ln -sf "$$db" compile_commands.json; break; done

example: install  ## walk through one spawn tree
	$(VENV)/bin/python examples/spawn_tree.py

# `make test` is the check for every change: each test but the packaging
# checks, with the allocation-failure sweeps failing a seeded sample of the
# allocations, then the backends' tests (their sections below).
test: test-fast  ## build, then run the tests (sampled allocation sweeps) and the backends'

test-fast: install test-tools  ## make test without the backends
	$(PYTEST) -m 'not packaging'

# What `make test` leaves out, run by CI: the sweeps failing every allocation,
# and the packaging checks, which build wheels and venvs. Other suites add
# their own prerequisites below.
test-exhaustive: install test-tools $(VENV)/.group-release  ## every allocation of the sweeps, and the packaging checks
	$(PYTEST) --exhaustive -m 'sweep or packaging'

# The suite but the packaging checks (which build release wheels) against a
# build instrumented with ASan and UBSan. The sweeps fail every allocation here:
# the error paths they reach are where the sanitizers find the most, and they
# cost CI about twice their uninstrumented time.
sanitize: $(ASAN_VENV)/.group-build $(ASAN_VENV)/.group-test  ## the tests, every allocation of the sweeps, against an ASan+UBSan build
	CORLITH_SANITIZE=ON $(ASAN_VENV)/bin/$(PIP_INSTALL) \
	    -C build-dir=build/asan -C cmake.build-type=Debug .
	$(ASAN_VENV)/bin/$(PIP_INSTALL) ./standin
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider -q -n 2 --exhaustive -m 'not packaging'

typecheck: install $(VENV)/.group-typing  ## check the stubs against the compiled modules
	PY=$(VENV)/bin/python .ci/typecheck

exception-escape: $(VENV)/.group-lint  ## check that no noexcept function can let a host error escape
	$(VENV)/bin/python .ci/exception-escape $(VENV)/bin/clang-tidy

# The release wheel, tagged for the oldest glibc it runs on, in wheelhouse/.
wheel: $(VENV)/.group-build $(VENV)/.group-release  ## build the release wheel and tag it manylinux with auditwheel
	rm -rf dist wheelhouse
	$(VENV)/bin/python -m pip wheel -q --no-build-isolation --no-deps -w dist .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) -w wheelhouse dist/*.whl
	$(VENV)/bin/auditwheel show wheelhouse/*.whl

bench: install $(VENV)/.group-bench  ## run the benchmarks
	$(VENV)/bin/python benchmarks/bench.py

clean:  ## remove builds and environments
	rm -rf build dist wheelhouse compile_commands.json $(VENV) $(ASAN_VENV)

# ---- Redis backend (backends/redis): a separate distribution, installed into
# the same .venv and tested against real redis-server processes (one alone and
# a three-master cluster) that its tests start on loopback ports. `make test`
# runs it too, the conformance kit against the cluster included; the
# multi-process tests against the cluster run in `make test-exhaustive`.
.PHONY: test-redis install-redis bench-redis test-redis-exhaustive
test: test-redis
test-exhaustive: test-redis-exhaustive

install-redis: install
	backends/redis/scripts/ensure-redis-server
	$(VENV)/bin/python -m pip install -q "./backends/redis[test,hiredis]"

# Each backend's suite and its exhaustive part, the same way for both backends.
test-redis test-celery: test-%: install-%
	cd backends/$* && ../../$(VENV)/bin/python -m pytest
	$(VENV)/bin/python -m mypy --strict --cache-dir /dev/null backends/$*/src

test-redis-exhaustive test-celery-exhaustive: test-%-exhaustive: install-%
	cd backends/$* && ../../$(VENV)/bin/python -m pytest -m exhaustive

bench-redis: install-redis
	$(VENV)/bin/python backends/redis/benchmarks/bench.py

# ---- Celery backend (backends/celery): the spawn dispatcher on Celery workers,
# joined in Redis. Its tests start a redis-server and real `celery worker`
# processes on loopback; `make test` runs the fast script tests and one
# multi-worker smoke test, the fault scenarios run in `make test-exhaustive`.
.PHONY: install-celery test-celery test-celery-exhaustive example-celery bench-celery
test: test-celery
test-exhaustive: test-celery-exhaustive

install-celery: install-redis
	$(VENV)/bin/python -m pip install -q "./backends/celery[test]"

example-celery: install-celery  ## a two-level tree over three workers, one killed mid-run
	cd backends/celery/examples && ../../../$(VENV)/bin/python distributed_tree.py

bench-celery: install-celery  ## our dispatcher against a bare Celery chord, same run
	cd backends/celery/benchmarks && ../../../$(VENV)/bin/python bench.py
