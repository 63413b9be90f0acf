#!/usr/bin/env python
"""Hot operations of the compiled modules against their plain-Python renderings.

One pyperf run measures every operation twice, compiled and baseline
(``benchmarks/baseline/``), then prints the ratio baseline/compiled per
operation against its target, and per-unit costs where the input has a size.

    python benchmarks/bench.py -o out.json     # full run, results kept as JSON
    python benchmarks/bench.py --fast          # rough numbers in a few minutes
    python benchmarks/bench.py --only parse    # operations whose name contains "parse"

Every other pyperf option (``--rigorous``, ``--affinity``, ``-p``, ...) is
passed through unchanged.
"""

from __future__ import annotations

import statistics
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass
from importlib import import_module
from types import SimpleNamespace
from typing import Any, Callable

import pyperf

MODULES = ("spend_book", "waiters", "spawn", "exit_triage", "policy")

# Tiny operations run many times per loop iteration so that the cost of the
# ``for`` loop itself stays in the noise.
UNROLL = 10

TARGET = 3.0
AWAIT_TARGET = 2.0
# resolve_signal is "linear" when the per-waiter cost at the largest list is at
# most this many times the per-waiter cost at the smallest one (cache misses
# on a 100,000-object walk are allowed for, quadratic behaviour is not).
LINEAR_SLACK = 2.0
# Calls that do no work besides binding their argument: what any operation
# of that kind costs at least, on either side, so they bound the ratio a thin
# operation can reach.
FLOOR = "call floor: method with one str argument, no work"
COST = "cost in empty-method calls"
AWAIT_FLOOR = "await floor: awaited method, one argument, no work"


def load(kind: str) -> SimpleNamespace:
    """The five modules of one implementation, by short name."""
    prefix = "corlith_runtime.core.runtime." if kind == "compiled" else "baseline."
    return SimpleNamespace(**{name: import_module(prefix + name) for name in MODULES})


def run_now(coro: Any) -> Any:
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("coroutine suspended")


# --------------------------------------------------------------------------- inputs


class Guard:
    """Stands in for the SDK guard type: only the members the book reads."""

    __slots__ = ("type", "action", "_limit")

    def __init__(self, type: str, limit: float, action: str = "abort") -> None:
        self.type = type
        self.action = action
        self._limit = limit

    def limit_as_usd(self) -> float:
        return self._limit

    def limit_as_count(self) -> float:
        return self._limit

    def limit_as_seconds(self) -> float:
        return self._limit


GUARD_MIX = (
    Guard("cost", 5.0),
    Guard("token_count", 200_000),
    Guard("spawn_depth", 4),
    Guard("cost", 2.0),
    Guard("spawn_fanout", 8),
    Guard("spawn_concurrent", 12),
    Guard("wall_time", 3600.0),
    Guard("token_count", 50_000),
    Guard("cost", 1.0, action="warn"),
    Guard("pii_filter", 1),
)


def guards(n: int) -> list[Guard]:
    return [GUARD_MIX[i % len(GUARD_MIX)] for i in range(n)]


MATCH_KEYS = ("tenant", "region", "order", "status", "channel", "currency", "priority", "source", "shard", "tier")


def match_of(keys: int) -> dict[str, Any]:
    return {k: f"{k}-value" for k in MATCH_KEYS[:keys]}


def payload_of(keys: int) -> dict[str, Any]:
    payload = match_of(keys)
    payload.update(amount=120, attempt=1)
    return payload


