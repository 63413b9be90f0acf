"""Shared test helpers: leak checks by allocated-block counts and a manual coroutine driver."""

import gc
import os
import pickle
import sys

import pytest


def _run(fn, calls, raises):
    for _ in range(calls):
        if raises is None:
            fn()
        else:
            try:
                fn()
            except raises:
                pass
            else:
                raise AssertionError(f"{fn!r} did not raise {raises!r}")


def check_no_leak(fn, *, raises=None, calls=300, batches=4, slack=8):
    """Call ``fn()`` many times and fail if the interpreter's block count keeps growing.

    A leak of one block per call grows every batch by ``calls`` blocks; caches
    and free lists settle after the warm-up batch, so a real leak is the only
    thing that survives the "best of several batches" reading.
    """
    if sys.getallocatedblocks() == 0:
        # PYTHONMALLOC=malloc (the sanitizer run) counts no blocks: exercise only.
        _run(fn, 10, raises)
        return
    _run(fn, calls, raises)
    # The session's objects are set aside while the batches run: each collection then walks
    # only what the calls made, instead of the whole test process, and counts the same.
    gc.collect()
    gc.freeze()
    try:
        growth = []
        for _ in range(batches):
            gc.collect()
            before = sys.getallocatedblocks()
            _run(fn, calls, raises)
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
    finally:
        gc.unfreeze()
    assert min(growth) <= slack, f"allocated blocks grew by {growth} over {calls} calls per batch"


def drive(coro):
    """Run a coroutine that never suspends to its end by hand and return its value."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("coroutine suspended")


@pytest.fixture
def no_leak():
    return check_no_leak


@pytest.fixture
def run_now():
    return drive


def run_isolated(fn, *args):
    """Return ``fn(*args)`` computed in a forked child, so that a crash fails one test only."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report, then leave without running any cleanup of the parent's
        try:
            os.close(read_end)
            try:
                payload = pickle.dumps(("ok", fn(*args)))
            except BaseException as exc:  # noqa: BLE001 - reported to the parent
                payload = pickle.dumps(("error", f"{type(exc).__name__}: {exc}"))
            with os.fdopen(write_end, "wb") as out:
                out.write(payload)
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as result:
        data = result.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        pytest.fail(f"crashed with signal {os.WTERMSIG(status)}")
    kind, value = pickle.loads(data)
    if kind == "error":
        pytest.fail(f"raised in the child: {value}")
    return value


@pytest.fixture
def isolated():
    return run_isolated


def pytest_addoption(parser):
    parser.addoption("--exhaustive", action="store_true",
                     help="fail every allocation in the allocation-failure sweeps, not a seeded sample")
