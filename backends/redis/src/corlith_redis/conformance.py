"""Conformance kit: the behaviour every WaiterRegistry and TokenSemaphore must share.

Subclass a kit class in a test module and give it one fixture:

``WaiterRegistryConformance`` needs ``waiter_registries``: a callable taking
a clock (a no-argument callable returning Unix seconds, or None for the
wall clock) and returning an async context manager. Entered inside a
running event loop it yields ``make``; every ``make()`` returns a registry
object over one fresh, empty shared state (the same object will do for an
in-process registry). The context closes whatever it opened.

``TokenSemaphoreConformance`` needs ``make_semaphore``: a callable whose
every call returns a semaphore handle over one fresh shared state (again,
the same object will do), usable from any thread.

Set ``exactly_once = False`` or ``thread_safe = False`` on the subclass to
skip the concurrency checks of an implementation that does not claim them.
"""

from __future__ import annotations

import asyncio
import inspect
import threading
from collections import Counter
from collections.abc import Awaitable, Callable
from contextlib import AbstractAsyncContextManager
from typing import Any, ClassVar, cast

import pytest

from corlith_runtime.core.runtime.tokens import TokenSemaphore
from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter, WaiterRegistry

__all__ = ["Clock", "TokenSemaphoreConformance", "WaiterRegistryConformance"]

Make = Callable[[], Any]
OpenRegistries = Callable[[Callable[[], float] | None], AbstractAsyncContextManager[Make]]

_REGISTRY_MEMBERS = (
    "register_signal_waiter", "register_timer", "register_user_input_waiter",
    "resolve_signal", "resolve_user_input", "sweep_expired_timers",
)


class Clock:
    """A settable clock that counts how often it is read."""

    def __init__(self, now: float) -> None:
        self.now = now
        self.reads = 0

    def __call__(self) -> float:
        self.reads += 1
        return self.now


class _Str(str):
    pass


class _Dict(dict):  # type: ignore[type-arg]
    pass


def _parameters(fn: Callable[..., Any]) -> list[tuple[str, Any, Any]]:
    params = inspect.signature(fn).parameters.values()
    return [(p.name, p.kind, p.default) for p in params if p.name != "self"]


async def _optional_count(registry: Any, name: str) -> int | None:
    counter = getattr(registry, name, None)
    if counter is None:
        return None
    value = counter()
    return cast(int | None, await value if inspect.isawaitable(value) else value)


async def _raises_type_error(call: Callable[[], Awaitable[Any]]) -> None:
    # At the call or at the await: either way nothing may have happened.
    with pytest.raises(TypeError):
        await call()


# (match, payload, released): the shallow-equality rules of SignalWaiter.matches.
MATCH_RULES = [
    ({}, {}, True),
    ({}, {"anything": 1}, True),
    ({"order": 7}, {"order": 7, "extra": "x"}, True),
    ({"order": 7}, {"order": 8}, False),
    ({"order": 7}, {}, False),
    ({"order": None}, {}, True),
    ({"order": None}, {"order": None}, True),
    ({"order": None}, {"order": 0}, False),
    ({"n": 1}, {"n": 1.0}, True),
    ({"n": 1}, {"n": True}, True),
    ({"n": 1}, {"n": "1"}, False),
    ({"d": {"a": 1}}, {"d": {"a": 1, "b": 2}}, False),
    ({"d": {"a": 1, "b": [2, 3]}}, {"d": {"b": [2, 3], "a": 1}}, True),
    ({"l": [1, [2.5, None]]}, {"l": [1, [2.5, None]]}, True),
    ({"l": [1, 2]}, {"l": (1, 2)}, False),
    ({"a": 1, "b": 2}, {"a": 1, "b": 3}, False),
]

# Values of every storable kind, each with an equal payload value and a different one.
MATCH_VALUES = [
    (42, 42, 43),
    (10**30, 10**30, 10**30 + 1),
    (-0.0, 0.0, 1e-300),
    (2.5, 2.5, 2.5000000000000004),
    (float("inf"), float("inf"), 1e308),
    (True, 1, False),
    ("é☃\U0001f600 \n\"", "é☃\U0001f600 \n\"", "é☃"),
    ("", "", " "),
    (None, None, 0),
    ([1, [2, {"k": None}]], [1, [2, {"k": None}]], [1, [2, {"k": 0}]]),
    ({"x": {"y": [1.5, "z"]}}, {"x": {"y": [1.5, "z"]}}, {"x": {"y": [1.5]}}),
    ([], [], [0]),
]