def duration_text(chars: int) -> str:
    unit = "1d2h3m4s"
    return (unit * (chars // len(unit) + 1))[:chars]


# --------------------------------------------------------------------------- cases


@dataclass(frozen=True)
class Case:
    """One timed operation: ``body`` runs against the names that ``setup`` returns."""

    op: str
    body: str
    setup: Callable[[SimpleNamespace], dict[str, Any]]
    target: float | None = TARGET  # None: growth row only, no pass/miss of its own
    size: int | None = None
    unit: str = ""
    awaited: bool = False  # body holds ``await``s; the loop runs inside one coroutine
    unroll: int = UNROLL
    growth: str = ""  # groups the rows of one operation measured at several sizes


def s_debit(m: SimpleNamespace) -> dict[str, Any]:
    return {"book": m.spend_book.SpendBook()}


def s_breach(m: SimpleNamespace) -> dict[str, Any]:
    """A book already over its cost cap: every debit raises."""
    book = m.spend_book.SpendBook(cost_cap_usd=1.0, spent_cost_usd=5.0)
    return {"book": book, "BudgetExceeded": m.spend_book.BudgetExceeded}


def s_checks(m: SimpleNamespace) -> dict[str, Any]:
    book = m.spend_book.SpendBook(
        cost_cap_usd=100.0, token_cap=1_000_000, spent_cost_usd=1.0, current_depth=1, active_child_count=5
    )
    return {"book": book}


def s_trace(m: SimpleNamespace) -> dict[str, Any]:
    book = m.spend_book.SpendBook(cost_cap_usd=2.5, token_cap=100_000, spent_cost_usd=0.3333333333, spent_tokens=41_250)
    book.current_depth = 1
    book.active_child_count = 3
    book.cumulative_child_count = 7
    return {"book": book}


def s_from_guards(n: int) -> Callable[[SimpleNamespace], dict[str, Any]]:
    def setup(m: SimpleNamespace) -> dict[str, Any]:
        return {"SpendBook": m.spend_book.SpendBook, "guards": guards(n)}

    return setup


def s_parse(value: Any) -> Callable[[SimpleNamespace], dict[str, Any]]:
    def setup(m: SimpleNamespace) -> dict[str, Any]:
        return {"parse_duration": m.waiters.parse_duration, "value": value}

    return setup


def s_matches(keys: int) -> Callable[[SimpleNamespace], dict[str, Any]]:
    def setup(m: SimpleNamespace) -> dict[str, Any]:
        waiter = m.waiters.SignalWaiter("run-1", "approval", "order.updated", match_of(keys))
        payload = payload_of(keys)
        assert waiter.matches("order.updated", payload) is True
        return {"waiter": waiter, "payload": payload}

    return setup


def s_resolve(n: int) -> Callable[[SimpleNamespace], dict[str, Any]]:
    # Every waiter listens for the signal and walks all three match keys, but
    # the last key never matches: the list keeps its size from run to run.
    def setup(m: SimpleNamespace) -> dict[str, Any]:
        registry = m.waiters.InMemoryWaiterRegistry()
        for i in range(n):
            waiter = m.waiters.SignalWaiter(
                f"run-{i}", "approval", "order.updated", {"tenant": "acme", "region": "eu", "order": i}
            )
            run_now(registry.register_signal_waiter(waiter))
        payload = {"tenant": "acme", "region": "eu", "order": -1, "status": "paid"}
        assert run_now(registry.resolve_signal(signal_name="order.updated", payload=payload)) == []
        assert registry.signal_waiter_count() == n
        return {"registry": registry, "payload": payload}

    return setup


def s_spawn(n: int) -> Callable[[SimpleNamespace], dict[str, Any]]:
    def setup(m: SimpleNamespace) -> dict[str, Any]:
        from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

        specs = tuple(ChildSpec(agent=f"researcher-{i}") for i in range(n))
        dispatcher = m.spawn.InMemorySpawnDispatcher()
        ids = run_now(
            dispatcher.enqueue_children(
                parent_run_id="run-1", parent_resume_key="spawn-1", specs=specs,
                return_when=ReturnWhen.ALL, timeout_seconds=300.0,
            )
        )
        assert len(run_now(dispatcher.collect_results(parent_run_id="run-1", resume_key="spawn-1"))) == len(ids) == n
        return {"dispatcher": dispatcher, "specs": specs, "ALL": ReturnWhen.ALL}

    return setup


def s_classify(m: SimpleNamespace) -> dict[str, Any]:
    envelope = {"run_id": "run-1", "last_event": "llm_call_end", "memory_rss_mb": 2048}
    assert m.exit_triage.classify_failure(envelope) == "suspected_oom"
    return {"classify_failure": m.exit_triage.classify_failure, "envelope": envelope}


def s_policy(m: SimpleNamespace) -> dict[str, Any]:
    return {"provider": m.policy.NoOpPolicyProvider()}


def s_floor(m: SimpleNamespace) -> dict[str, Any]:
    """A method that only checks its one str argument and returns None."""

    class Provider(m.policy.PolicyProvider):
        pass

    assert Provider().get_policy("spawn_limits") is None
    return {"provider": Provider()}


def s_await_floor(m: SimpleNamespace) -> dict[str, Any]:
    """An asynchronous protocol method whose body does nothing."""

    class Registry(m.waiters.WaiterRegistry):
        pass

    return {"registry": Registry(), "timer": m.waiters.TimerWaiter("run-5", "nap", 1.0)}


def s_await(m: SimpleNamespace) -> dict[str, Any]:
    registry = m.waiters.InMemoryWaiterRegistry()
    waiter = m.waiters.UserInputWaiter("run-5", "confirm", "Publish the report?")
    return {"registry": registry, "waiter": waiter}


B_DEBIT = "book.debit(cost_usd=0.0125, tokens=640)"
B_DEBIT_TOOL = "book.debit(cost_usd=0.0125, tokens=640, tool_name='web_search')"
B_RESOLVE = """\
coro = registry.resolve_signal(signal_name="order.updated", payload=payload)
try:
    coro.send(None)
except StopIteration:
    pass
"""
B_SPAWN = """\
await dispatcher.enqueue_children(parent_run_id="run-1", parent_resume_key="spawn-1", specs=specs, return_when=ALL, timeout_seconds=300.0)
await dispatcher.collect_results(parent_run_id="run-1", resume_key="spawn-1")
"""
B_AWAIT = """\
await registry.register_user_input_waiter(waiter)
await registry.resolve_user_input(parent_run_id="run-5", resume_key="confirm", response="yes")
"""
B_BREACH = """\
try:
    book.debit(cost_usd=0.0)
except BudgetExceeded:
    pass
"""
B_BAD_DURATION = """\
try:
    parse_duration(value)
except ValueError:
    pass
"""
B_BAD_ARG = """\
try:
    provider.get_policy(42)
except TypeError:
    pass
"""


def cases() -> list[Case]:
    out = [
        Case("SpendBook.debit", B_DEBIT, s_debit),
        Case("SpendBook.debit(tool_name)", B_DEBIT_TOOL, s_debit),
        Case("SpendBook.check_depth", "book.check_depth()", s_checks),
        Case("SpendBook.check_fanout", "book.check_fanout(4)", s_checks),
        Case("SpendBook.check_concurrent", "book.check_concurrent(3)", s_checks),
        Case("SpendBook.check_can_afford", "book.check_can_afford(0.25)", s_checks),
        Case("SpendBook.to_trace_data", "book.to_trace_data()", s_trace),
    ]
    for n in (1, 10, 100):
        out.append(Case(f"SpendBook.from_guards({n} guards)", "SpendBook.from_guards(guards)", s_from_guards(n),
                        target=TARGET if n == 10 else None, size=n, unit="guard", growth="from_guards",
                        unroll=UNROLL if n <= 10 else 1))
    for value in ("2h30m", "90", 5400):
        out.append(Case(f"parse_duration({value!r})", "parse_duration(value)", s_parse(value)))
    for chars in (8, 32, 128):
        text = duration_text(chars)
        out.append(Case(f"parse_duration({chars}-char text)", "parse_duration(value)", s_parse(text),
                        target=None, size=chars, unit="char", growth="parse_duration"))
    for keys in (1, 3, 10):
        out.append(Case(f"SignalWaiter.matches({keys}-key)", 'waiter.matches("order.updated", payload)',
                        s_matches(keys), target=TARGET if keys == 3 else None, size=keys, unit="key",
                        growth="matches"))
    for n in (1_000, 10_000, 100_000):
        out.append(Case(f"resolve_signal({n:,} waiters)", B_RESOLVE, s_resolve(n),
                        target=TARGET if n != 10_000 else None, size=n, unit="waiter", growth="resolve_signal",
                        unroll=1))
    for n in (1, 10, 100):
        out.append(Case(f"enqueue+collect({n} children)", B_SPAWN, s_spawn(n), target=TARGET if n == 10 else None,
                        size=n, unit="child", growth="spawn", awaited=True, unroll=UNROLL if n <= 10 else 1))
    out += [
        Case("classify_failure", "classify_failure(envelope)", s_classify),
        Case("NoOpPolicyProvider.get_policy", "provider.get_policy('spawn_limits')", s_policy),
        Case("wrong-type argument (TypeError)", B_BAD_ARG, s_policy),
        # Error paths: what a raise costs, the caller's except included.
        Case("SpendBook.debit over its cap (raises)", B_BREACH, s_breach, target=None),
        Case("parse_duration('2h30x') (raises)", B_BAD_DURATION, s_parse("2h30x"), target=None),
        Case("await registry register+resolve", B_AWAIT, s_await, target=AWAIT_TARGET, awaited=True),
        Case(FLOOR, "provider.get_policy('spawn_limits')", s_floor, target=None),
        Case(AWAIT_FLOOR, "await registry.register_timer(timer)", s_await_floor, target=None, awaited=True),
    ]
    return out


# --------------------------------------------------------------------------- timing


def compile_timer(case: Case, env: dict[str, Any]) -> Callable[[int], float]:
    """Build ``timer(loops) -> seconds`` with the case's names as fast locals."""
    names = sorted(env)
    params = "".join(f", {name}={name}" for name in names)
    body = textwrap.indent(case.body.rstrip() + "\n", " " * 8) * case.unroll
    if case.awaited:
        src = (
            f"async def drive(loops{params}):\n"
            f"    for _ in range(loops):\n{body}"
            "def timer(loops):\n"
            "    coro = drive(loops)\n"
            "    t0 = perf_counter()\n"
            "    try:\n"
            "        coro.send(None)\n"
            "    except StopIteration:\n"
            "        return perf_counter() - t0\n"
            "    raise RuntimeError('benchmark coroutine suspended')\n"
        )
    else:
        src = (
            f"def timer(loops{params}):\n"
            "    it = range(loops)\n"
            "    t0 = perf_counter()\n"
            f"    for _ in it:\n{body}"
            "    return perf_counter() - t0\n"
        )
    namespace: dict[str, Any] = dict(env, perf_counter=time.perf_counter)
    exec(compile(src, f"<bench {case.op}>", "exec"), namespace)
    timer: Callable[[int], float] = namespace["timer"]
    return timer


class LazyTimer:
    """Builds the case's inputs on first use: a worker process runs one case only."""

    def __init__(self, case: Case, kind: str) -> None:
        self.case = case
        self.kind = kind
        self.timer: Callable[[int], float] | None = None

    def __call__(self, loops: int) -> float:
        if self.timer is None:
            self.timer = compile_timer(self.case, self.case.setup(load(self.kind)))
        return self.timer(loops)


# Each pair's two timings last at least this long: far above the timer's
# resolution, short enough that the machine's speed barely moves within a pair.
PAIR_SECONDS = 0.005


def loops_for(timer: Callable[[int], float]) -> int:
    """How many loops make one timing last PAIR_SECONDS."""
    loops = 1
    while timer(loops) < PAIR_SECONDS:
        loops *= 2
    return loops


def paired_costs(case: Case, floor: Case, pairs: int) -> list[float]:
    """The operation's compiled time in calls of the floor, once per pair.

    The operation and the floor are timed back to back in this one process,
    in alternating order, so that a drift of the machine's speed (which
    moves both) cancels out of each pair's ratio.
    """
    m = load("compiled")
    op_timer = compile_timer(case, case.setup(m))
    floor_timer = compile_timer(floor, floor.setup(m))
    op_loops, floor_loops = loops_for(op_timer), loops_for(floor_timer)
    op_calls, floor_calls = op_loops * case.unroll, floor_loops * floor.unroll
    costs = []
    for i in range(pairs):
        if i % 2:
            op_time = op_timer(op_loops)
            floor_time = floor_timer(floor_loops)
        else:
            floor_time = floor_timer(floor_loops)
            op_time = op_timer(op_loops)
        costs.append((op_time / op_calls) / (floor_time / floor_calls))
    return costs


PAIRED = "--paired-cost"


def cost_in_fresh_process(case: Case, pairs: int) -> float:
    """The median of paired_costs, timed in a new interpreter as pyperf's
    workers are: what the parent process built and freed for earlier rows
    does not shape this row's heap."""
    out = subprocess.run([sys.executable, __file__, PAIRED, case.op, str(pairs)],
                         check=True, capture_output=True, text=True).stdout
    return float(out)


# --------------------------------------------------------------------------- report


def fmt_time(seconds: float) -> str:
    for scale, unit in ((1e-9, "ns"), (1e-6, "us"), (1e-3, "ms")):
        if seconds < scale * 1000:
            return f"{seconds / scale:7.1f} {unit}"
    return f"{seconds:7.2f} s "


def report(results: dict[tuple[str, str], float], costs: dict[str, float], pairs: int, selected: list[Case]) -> None:
    width = max(len(c.op) for c in selected) + 2
    print()
    print(f"compiled: {load('compiled').spend_book.__file__}")
    print("Ratio = baseline time / compiled time (median per operation)")

    def calls(case: Case, per: int = 1) -> str:
        cost = costs.get(case.op)
        return f"{cost / per:>28.2f}" if cost is not None else f"{'-':>28}"

    print(f"Cost = compiled time / the call floor's compiled time, timed back to back in {pairs} pairs"
          " in a new process per row (median)")
    print(f"{'operation':<{width}}{'compiled':>12}{'baseline':>12}{'ratio':>9}{'target':>9}  verdict{COST:>28}")
    for case in selected:
        if case.target is None or (case.op, "compiled") not in results:
            continue
        fast, slow = results[case.op, "compiled"], results[case.op, "baseline"]
        ratio = slow / fast
        verdict = "PASS" if ratio >= case.target else "MISS"
        print(f"{case.op:<{width}}{fmt_time(fast):>12}{fmt_time(slow):>12}{ratio:>8.2f}x{case.target:>8.1f}x  {verdict}"
              f"{calls(case)}")

    floors = [op for op in (FLOOR, AWAIT_FLOOR) if (op, "compiled") in results]
    if floors:
        print()
    for op in floors:
        fast, slow = results[op, "compiled"], results[op, "baseline"]
        print(f"{op:<{width}}{fmt_time(fast):>12}{fmt_time(slow):>12}{slow / fast:>8.2f}x")

    groups: dict[str, list[Case]] = {}
    for case in selected:
        if case.growth and (case.op, "compiled") in results:
            groups.setdefault(case.growth, []).append(case)
    if not groups:
        return
    print()
    print("Growth with input size (time per unit of input)")
    print(f"{'operation':<{width}}{'compiled':>12}{'baseline':>12}{'ratio':>9}{COST:>28}")
    for rows in groups.values():
        for case in rows:
            fast = results[case.op, "compiled"] / case.size
            slow = results[case.op, "baseline"] / case.size
            print(f"{case.op:<{width}}{fmt_time(fast):>12}{fmt_time(slow):>12}{slow / fast:>8.2f}x{calls(case, case.size or 1)}"
                  f"   per {case.unit}")
        if rows[0].growth == "resolve_signal" and len(rows) > 1:
            first, last = rows[0], rows[-1]
            for kind in ("compiled", "baseline"):
                growth = (results[last.op, kind] / last.size) / (results[first.op, kind] / first.size)
                verdict = "PASS" if growth <= LINEAR_SLACK else "MISS"
                print(f"  {kind} per-waiter cost at {last.size:,} / at {first.size:,}: {growth:.2f}"
                      f" (linear if <= {LINEAR_SLACK}){'  ' + verdict if kind == 'compiled' else ''}")


def add_cmdline_args(cmd: list[str], args: Any) -> None:
    if args.only:
        cmd.extend(("--only", args.only))


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == PAIRED:
        every = cases()
        floor = next(c for c in every if c.op == FLOOR)
        case = next(c for c in every if c.op == sys.argv[2])
        print(statistics.median(paired_costs(case, floor, int(sys.argv[3]))))
        return
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--only", default="", help="run only operations whose name contains this text")
    args = runner.parse_args()

    # The call floor always runs: every cost is counted in its calls.
    every = cases()
    floor = next(c for c in every if c.op == FLOOR)
    selected = [c for c in every if args.only.lower() in c.op.lower() or c.op == FLOOR]
    results: dict[tuple[str, str], float] = {}
    for case in selected:
        for kind in ("compiled", "baseline"):
            bench = runner.bench_time_func(f"{case.op} [{kind}]", LazyTimer(case, kind), inner_loops=case.unroll)
            if bench is not None and not args.worker:
                results[case.op, kind] = bench.median()
    if args.worker or not results:
        return

    # Costs are timed apart from pyperf's runs, each beside the floor: a
    # machine's speed can drift within a run, and a ratio of two medians
    # taken minutes apart carries that drift.
    pairs = 41 if args.fast else 201 if args.rigorous else 101
    costs = {
        case.op: cost_in_fresh_process(case, pairs)
        for case in selected
        if case.op not in (FLOOR, AWAIT_FLOOR) and (case.target is not None or case.growth)
    }
    report(results, costs, pairs, selected)


if __name__ == "__main__":
    main()
