"""One spawn tree, start to finish, through the six runtime modules.

A root run researches and writes a report. Along the way it:

1. builds the tree's spend book from the agent's guard objects;
2. checks and spawns a group of researchers through the in-memory dispatcher,
   whose child runner debits the book (one researcher fails);
3. asks for too large a group of writers, is refused, and retries smaller;
4. runs out of money: a debit and a further spawn raise ``BudgetExceeded``;
5. parks parents on a signal, a timer and a user question, and releases them
   with a fixed clock;
6. classifies the failed child run;
7. reads a policy and checks a token semaphore against its protocol;
8. prints the trace snapshot of the book.

Run it with ``python examples/spawn_tree.py``. Its output never changes from
run to run: the clock is fixed and the children's work is scripted.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.exit_triage import classify_failure
from corlith_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
from corlith_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher, SpawnDispatcher
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

ROOT = "run-root"


# --------------------------------------------------------------------------- stand-ins for the outside world


@dataclass
class Guard:
    """The members of the SDK's guard objects that the spend book reads."""

    type: str
    limit: float
    action: str = "abort"

    def limit_as_usd(self) -> float:
        return self.limit

    def limit_as_count(self) -> int:
        return int(self.limit)

    def limit_as_seconds(self) -> float:
        return self.limit


GUARDS = [
    Guard("cost", 1.00),
    Guard("cost", 0.30),  # the smaller money cap wins
    Guard("token_count", 20_000),
    Guard("spawn_depth", 2),
    Guard("spawn_fanout", 4),
    Guard("spawn_concurrent", 4),
    Guard("wall_time", 600),
    Guard("cost", 0.05, action="warn"),  # advisory: the book keeps hard caps only
    Guard("pii_filter", 1),  # enforced elsewhere, not by the book
]

# What each child costs and produces; None fails the child after it has spent.
WORK: dict[str, tuple[float, int, str | None]] = {
    "researcher-a": (0.04, 800, "3 sources on market size"),
    "researcher-b": (0.05, 1000, "pricing of 4 competitors"),
    "researcher-c": (0.01, 200, None),
    "researcher-d": (0.06, 1200, "regulatory summary"),
    "writer-1": (0.03, 600, None),
    "writer-2": (0.08, 1500, "draft report, 1,200 words"),
    "writer-3": (0.08, 1500, "second draft"),
}


class FixedClock:
    """A wall clock that moves only when told to."""

    def __init__(self, now: float) -> None:
        self.now = now

    def __call__(self) -> float:
        return self.now

    def advance(self, duration: float | str) -> None:
        self.now += parse_duration(duration)


class QueueTokens:
    """A minimal single-process token semaphore (the runtime supplies real ones)."""

    def __init__(self) -> None:
        self._capacity: dict[str, int] = {}
        self._held: dict[str, int] = {}

    def try_acquire(self, queue: str) -> bool:
        held = self._held.get(queue, 0)
        if held >= self._capacity.get(queue, 0):
            return False
        self._held[queue] = held + 1
        return True

    def release(self, queue: str) -> None:
        self._held[queue] = max(self._held.get(queue, 0) - 1, 0)

    def set_capacity(self, queue: str, count: int) -> None:
        self._capacity[queue] = count


# --------------------------------------------------------------------------- the runtime's side


def make_child_runner(book: SpendBook) -> Callable[[ChildSpec], Awaitable[ChildResult]]:
    """A child runner that spends from the tree's book, as a real child's hooks would."""

    async def run_child(spec: ChildSpec) -> ChildResult:
        cost, tokens, summary = WORK[spec.agent]
        # The in-memory dispatcher enqueues and runs a child in one step.
        book.register_child_spawned()
        try:
            tool = "web_search" if spec.agent.startswith("researcher") else None
            book.debit(cost_usd=cost, tokens=tokens, tool_name=tool)
            if summary is None:
                raise RuntimeError(f"{spec.agent}: model provider returned 503")
        finally:
            book.register_child_completed()
        return ChildResult(
            child_run_id="",
            spec={},
            output={"summary": summary},
            error=None,
            cost_usd=cost,
            tokens=tokens,
            duration_ms=250.0,
        )

    return run_child


