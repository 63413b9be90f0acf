"""Every public callable, fed arbitrary arguments, raises an ordinary exception or
returns: it never crashes the interpreter (the sanitizer run leans on this)."""

import asyncio
import math
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corlith_runtime.core.runtime import exit_triage, policy, spawn, spend_book, tokens, waiters
from corlith_runtime.core.runtime.exceptions import ChildSpec


class Str(str):
    pass


class Dict(dict):
    pass


class Hostile:
    """Fails every protocol it is asked for."""

    def __eq__(self, other):
        raise LookupError("eq")

    __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__

    def __bool__(self):
        raise LookupError("bool")

    def __float__(self):
        raise LookupError("float")

    def __index__(self):
        raise LookupError("index")

    def __getattr__(self, name):
        raise LookupError(name)

    def __iter__(self):
        raise LookupError("iter")

    __hash__ = object.__hash__


VALUES = [
    None, True, 0, -1, 2**80, 2.5, math.nan, math.inf, -0.0, 1j, "", "x", "2h30m", Str("s"), b"b",
    {}, {"a": 1}, Dict(), [], [1], (), (ChildSpec(agent="a"),), Hostile(), object(), ChildSpec(agent="b"),
    waiters.SignalWaiter("p", "k", "s"), waiters.TimerWaiter("p", "k", Hostile()),
    waiters.UserInputWaiter("p", "k", "q"),
]
NAMES = ["waiter", "signal_name", "payload", "parent_run_id", "resume_key", "response", "parent_resume_key",
         "specs", "return_when", "timeout_seconds", "cost_usd", "tokens", "tool_name", "additional", "count",
         "guards", "value", "envelope_data", "name", "queue", "clock", "child_runner", "bogus"]


def targets():
    book = spend_book.SpendBook(cost_cap_usd=1.0, token_cap=10)
    registry = waiters.InMemoryWaiterRegistry(clock=lambda: 5.0)
    dispatcher = spawn.InMemorySpawnDispatcher()
    out = [
        exit_triage.classify_failure, waiters.parse_duration, spawn._default_noop_child_runner,
        spend_book.BudgetExceeded, spend_book.SpendBook.from_guards, waiters.InMemoryWaiterRegistry,
        spawn.InMemorySpawnDispatcher, policy.NoOpPolicyProvider().get_policy,
        tokens.TokenSemaphore.set_capacity, waiters.SignalWaiter("p", "k", "s", {"a": Hostile()}).matches,
    ]
    for obj in (book, registry, dispatcher):
        out += [getattr(obj, n) for n in dir(type(obj)) if not n.startswith("__") and callable(getattr(obj, n))]
    out += [getattr(waiters.WaiterRegistry, n) for n in ("resolve_signal", "register_timer")]
    return out


TARGETS = targets()


def settle(result):
    """Drive a coroutine a few steps, then close it; anything else is left as is."""
    if not asyncio.iscoroutine(result):
        return
    try:
        for _ in range(3):
            result.send(None)
    except StopIteration:
        return
    except Exception:
        return
    finally:
        try:
            result.close()
        except Exception:
            pass


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    target=st.sampled_from(TARGETS),
    args=st.lists(st.sampled_from(VALUES), max_size=4),
    kwargs=st.dictionaries(st.sampled_from(NAMES), st.sampled_from(VALUES), max_size=4),
)
def test_arbitrary_arguments_never_crash(target, args, kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = target(*args, **kwargs)
        except Exception:
            return
        settle(result)


@pytest.mark.parametrize("target", TARGETS, ids=lambda t: getattr(t, "__qualname__", repr(t)))
def test_hostile_arguments_everywhere(target):
    hostile = Hostile()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for args in [(), (hostile,), (hostile, hostile), (hostile,) * 3]:
            try:
                settle(target(*args))
            except Exception:
                pass
