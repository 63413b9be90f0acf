"""Host code that runs in the middle of a call: each case is run through the compiled body and
through the Python rendering (benchmarks/baseline) on the same objects, and must come out the same.
Cases that could crash the interpreter run the compiled side in a child process."""

import asyncio
import pathlib
import sys

import pytest

from corlith_runtime.core.runtime import spawn, spend_book, waiters
from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
from baseline import spawn as spawn_py  # noqa: E402  (the Python renderings)
from baseline import spend_book as spend_book_py  # noqa: E402
from baseline import waiters as waiters_py  # noqa: E402

COMPILED, PYTHON = "compiled", "python"


def both(isolated, case, *args):
    """The case's outcome through the Python rendering, then through the compiled body in a child."""
    return case(PYTHON, *args), isolated(case, COMPILED, *args)



# ---- a method proof learned while its own lookup runs code --------------------------------------
# The class lookup of a method name on a class whose dict holds a str subclass colliding with that
# name runs the key's __eq__. Here it makes the proof cache learn four other classes, one of them
# the class the scan meets next: one overriding the method, or one whose instances keep no inline
# values. The proof of the first class must not land on the fourth.

def _colliding_class(base, method, learn_others):
    armed = [True]

    class Collides(str):
        def __hash__(self):
            return hash(method)

        def __eq__(self, other):
            if armed:
                armed.clear()
                learn_others()
            return False

    return type("Poisoned", (base,), {Collides(method + "_"): None})


def _waiter_classes():
    SignalWaiter = waiters.SignalWaiter

    class Override(SignalWaiter):
        def matches(self, signal_name, payload):
            return "overridden"

    class Foreign:  # no inline values: reading them would read past the object
        __slots__ = ("signal_name", "match", "parent_run_id", "resume_key")
        matches = SignalWaiter.matches

    def foreign(run_id):
        waiter = Foreign()
        waiter.signal_name, waiter.match, waiter.parent_run_id, waiter.resume_key = "sig", {"a": "no"}, run_id, "k"
        return waiter

    return {
        "override": lambda run_id: Override(run_id, "k", "sig", {"a": "no"}),
        "foreign": foreign,
    }


def _signal_scan_after_learning(rendering, drive, fourth):
    Registry = waiters.InMemoryWaiterRegistry
    resolve = (waiters_py.InMemoryWaiterRegistry if rendering == PYTHON else Registry).resolve_signal
    make_fourth = _waiter_classes()[fourth]
    others = [type(f"Plain{i}", (waiters.SignalWaiter,), {})(f"x{i}", "k", "other") for i in range(3)]
    others.append(make_fourth("learned"))

    def learn_others():
        reg = Registry()
        reg._signal_waiters = list(others)
        drive(resolve(reg, signal_name="other", payload={}))

    Poisoned = _colliding_class(waiters.SignalWaiter, "matches", learn_others)
    reg = Registry()
    reg._signal_waiters = [Poisoned("p", "k", "sig", {"a": "x"}), make_fourth("q"), make_fourth("r")]
    records = drive(resolve(reg, signal_name="sig", payload={"a": "x"}))
    return records, [w.parent_run_id for w in reg._signal_waiters]


def _snapshot_after_learning(rendering, drive, fourth):
    SpendBook = spend_book.SpendBook
    snapshot = (spend_book_py.SpendBook if rendering == PYTHON else SpendBook).to_trace_data

    class Override(SpendBook):
        def remaining_usd(self):
            return 42.0

        def remaining_tokens(self):
            return 42

    others = [type(f"Plain{i}", (SpendBook,), {})(cost_cap_usd=5.0) for i in range(3)] + [Override(5.0, 50)]

    def learn_others():
        for book in others:
            snapshot(book)

    outcomes = []
    for method in ("remaining_usd", "remaining_tokens"):
        Poisoned = _colliding_class(SpendBook, method, learn_others)
        outcomes.append(snapshot(Poisoned(cost_cap_usd=5.0, token_cap=50)))
        outcomes.append(snapshot(Override(cost_cap_usd=5.0, token_cap=50)))
    return outcomes


@pytest.mark.parametrize("case, fourth", [
    (_signal_scan_after_learning, "override"),
    (_signal_scan_after_learning, "foreign"),
    (_snapshot_after_learning, "override"),
])
def test_a_method_proof_learned_during_its_own_lookup_stays_with_its_class(isolated, run_now, case, fourth):
    python, compiled = both(isolated, case, run_now, fourth)
    assert compiled == python


# ---- deep await chains -----------------------------------------------------------------------
# Each dispatcher's child runner hands back the next dispatcher's enqueue_children, so every child
# run is an await one level deeper. The host meets its recursion limit, the dispatcher at that
# depth records it as its child's error, and the outermost call returns.

