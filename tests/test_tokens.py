"""Token semaphore protocol."""

import types

import pytest

from corlith_runtime.core.runtime.tokens import TokenSemaphore


class _Inherits(TokenSemaphore):
    pass


class _Complete:
    def try_acquire(self, queue):
        return True

    def release(self, queue):
        pass

    def set_capacity(self, queue, count):
        pass


class _Str(str):
    pass


MEMBERS = ("try_acquire", "release", "set_capacity")


def _having(*names):
    return types.SimpleNamespace(**{name: len for name in names})


CONFORMANCE = [
    (_having(*MEMBERS), True),
    (_Complete(), True),
    (_Inherits(), True),
    (_having("release", "set_capacity"), False),
    (_having("try_acquire", "set_capacity"), False),
    (_having("try_acquire", "release"), False),
    (object(), False),
]


@pytest.mark.parametrize("candidate, conforms", CONFORMANCE)
def test_isinstance_is_structural(candidate, conforms):
    assert isinstance(candidate, TokenSemaphore) is conforms


def test_issubclass_is_structural():
    assert issubclass(_Complete, TokenSemaphore)
    assert not issubclass(int, TokenSemaphore)


PROTOCOL_BODIES = [
    lambda: _Inherits().try_acquire("default"),
    lambda: _Inherits().release("heavy"),
    lambda: _Inherits().set_capacity("default", 4),
    lambda: _Inherits().set_capacity("", -1),
    lambda: TokenSemaphore.try_acquire(None, "default"),  # self is never tested
    lambda: TokenSemaphore.release(object(), "\ud800"),
    lambda: TokenSemaphore.set_capacity(object(), "heavy", 2.9),
]


# The protocol's own try_acquire answers None, which callers read as "not acquired".
@pytest.mark.parametrize("call", PROTOCOL_BODIES)
def test_protocol_bodies_return_none(call, no_leak):
    assert call() is None
    no_leak(call)


def _int_error(count):
    try:
        int(count)
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError(f"int({count!r}) succeeded")


def _incorrect(param, expected, given):
    return TypeError, f"Argument '{param}' has incorrect type (expected {expected}, got {given})"


# count is converted before queue is tested; only the first failure is reported.
ORDER = [
    (None, "2", _incorrect("count", "int", "str")),
    (None, None, _incorrect("count", "int", "NoneType")),
    (_Str("q"), "2", _incorrect("count", "int", "str")),
    (None, 2.9, _incorrect("queue", "str", "NoneType")),
    (3, True, _incorrect("queue", "str", "int")),
    (None, float("nan"), _int_error(float("nan"))),
    (b"q", float("inf"), _int_error(float("inf"))),
    (None, 1j, _int_error(1j)),
]


@pytest.mark.parametrize("queue, count, error", ORDER)
def test_count_is_converted_before_queue_is_tested(queue, count, error, no_leak):
    kind, message = error
    sem = _Inherits()
    with pytest.raises(kind) as info:
        sem.set_capacity(queue, count)
    assert type(info.value) is kind and str(info.value) == message
    assert getattr(info.value, "__notes__", []) == []
    no_leak(lambda: sem.set_capacity(queue, count), raises=kind)