class WaiterRegistryConformance:
    """Shared behaviour of WaiterRegistry implementations (fixture: ``waiter_registries``)."""

    exactly_once: ClassVar[bool] = True

    @staticmethod
    def run(open_registries: OpenRegistries, clock: Callable[[], float] | None,
            body: Callable[[Make], Awaitable[None]]) -> None:
        async def main() -> None:
            async with open_registries(clock) as make:
                await body(make)

        asyncio.run(main())

    def test_protocol_shape(self, waiter_registries: OpenRegistries) -> None:
        async def body(make: Make) -> None:
            registry = make()
            assert isinstance(registry, WaiterRegistry)
            for name in _REGISTRY_MEMBERS:
                member = getattr(registry, name)
                assert inspect.iscoroutinefunction(member), name
                assert _parameters(member) == _parameters(getattr(WaiterRegistry, name)), name

        self.run(waiter_registries, None, body)

    def test_new_registry_releases_nothing(self, waiter_registries: OpenRegistries) -> None:
        async def body(make: Make) -> None:
            registry = make()
            assert await registry.resolve_signal(signal_name="s", payload={}) == []
            assert await registry.resolve_user_input(parent_run_id="r", resume_key="k", response=1) is False
            assert await registry.sweep_expired_timers() == []

        self.run(waiter_registries, Clock(1e12), body)

    def test_resolve_signal_releases_every_match_in_registration_order(
        self, waiter_registries: OpenRegistries
    ) -> None:
        async def body(make: Make) -> None:
            registry = make()
            for waiter in (
                SignalWaiter("r1", "k1", "go"),
                SignalWaiter("r2", "k2", "other"),
                SignalWaiter("r3", "k3", "go", {"k": 1}),
                SignalWaiter("r4", "k4", "go", {"k": 2}),
                SignalWaiter("r1", "k5", "go", {"k": 1}, 5.0),
            ):
                await registry.register_signal_waiter(waiter)
            payload = {"k": 1, "nested": [1]}
            released = await registry.resolve_signal(signal_name="go", payload=payload)
            assert [(type(p), type(r)) for p, r, _ in released] == [(str, str)] * 3
            assert [(p, r) for p, r, _ in released] == [("r1", "k1"), ("r3", "k3"), ("r1", "k5")]
            copies = [record[2] for record in released]
            assert all(type(c) is dict and c == payload and c is not payload for c in copies)
            assert len({id(c) for c in copies}) == 3
            assert copies[0]["nested"] is payload["nested"]  # shallow copies
            copies[0]["k"] = 99
            assert payload["k"] == 1 and copies[1]["k"] == 1
            assert await registry.resolve_signal(signal_name="go", payload={"k": 1}) == []
            assert await registry.resolve_signal(signal_name="go", payload={"k": 2}) == [("r4", "k4", {"k": 2})]
            assert await make().resolve_signal(signal_name="other", payload={}) == [("r2", "k2", {})]
            assert await _optional_count(registry, "signal_waiter_count") in (None, 0)

        self.run(waiter_registries, None, body)

    @pytest.mark.parametrize("match, payload, released", MATCH_RULES)
    def test_match_rules(self, waiter_registries: OpenRegistries, match: Any, payload: dict[str, Any],
                         released: bool) -> None:
        async def body(make: Make) -> None:
            registry = make()
            await registry.register_signal_waiter(SignalWaiter("r", "k", "s", match))
            result = await registry.resolve_signal(signal_name="s", payload=payload)
            assert result == ([("r", "k", payload)] if released else [])

        self.run(waiter_registries, None, body)

    @pytest.mark.parametrize("value, equal, different", MATCH_VALUES)
    def test_match_values_keep_their_meaning(self, waiter_registries: OpenRegistries, value: Any,
                                             equal: Any, different: Any) -> None:
        async def body(make: Make) -> None:
            registry = make()
            await registry.register_signal_waiter(SignalWaiter("r", "k", "s", {"v": value}))
            assert await make().resolve_signal(signal_name="s", payload={"v": different}) == []
            assert await make().resolve_signal(signal_name="s", payload={"v": equal}) == [("r", "k", {"v": equal})]

        self.run(waiter_registries, None, body)

    def test_match_of_none_fails_every_resolve_of_its_name(self, waiter_registries: OpenRegistries) -> None:
        async def body(make: Make) -> None:
            registry = make()
            await registry.register_signal_waiter(SignalWaiter("good", "k", "s"))
            await registry.register_signal_waiter(SignalWaiter("bad", "k", "s", None))  # type: ignore[arg-type]
            await registry.register_signal_waiter(SignalWaiter("elsewhere", "k", "t"))
            for _ in range(2):
                with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
                    await registry.resolve_signal(signal_name="s", payload={})
            assert await _optional_count(registry, "signal_waiter_count") in (None, 3)
            assert await registry.resolve_signal(signal_name="t", payload={}) == [("elsewhere", "k", {})]

        self.run(waiter_registries, None, body)

    def test_sweep_releases_due_timers_in_registration_order(self, waiter_registries: OpenRegistries) -> None:
        clock = Clock(100.0)

        async def body(make: Make) -> None:
            registry = make()
            for run, due in (("a", 100.0), ("b", 99), ("c", 101.0), ("d", 100), ("e", 100.5)):
                await registry.register_timer(TimerWaiter(run, "k-" + run, due))
            reads = clock.reads
            assert await registry.sweep_expired_timers() == [("a", "k-a"), ("b", "k-b"), ("d", "k-d")]
            assert clock.reads == reads + 1
            assert await make().sweep_expired_timers() == []
            clock.now = 101
            assert await registry.sweep_expired_timers() == [("c", "k-c"), ("e", "k-e")]
            assert clock.reads == reads + 3
            assert await _optional_count(registry, "timer_count") in (None, 0)

        self.run(waiter_registries, clock, body)

    def test_no_clock_means_wall_time(self, waiter_registries: OpenRegistries) -> None:
        import time

        async def body(make: Make) -> None:
            registry = make()
            await registry.register_timer(TimerWaiter("past", "k", time.time() - 5))
            await registry.register_timer(TimerWaiter("future", "k", time.time() + 3600))
            assert await registry.sweep_expired_timers() == [("past", "k")]

        self.run(waiter_registries, None, body)

    def test_user_input_releases_oldest_waiter_of_the_pair(self, waiter_registries: OpenRegistries) -> None:
        async def body(make: Make) -> None:
            registry = make()
            for waiter in (
                UserInputWaiter("r", "k", "first?"),
                UserInputWaiter("r", "other", "q"),
                UserInputWaiter("r", "k", "second?", ["y", "n"], 3.0),
            ):
                await registry.register_user_input_waiter(waiter)
            answer = registry.resolve_user_input
            assert await answer(parent_run_id="r", resume_key="nope", response="y") is False
            assert await answer(parent_run_id="x", resume_key="k", response="y") is False
            assert await answer(parent_run_id="r", resume_key="k", response=object()) is True
            assert await _optional_count(registry, "user_input_waiter_count") in (None, 2)
            assert await make().resolve_user_input(parent_run_id="r", resume_key="k", response=None) is True
            assert await answer(parent_run_id="r", resume_key="k", response=None) is False
            assert await answer(parent_run_id="r", resume_key="other", response=None) is True

        self.run(waiter_registries, None, body)

    def test_argument_tests_refuse_and_change_nothing(self, waiter_registries: OpenRegistries) -> None:
        async def body(make: Make) -> None:
            registry = make()
            await registry.register_signal_waiter(SignalWaiter("r", "k", "s"))
            await registry.register_user_input_waiter(UserInputWaiter("r", "k", "q"))
            bad_signals: list[dict[str, Any]] = [
                {"signal_name": None, "payload": {}}, {"signal_name": _Str("s"), "payload": {}},
                {"signal_name": b"s", "payload": {}}, {"signal_name": "s", "payload": _Dict()},
                {"signal_name": "s", "payload": None}, {"signal_name": "s", "payload": [("a", 1)]},
                {"signal_name": "s"}, {"signal_name": "s", "payload": {}, "extra": 1},
            ]
            for kwargs in bad_signals:
                await _raises_type_error(lambda: registry.resolve_signal(**kwargs))
            await _raises_type_error(lambda: registry.resolve_signal("s", {}))
            bad_inputs: list[dict[str, Any]] = [
                {"parent_run_id": None, "resume_key": "k"}, {"parent_run_id": _Str("r"), "resume_key": "k"},
                {"parent_run_id": "r", "resume_key": 1}, {"parent_run_id": "r", "resume_key": _Str("k")},
            ]
            for kwargs in bad_inputs:
                await _raises_type_error(lambda: registry.resolve_user_input(response=None, **kwargs))
            await _raises_type_error(lambda: registry.resolve_user_input("r", "k", None))
            await _raises_type_error(lambda: registry.sweep_expired_timers(1))
            assert await registry.resolve_signal(signal_name="s", payload={}) == [("r", "k", {})]
            assert await registry.resolve_user_input(parent_run_id="r", resume_key="k", response=0) is True

        self.run(waiter_registries, None, body)

    def test_concurrent_workers_release_each_waiter_once(self, waiter_registries: OpenRegistries) -> None:
        if not self.exactly_once:
            pytest.skip("implementation does not claim exactly-once release")
        clock = Clock(1_000.0)
        workers = 4

        async def body(make: Make) -> None:
            setup = make()
            expected: Counter[tuple[str, ...]] = Counter()
            for i in range(60):
                await setup.register_signal_waiter(SignalWaiter(f"s{i}", "k", "go", {"k": i % 6}))
                await setup.register_timer(TimerWaiter(f"t{i}", "k", 900.0 + i))
                await setup.register_user_input_waiter(UserInputWaiter(f"u{i % 20}", "k", "q"))
                expected.update([("signal", f"s{i}", "k"), ("timer", f"t{i}", "k"), ("input", f"u{i % 20}", "k")])

            async def worker(registry: Any) -> list[tuple[str, ...]]:
                got: list[tuple[str, ...]] = []
                for k in range(6):
                    got += [("signal", p, r) for p, r, _ in
                            await registry.resolve_signal(signal_name="go", payload={"k": k})]
                    got += [("timer", p, r) for p, r in await registry.sweep_expired_timers()]
                for i in range(20):
                    while await registry.resolve_user_input(parent_run_id=f"u{i}", resume_key="k", response=i):
                        got.append(("input", f"u{i}", "k"))
                        await asyncio.sleep(0)
                return got

            results = await asyncio.gather(*(worker(make()) for _ in range(workers)))
            released = Counter(item for result in results for item in result)
            assert released == expected

        self.run(waiter_registries, clock, body)