def _deep_chain(rendering, drive, depth, recursion_limit):
    module = spawn_py if rendering == PYTHON else spawn
    dispatchers = []

    def runner(level):
        def run(spec):
            if level + 1 == depth:
                return module._default_noop_child_runner(spec)
            return dispatchers[level + 1].enqueue_children(
                parent_run_id=f"p{level + 1}", parent_resume_key="k", specs=(spec,),
                return_when=ReturnWhen.ALL, timeout_seconds=1.0)
        return run

    dispatchers.extend(module.InMemorySpawnDispatcher(child_runner=runner(i)) for i in range(depth))
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(recursion_limit or old)
    try:
        ids = drive(dispatchers[0].enqueue_children(
            parent_run_id="p0", parent_resume_key="k", specs=(ChildSpec("a"),),
            return_when=ReturnWhen.ALL, timeout_seconds=1.0))
    finally:
        sys.setrecursionlimit(old)
    errors = {}
    for level, dispatcher in enumerate(dispatchers):
        for record in dispatcher._pending.get(f"p{level}", {}).get("k", {}).values():
            errors.setdefault(record["error"], []).append(level)
    overflowed = any(str(error).startswith("maximum recursion depth exceeded") for error in errors)
    return ids, sorted(errors, key=str), overflowed


@pytest.mark.parametrize("depth, recursion_limit", [
    (60_000, None),    # the default limit
    (60_000, 1_500),
    (6_000, 10**6),    # a limit the C stack could not hold: the host's C recursion guard decides
])
def test_a_deep_await_chain_meets_the_recursion_limit(isolated, run_now, depth, recursion_limit):
    python, compiled = both(isolated, _deep_chain, run_now, depth, recursion_limit)
    assert compiled[0] == ["inmem-p0-k-0"]
    assert compiled[2], "a dispatcher records the overflow as its child's error"
    if recursion_limit != 10**6:  # where only the C stack limits, the depths differ
        assert compiled == python


def _send_at_the_recursion_limit(coro):
    def deeper():
        try:
            return deeper()
        except RecursionError:
            try:
                coro.send(None)  # a call from C: only the coroutine's own run counts
            except BaseException as exc:  # noqa: BLE001 - compared below
                return type(exc).__name__
            return "ran"
    outcome = deeper()
    try:
        coro.send(None)
    except RuntimeError as exc:
        return outcome, str(exc)
    return outcome, "ran again"


class _FrameFree:
    """A spec whose to_dict runs no host frame."""

    agent = "a"
    to_dict = dict


@pytest.mark.parametrize("state", ["created", "suspended"])
def test_a_coroutine_run_refused_at_the_limit_ends_it(state):
    # Nothing in the compiled body pushes a host frame (a C spec, the compiled runner, a pending
    # future): only counting the run itself can refuse it, as the host refuses its frame.
    loop = asyncio.new_event_loop()
    outcomes = []
    try:
        for module in (spawn_py, spawn):
            pending = loop.create_future()
            runner = (lambda spec: pending) if state == "suspended" else None
            coro = module.InMemorySpawnDispatcher(child_runner=runner).enqueue_children(
                parent_run_id="p", parent_resume_key="k", specs=(_FrameFree(),), return_when=ReturnWhen.ALL,
                timeout_seconds=1.0)
            if state == "suspended":
                coro.send(None)
            outcomes.append(_send_at_the_recursion_limit(coro))
    finally:
        loop.close()
    assert outcomes[1] == outcomes[0] == ("RecursionError", "cannot reuse already awaited coroutine")


# ---- resolve_user_input removes from the list the attribute names when it removes ----------------

class _Swaps:
    """Equal to everything; comparing replaces the registry's list (once)."""

    def __init__(self, reg, replacement):
        self.reg, self.replacement = reg, replacement

    def __eq__(self, other):
        if self.replacement is not None:
            self.reg._user_inputs, self.replacement = self.replacement, None
        return True

    __hash__ = object.__hash__


class _Sequence:
    """Not a list: removal goes through __delitem__, as `del seq[i]` does."""

    def __init__(self, items):
        self.items, self.log = list(items), []

    def __iter__(self):
        return iter(self.items)

    def __delitem__(self, i):
        self.log.append(i)
        del self.items[i]

    def pop(self, i):  # never what `del` calls
        raise AssertionError("pop")


def _user_input_cases():
    def U(run_id, key):
        return waiters.UserInputWaiter(run_id, key, "?")
    return {
        "replaced by a longer list": lambda reg: [U("p", _Swaps(reg, [U("a", "b"), U("c", "d")]))],
        "replaced by an empty list": lambda reg: [U("q", "k"), U("p", _Swaps(reg, []))],
        "replaced by another sequence": lambda reg: [U("q", "k"), U("p", _Swaps(reg, _Sequence([U("x", "y")] * 3)))],
        "a sequence from the start": lambda reg: _Sequence([U("q", "k"), U("p", "k")]),
    }


