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

``SpawnDispatcherConformance`` needs ``spawn_dispatchers``: a callable taking
no arguments and returning an async context manager that yields a
``SpawnHarness``: ``make()`` returns a dispatcher over one fresh shared
state, and ``await settle(parent_run_id, resume_key)`` returns once the
group enqueued for that pair has satisfied its ``return_when`` (at once for
a dispatcher that runs children inline). Children must be run by a runner
that honours ``steered_outcome``: a child's inputs say what it returns. The
class flags say which of the protocol's latitudes an implementation takes;
each latitude is still checked, as the behaviour it claims.
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

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.spawn import SpawnDispatcher
from corlith_runtime.core.runtime.tokens import TokenSemaphore
from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter, WaiterRegistry

__all__ = ["Clock", "SpawnDispatcherConformance", "SpawnHarness", "TokenSemaphoreConformance",
           "WaiterRegistryConformance", "steered_child_runner", "steered_outcome"]

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


class SpawnHarness:
    """What ``spawn_dispatchers`` yields: dispatcher handles over one state, and a way to let a group finish."""

    def __init__(self, make: Make, settle: Callable[[str, str], Awaitable[None]] | None = None) -> None:
        self.make = make
        self._settle = settle

    async def settle(self, parent_run_id: str, resume_key: str) -> None:
        if self._settle is not None:
            await self._settle(parent_run_id, resume_key)


OpenDispatchers = Callable[[], AbstractAsyncContextManager[SpawnHarness]]


def steered_outcome(agent: Any, inputs: dict[str, Any]) -> dict[str, Any]:
    """The result a conforming test child returns, steered by its inputs.

    ``fail``: raise RuntimeError with that text; ``echo``: the output is the
    inputs the child was started with; ``output``: the output as given (None
    allowed); otherwise ``{"agent": agent}``.
    """
    if inputs.get("fail") is not None:
        raise RuntimeError(inputs["fail"])
    if inputs.get("echo"):
        output: Any = dict(inputs)
    else:
        output = inputs["output"] if "output" in inputs else {"agent": agent}
    return {"output": output, "error": None, "cost_usd": 0.25, "tokens": 3, "duration_ms": 1.5}


async def steered_child_runner(spec: Any) -> dict[str, Any]:
    """A child runner for in-process dispatchers, given the spec itself."""
    data = spec.to_dict()
    return dict(steered_outcome(data.get("agent"), dict(data.get("inputs") or {})))


def _spec(**inputs: Any) -> ChildSpec:
    return ChildSpec("leaf", inputs)


def _check_record(child_id: str, record: Any, spec: ChildSpec) -> None:
    """A record says what its steered child did, with the record's field types."""
    assert isinstance(record, dict) and record["child_run_id"] == child_id
    assert record["spec"] == spec.to_dict()
    assert (type(record["cost_usd"]), type(record["tokens"]), type(record["duration_ms"])) == (float, int, float)
    assert record["duration_ms"] >= 0.0
    if spec.inputs.get("fail") is not None:
        assert (record["output"], record["error"], record["cost_usd"], record["tokens"]) == \
            (None, spec.inputs["fail"], 0.0, 0)
    else:
        assert record["error"] is None
        if "output" in spec.inputs:
            assert record["output"] == spec.inputs["output"]


# (return_when, steering of each child, what must hold of the collected records)
_RETURN_WHEN = [
    (ReturnWhen.ALL, [{"output": {"n": 1}}, {"fail": "boom"}, {"output": None}], "all"),
    ("all", [{"output": [1, 2]}, {"output": "x"}], "all"),
    ("anything else", [{"output": 1}, {"output": None}], "all"),
    (ReturnWhen.ANY, [{"output": {"n": 1}}, {"output": {"n": 2}}, {"output": {"n": 3}}], "some"),
    ("any", [{"fail": "first"}, {"output": 2}], "some"),
    (ReturnWhen.FIRST_SUCCESS, [{"output": None}, {"fail": "no"}, {"output": {"ok": 1}}, {"output": 4}], "success"),
    ("first_success", [{"output": None}, {"fail": "no"}, {"output": None}], "all"),
]


