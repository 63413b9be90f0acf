"""Compiled bodies remember where instances keep their fields; every change a
Python method would notice must still be noticed after the fields were cached."""

import pathlib
import subprocess
import sys

import pytest

from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook
from corlith_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter, UserInputWaiter


def warm(book, times=50):
    """Calls that teach the cache this type's field slots (reads and writes)."""
    for _ in range(times):
        book.check_fanout(1)
        book.debit(tokens=1)


def fanout_breaches(book, count=2):
    try:
        book.check_fanout(count)
    except BudgetExceeded:
        return True
    return False


class Plain(SpendBook):
    pass


class Shape:
    """A plain class whose instances become a data descriptor once it grows __get__/__set__."""


def change_class_fanout_to_property(cls):
    cls.max_spawn_fanout = property(lambda self: 1)


def change_class_mutable_default(cls):
    Shape.__get__ = lambda self, obj, owner=None: 1
    Shape.__set__ = lambda self, obj, value: None


@pytest.mark.parametrize("change", [
    pytest.param(change_class_fanout_to_property, id="property-added-to-class"),
    pytest.param(lambda cls: setattr(cls, "__getattribute__",
                                     lambda self, n: 1 if n == "max_spawn_fanout" else object.__getattribute__(self, n)),
                 id="getattribute-added"),
    pytest.param(change_class_mutable_default, id="default-type-grows-descriptor"),
])
def test_class_changes_after_warm_up_win(change):
    cls = type("Book", (SpendBook,), {"max_spawn_fanout": Shape()})
    book = cls(max_spawn_fanout=10)
    warm(book)
    assert not fanout_breaches(book)
    try:
        change(cls)
        assert [fanout_breaches(book) for _ in range(3)] == [True] * 3
    finally:
        for name in ("__get__", "__set__"):
            if name in vars(Shape):
                delattr(Shape, name)


@pytest.mark.parametrize("change, breaches", [
    (lambda b: b.__dict__.__setitem__("max_spawn_fanout", 1), True),
    (lambda b: vars(b).pop("max_spawn_fanout"), False),  # the class default, 10, shows through
    (lambda b: delattr(b, "max_spawn_fanout"), False),
    (lambda b: setattr(b, "max_spawn_fanout", 1), True),
    (lambda b: setattr(b, "__dict__", dict(vars(b), max_spawn_fanout=1)), True),
    (lambda b: setattr(b, "__dict__", {}), False),
    (lambda b: setattr(b, "__class__", type("Narrow", (SpendBook,), {"max_spawn_fanout": property(lambda s: 1)})),
     True),
])
def test_instance_changes_after_warm_up_win(change, breaches):
    book = Plain(max_spawn_fanout=5)
    warm(book)
    change(book)
    assert [fanout_breaches(book, 3) for _ in range(3)] == [breaches] * 3


def test_writes_reach_a_materialised_dict_and_its_readers():
    book = Plain(token_cap=0)
    warm(book, 3)
    d = vars(book)  # the instance's values are now shared with a real dict
    book.debit(tokens=10)
    book.register_child_spawned()
    assert d["spent_tokens"] == 13 and d["active_child_count"] == 1
    d["spent_tokens"] = 100
    book.debit(tokens=1)
    assert book.spent_tokens == 101 == d["spent_tokens"]


def test_property_setter_on_subclass_is_called_by_writes():
    seen = []

    class Audited(SpendBook):
        @property
        def spent_tokens(self):
            return vars(self).get("_spent", 0)

        @spent_tokens.setter
        def spent_tokens(self, value):
            seen.append(value)
            vars(self)["_spent"] = value

    warm(Plain())  # the same method, taught another type first
    book = Audited()
    book.debit(tokens=3)
    book.debit(tokens=4)
    assert seen == [0, 3, 7]  # the dataclass __init__ wrote 0 through it too


class Unreadable(SpendBook):
    @property
    def max_spawn_fanout(self):
        raise LookupError("fanout")


class ReadOnlyTokens(SpendBook):
    spent_tokens = property(lambda self: 0)


@pytest.mark.parametrize("make, call, error", [
    (lambda: Unreadable.__new__(Unreadable), lambda b: b.check_fanout(1), LookupError),
    (lambda: ReadOnlyTokens.__new__(ReadOnlyTokens), lambda b: b.debit(tokens=1), AttributeError),
], ids=["read", "write"])
def test_failing_generic_access_after_warm_up_propagates(make, call, error):
    warm(Plain())
    book = make()
    with pytest.raises(error):
        call(book)


