"""Allocation failure: every public call, and every import, under each failing allocation in turn.

``_testcapi.set_nomemory`` fails chosen allocations of the interpreter. For each call of the
tables below, a subprocess fails its first allocation, then its second, and so on until the
call runs to its end without reaching the failing one; then it fails every allocation from
the first, the second, ... on. Each outcome must be the call's own (its result, or the error
it raises with memory to spare) or MemoryError: never a crash, a SystemError or another error.

Every allocation is failed under ``--exhaustive`` (``make test-exhaustive``). Otherwise the
sweep fails a fixed, seeded sample: each of a call's first allocations and of its last ones,
and a spread of those between.

Run as a script (``python test_nomemory.py <group> <part>``, ``CORLITH_SWEEP=exhaustive`` for
every allocation) it sweeps one group and prints a JSON list of the bad outcomes; the tests
below run each group in a subprocess of its own, so a crash fails one test.
"""

import gc
import importlib
import importlib.util
import json
import os
import pathlib
import random
import re
import subprocess
import sys
import warnings
from functools import partial as P

import pytest

pytestmark = pytest.mark.sweep

PACKAGE = "corlith_runtime.core.runtime"
# Bounds the sweep of one call; a call that needs more allocations is itself reported.
MOST_ALLOCATIONS = 20_000
# Allocations failed one at a time beyond those a call needs, for failures it swallows.
SLACK = 20
# An import fails each of its first allocations in turn, then a sample of the rest.
EVERY_ALLOCATION = 300
# The sample: each of the first HEAD allocations and of the last TAIL a call makes (where
# its error paths start and where it hands its result over), and SPREAD chosen among those
# between; an import's later allocations are tried at steps of an eighth to a quarter.
HEAD, TAIL, SPREAD = 24, 8, 24
SAMPLED = os.environ.get("CORLITH_SWEEP", "sampled") != "exhaustive"


# --- the calls ---------------------------------------------------------------------------------
# Each group maps a label to (setup, call): with memory to spare, call(*setup()) makes the
# call itself, a partial over the public callable; that runs under the failing allocations
# and, when it returns a coroutine, is driven to its end there. No Python frame lies between
# the sweep and the call: the host loses an exception in flight when it cannot allocate the
# frame object of the Python frame it returns to, with pure-Python callees alike.