async def spawn_group(
    book: SpendBook,
    dispatcher: InMemorySpawnDispatcher,
    *,
    resume_key: str,
    agents: list[str],
    return_when: ReturnWhen,
    child_budget_usd: float,
) -> dict[str, ChildResult]:
    """What ``ctx.spawn_many()`` and the resume path do around the dispatcher."""
    book.check_depth()
    book.check_fanout(len(agents))
    book.check_concurrent(len(agents))
    book.check_can_afford(child_budget_usd)
    print(f"checks passed: depth {book.current_depth + 1}/{book.max_spawn_depth}, "
          f"fanout {len(agents)}/{book.max_spawn_fanout}, "
          f"concurrent {book.active_child_count + len(agents)}/{book.max_concurrent_spawns}, "
          f"child budget ${child_budget_usd:.4f} fits")
    ids = await dispatcher.enqueue_children(
        parent_run_id=ROOT,
        parent_resume_key=resume_key,
        specs=tuple(ChildSpec(agent=agent) for agent in agents),
        return_when=return_when,
        timeout_seconds=300.0,
    )
    # ... the parent is suspended and later resumed with its children's results.
    results = await dispatcher.collect_results(parent_run_id=ROOT, resume_key=resume_key)
    for child_id in ids:
        show_child(results[child_id])
    for agent in agents[len(ids):]:
        print(f"  {agent}: not run (return_when={return_when.value} already satisfied)")
    return results


def show_child(result: ChildResult) -> None:
    agent = result["spec"]["agent"]
    output = result["output"]
    if output is None:
        print(f"  {result['child_run_id']}  error  {result['error']}")
    else:
        print(f"  {result['child_run_id']}  ok     {agent}: ${result['cost_usd']:.4f}, "
              f"{result['tokens']} tok, {output['summary']}")


def show_spend(book: SpendBook) -> None:
    print(f"spent ${book.spent_cost_usd:.4f} of ${book.cost_cap_usd:.4f}, {book.spent_tokens} tokens; "
          f"children {book.active_child_count} active, {book.cumulative_child_count} total; "
          f"tool calls {book.tool_call_counts}")


def show_breach(exc: BudgetExceeded) -> None:
    print(f"BudgetExceeded: {exc}")
    print(f"  cap_name={exc.cap_name} cap_value={exc.cap_value:.4f} would_be={exc.would_be:.4f}")


def heading(text: str) -> None:
    print(f"\n== {text} ==")


