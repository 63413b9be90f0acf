"""A typed caller of every compiled module, the way runtime code uses them.

Only type-checked (mypy --strict), never collected by pytest. ``assert_type``
pins the result types the stubs promise; passing the in-process defaults where
a protocol is expected makes mypy prove that they conform by structure.
"""

from __future__ import annotations

import asyncio
from typing import Any, Literal, assert_type

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.exit_triage import classify_failure
from corlith_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
from corlith_runtime.core.runtime.spawn import (
    ChildResult,
    InMemorySpawnDispatcher,
    SpawnDispatcher,
)
from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook
from corlith_runtime.core.runtime.tokens import TokenSemaphore
from corlith_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
    WaiterRegistry,
    parse_duration,
)


class Guard:
    def __init__(self, type: str, limit: float, action: str = "abort") -> None:
        self.type = type
        self.action = action
        self._limit = limit

    def limit_as_usd(self) -> float:
        return self._limit

    def limit_as_count(self) -> int:
        return int(self._limit)

    def limit_as_seconds(self) -> float:
        return self._limit


def spend(book: SpendBook) -> float:
    book.check_depth()
    book.check_depth(additional=2)
    book.check_fanout(3)
    book.check_concurrent(additional=3)
    book.check_can_afford(0.25)
    book.register_child_spawned()
    book.register_child_completed()
    try:
        book.debit(cost_usd=0.1, tokens=1200, tool_name="search")
        book.debit(tokens=5)
        book.debit()
    except BudgetExceeded as exc:
        assert_type(exc.cap_name, str)
        assert_type(exc.cap_value, float)
        assert_type(exc.would_be, float)
    assert_type(book.remaining_usd(), float)
    assert_type(book.remaining_tokens(), int)
    assert_type(book.tool_call_counts, dict[str, int])
    book.current_depth += 1
    snapshot = book.to_trace_data()
    assert_type(snapshot["remaining_tokens"], int)
    return snapshot["spent_cost_usd"] + snapshot["remaining_usd"]


def books() -> list[SpendBook]:
    from_guards = SpendBook.from_guards([Guard("cost", 5.0), Guard("spawn_depth", 2)])
    assert_type(from_guards, SpendBook)
    capped = SpendBook(cost_cap_usd=10.0, token_cap=100_000, max_spawn_fanout=4)
    positional = SpendBook(1.0, 100)
    error = BudgetExceeded("over", cap_name="token_cap", cap_value=1, would_be=2)
    assert_type(str(error), str)
    return [SpendBook(), from_guards, capped, positional]


async def wait_on(registry: WaiterRegistry) -> list[tuple[str, str]]:
    await registry.register_signal_waiter(
        SignalWaiter("run-1", "k1", "order.paid", match={"order": 7})
    )
    await registry.register_timer(TimerWaiter("run-2", "k2", resume_at_unix=99.0))
    await registry.register_user_input_waiter(
        UserInputWaiter("run-3", "k3", "Proceed?", choices=["yes", "no"])
    )
    for run_id, resume_key, payload in await registry.resolve_signal(
        signal_name="order.paid", payload={"order": 7}
    ):
        assert_type(run_id, str)
        assert_type(resume_key, str)
        assert_type(payload, dict[Any, Any])
    resolved = await registry.resolve_user_input(
        parent_run_id="run-3", resume_key="k3", response="yes"
    )
    assert_type(resolved, bool)
    return await registry.sweep_expired_timers()


async def waiters() -> int:
    registry = InMemoryWaiterRegistry(clock=lambda: 100.0)
    await wait_on(registry)
    assert isinstance(registry, WaiterRegistry)
    assert SignalWaiter("p", "k", "s").matches("s", {"any": "payload"})
    seconds = parse_duration("2h30m") + parse_duration(90) + parse_duration(2.5)
    assert_type(seconds, float)
    return (
        registry.signal_waiter_count()
        + registry.timer_count()
        + registry.user_input_waiter_count()
        + InMemoryWaiterRegistry().timer_count()
    )


async def run_child(spec: ChildSpec) -> ChildResult:
    return ChildResult(
        child_run_id="",
        spec=spec.to_dict(),
        output={"agent": spec.agent},
        error=None,
        cost_usd=0.0,
        tokens=0,
        duration_ms=1.5,
    )


async def fan_out(dispatcher: SpawnDispatcher) -> dict[str, ChildResult]:
    child_ids = await dispatcher.enqueue_children(
        parent_run_id="run-1",
        parent_resume_key="fan",
        specs=(ChildSpec("researcher"), ChildSpec("writer", {"topic": "x"})),
        return_when=ReturnWhen.ALL,
        timeout_seconds=30,
        tenant_id="tenant-1",
        parent_sub_user_identity=None,
    )
    assert_type(child_ids, list[str])
    return await dispatcher.collect_results(parent_run_id="run-1", resume_key="fan")


async def spawns() -> list[str]:
    results = await fan_out(InMemorySpawnDispatcher(child_runner=run_child))
    results.update(await fan_out(InMemorySpawnDispatcher()))
    assert isinstance(InMemorySpawnDispatcher(child_runner=None), SpawnDispatcher)
    for result in results.values():
        assert_type(result["output"], dict[str, Any] | None)
        assert_type(result["duration_ms"], float)
    return [str(result.get("error")) for result in results.values()]


Reason = Literal["terminated_by_signal", "suspected_oom", "abnormal_exit", "unknown"]


def triage() -> list[Reason]:
    assert_type(classify_failure({}), Reason)
    return [
        classify_failure({}),
        classify_failure({"last_event": "signal_SIGTERM"}),
        classify_failure({"memory_rss_mb": "512"}),
    ]


def policies(provider: PolicyProvider) -> dict[str, Any]:
    configs = provider.get_runtime_configs()
    configs.update(provider.get_policy("spend"))
    return configs


class LocalSemaphore:
    def __init__(self) -> None:
        self._free: dict[str, int] = {}

    def try_acquire(self, queue: str) -> bool:
        if self._free.get(queue, 0) <= 0:
            return False
        self._free[queue] -= 1
        return True

    def release(self, queue: str) -> None:
        self._free[queue] = self._free.get(queue, 0) + 1

    def set_capacity(self, queue: str, count: int) -> None:
        self._free[queue] = count


def admit(semaphore: TokenSemaphore, queue: str = "default") -> bool:
    semaphore.set_capacity(queue, 2)
    if not semaphore.try_acquire(queue):
        return False
    semaphore.release(queue)
    return True


def main() -> None:
    for book in books():
        spend(book)
    asyncio.run(waiters())
    asyncio.run(spawns())
    triage()
    policies(NoOpPolicyProvider())
    admit(LocalSemaphore())
    assert isinstance(LocalSemaphore(), TokenSemaphore)


if __name__ == "__main__":
    main()