def drive(coro):
    """Runs a coroutine to its end by hand, sending None at each suspension."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def _nothing():
    return ()


def exit_triage_calls():
    from corlith_runtime.core.runtime.exit_triage import classify_failure
    return {
        f"classify_failure({data!r})": (_nothing, lambda data=data: P(classify_failure, data))
        for data in ({}, {"last_event": "signal_SIGKILL"}, {"memory_rss_mb": "2048"},
                     {"memory_rss_mb": 3.5, "last_event": "exit"}, {"memory_rss_mb": "lots"},
                     {"last_event": 7})
    }


def policy_calls():
    from corlith_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
    provider = lambda: (NoOpPolicyProvider(),)  # noqa: E731
    return {
        "NoOpPolicyProvider()": (_nothing, lambda: NoOpPolicyProvider),
        "get_runtime_configs()": (provider, lambda p: p.get_runtime_configs),
        "get_policy(str)": (provider, lambda p: P(p.get_policy, "spawn_limits")),
        "get_policy(str subclass)": (provider, lambda p: P(p.get_policy, type("S", (str,), {})("x"))),
        "PolicyProvider.get_policy": (_nothing, lambda: P(PolicyProvider.get_policy, None, name="x")),
        # The function objects' own entries.
        "repr(function)": (_nothing, lambda: P(repr, NoOpPolicyProvider.get_policy)),
        "function.__reduce__()": (_nothing, lambda: NoOpPolicyProvider.get_policy.__reduce__),
        "function.__annotations__": (_nothing, lambda: P(getattr, NoOpPolicyProvider.get_policy, "__annotations__")),
        "function.__type_params__": (_nothing, lambda: P(getattr, NoOpPolicyProvider.get_policy, "__type_params__")),
        "function.__name__ = ...": (_nothing, lambda: P(setattr, NoOpPolicyProvider.get_policy, "__name__",
                                                         "get_policy")),
        "bound method": (provider, lambda p: P(getattr, p, "get_policy")),
    }


def tokens_calls():
    from corlith_runtime.core.runtime.tokens import TokenSemaphore
    return {
        "try_acquire": (_nothing, lambda: P(TokenSemaphore.try_acquire, None, "q")),
        "release(keyword)": (_nothing, lambda: P(TokenSemaphore.release, None, queue="q")),
        "set_capacity(float count)": (_nothing, lambda: P(TokenSemaphore.set_capacity, None, "q", 3.5)),
        "set_capacity(big count)": (_nothing, lambda: P(TokenSemaphore.set_capacity, None, "q", 10.0 ** 30)),
        "set_capacity(missing)": (_nothing, lambda: P(TokenSemaphore.set_capacity, None, "q")),
    }


class Guard:
    def __init__(self, type, limit, action="abort"):
        self.type, self.action, self._limit = type, action, limit

    def limit_as_usd(self):
        return float(self._limit)

    def limit_as_count(self):
        return int(self._limit)

    def limit_as_seconds(self):
        return float(self._limit)


def spend_book_calls():
    from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook

    def capped():
        return (SpendBook(cost_cap_usd=1.0, token_cap=100, max_spawn_depth=2, max_spawn_fanout=3,
                          max_concurrent_spawns=2),)

    guards = [Guard("cost", 5), Guard("token_count", 1000), Guard("spawn_depth", 4),
              Guard("spawn_fanout", 6), Guard("spawn_concurrent", 7), Guard("wall_time", 60),
              Guard("cost", 1, action="warn")]
    return {
        "BudgetExceeded(...)": (_nothing, lambda: P(BudgetExceeded, "r", cap_name="c", cap_value=1,
                                                    would_be=2.5)),
        "debit": (capped, lambda b: P(b.debit, cost_usd=0.25, tokens=10)),
        "debit(tool_name)": (capped, lambda b: P(b.debit, cost_usd=0.25, tokens=True, tool_name="web")),
        "debit(nothing)": (lambda: (SpendBook(),), lambda b: b.debit),
        "debit(cost breach)": (capped, lambda b: P(b.debit, cost_usd=2)),
        "debit(token breach)": (capped, lambda b: P(b.debit, tokens=101.5)),
        "debit(bad tokens)": (capped, lambda b: P(b.debit, tokens="1")),
        "remaining_usd": (capped, lambda b: b.remaining_usd),
        "remaining_usd(uncapped)": (lambda: (SpendBook(),), lambda b: b.remaining_usd),
        "remaining_tokens": (capped, lambda b: b.remaining_tokens),
        "check_depth": (capped, lambda b: b.check_depth),
        "check_depth(breach)": (capped, lambda b: P(b.check_depth, 5)),
        "check_fanout": (capped, lambda b: P(b.check_fanout, 3)),
        "check_fanout(breach)": (capped, lambda b: P(b.check_fanout, 4)),
        "check_concurrent": (capped, lambda b: P(b.check_concurrent, 1)),
        "check_concurrent(breach)": (capped, lambda b: P(b.check_concurrent, 3)),
        "check_can_afford": (capped, lambda b: P(b.check_can_afford, 0.5)),
        "check_can_afford(breach)": (capped, lambda b: P(b.check_can_afford, 3)),
        "register_child_spawned": (capped, lambda b: b.register_child_spawned),
        "register_child_completed": (capped, lambda b: b.register_child_completed),
        "from_guards": (_nothing, lambda: P(SpendBook.from_guards, list(guards))),
        "to_trace_data": (capped, lambda b: b.to_trace_data),
    }


def waiters_calls():
    from corlith_runtime.core.runtime.waiters import (
        InMemoryWaiterRegistry, SignalWaiter, TimerWaiter, UserInputWaiter, WaiterRegistry, parse_duration)

    class Pairs:  # a match mapping that is not a dict
        def items(self):
            return [("order", 42), ("kind", "x")]

    def registry():
        r = InMemoryWaiterRegistry(clock=lambda: 1_000.0)
        for i in range(3):
            drive(r.register_signal_waiter(SignalWaiter(f"run-{i}", "k", "go", match={"order": i})))
            drive(r.register_timer(TimerWaiter(f"run-{i}", "k", 999.0 + i)))
            drive(r.register_user_input_waiter(UserInputWaiter(f"run-{i}", "k", "why?")))
        return (r,)

    fresh = lambda: (InMemoryWaiterRegistry(),)  # noqa: E731
    calls = {
        "matches(dict)": (_nothing, lambda: P(SignalWaiter("r", "k", "go", match={"a": 1, "b": [2]}).matches,
                                              "go", {"a": 1, "b": [2], "c": 3})),
        "matches(items)": (_nothing, lambda: P(SignalWaiter("r", "k", "go", match=Pairs()).matches,
                                               "go", {"order": 42, "kind": "x"})),
        "matches(other signal)": (_nothing, lambda: P(SignalWaiter("r", "k", "go").matches, "stop", {})),
        "InMemoryWaiterRegistry()": (_nothing, lambda: InMemoryWaiterRegistry),
        "register_signal_waiter": (fresh, lambda r: P(r.register_signal_waiter, SignalWaiter("r", "k", "go"))),
        "register_timer": (fresh, lambda r: P(r.register_timer, TimerWaiter("r", "k", 1.0))),
        "register_user_input_waiter": (fresh, lambda r: P(r.register_user_input_waiter,
                                                          UserInputWaiter("r", "k", "q"))),
        "resolve_signal": (registry, lambda r: P(r.resolve_signal, signal_name="go", payload={"order": 1})),
        "resolve_user_input": (registry, lambda r: P(r.resolve_user_input, parent_run_id="run-2",
                                                     resume_key="k", response="yes")),
        "resolve_user_input(none)": (registry, lambda r: P(r.resolve_user_input, parent_run_id="nobody",
                                                           resume_key="k", response="yes")),
        "sweep_expired_timers": (registry, lambda r: r.sweep_expired_timers),
        "signal_waiter_count": (registry, lambda r: r.signal_waiter_count),
        "WaiterRegistry.resolve_signal": (_nothing, lambda: P(WaiterRegistry.resolve_signal, None,
                                                              signal_name="s", payload={})),
    }
    for text in ("2h30m", "90", " 1.5H ", "0.25d 3s", "\u0661\u0662s", "1" * 40, 5400, 2.5,
                 "", "5x", "h", "1.2.3s", "0s", [1]):
        calls[f"parse_duration({text!r})"] = (_nothing, lambda text=text: P(parse_duration, text))
    return calls


def spawn_calls():
    from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
    from corlith_runtime.core.runtime.spawn import (
        ChildResult, InMemorySpawnDispatcher, SpawnDispatcher, _default_noop_child_runner)

    class Pause:
        def __await__(self):
            yield

    async def runner(spec):
        await Pause()
        if spec.agent == "fails":
            raise ValueError("no luck")
        return ChildResult(child_run_id="", spec={}, output={"by": spec.agent}, error=None,
                           cost_usd=0.0, tokens=0, duration_ms=0.0)

    specs = (ChildSpec("a"), ChildSpec("fails"), ChildSpec("b", {"x": 1}))

    def enqueue(return_when, child_runner=runner):
        return (lambda: (InMemorySpawnDispatcher(child_runner=child_runner),),
                lambda d: P(d.enqueue_children, parent_run_id="p", parent_resume_key="k", specs=specs,
                            return_when=return_when, timeout_seconds=5))

    def dispatched():
        d = InMemorySpawnDispatcher()
        drive(d.enqueue_children(parent_run_id="p", parent_resume_key="k", specs=specs,
                                 return_when=ReturnWhen.ALL, timeout_seconds=5))
        return (d,)

    return {
        "ChildResult(...)": (_nothing, lambda: P(ChildResult, child_run_id="c", output=None)),
        "InMemorySpawnDispatcher()": (_nothing, lambda: InMemorySpawnDispatcher),
        "enqueue_children(default runner)": enqueue(ReturnWhen.ALL, None),
        "enqueue_children(all)": enqueue(ReturnWhen.ALL),
        "enqueue_children(any)": enqueue(ReturnWhen.ANY),
        "enqueue_children(first_success)": enqueue(ReturnWhen.FIRST_SUCCESS),
        "collect_results": (dispatched, lambda d: P(d.collect_results, parent_run_id="p", resume_key="k")),
        "collect_results(none)": (dispatched, lambda d: P(d.collect_results, parent_run_id="q",
                                                          resume_key="k")),
        "_default_noop_child_runner": (_nothing, lambda: P(_default_noop_child_runner, ChildSpec("a"))),
        "SpawnDispatcher.collect_results": (_nothing, lambda: P(SpawnDispatcher.collect_results, None,
                                                                parent_run_id="p", resume_key="k")),
        "function._is_coroutine": (_nothing, lambda: P(getattr, InMemorySpawnDispatcher.collect_results,
                                                       "_is_coroutine")),
    }


GROUPS = {
    "exit_triage": exit_triage_calls,
    "policy": policy_calls,
    "tokens": tokens_calls,
    "spend_book": spend_book_calls,
    "waiters": waiters_calls,
    "spawn": spawn_calls,
}


# --- the sweep ------------------------------------------------------------------------------

def attempt(call, start, stop, expected=None):
    """Runs call() failing allocations start+1..stop (0: all from start+1 on), driving the
    coroutine it returns, if any, to its end: "failed" (MemoryError), "own" (its result, or
    the `expected` error), or the unexpected exception."""
    import _testcapi
    here = sys._getframe()  # made now: a callee's frame returning here needs it  # noqa: F841
    gc.collect()  # empties the host's free lists, so that small objects are allocated too
    _testcapi.set_nomemory(start, stop)
    try:
        result = call()
        if type(result).__name__ == "compiled_coroutine":
            while True:
                result.send(None)
    except MemoryError:
        return "failed"
    except StopIteration:
        return "own"
    except BaseException as exc:
        return "own" if type(exc) is expected else exc
    finally:
        _testcapi.remove_mem_hooks()
    return "own"


def own_outcome(call):
    result = attempt(call, 10 ** 9, 0)
    return type(result) if isinstance(result, BaseException) else None


def sampled(label, indices, tail=TAIL):
    """Every index when sweeping exhaustively; else the first HEAD, the last `tail`, and SPREAD
    of those between, drawn by a generator seeded with the call's label (the same every run)."""
    indices = list(indices)
    if not SAMPLED or len(indices) <= HEAD + tail + SPREAD:
        return indices
    middle = indices[HEAD:len(indices) - tail]
    picked = set(random.Random(label).sample(middle, SPREAD))
    return indices[:HEAD] + [i for i in middle if i in picked] + indices[len(indices) - tail:]