class TokenSemaphoreConformance:
    """Shared behaviour of TokenSemaphore implementations (fixture: ``make_semaphore``)."""

    thread_safe: ClassVar[bool] = True

    def test_protocol_shape(self, make_semaphore: Make) -> None:
        semaphore = make_semaphore()
        assert isinstance(semaphore, TokenSemaphore)
        for name in ("try_acquire", "release", "set_capacity"):
            member = getattr(semaphore, name)
            assert not inspect.iscoroutinefunction(member), name
            assert _parameters(member)[: len(_parameters(getattr(TokenSemaphore, name)))] == _parameters(
                getattr(TokenSemaphore, name)), name
            extra = _parameters(member)[len(_parameters(getattr(TokenSemaphore, name))):]
            assert all(kind is inspect.Parameter.KEYWORD_ONLY and default is not inspect.Parameter.empty
                       for _, kind, default in extra), name

    @pytest.mark.parametrize("capacity", [0, 1, 3])
    def test_capacity_bounds_holders(self, make_semaphore: Make, capacity: int) -> None:
        semaphore = make_semaphore()
        semaphore.set_capacity("q", capacity)
        assert [semaphore.try_acquire("q") for _ in range(capacity + 2)] == [True] * capacity + [False] * 2
        if capacity:
            semaphore.release("q")
            assert [semaphore.try_acquire("q"), semaphore.try_acquire("q")] == [True, False]

    def test_release_never_goes_below_zero(self, make_semaphore: Make) -> None:
        semaphore = make_semaphore()
        semaphore.set_capacity("q", 2)
        for _ in range(3):
            assert semaphore.release("q") is None
        assert [semaphore.try_acquire("q") for _ in range(3)] == [True, True, False]
        for _ in range(4):
            semaphore.release("q")
        assert [semaphore.try_acquire("q") for _ in range(3)] == [True, True, False]

    def test_capacity_changes_keep_held_tokens(self, make_semaphore: Make) -> None:
        semaphore = make_semaphore()
        semaphore.set_capacity("q", 3)
        assert all(semaphore.try_acquire("q") for _ in range(3))
        semaphore.set_capacity("q", 1)
        for _ in range(2):
            assert semaphore.try_acquire("q") is False
            semaphore.release("q")
        assert semaphore.try_acquire("q") is False  # one held, capacity one
        semaphore.release("q")
        assert [semaphore.try_acquire("q"), semaphore.try_acquire("q")] == [True, False]
        semaphore.set_capacity("q", 4)
        assert [semaphore.try_acquire("q") for _ in range(4)] == [True, True, True, False]

    def test_queues_are_independent(self, make_semaphore: Make) -> None:
        semaphore = make_semaphore()
        semaphore.set_capacity("a", 1)
        semaphore.set_capacity("b", 2)
        assert semaphore.try_acquire("a") and not semaphore.try_acquire("a")
        assert semaphore.try_acquire("b") and semaphore.try_acquire("b") and not semaphore.try_acquire("b")
        semaphore.release("b")
        assert not semaphore.try_acquire("a") and semaphore.try_acquire("b")

    def test_argument_tests(self, make_semaphore: Make) -> None:
        semaphore = make_semaphore()
        semaphore.set_capacity(queue="q", count=2.9)  # numbers convert as int() does
        assert [semaphore.try_acquire(queue="q") for _ in range(3)] == [True, True, False]
        semaphore.release(queue="q")
        semaphore.set_capacity("t", True)
        assert [semaphore.try_acquire("t"), semaphore.try_acquire("t")] == [True, False]
        queue: Any
        for queue in (None, 1, b"q", _Str("q")):
            calls: list[Callable[[], object]] = [
                lambda: semaphore.try_acquire(queue), lambda: semaphore.release(queue),
                lambda: semaphore.set_capacity(queue, 1)]
            for call in calls:
                with pytest.raises(TypeError, match="queue"):
                    call()
        for count in ("2", None, [1]):
            with pytest.raises(TypeError, match="count"):
                semaphore.set_capacity(None, count)  # count is tested before queue
        with pytest.raises(TypeError):
            semaphore.try_acquire()
        with pytest.raises(TypeError):
            semaphore.set_capacity("q", 1, 2)
        assert semaphore.try_acquire("q") and not semaphore.try_acquire("q")

    def test_threads_never_exceed_capacity(self, make_semaphore: Make) -> None:
        if not self.thread_safe:
            pytest.skip("implementation does not claim thread safety")
        capacity, threads, rounds = 3, 6, 300
        make_semaphore().set_capacity("q", capacity)
        lock = threading.Lock()
        holders, peak, acquired = 0, 0, 0
        failures: list[BaseException] = []

        def worker(semaphore: Any) -> None:
            nonlocal holders, peak, acquired
            try:
                for _ in range(rounds):
                    if not semaphore.try_acquire("q"):
                        continue
                    with lock:
                        holders += 1
                        acquired += 1
                        peak = max(peak, holders)
                    with lock:
                        holders -= 1
                    semaphore.release("q")
            except BaseException as exc:  # reported below, in the test's thread
                failures.append(exc)

        pool = [threading.Thread(target=worker, args=(make_semaphore(),)) for _ in range(threads)]
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join()
        assert failures == []
        assert 0 < peak <= capacity and acquired >= capacity
        last = make_semaphore()
        assert [last.try_acquire("q") for _ in range(capacity + 1)] == [True] * capacity + [False]
