"""Shared test helpers: leak checks by allocated-block counts and a manual coroutine driver."""

import gc
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
    growth = []
    for _ in range(batches):
        gc.collect()
        before = sys.getallocatedblocks()
        _run(fn, calls, raises)
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
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