def first_own(outcome):
    """The first allocation from which failing every one lets the call finish. The sample
    tries the first HEAD one by one, then doubles its step and halves between the last two;
    a call that swallows a failure early can make it stop short, which shortens the sample."""
    found = next((i for i in range(HEAD if SAMPLED else MOST_ALLOCATIONS) if outcome(i, 0) == "own"), None)
    if found is not None or not SAMPLED:
        return found
    low, high = HEAD - 1, 2 * HEAD  # outcome(low, 0) is not "own"
    while outcome(high, 0) != "own":
        low, high = high, 2 * high
        if high >= MOST_ALLOCATIONS:
            return None
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (low, middle) if outcome(middle, 0) == "own" else (middle, high)
    return high


def sweep(label, setup, make_call):
    """The bad outcomes of one call, as [label, mode, allocation, what happened].

    Failing every allocation from the i-th on, the call first has its own outcome when i
    passes the allocations it makes; each one of those is then failed alone, and a few more
    for what the call swallows."""
    expected = own_outcome(make_call(*setup()))

    def outcome(i, stop):
        return attempt(make_call(*setup()), i, stop, expected)

    needed = first_own(outcome)
    if needed is None:
        return [[label, "rest", MOST_ALLOCATIONS, "did not finish"]]
    bad = [[label, "rest", i, repr(o)] for i in sampled(label, range(needed))
           if isinstance(o := outcome(i, 0), BaseException)]
    bad += [[label, "one", i, repr(o)] for i in sampled(label, range(needed + SLACK), TAIL + SLACK)
            if isinstance(o := outcome(i, i + 1), BaseException)]
    return bad