class SpawnDispatcherConformance:
    """Shared behaviour of SpawnDispatcher implementations (fixture: ``spawn_dispatchers``).

    Latitudes, as class flags (the defaults are what the protocol's docstring
    asks of a production dispatcher):

    - ``collect_removes``: ``collect_results`` hands the records over once, and
      a second collect yields ``{}``; otherwise it yields the same records again;
    - ``mints_every_id``: every spec gets an id at enqueue; otherwise a child
      gets an id only when it runs, and each minted id has a record;
    - ``unambiguous_ids``: groups of different (parent run id, resume key)
      pairs never share an id;
    - ``dedups_group_key``: calls with one ``group_key`` collapse to one group;
    - ``injects_context``: children see ``_trace_id``, ``_signal_span_id``,
      ``_sub_user_identity`` and ``_tenant_id`` in their inputs.
    """

    collect_removes: ClassVar[bool] = False
    mints_every_id: ClassVar[bool] = True
    unambiguous_ids: ClassVar[bool] = True
    dedups_group_key: ClassVar[bool] = True
    injects_context: ClassVar[bool] = True

    @staticmethod
    def run(open_dispatchers: OpenDispatchers, body: Callable[[SpawnHarness], Awaitable[None]]) -> None:
        async def main() -> None:
            async with open_dispatchers() as harness:
                await body(harness)

        asyncio.run(main())

    @staticmethod
    async def spawn(harness: SpawnHarness, parent: str, specs: tuple[ChildSpec, ...], return_when: Any = "all",
                    key: str = "k", **options: Any) -> tuple[list[str], dict[str, Any]]:
        """Enqueue, let the group finish, collect."""
        dispatcher = harness.make()
        ids = await dispatcher.enqueue_children(parent_run_id=parent, parent_resume_key=key, specs=specs,
                                                return_when=return_when, timeout_seconds=600.0, **options)
        assert type(ids) is list and all(type(i) is str for i in ids) and len(set(ids)) == len(ids)
        await harness.settle(parent, key)
        results = await harness.make().collect_results(parent_run_id=parent, resume_key=key)
        assert type(results) is dict
        return ids, results

    def test_protocol_shape(self, spawn_dispatchers: OpenDispatchers) -> None:
        async def body(harness: SpawnHarness) -> None:
            dispatcher = harness.make()
            assert isinstance(dispatcher, SpawnDispatcher)
            for name in ("enqueue_children", "collect_results"):
                member = getattr(dispatcher, name)
                assert inspect.iscoroutinefunction(member), name
                assert _parameters(member) == _parameters(getattr(SpawnDispatcher, name)), name

        self.run(spawn_dispatchers, body)

    def test_arguments_refused_at_the_call_as_the_protocol_refuses(self, spawn_dispatchers: OpenDispatchers) -> None:
        good: dict[str, Any] = dict(parent_run_id="p", parent_resume_key="k", specs=(_spec(),), return_when="all",
                                    timeout_seconds=1.0)
        bad: list[tuple[tuple[Any, ...], dict[str, Any]]] = [
            (("p",), good), ((), {**good, "specs": [_spec()]}), ((), {**good, "timeout_seconds": "1"}),
            ((), {k: v for k, v in good.items() if k != "timeout_seconds"}), ((), {**good, "bogus": 1}),
            ((), {**good, "parent_run_id": _Str("p")}), ((), {**good, "group_key": 3}),
            ((), {**good, "tenant_id": b"t"}), ((), {**good, "parent_trace_id": 1}),
            ((), {**good, "parent_span_id": 1}), ((), {**good, "parent_sub_user_identity": _Dict()}), ((), {}),
        ]

        async def body(harness: SpawnHarness) -> None:
            dispatcher = harness.make()
            for args, kwargs in bad:
                with pytest.raises(TypeError) as expected:
                    SpawnDispatcher.enqueue_children(dispatcher, *args, **kwargs).close()
                with pytest.raises(TypeError) as got:
                    dispatcher.enqueue_children(*args, **kwargs)
                assert str(got.value) == str(expected.value)
            for kwargs in ({"parent_run_id": "p"}, {"parent_run_id": 1, "resume_key": "k"},
                           {"parent_run_id": "p", "resume_key": "k", "x": 1}):
                with pytest.raises(TypeError) as expected:
                    SpawnDispatcher.collect_results(dispatcher, **kwargs).close()
                with pytest.raises(TypeError) as got:
                    dispatcher.collect_results(**kwargs)
                assert str(got.value) == str(expected.value)
            # Nothing was enqueued by the refused calls.
            assert await dispatcher.collect_results(parent_run_id="p", resume_key="k") == {}

        self.run(spawn_dispatchers, body)

    @pytest.mark.parametrize("return_when, steering, expect", _RETURN_WHEN)
    def test_return_when(self, spawn_dispatchers: OpenDispatchers, return_when: Any,
                         steering: list[dict[str, Any]], expect: str) -> None:
        specs = tuple(_spec(**s) for s in steering)

        async def body(harness: SpawnHarness) -> None:
            ids, results = await self.spawn(harness, "p", specs, return_when)
            if self.mints_every_id:
                assert len(ids) == len(specs) and set(results) <= set(ids)
            else:
                assert list(results) == ids and len(ids) <= len(specs)
            by_id = {child_id: spec for child_id, spec in zip(ids, specs)}
            for child_id, record in results.items():
                _check_record(child_id, record, by_id[child_id])
            if expect == "all":
                assert list(results) == ids[: len(specs)] and len(results) == len(specs)
            else:
                assert results, "a satisfied group has at least one record"
            if expect == "success":
                assert any(r["output"] is not None for r in results.values())

        self.run(spawn_dispatchers, body)

    def test_empty_group(self, spawn_dispatchers: OpenDispatchers) -> None:
        async def body(harness: SpawnHarness) -> None:
            assert await self.spawn(harness, "p", ()) == ([], {})

        self.run(spawn_dispatchers, body)

    def test_collect(self, spawn_dispatchers: OpenDispatchers) -> None:
        async def body(harness: SpawnHarness) -> None:
            dispatcher = harness.make()
            assert await dispatcher.collect_results(parent_run_id="nobody", resume_key="k") == {}
            ids, first = await self.spawn(harness, "p", (_spec(output=1), _spec(output=2)))
            assert list(first) == ids
            again = await harness.make().collect_results(parent_run_id="p", resume_key="k")
            assert again == ({} if self.collect_removes else first)
            # A retried enqueue of the same pair mints the same ids.
            retried, _ = await self.spawn(harness, "p", (_spec(output=1), _spec(output=2)))
            assert retried == ids

        self.run(spawn_dispatchers, body)

    def test_pairs_are_kept_apart(self, spawn_dispatchers: OpenDispatchers) -> None:
        # ("a-b", "c") and ("a", "b-c") would read alike if the parts were joined with a hyphen.
        pairs = [("a-b", "c"), ("a", "b-c"), ("a", "c"), ("a", "d")]

        async def body(harness: SpawnHarness) -> None:
            dispatcher = harness.make()
            minted = []
            for n, (parent, key) in enumerate(pairs):
                minted.append(await dispatcher.enqueue_children(
                    parent_run_id=parent, parent_resume_key=key, specs=(_spec(output=n),), return_when="all",
                    timeout_seconds=600.0))
            for (parent, key), ids in zip(pairs, minted):
                await harness.settle(parent, key)
            for n, ((parent, key), ids) in enumerate(zip(pairs, minted)):
                results = await harness.make().collect_results(parent_run_id=parent, resume_key=key)
                assert [r["output"] for r in results.values()] == [n] and list(results) == ids
            if self.unambiguous_ids:
                assert len({i for ids in minted for i in ids}) == len(pairs)

        self.run(spawn_dispatchers, body)

    def test_group_key(self, spawn_dispatchers: OpenDispatchers) -> None:
        specs = (_spec(output={"a": 1}), _spec(output={"b": 2}))

        async def body(harness: SpawnHarness) -> None:
            first, got1 = await self.spawn(harness, "p1", specs, group_key="G")
            second, got2 = await self.spawn(harness, "p2", specs, group_key="G")
            assert [r["output"] for r in got1.values()] == [r["output"] for r in got2.values()] == [{"a": 1}, {"b": 2}]
            if self.dedups_group_key:
                assert second == first and got2 == got1
            else:
                assert set(second).isdisjoint(first)

        self.run(spawn_dispatchers, body)

    def test_child_inputs(self, spawn_dispatchers: OpenDispatchers) -> None:
        spec = _spec(echo=True, own="value")
        call: dict[str, Any] = {"parent_trace_id": "ab" * 16, "parent_span_id": "cd" * 8, "tenant_id": "tenant-1",
                "parent_sub_user_identity": {"sub": "u1", "claims": [1, None]}}

        async def body(harness: SpawnHarness) -> None:
            ids, results = await self.spawn(harness, "p", (spec,), **call)
            seen = results[ids[0]]["output"]
            assert results[ids[0]]["spec"] == spec.to_dict()  # the record keeps the spec as given
            assert {k: seen[k] for k in ("echo", "own")} == {"echo": True, "own": "value"}
            injected = {"_trace_id": call["parent_trace_id"], "_signal_span_id": call["parent_span_id"],
                        "_tenant_id": "tenant-1", "_sub_user_identity": call["parent_sub_user_identity"]}
            if self.injects_context:
                assert {k: seen.get(k) for k in injected} == injected
            else:
                assert not set(injected) & set(seen)

        self.run(spawn_dispatchers, body)