@pytest.mark.parametrize("name", sorted(_user_input_cases()))
def test_resolve_user_input_removes_from_the_list_it_names_at_removal(run_now, name):
    outcomes = []
    for resolve in (waiters_py.InMemoryWaiterRegistry.resolve_user_input,
                    waiters.InMemoryWaiterRegistry.resolve_user_input):
        reg = waiters.InMemoryWaiterRegistry()
        reg._user_inputs = _user_input_cases()[name](reg)
        try:
            outcome = run_now(resolve(reg, parent_run_id="p", resume_key="k", response=None))
        except Exception as exc:  # noqa: BLE001 - compared below
            outcome = (type(exc), str(exc))
        left = reg._user_inputs
        listed = left.items if isinstance(left, _Sequence) else left
        outcomes.append((outcome, type(left).__name__, [w.parent_run_id for w in listed],
                         getattr(left, "log", None)))
    assert outcomes[1] == outcomes[0]


# ---- in-place addition --------------------------------------------------------------------------

class _OnlyInPlace:
    """Adds only in place, as an accumulator might."""

    def __init__(self, total=0):
        self.total = total

    def __iadd__(self, other):
        return _OnlyInPlace(self.total + other)

    def __gt__(self, other):
        return self.total > other

    def __eq__(self, other):
        return type(other) is _OnlyInPlace and other.total == self.total

    __hash__ = None


def _accumulate(book_type, field, call):
    book = spend_book.SpendBook()
    setattr(book, field, _OnlyInPlace())
    call(book_type, book)
    call(book_type, book)
    return getattr(book, field)


@pytest.mark.parametrize("field, call", [
    ("spent_cost_usd", lambda SB, book: SB.debit(book, cost_usd=1.5)),
    ("spent_tokens", lambda SB, book: SB.debit(book, tokens=7)),
    ("active_child_count", lambda SB, book: SB.register_child_spawned(book)),
    ("cumulative_child_count", lambda SB, book: SB.register_child_spawned(book)),
])
def test_counters_add_in_place(field, call):
    python = _accumulate(spend_book_py.SpendBook, field, call)
    compiled = _accumulate(spend_book.SpendBook, field, call)
    assert compiled == python


# ---- the fast paths the hot operations take --------------------------------------------------
# Checked builds (make sanitize) count every fast path taken and refused, with the reason, per
# module; a change that silently switches one off fails here.

def _book():
    return spend_book.SpendBook(cost_cap_usd=1e9, token_cap=10**9, spent_cost_usd=0.25, spent_tokens=40)


def _registry():
    reg = waiters.InMemoryWaiterRegistry()
    reg._signal_waiters = [waiters.SignalWaiter(f"r{i}", "k", "sig", {"tenant": "acme", "order": i})
                           for i in range(20)]
    return reg


HOT = {
    "debit": ("spend_book", _book, lambda book, drive: book.debit(cost_usd=0.5, tokens=10),
              ["attribute", "arithmetic", "comparison"]),
    "to_trace_data": ("spend_book", _book, lambda book, drive: book.to_trace_data(),
                      ["attribute", "method_proof", "snapshot"]),
    "matches": ("waiters", lambda: waiters.SignalWaiter("r", "k", "sig", {"tenant": "acme", "order": 7}),
                lambda w, drive: w.matches("sig", {"tenant": "acme", "order": 7, "status": "paid"}),
                ["attribute", "dict_read"]),
    "resolve_signal": ("waiters", _registry,
                       lambda reg, drive: drive(reg.resolve_signal(signal_name="sig", payload={"tenant": "other"})),
                       ["attribute", "method_proof", "dict_read"]),
}


@pytest.mark.skipif(not hasattr(sys, "_corlith_fast_paths"), reason="counted only in checked builds")
@pytest.mark.parametrize("name", sorted(HOT))
def test_hot_operations_take_their_fast_paths(run_now, name):
    module, make, operation, paths = HOT[name]
    counts = sys._corlith_fast_paths[module]
    subject = make()
    for _ in range(3):  # the first calls learn the classes
        operation(subject, run_now)
    counts()
    for _ in range(10):
        operation(subject, run_now)
    seen = counts()
    for path in paths:
        refusals = {reason: n for reason, n in seen[path].items() if reason != "taken"}
        assert not refusals, f"{name} refused its {path} path: {refusals}"
        assert seen[path]["taken"] >= 10, f"{name} did not take its {path} path: {seen[path]}"