def forked(task):
    """task() in a child process, which starts with the module never imported and whose
    crash ends only itself: the text task() returns, or "crashed"."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read)
            os.write(write, task().encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        report = pipe.read()
    _, status = os.waitpid(pid, 0)
    return report if os.WIFEXITED(status) and report else "crashed"


def checked(call, start, stop, check):
    """attempt()'s outcome as text, or what check() then finds wrong with memory to spare."""
    outcome = attempt(call, start, stop)
    if not isinstance(outcome, str):
        return repr(outcome)
    try:
        return (check and check(outcome)) or outcome
    except Exception as exc:
        return f"afterwards: {exc!r}"


def sweep_load(load, label, mode, check=None):
    """Fails each allocation of load() in turn, one at a time or every one from some
    allocation on, until it succeeds: the bad outcomes and the number of crashes."""
    bad, crashes = [], 0
    i = 0
    step = random.Random(f"{label} {mode}")
    while i < MOST_ALLOCATIONS:
        outcome = forked(lambda: checked(load, i, i + 1 if mode == "one" else 0, check))
        if outcome == "own":
            return bad, crashes
        if outcome == "crashed":
            crashes += 1
        elif outcome != "failed":
            bad.append([label, mode, i, outcome])
        # Every allocation of the shell's own start, then ever sparser through the class
        # machinery of the host, whose allocations run to thousands. The sample's steps are
        # drawn by a seeded generator, so that modules do not all skip the same allocations.
        if SAMPLED:
            i += 1 if i < HEAD else step.randint(i // 8, i // 4)
        else:
            i += 1 if i < EVERY_ALLOCATION else i // 40
    return bad + [[label, mode, MOST_ALLOCATIONS, "did not finish"]], crashes


def sweep_import(short, mode):
    """The module's import, and the host's own import of its plain-Python rendering (plus a
    class of the kind the shell makes for its functions), swept alike."""
    name = f"{PACKAGE}.{short}"
    # Found with memory to spare: the host's own path search (os.stat) crashes on a failed allocation.
    spec = importlib.util.find_spec(name)

    def load():
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except BaseException:
            sys.modules.pop(name, None)  # as the import system does when loading fails
            raise

    benchmarks = pathlib.Path(__file__).parents[1] / "benchmarks"
    sys.path.insert(0, str(benchmarks))
    importlib.import_module("baseline._argcheck")
    source = benchmarks / "baseline" / f"{short}.py"
    if not source.exists():  # no body to measure: the type stub renders it
        source = pathlib.Path(spec.origin).with_name(f"{short}.pyi")
    code = compile(source.read_text() + "\nclass Function:\n    __slots__ = tuple('abcdefgh')\n",
                   str(source), "exec")

    def load_host():
        exec(code, {"__name__": f"baseline.{short}", "__package__": "baseline"})

    def names():
        return " ".join(sorted(vars(importlib.import_module(name))))

    whole = forked(names)

    def afresh(outcome):
        # A failed import leaves no partly made module: the next one makes it whole.
        return None if outcome == "own" or names() == whole else "a later import is not whole"

    bad, crashes = sweep_load(load, name, mode, afresh)
    host_bad, host_crashes = sweep_load(load_host, "host", mode, lambda outcome: load_host())
    # Errors the host also gives its own import, names and objects aside (a Python function
    # whose exception it lost, a class attribute gone from a class dict it corrupted), are
    # the host's.
    def shape(outcome):
        return re.sub(r"<.*?>|'[^']*'", "", outcome)

    host_errors = {shape(b[3]) for b in host_bad}
    bad = [b for b in bad if shape(b[3]) not in host_errors]
    return {"bad": bad, "crashes": crashes, "host_crashes": host_crashes}


def main(group, part):
    warnings.simplefilter("ignore")  # never-awaited coroutines of failed drives
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(u.exc_type)
    # What the bodies import, imported with memory to spare.
    for dependency in ("typing", "dataclasses", "time", "asyncio.coroutines", f"{PACKAGE}.exceptions"):
        importlib.import_module(dependency)
    gc.disable()
    calls = GROUPS[group]() if part == "calls" else {}
    # What lives for the whole sweep is set aside, so that the collection before each attempt
    # (which is there to empty the free lists) walks only what the attempts made.
    gc.freeze()
    if part != "calls":
        print(json.dumps(sweep_import(group, part)))
        return
    bad = []
    for label, (setup, make_call) in calls.items():
        bad += sweep(label, setup, make_call)
    gc.enable()
    bad += [["unraisable", "", 0, t.__name__] for t in unraisable if not issubclass(t, MemoryError)]
    print(json.dumps(bad))


def run_sweep(group, part, exhaustive):
    # One hash seed, so that the host's dicts grow at the same allocations in every run.
    return subprocess.run([sys.executable, __file__, group, part], capture_output=True, text=True,
                          timeout=3600, env={**os.environ, "PYTHONHASHSEED": "0",
                                             "CORLITH_SWEEP": "exhaustive" if exhaustive else "sampled"})


def assert_clean(proc):
    assert proc.returncode == 0, proc.stderr[-3000:]
    bad = json.loads(proc.stdout.splitlines()[-1])
    assert bad == [], "\n".join(map(str, bad[:40]))


@pytest.fixture
def exhaustive(request):
    return request.config.getoption("exhaustive")


@pytest.mark.parametrize("group", GROUPS)
def test_every_call_succeeds_or_raises_memory_error_under_each_failing_allocation(group, exhaustive):
    assert_clean(run_sweep(group, "calls", exhaustive))


# CPython 3.13.0 crashes in its own class creation when growing the class dict fails (its
# dict setdefault reports success and leaves the dict corrupt), and in its evaluation loop
# when every allocation fails: its import of the plain-Python rendering crashes as well.
# Each attempt runs in a child process; a crash passes only where the host's import crashes.
@pytest.mark.parametrize("mode", ["one", "rest"])
@pytest.mark.parametrize("group", GROUPS)
def test_import_succeeds_or_raises_memory_error_and_leaves_nothing(group, mode, exhaustive):
    proc = run_sweep(group, mode, exhaustive)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.splitlines()[-1])
    assert report["bad"] == [], "\n".join(map(str, report["bad"][:40]))
    assert report["crashes"] == 0 or report["host_crashes"] > 0, report


if __name__ == "__main__":
    main(*sys.argv[1:])