def test_one_name_serves_several_types_at_once():
    books = [type(f"Book{i}", (SpendBook,), {})(max_spawn_fanout=i + 1) for i in range(6)]
    for _ in range(3):
        assert [fanout_breaches(b, 3) for b in books] == [True, True, False, False, False, False]


def test_records_of_other_types_in_the_same_list(run_now):
    """The registry reads parent_run_id off whatever the list holds, cached or not."""

    class Slotted:
        __slots__ = ("parent_run_id", "resume_key")

        def __init__(self, run, key):
            self.parent_run_id, self.resume_key = run, key

    registry = InMemoryWaiterRegistry()
    run_now(registry.register_user_input_waiter(UserInputWaiter("r1", "k1", "?")))
    registry._user_inputs.append(Slotted("r2", "k2"))
    run_now(registry.register_user_input_waiter(UserInputWaiter("r3", "k3", "?")))
    for run, key in [("r3", "k3"), ("r2", "k2"), ("r1", "k1")]:
        assert run_now(registry.resolve_user_input(parent_run_id=run, resume_key=key, response=None)) is True
    assert registry.user_input_waiter_count() == 0


GENERIC_PATH = "corlith_generic_attributes"


@pytest.mark.skipif(GENERIC_PATH in sys._xoptions, reason="already running on the generic path")
def test_generic_path_gives_identical_results():
    """Every case above, again in a process whose modules never take the fast path."""
    proc = subprocess.run([sys.executable, "-X", GENERIC_PATH, "-m", "pytest", "-q", __file__],
                          cwd=pathlib.Path(__file__).parents[1], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " passed, 1 skipped" in proc.stdout


# -------------------------------------------------- method calls proven to reach our own body


def own_method_verdicts(book, waiter, registry, run_now):
    """What to_trace_data and resolve_signal see of remaining_usd and matches right now."""
    registry._signal_waiters[:] = [waiter]
    released = run_now(registry.resolve_signal(signal_name="sig", payload={"k": 1}))
    return book.to_trace_data()["remaining_usd"], bool(released)


def set_on_instance(obj, name, value):
    setattr(obj, name, value)


@pytest.mark.parametrize("change, usd, released", [
    (lambda b, w: (set_on_instance(b, "remaining_usd", lambda: 7.0),
                   set_on_instance(w, "matches", lambda *a: False)), 7.0, False),
    (lambda b, w: (vars(b).__setitem__("remaining_usd", lambda: 7.0),
                   vars(w).__setitem__("matches", lambda *a: False)), 7.0, False),
    (lambda b, w: (setattr(b, "__dict__", dict(vars(b), remaining_usd=lambda: 7.0)),
                   setattr(w, "__dict__", dict(vars(w), matches=lambda *a: False))), 7.0, False),
    (lambda b, w: (setattr(type(b), "remaining_usd", lambda self: 7.0),
                   setattr(type(w), "matches", lambda self, *a: False)), 7.0, False),
    (lambda b, w: (setattr(b, "__class__", type("Rich", (SpendBook,), {"remaining_usd": lambda self: 7.0})),
                   setattr(w, "__class__", type("Deaf", (SignalWaiter,), {"matches": lambda self, *a: False}))),
     7.0, False),
    (lambda b, w: (setattr(type(b), "__getattr__", lambda self, n: None),
                   setattr(type(w), "__getattribute__", lambda self, n: (lambda *a: False) if n == "matches"
                           else object.__getattribute__(self, n))), 0.75, False),
    # Another instance growing the name among the class's shared keys shadows nothing here.
    (lambda b, w: (set_on_instance(type(b)(), "remaining_usd", lambda: 7.0),
                   set_on_instance(type(w)("q", "k", "sig"), "matches", lambda *a: False)), 0.75, True),
    (lambda b, w: (set_on_instance(b, "remaining_usd", lambda: 7.0), delattr(b, "remaining_usd"),
                   set_on_instance(w, "matches", lambda *a: False), delattr(w, "matches")), 0.75, True),
], ids=["instance", "instance-dict", "dict-replaced", "class", "class-assigned", "getattr-hooks",
        "other-instance", "set-then-deleted"])
def test_own_methods_after_warm_up_honour_every_change(change, usd, released, run_now):
    book = type("Book", (SpendBook,), {})(cost_cap_usd=1.0, spent_cost_usd=0.25)
    waiter = type("Waiter", (SignalWaiter,), {})("p", "k", "sig", {"k": 1})
    registry = InMemoryWaiterRegistry()
    for _ in range(20):
        assert own_method_verdicts(book, waiter, registry, run_now) == (0.75, True)
    change(book, waiter)
    assert [own_method_verdicts(book, waiter, registry, run_now) for _ in range(3)] == [(usd, released)] * 3
