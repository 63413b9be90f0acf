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

.PHONY: all help example test test-fast install sanitize typecheck wheel bench clean

all: test

help:  ## list the targets
	@awk -F':.*## ' '/^[a-z-]+:.*## / {printf "  %-10s %s\n", $$1, $$2}' $(MAKEFILE_LIST)

define make_venv
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found: put python3.13 on PATH or set PYTHON=" >&2; exit 1; }
	@$(PYTHON) -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] != (3, 13))' 2>/dev/null || { \
	    echo "PYTHON=$(PYTHON) is not CPython 3.13; these modules build only against 3.13" >&2; exit 1; }
	$(PYTHON) -m venv $(1)
	$(1)/bin/python -m pip install -q --upgrade 'pip>=25.1'
	$(1)/bin/python -m pip install -q $(foreach g,$(2),--group $(g))
	touch $(1)/.ready
endef

$(VENV)/.ready: pyproject.toml
	$(call make_venv,$(VENV),dev)

$(ASAN_VENV)/.ready: pyproject.toml
	$(call make_venv,$(ASAN_VENV),build test)

install: $(VENV)/.ready  ## build the modules into .venv, with the stand-in runtime module
	$(VENV)/bin/$(PIP_INSTALL) .
	$(VENV)/bin/$(PIP_INSTALL) ./standin
	@for db in build/cp313-*/compile_commands.json; do test -e "$$db" && ln -sf "$$db" compile_commands.json; break; done

example: install  ## walk through one spawn tree
	$(VENV)/bin/python examples/spawn_tree.py

test: install  ## run every test, the packaging checks included
	$(VENV)/bin/python -m pytest

test-fast: install  ## every test but the slow packaging checks
	$(VENV)/bin/python -m pytest -m 'not packaging'

# The whole suite against a build instrumented with ASan and UBSan. The
# packaging checks build release wheels and do not run under the sanitizers.
sanitize: $(ASAN_VENV)/.ready  ## every test against an ASan+UBSan build, in .venv-asan
	CORLITH_SANITIZE=ON $(ASAN_VENV)/bin/$(PIP_INSTALL) \
	    -C build-dir=build/asan -C cmake.build-type=Debug .
	$(ASAN_VENV)/bin/$(PIP_INSTALL) ./standin
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider -q -m 'not packaging'

typecheck: install  ## check the stubs against the compiled modules
	PY=$(VENV)/bin/python .ci/typecheck

# The release wheel, tagged for the oldest glibc it runs on, in wheelhouse/.
wheel: $(VENV)/.ready  ## build the release wheel and tag it manylinux with auditwheel
	rm -rf dist wheelhouse
	$(VENV)/bin/python -m pip wheel -q --no-build-isolation --no-deps -w dist .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) -w wheelhouse dist/*.whl
	$(VENV)/bin/auditwheel show wheelhouse/*.whl

bench: install  ## run the benchmarks
	$(VENV)/bin/python benchmarks/bench.py

clean:  ## remove builds and environments
	rm -rf build dist wheelhouse compile_commands.json $(VENV) $(ASAN_VENV)

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