async def main() -> None:
    heading(f"1. spend book from {len(GUARDS)} guard objects")
    book = SpendBook.from_guards(list(GUARDS))
    print(f"caps: cost ${book.cost_cap_usd:.4f}, tokens {book.token_cap}, depth {book.max_spawn_depth}, "
          f"fanout {book.max_spawn_fanout}, concurrent {book.max_concurrent_spawns}, "
          f"wall time {book.wall_time_cap_seconds:g}s")

    dispatcher = InMemorySpawnDispatcher(child_runner=make_child_runner(book))
    print(f"dispatcher is a SpawnDispatcher: {isinstance(dispatcher, SpawnDispatcher)}")

    heading("2. root spawns 4 researchers (return_when=all)")
    research = await spawn_group(
        book, dispatcher, resume_key="research",
        agents=["researcher-a", "researcher-b", "researcher-c", "researcher-d"],
        return_when=ReturnWhen.ALL, child_budget_usd=0.06,
    )
    show_spend(book)

    heading("3. root asks for 6 writers")
    writers = [f"writer-{n}" for n in range(1, 7)]
    try:
        await spawn_group(book, dispatcher, resume_key="write", agents=writers,
                          return_when=ReturnWhen.FIRST_SUCCESS, child_budget_usd=0.08)
    except BudgetExceeded as exc:
        show_breach(exc)
    print("retrying with 3 writers (return_when=first_success)")
    await spawn_group(book, dispatcher, resume_key="write", agents=writers[:3],
                      return_when=ReturnWhen.FIRST_SUCCESS, child_budget_usd=0.08)
    show_spend(book)

    heading("4. the tree runs out of money")
    print("root's own model call debits $0.0700:")
    try:
        book.debit(cost_usd=0.07, tokens=900)
    except BudgetExceeded as exc:
        show_breach(exc)
    print("an editor child with a $0.0500 budget:")
    try:
        book.check_can_afford(0.05)
    except BudgetExceeded as exc:
        show_breach(exc)

    heading("5. parents park on waiters (clock fixed)")
    clock = FixedClock(1_700_000_000.0)
    registry = InMemoryWaiterRegistry(clock=clock)
    print(f"registry is a WaiterRegistry: {isinstance(registry, WaiterRegistry)}")
    await registry.register_signal_waiter(SignalWaiter("run-2", "approval", "order.approved", {"order_id": 42}))
    await registry.register_signal_waiter(SignalWaiter("run-3", "audit", "order.approved"))
    await registry.register_timer(TimerWaiter("run-4", "cooldown", clock.now + parse_duration("1h30m")))
    await registry.register_timer(TimerWaiter("run-5", "retry", clock.now + parse_duration(90)))
    await registry.register_user_input_waiter(
        UserInputWaiter("run-6", "confirm", "Publish the report?", choices=["yes", "no"])
    )
    print(f"waiting: {registry.signal_waiter_count()} on signals, {registry.timer_count()} on timers, "
          f"{registry.user_input_waiter_count()} on users")
    for payload in ({"order_id": 41}, {"order_id": 42, "approved_by": "ops"}):
        released = await registry.resolve_signal(signal_name="order.approved", payload=payload)
        print(f"signal order.approved {payload}: released {[(run, key) for run, key, _ in released]}")
    print(f"timer sweep at start: released {await registry.sweep_expired_timers()}")
    clock.advance("2m")
    print(f"timer sweep 2m later: released {await registry.sweep_expired_timers()}")
    clock.advance("1h30m")
    print(f"timer sweep 1h30m after that: released {await registry.sweep_expired_timers()}")
    for _ in range(2):
        answered = await registry.resolve_user_input(parent_run_id="run-6", resume_key="confirm", response="yes")
        print(f"user answers run-6/confirm: {answered}")
    print(f"still waiting: {registry.signal_waiter_count() + registry.timer_count() + registry.user_input_waiter_count()}")

    heading("6. failed runs classified")
    failed_id = next(cid for cid, result in research.items() if result["error"] is not None)
    envelopes: list[tuple[str, dict[str, Any]]] = [
        (failed_id, {"last_event": "llm_call_error", "memory_rss_mb": 0}),
        ("run-7", {"last_event": "signal_SIGTERM", "memory_rss_mb": 3900}),
        ("run-8", {"last_event": "tool_call_start", "memory_rss_mb": "3900"}),
        ("run-9", {}),
    ]
    for run_id, envelope in envelopes:
        print(f"{run_id}: {classify_failure(envelope)}")

    heading("7. policy and admission control")
    provider = NoOpPolicyProvider()
    print(f"NoOpPolicyProvider is a PolicyProvider: {isinstance(provider, PolicyProvider)}; "
          f"policy 'spawn_limits' = {provider.get_policy('spawn_limits')}")
    tokens = QueueTokens()
    print(f"QueueTokens is a TokenSemaphore: {isinstance(tokens, TokenSemaphore)}")
    tokens.set_capacity("heavy", 1)
    first, second = tokens.try_acquire("heavy"), tokens.try_acquire("heavy")
    tokens.release("heavy")
    print(f"queue 'heavy' (capacity 1): acquire {first}, again {second}, after release {tokens.try_acquire('heavy')}")

    heading("8. trace snapshot")
    for key, value in book.to_trace_data().items():
        print(f"{key:<24}{value}")


if __name__ == "__main__":
    asyncio.run(main())
