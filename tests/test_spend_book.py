"""Spend book: record shape, spend, structure checks, guard import and trace snapshot."""

import copy
import dataclasses
import gc
import inspect
import json
import math
import pickle
import subprocess
import sys
import textwrap
import types
import typing
from collections import Counter
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from corlith_runtime.core.runtime import spend_book as sb
from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook

MODULE = "corlith_runtime.core.runtime.spend_book"
NAN = float("nan")
INF = float("inf")
ABSENT = object()

FIELDS = [
    ("cost_cap_usd", "float", 0.0),
    ("token_cap", "int", 0),
    ("wall_time_cap_seconds", "float", 0.0),
    ("max_spawn_depth", "int", 3),
    ("max_spawn_fanout", "int", 10),
    ("max_concurrent_spawns", "int", 20),
    ("spent_cost_usd", "float", 0.0),
    ("spent_tokens", "int", 0),
    ("started_at_monotonic", "float", 0.0),
    ("current_depth", "int", 0),
    ("active_child_count", "int", 0),
    ("cumulative_child_count", "int", 0),
    ("tool_call_counts", "dict[str, int]", {}),
]


class Str(str):
    pass


class ListSub(list):
    pass


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntOnly:
    def __int__(self):
        return 6


def host_error(fn):
    try:
        fn()
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("expected the host to raise")


def real_error(value):
    """What the host's real-number conversion raises for ``value``."""
    return host_error(lambda: math.fabs(value))


def int_error(value):
    return host_error(lambda: int(value))


def arg_type(param, expected, got):
    return TypeError, f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


def typed(value):
    """Compare values by type and repr, so that 5 != 5.0 and nan == nan."""
    return type(value), repr(value)


def state(book):
    return copy.deepcopy(vars(book))


def assert_raises(fn, exc_type, message, note=False):
    with pytest.raises(exc_type) as info:
        fn()
    assert str(info.value) == message
    assert len(getattr(info.value, "__notes__", ())) == (1 if note else 0)
    return info.value


# ---------------------------------------------------------------- module shape


def test_namespace_binding_order_and_imports():
    names = [k for k in vars(sb) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["dataclass", "field", "Any", "Optional", "BudgetExceeded", "SpendBook"]
    assert sb.dataclass is dataclasses.dataclass and sb.field is dataclasses.field
    assert sb.Any is typing.Any and sb.Optional is typing.Optional
    assert sb.__name__ == MODULE
    assert isinstance(sb.__doc__, str) and sb.__doc__.strip()


def test_classes():
    for cls in (BudgetExceeded, SpendBook):
        assert cls.__module__ == MODULE
        assert cls.__qualname__ == cls.__name__
    assert BudgetExceeded.__bases__ == (Exception,)
    assert issubclass(BudgetExceeded, Exception)
    assert [k for k, v in vars(BudgetExceeded).items() if callable(v)] == ["__init__"]
    assert BudgetExceeded.__doc__.startswith("Raised when a debit or spawn would breach a cap.")
    assert "PolicyViolationHalt" in BudgetExceeded.__doc__
    # Without its own docstring the record would get the generated signature text.
    assert SpendBook.__doc__ and not SpendBook.__doc__.startswith("SpendBook(")


# name -> (signature, annotations in order, docstring rule)
METHODS = {
    "remaining_usd": ("(self) -> 'float'", {"return": "float"},
                      ("exact", "USD budget left before the cost cap fires. 0 if uncapped.")),
    "remaining_tokens": ("(self) -> 'int'", {"return": "int"}, ("exact", None)),
    "debit": ("(self, *, cost_usd: 'float' = 0.0, tokens: 'int' = 0, tool_name: 'Optional[str]' = None) -> 'None'",
              {"cost_usd": "float", "tokens": "int", "tool_name": "Optional[str]", "return": "None"},
              ("first", "Record spend. Raises :class:`BudgetExceeded` if any cap breaches.")),
    "check_depth": ("(self, additional: 'int' = 1) -> 'None'", {"additional": "int", "return": "None"},
                    ("first", "Verify ``current_depth + additional`` stays under ``max_spawn_depth``.")),
    "check_fanout": ("(self, count: 'int') -> 'None'", {"count": "int", "return": "None"},
                     ("exact", "Verify a group of size ``count`` fits under ``max_spawn_fanout``.")),
    "check_concurrent": ("(self, additional: 'int') -> 'None'", {"additional": "int", "return": "None"},
                         ("starts", "Phase 3.8 — verify in-flight children + ``additional`` fits")),
    "check_can_afford": ("(self, cost_usd: 'float') -> 'None'", {"cost_usd": "float", "return": "None"},
                         ("first", "Pre-flight: will a child with ``cost_usd`` budget fit in what's left?")),
    "register_child_spawned": ("(self) -> 'None'", {"return": "None"},
                               ("exact", "Bookkeeping: called when a child is enqueued.")),
    "register_child_completed": ("(self) -> 'None'", {"return": "None"},
                                 ("exact", "Bookkeeping: called when a child terminates (success or failure).")),
    "to_trace_data": ("(self) -> 'dict[str, Any]'", {"return": "dict[str, Any]"},
                      ("exact", "Serializable snapshot for trace events + dashboards.")),
    "from_guards": ("(guards: 'list[Any]') -> \"'SpendBook'\"", {"guards": "list[Any]", "return": "'SpendBook'"},
                    ("any", None)),
}
BUDGET_INIT = ("(self, reason: 'str', *, cap_name: 'str', cap_value: 'float', would_be: 'float')",
               {"reason": "str", "cap_name": "str", "cap_value": "float", "would_be": "float"}, ("exact", None))


def _function(owner, name):
    attr = vars(owner)[name]
    return attr.__func__ if isinstance(attr, classmethod) else attr


@pytest.mark.parametrize("owner, name, facts", [(SpendBook, n, s) for n, s in METHODS.items()]
                         + [(BudgetExceeded, "__init__", BUDGET_INIT)], ids=lambda v: getattr(v, "__name__", None))
def test_method_introspection(owner, name, facts):
    signature, annotations, (rule, doc) = facts
    fn = _function(owner, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == f"{owner.__name__}.{name}"
    assert fn.__module__ == MODULE
    assert fn.__globals__ is vars(sb)
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert str(inspect.signature(getattr(owner, name))) == signature
    code = fn.__code__
    assert code.co_filename == "src/corlith_runtime/core/runtime/spend_book"
    assert (code.co_name, code.co_qualname) == (name, fn.__qualname__)
    assert code.co_flags == 3 and code.co_posonlyargcount == 0
    if rule == "exact":
        assert fn.__doc__ == doc
    elif rule == "first":
        assert fn.__doc__.splitlines()[0] == doc
    elif rule == "starts":
        assert fn.__doc__.startswith(doc)
    else:
        assert fn.__doc__
    if name != "from_guards":
        assert pickle.loads(pickle.dumps(getattr(owner, name))) is getattr(owner, name)


def test_from_guards_is_a_classmethod():
    assert isinstance(vars(SpendBook)["from_guards"], classmethod)
    assert SpendBook.from_guards.__self__ is SpendBook


# ---------------------------------------------------------------- the record


def test_fields_annotations_and_defaults():
    assert list(SpendBook.__annotations__.items()) == [(n, a) for n, a, _ in FIELDS]
    fields = dataclasses.fields(SpendBook)
    assert [(f.name, f.type) for f in fields] == [(n, a) for n, a, _ in FIELDS]
    assert fields[-1].default is dataclasses.MISSING and fields[-1].default_factory() == {}
    book, other = SpendBook(), SpendBook()
    assert [typed(getattr(book, n)) for n, _, _ in FIELDS] == [typed(d) for _, _, d in FIELDS]
    assert book.tool_call_counts is not other.tool_call_counts
    book.tool_call_counts["x"] = 1
    assert SpendBook().tool_call_counts == {}
    params = SpendBook.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash, params.frozen) == (
        True, True, True, False, False, False)
    assert SpendBook.__match_args__ == tuple(n for n, _, _ in FIELDS)
    assert str(inspect.signature(SpendBook)).startswith("(cost_cap_usd: 'float' = 0.0, token_cap: 'int' = 0, ")


def test_constructor_positional_keyword_and_not_enforced():
    values = list(range(1, 13)) + [{"t": 1}]
    book = SpendBook(*values)
    assert [getattr(book, n) for n, _, _ in FIELDS] == values
    assert SpendBook(token_cap=5, cost_cap_usd="x").cost_cap_usd == "x"  # annotations document only
    with pytest.raises(TypeError):
        SpendBook(*values, 14)
    with pytest.raises(TypeError):
        SpendBook(tokens=1)


def test_dataclass_behaviours():
    book = SpendBook(cost_cap_usd=5.0, spent_tokens=7, tool_call_counts={"llm": 2})
    expected = {n: d for n, _, d in FIELDS} | {"cost_cap_usd": 5.0, "spent_tokens": 7, "tool_call_counts": {"llm": 2}}
    assert list(dataclasses.asdict(book).items()) == list(expected.items())
    clone = copy.deepcopy(book)
    assert clone == book and clone is not book and clone.tool_call_counts is not book.tool_call_counts
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(book, protocol))
        assert type(restored) is SpendBook and restored == book
    assert SpendBook() == SpendBook()
    assert SpendBook() != SpendBook(current_depth=1)
    assert SpendBook() != SpendBook(tool_call_counts={"a": 1})
    assert (SpendBook() == object()) is False
    assert repr(SpendBook()) == (
        "SpendBook(cost_cap_usd=0.0, token_cap=0, wall_time_cap_seconds=0.0, max_spawn_depth=3, "
        "max_spawn_fanout=10, max_concurrent_spawns=20, spent_cost_usd=0.0, spent_tokens=0, "
        "started_at_monotonic=0.0, current_depth=0, active_child_count=0, cumulative_child_count=0, "
        "tool_call_counts={})")
    assert SpendBook.__hash__ is None
    with pytest.raises(TypeError):
        hash(book)


# ---------------------------------------------------------------- BudgetExceeded

KW = {"cap_name": "token_cap", "cap_value": 1, "would_be": 2}


@pytest.mark.parametrize("args, kwargs, cap_value, would_be", [
    (("too much",), KW, 1.0, 2.0),
    ((), {"reason": "too much"} | KW, 1.0, 2.0),
    (("too much",), KW | {"cap_value": True, "would_be": 2.5}, 1.0, 2.5),
    (("too much",), KW | {"cap_value": Decimal("1.5"), "would_be": IndexOnly(3)}, 1.5, 3.0),
    (("too much",), KW | {"cap_value": Fraction(1, 4), "would_be": NAN}, 0.25, NAN),
], ids=["positional", "keyword", "bool", "decimal_index", "fraction_nan"])
def test_budget_exceeded_construction(args, kwargs, cap_value, would_be):
    exc = BudgetExceeded(*args, **kwargs)
    assert exc.cap_name == "token_cap"
    assert typed(exc.cap_value) == typed(cap_value) and typed(exc.would_be) == typed(would_be)
    assert exc.args == ("too much",) and str(exc) == "too much"
    assert repr(exc) == "BudgetExceeded('too much')"
    assert not hasattr(exc, "reason")
    with pytest.raises(Exception) as info:
        raise exc
    assert info.value is exc


@pytest.mark.parametrize("args, kwargs, expected, note", [
    (("m",), {"cap_name": "c", "cap_value": 1}, (TypeError, "__init__() needs keyword-only argument would_be"), False),
    (("m",), {"would_be": 1}, (TypeError, "__init__() needs keyword-only argument cap_name"), False),
    (("m",), {}, (TypeError, "__init__() needs keyword-only argument cap_name"), False),
    ((), KW, (TypeError, "__init__() takes exactly 2 positional arguments (1 given)"), False),
    ((), {}, (TypeError, "__init__() takes exactly 2 positional arguments (1 given)"), False),
    (("m", "n"), KW, (TypeError, "__init__() takes exactly 2 positional arguments (3 given)"), False),
    (("m",), KW | {"extra": 1}, (TypeError, "__init__() got an unexpected keyword argument 'extra'"), False),
    (("m",), KW | {"reason": "m"}, (TypeError, "__init__() got multiple values for keyword argument 'reason'"), False),
    # conversions (cap_value, then would_be) come before the str tests (reason, then cap_name)
    ((1,), {"cap_name": 2, "cap_value": "x", "would_be": None}, real_error("x"), False),
    ((1,), {"cap_name": 2, "cap_value": 1, "would_be": None}, real_error(None), False),
    ((1,), {"cap_name": 2, "cap_value": 1, "would_be": 1j}, real_error(1j), False),
    ((1,), {"cap_name": 2, "cap_value": 1, "would_be": 2}, arg_type("reason", "str", "int"), False),
    ((None,), {"cap_name": 2, "cap_value": 1, "would_be": 2}, arg_type("reason", "str", "NoneType"), False),
    ((Str("m"),), {"cap_name": 2, "cap_value": 1, "would_be": 2}, arg_type("reason", "str", "Str"), True),
    (("m",), {"cap_name": b"c", "cap_value": 1, "would_be": 2}, arg_type("cap_name", "str", "bytes"), False),
    (("m",), {"cap_name": Str("c"), "cap_value": 1, "would_be": 2}, arg_type("cap_name", "str", "Str"), True),
])
def test_budget_exceeded_rejects(args, kwargs, expected, note, no_leak):
    assert_raises(lambda: BudgetExceeded(*args, **kwargs), *expected, note=note)
    no_leak(lambda: BudgetExceeded(*args, **kwargs), raises=expected[0])


# The exception's C layout is only written through instances of its class: the compiled
# method refuses any other `self` before it touches anything, as a Python body that
# initialises its base first refuses it in `super()`.
FOREIGN_SELF_SCRIPT = textwrap.dedent("""
    import gc, json
    from corlith_runtime.core.runtime.spend_book import BudgetExceeded as Compiled, SpendBook

    def python_class():
        class BudgetExceeded(Exception):
            def __init__(self, reason, *, cap_name, cap_value, would_be):
                super().__init__(reason)
                self.cap_name, self.cap_value, self.would_be = cap_name, float(cap_value), float(would_be)
        return BudgetExceeded

    class Plain:
        def __init__(self):
            self.first = 1

    SELVES = {
        "plain": lambda cls: Plain(),
        "spend_book": lambda cls: SpendBook(cost_cap_usd=2.0),
        "other_exception": lambda cls: ValueError("v"),
        "int": lambda cls: 5,
        "a_class": lambda cls: int,
        "own_subclass": lambda cls: type("Sub", (cls,), {})("x", **KW),
    }
    KW = dict(cap_name="c", cap_value=1, would_be=2.0)

    def outcome(cls, obj, by_keyword):
        before = repr(vars(obj)) if hasattr(obj, "__dict__") and not isinstance(obj, BaseException) else None
        try:
            if by_keyword:
                cls.__init__(self=obj, reason="r", **KW)
            else:
                cls.__init__(obj, "r", **KW)
        except Exception as exc:
            unchanged = before is None or repr(vars(obj)) == before
            return [type(exc).__name__, str(exc), unchanged]
        return ["ok", list(obj.args), obj.cap_name]

    report = {}
    for name, make in SELVES.items():
        for by_keyword in (False, True):
            compiled = outcome(Compiled, make(Compiled), by_keyword)
            cls = python_class()
            python = outcome(cls, make(cls), by_keyword)
            report[f"{name}/{by_keyword}"] = [compiled, python]
    gc.collect()
    print(json.dumps(report))
""")


def test_budget_exceeded_init_refuses_foreign_self(tmp_path, no_leak):
    proc = subprocess.run([sys.executable, "-c", FOREIGN_SELF_SCRIPT], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    for case, (compiled, python) in report.items():
        assert compiled == python, case
    assert report["plain/False"][0][:1] == report["spend_book/True"][0][:1] == ["TypeError"]
    book = SpendBook()
    no_leak(lambda: BudgetExceeded.__init__(book, "r", **KW), raises=TypeError)


class NotMade(Exception):
    def __new__(cls, *args, **kwargs):
        return 5


# What `raise BudgetExceeded(...)` does when the module's name is bound to something else.
@pytest.mark.parametrize("rebound", [
    lambda *args, **kwargs: 5,
    lambda *args, **kwargs: None,
    lambda *args, **kwargs: ValueError,
    lambda *args, **kwargs: NotMade,
    lambda *args, **kwargs: KeyError("k"),
    ValueError,
], ids=["int", "none", "exception_class", "class_making_no_exception", "exception_instance", "refuses_keywords"])
def test_breach_raises_as_the_host_raises_what_the_name_gives(rebound, monkeypatch, no_leak):
    monkeypatch.setattr(sb, "BudgetExceeded", rebound)
    compiled = host_error(lambda: SpendBook(cost_cap_usd=1.0).debit(cost_usd=2.0))

    def python():
        raise rebound("tree cost cap breached: spent=$2.0000 > cap=$1.0000",
                      cap_name="cost_cap_usd", cap_value=1.0, would_be=2.0)

    assert compiled == host_error(python)
    no_leak(lambda: SpendBook(cost_cap_usd=1.0).debit(cost_usd=2.0), raises=compiled[0])


# ---------------------------------------------------------------- debit


@pytest.mark.parametrize("fields, kwargs, cost, tokens, tools", [
    ({}, {}, 0.0, 0, {}),
    ({}, {"cost_usd": 1.25, "tokens": 7}, 1.25, 7, {}),
    ({}, {"cost_usd": 3}, 3.0, 0, {}),
    ({}, {"cost_usd": True, "tokens": True}, 1.0, 1, {}),
    ({}, {"cost_usd": Decimal("0.5"), "tokens": Decimal("4.7")}, 0.5, 4, {}),
    ({}, {"cost_usd": IndexOnly(4), "tokens": IndexOnly(5)}, 4.0, 5, {}),
    ({}, {"tokens": 2.9}, 0.0, 2, {}),
    ({}, {"tokens": Fraction(7, 2)}, 0.0, 3, {}),
    ({}, {"tokens": IntOnly()}, 0.0, 6, {}),
    ({}, {"tokens": 2**70}, 0.0, 2**70, {}),
    ({"spent_cost_usd": 2.0, "spent_tokens": 5}, {"cost_usd": -5, "tokens": -3}, 2.0, 5, {}),
    ({}, {"tokens": -2.9, "cost_usd": -INF}, 0.0, 0, {}),
    ({"spent_cost_usd": 2.0}, {"cost_usd": NAN}, 2.0, 0, {}),
    ({"spent_cost_usd": 2}, {}, 2.0, 0, {}),
    ({}, {"tool_name": "search", "cost_usd": 0.5}, 0.5, 0, {"search": 1}),
    ({"tool_call_counts": {"search": 1, "x": 4}}, {"tool_name": "search"}, 0.0, 0, {"search": 2, "x": 4}),
    ({}, {"tool_name": ""}, 0.0, 0, {}),
    ({}, {"tool_name": None}, 0.0, 0, {}),
    ({"cost_cap_usd": 10.0, "spent_cost_usd": 9.0, "token_cap": 100, "spent_tokens": 90},
     {"cost_usd": 1.0, "tokens": 10}, 10.0, 100, {}),
    ({"cost_cap_usd": -1.0, "token_cap": -1}, {"cost_usd": 1e6, "tokens": 10**6}, 1e6, 10**6, {}),
    ({"cost_cap_usd": NAN, "token_cap": 0}, {"cost_usd": 5.0, "tokens": 5}, 5.0, 5, {}),
])
def test_debit_records(fields, kwargs, cost, tokens, tools):
    book = SpendBook(**copy.deepcopy(fields))
    assert book.debit(**kwargs) is None
    assert typed(book.spent_cost_usd) == typed(cost)
    assert typed(book.spent_tokens) == typed(tokens)
    assert book.tool_call_counts == tools


COST_MSG = "tree cost cap breached: spent=${} > cap=${}"


@pytest.mark.parametrize("fields, kwargs, cap_name, cap_value, would_be, message, after", [
    ({"cost_cap_usd": 10}, {"cost_usd": 12.5, "tool_name": "llm"}, "cost_cap_usd", 10.0, 12.5,
     COST_MSG.format("12.5000", "10.0000"), (12.5, 0, {"llm": 1})),
    ({"cost_cap_usd": 10.0, "spent_cost_usd": 10.0}, {"cost_usd": 0.0001}, "cost_cap_usd", 10.0, 10.0 + 0.0001,
     COST_MSG.format("10.0001", "10.0000"), (10.0 + 0.0001, 0, {})),
    ({"cost_cap_usd": 1.0}, {"cost_usd": 1.23456}, "cost_cap_usd", 1.0, 1.23456,
     COST_MSG.format("1.2346", "1.0000"), (1.23456, 0, {})),
    ({"cost_cap_usd": 1e6}, {"cost_usd": 1234567.891}, "cost_cap_usd", 1e6, 1234567.891,
     COST_MSG.format("1234567.8910", "1000000.0000"), (1234567.891, 0, {})),
    ({"cost_cap_usd": 10.0}, {"cost_usd": INF}, "cost_cap_usd", 10.0, INF,
     COST_MSG.format("inf", "10.0000"), (INF, 0, {})),
    ({"token_cap": 1000, "spent_tokens": 900}, {"tokens": 600, "tool_name": "t"}, "token_cap", 1000.0, 1500.0,
     "tree token cap breached: 1500 > 1000", (0.0, 1500, {"t": 1})),
    ({"token_cap": 100}, {"tokens": 101}, "token_cap", 100.0, 101.0,
     "tree token cap breached: 101 > 100", (0.0, 101, {})),
    ({"token_cap": 100.5}, {"tokens": 101}, "token_cap", 100.5, 101.0,
     "tree token cap breached: 101 > 100.5", (0.0, 101, {})),
    ({"cost_cap_usd": 1.0, "token_cap": 10}, {"cost_usd": 2.0, "tokens": 20}, "cost_cap_usd", 1.0, 2.0,
     COST_MSG.format("2.0000", "1.0000"), (2.0, 20, {})),
    # once over a cap, even an empty debit raises again (cost first)
    ({"token_cap": 10, "spent_tokens": 11}, {}, "token_cap", 10.0, 11.0,
     "tree token cap breached: 11 > 10", (0.0, 11, {})),
    ({"cost_cap_usd": 1.0, "spent_cost_usd": 1.5, "token_cap": 10, "spent_tokens": 11}, {"tool_name": "t"},
     "cost_cap_usd", 1.0, 1.5, COST_MSG.format("1.5000", "1.0000"), (1.5, 11, {"t": 1})),
])
def test_debit_breaches(fields, kwargs, cap_name, cap_value, would_be, message, after):
    book = SpendBook(**fields)
    exc = assert_raises(lambda: book.debit(**kwargs), BudgetExceeded, message)
    assert type(exc) is BudgetExceeded and exc.args == (message,)
    assert exc.cap_name == cap_name
    assert typed(exc.cap_value) == typed(cap_value) and typed(exc.would_be) == typed(would_be)
    cost, tokens, tools = after  # the spend stays recorded
    assert (typed(book.spent_cost_usd), book.spent_tokens, book.tool_call_counts) == (typed(cost), tokens, tools)


@pytest.mark.parametrize("args, kwargs, expected, note", [
    ((1.0,), {}, (TypeError, "debit() takes exactly 1 positional argument (2 given)"), False),
    ((), {"cost": 1.0}, (TypeError, "debit() got an unexpected keyword argument 'cost'"), False),
    ((), {"cost_usd": "1.0", "tokens": "2"}, real_error("1.0"), False),
    ((), {"cost_usd": None}, real_error(None), False),
    ((), {"cost_usd": 1j}, real_error(1j), False),
    ((), {"cost_usd": 1.0, "tokens": "2", "tool_name": 5}, arg_type("tokens", "int", "str"), False),
    ((), {"tokens": None}, arg_type("tokens", "int", "NoneType"), False),
    ((), {"tokens": [1]}, arg_type("tokens", "int", "list"), False),
    ((), {"tokens": NAN}, int_error(NAN), False),
    ((), {"tokens": INF}, int_error(INF), False),
    ((), {"tokens": 1j}, int_error(1j), False),
    ((), {"tokens": Decimal("NaN")}, int_error(Decimal("NaN")), False),
    ((), {"cost_usd": 1.0, "tokens": 1, "tool_name": 5}, arg_type("tool_name", "str", "int"), False),
    ((), {"tool_name": b"t"}, arg_type("tool_name", "str", "bytes"), False),
    ((), {"tool_name": Str("t")}, arg_type("tool_name", "str", "Str"), True),
])
def test_debit_rejects_without_changing_anything(args, kwargs, expected, note, no_leak):
    # The book is already over its cost cap: reaching the body would raise BudgetExceeded instead.
    book = SpendBook(cost_cap_usd=1.0, spent_cost_usd=5.0, spent_tokens=3, tool_call_counts={"t": 1})
    before = state(book)
    assert_raises(lambda: book.debit(*args, **kwargs), *expected, note=note)
    assert state(book) == before
    no_leak(lambda: book.debit(*args, **kwargs), raises=expected[0])


def test_debit_keywords_must_be_strings():
    book = SpendBook()
    with pytest.raises(TypeError, match="keywords must be strings"):
        book.debit(**{1: 2})
    assert book == SpendBook()


class ClampedCost(SpendBook):
    """Stores no more than the cost cap."""

    @property
    def spent_cost_usd(self):
        return self._cost

    @spent_cost_usd.setter
    def spent_cost_usd(self, value):
        self._cost = min(value, self.cost_cap_usd)


class ClampedTokens(SpendBook):
    @property
    def spent_tokens(self):
        return self._tokens

    @spent_tokens.setter
    def spent_tokens(self, value):
        self._tokens = min(value, self.token_cap)


class DoubledCost(SpendBook):
    """Reads back twice what it stores."""

    @property
    def spent_cost_usd(self):
        return self._cost * 2

    @spent_cost_usd.setter
    def spent_cost_usd(self, value):
        self._cost = value


def python_debit(book, *, cost_usd=0.0, tokens=0, tool_name=None):
    """The steps of debit as a Python method runs them."""
    tokens = tokens if tokens > 0 else 0
    cost_usd = cost_usd if cost_usd > 0.0 else 0.0
    book.spent_cost_usd += cost_usd
    book.spent_tokens += tokens
    if tool_name:
        book.tool_call_counts[tool_name] = book.tool_call_counts.get(tool_name, 0) + 1
    if book.cost_cap_usd > 0 and book.spent_cost_usd > book.cost_cap_usd:
        raise BudgetExceeded(f"tree cost cap breached: spent=${book.spent_cost_usd:.4f} > cap=${book.cost_cap_usd:.4f}",
                             cap_name="cost_cap_usd", cap_value=book.cost_cap_usd, would_be=book.spent_cost_usd)
    if book.token_cap > 0 and book.spent_tokens > book.token_cap:
        raise BudgetExceeded(f"tree token cap breached: {book.spent_tokens} > {book.token_cap}",
                             cap_name="token_cap", cap_value=book.token_cap, would_be=book.spent_tokens)


@pytest.mark.parametrize("cls, fields, kwargs", [
    (ClampedCost, {"cost_cap_usd": 1.0}, {"cost_usd": 5.0}),
    (ClampedTokens, {"token_cap": 10}, {"tokens": 50}),
    (DoubledCost, {"cost_cap_usd": 1.0}, {"cost_usd": 0.6}),
    (DoubledCost, {"cost_cap_usd": 1.0}, {"cost_usd": 0.4}),
], ids=["clamped_cost", "clamped_tokens", "doubled_over", "doubled_within"])
def test_debit_tests_the_totals_as_read_back(cls, fields, kwargs, no_leak):
    def run(debit):
        book = cls(**fields)
        try:
            debit(book, **kwargs)
            raised = None
        except BudgetExceeded as exc:
            raised = (str(exc), exc.cap_name, exc.cap_value, exc.would_be)
        return raised, book.spent_cost_usd, book.spent_tokens

    assert run(cls.debit) == run(python_debit)
    breaches = run(cls.debit)[0] is not None
    no_leak(lambda: cls(**fields).debit(**kwargs), raises=BudgetExceeded if breaches else None)


def test_debit_field_errors_leave_earlier_steps_done():
    book = SpendBook(spent_tokens="x")
    assert_raises(lambda: book.debit(cost_usd=1.5, tokens=1, tool_name="t"), *host_error(lambda: "x" + 1))
    assert (book.spent_cost_usd, book.spent_tokens, book.tool_call_counts) == (1.5, "x", {})
    book = SpendBook(cost_cap_usd="x")
    with pytest.raises(TypeError):
        book.debit(cost_usd=1.0, tool_name="t")
    assert (book.spent_cost_usd, book.tool_call_counts) == (1.0, {"t": 1})


# ---------------------------------------------------------------- remaining_*


class Diff:
    def __gt__(self, other):
        return True


class OddCap:
    def __gt__(self, other):
        return True

    def __sub__(self, other):
        return Diff()


@pytest.mark.parametrize("fields, expected", [
    ({}, 0.0),
    ({"spent_cost_usd": 50.0}, 0.0),
    ({"cost_cap_usd": -5.0, "spent_cost_usd": -20.0}, 0.0),
    ({"cost_cap_usd": NAN}, 0.0),
    ({"cost_cap_usd": 10.0, "spent_cost_usd": 2.5}, 7.5),
    ({"cost_cap_usd": 10.0, "spent_cost_usd": 10.0}, 0.0),
    ({"cost_cap_usd": 10.0, "spent_cost_usd": 12.0}, 0.0),
    ({"cost_cap_usd": 10.0, "spent_cost_usd": NAN}, 0.0),
    ({"cost_cap_usd": 10, "spent_cost_usd": 3}, 7),
    ({"cost_cap_usd": 10, "spent_cost_usd": 10}, 0.0),
])
def test_remaining_usd(fields, expected):
    book = SpendBook(**fields)
    assert typed(book.remaining_usd()) == typed(expected)


@pytest.mark.parametrize("fields, expected", [
    ({}, 0),
    ({"spent_tokens": 500}, 0),
    ({"token_cap": -5, "spent_tokens": -50}, 0),
    ({"token_cap": NAN}, 0),
    ({"token_cap": 100, "spent_tokens": 40}, 60),
    ({"token_cap": 100, "spent_tokens": 100}, 0),
    ({"token_cap": 100, "spent_tokens": 150}, 0),
    ({"token_cap": 10.5}, 10),
    ({"token_cap": 10.5, "spent_tokens": 3}, 7),
    ({"token_cap": 10.5, "spent_tokens": 11}, 0),
    ({"token_cap": 100, "spent_tokens": 0.5}, 99),
    ({"token_cap": Decimal("10.5")}, 10),
    ({"token_cap": Fraction(21, 2)}, 10),
    ({"token_cap": 2**80, "spent_tokens": 1}, 2**80 - 1),
])
def test_remaining_tokens(fields, expected):
    book = SpendBook(**fields)
    assert typed(book.remaining_tokens()) == typed(expected)


@pytest.mark.parametrize("cap, expected", [
    (OddCap(), (TypeError, "Expected int, got Diff")),
    (INF, int_error(INF)),
])
def test_remaining_tokens_failures(cap, expected, no_leak):
    book = SpendBook(token_cap=cap)
    assert_raises(book.remaining_tokens, *expected)
    no_leak(book.remaining_tokens, raises=expected[0])


# ---------------------------------------------------------------- structure checks


@pytest.mark.parametrize("method, fields, args, kwargs", [
    ("check_depth", {"current_depth": 0}, (), {}),
    ("check_depth", {"current_depth": 1}, (), {}),
    ("check_depth", {"current_depth": 2}, (), {}),
    ("check_depth", {"current_depth": 3}, (0,), {}),
    ("check_depth", {"current_depth": 1}, (), {"additional": 2}),
    ("check_depth", {"current_depth": 1}, (2.7,), {}),
    ("check_depth", {"current_depth": 0}, (3.9,), {}),
    ("check_depth", {"current_depth": 2}, (True,), {}),
    ("check_depth", {"current_depth": 3}, (-1,), {}),
    ("check_depth", {"max_spawn_depth": 0, "current_depth": 99}, (), {}),
    ("check_depth", {"max_spawn_depth": -1, "current_depth": 99}, (5,), {}),
    ("check_fanout", {}, (10,), {}),
    ("check_fanout", {}, (), {"count": 10.9}),
    ("check_fanout", {"max_spawn_fanout": 2}, (2.7,), {}),
    ("check_fanout", {"max_spawn_fanout": 0}, (10**6,), {}),
    ("check_fanout", {"max_spawn_fanout": -3}, (10**6,), {}),
    ("check_concurrent", {"active_child_count": 19}, (1,), {}),
    ("check_concurrent", {"active_child_count": 19}, (), {"additional": 1}),
    ("check_concurrent", {"active_child_count": 18}, (2.9,), {}),
    ("check_concurrent", {"max_concurrent_spawns": 0, "active_child_count": 500}, (500,), {}),
    ("check_concurrent", {"max_concurrent_spawns": -1, "active_child_count": 500}, (500,), {}),
    ("check_can_afford", {"cost_cap_usd": 10.0, "spent_cost_usd": 9.5}, (0.5,), {}),
    ("check_can_afford", {"cost_cap_usd": 10.0, "spent_cost_usd": 9.5}, (), {"cost_usd": 0.5}),
    ("check_can_afford", {}, (1e12,), {}),
    ("check_can_afford", {"cost_cap_usd": -1.0, "spent_cost_usd": 5.0}, (1e12,), {}),
    ("check_can_afford", {"cost_cap_usd": 10.0, "spent_cost_usd": 12.0}, (-3,), {}),
    ("check_can_afford", {"cost_cap_usd": 10, "spent_cost_usd": 9}, (True,), {}),
])
def test_checks_pass_without_changes(method, fields, args, kwargs):
    book = SpendBook(**fields)
    before = state(book)
    assert getattr(book, method)(*args, **kwargs) is None
    assert state(book) == before


@pytest.mark.parametrize("method, fields, args, message, cap_name, cap_value, would_be", [
    ("check_depth", {"current_depth": 3}, (),
     "max_spawn_depth breached: would reach depth 4 (cap 3)", "max_spawn_depth", 3.0, 4.0),
    ("check_depth", {"current_depth": 2}, (2.5,),
     "max_spawn_depth breached: would reach depth 4 (cap 3)", "max_spawn_depth", 3.0, 4.0),
    ("check_depth", {"current_depth": 2.5}, (),
     "max_spawn_depth breached: would reach depth 3.5 (cap 3)", "max_spawn_depth", 3.0, 3.5),
    ("check_depth", {"max_spawn_depth": 2.5, "current_depth": 2}, (),
     "max_spawn_depth breached: would reach depth 3 (cap 2.5)", "max_spawn_depth", 2.5, 3.0),
    ("check_fanout", {}, (11,),
     "max_spawn_fanout breached: requested 11 children (cap 10)", "max_spawn_fanout", 10.0, 11.0),
    ("check_fanout", {"max_spawn_fanout": 2}, (3.5,),
     "max_spawn_fanout breached: requested 3 children (cap 2)", "max_spawn_fanout", 2.0, 3.0),
    ("check_concurrent", {"active_child_count": 19}, (2,),
     "max_concurrent_spawns breached: 19 in flight + 2 requested (cap 20)", "max_concurrent_spawns", 20.0, 21.0),
    ("check_concurrent", {"active_child_count": 21}, (0,),
     "max_concurrent_spawns breached: 21 in flight + 0 requested (cap 20)", "max_concurrent_spawns", 20.0, 21.0),
    ("check_can_afford", {"cost_cap_usd": 10.0, "spent_cost_usd": 9.5}, (0.6,),
     "child of $0.6000 wouldn't fit: remaining $0.5000", "cost_cap_usd", 10.0, 9.5 + 0.6),
    ("check_can_afford", {"cost_cap_usd": 10.0, "spent_cost_usd": 12.0}, (0,),
     "child of $0.0000 wouldn't fit: remaining $0.0000", "cost_cap_usd", 10.0, 12.0),
    ("check_can_afford", {"cost_cap_usd": 10, "spent_cost_usd": 9}, (2,),
     "child of $2.0000 wouldn't fit: remaining $1.0000", "cost_cap_usd", 10.0, 11.0),
])
def test_checks_raise_without_changes(method, fields, args, message, cap_name, cap_value, would_be):
    book = SpendBook(**fields)
    before = state(book)
    exc = assert_raises(lambda: getattr(book, method)(*args), BudgetExceeded, message)
    assert exc.cap_name == cap_name
    assert typed(exc.cap_value) == typed(cap_value) and typed(exc.would_be) == typed(would_be)
    assert state(book) == before


@pytest.mark.parametrize("method, args, kwargs, expected, note", [
    ("check_fanout", (), {}, (TypeError, "check_fanout() takes exactly 2 positional arguments (1 given)"), False),
    ("check_concurrent", (), {}, (TypeError, "check_concurrent() takes exactly 2 positional arguments (1 given)"),
     False),
    ("check_can_afford", (), {}, (TypeError, "check_can_afford() takes exactly 2 positional arguments (1 given)"),
     False),
    ("check_depth", (1, 2), {}, (TypeError, "check_depth() takes at most 2 positional arguments (3 given)"), False),
    ("check_fanout", (1, 2), {}, (TypeError, "check_fanout() takes exactly 2 positional arguments (3 given)"), False),
    ("check_depth", (), {"depth": 1}, (TypeError, "check_depth() got an unexpected keyword argument 'depth'"), False),
    ("check_fanout", (5,), {"count": 5},
     (TypeError, "check_fanout() got multiple values for keyword argument 'count'"), False),
    ("check_fanout", ("3",), {}, arg_type("count", "int", "str"), False),
    ("check_depth", (None,), {}, arg_type("additional", "int", "NoneType"), False),
    ("check_concurrent", (b"1",), {}, arg_type("additional", "int", "bytes"), False),
    ("check_concurrent", (NAN,), {}, int_error(NAN), False),
    ("check_can_afford", ("1",), {}, real_error("1"), False),
    ("check_can_afford", (None,), {}, real_error(None), False),
    ("register_child_spawned", (1,), {},
     (TypeError, "register_child_spawned() takes exactly 1 positional argument (2 given)"), False),
    ("register_child_completed", (), {"x": 1},
     (TypeError, "register_child_completed() got an unexpected keyword argument 'x'"), False),
])
def test_structure_methods_reject(method, args, kwargs, expected, note, no_leak):
    # Every check would breach on this book if its body ran.
    book = SpendBook(cost_cap_usd=1.0, spent_cost_usd=2.0, current_depth=5, active_child_count=50)
    before = state(book)
    assert_raises(lambda: getattr(book, method)(*args, **kwargs), *expected, note=note)
    assert state(book) == before
    no_leak(lambda: getattr(book, method)(*args, **kwargs), raises=expected[0])


@pytest.mark.parametrize("fields, calls, active, cumulative", [
    ({}, ["spawned"] * 3 + ["completed"], 2, 3),
    ({}, ["completed"], 0, 0),
    ({"active_child_count": 1, "cumulative_child_count": 4}, ["completed", "completed"], 0, 4),
    ({"active_child_count": -5, "cumulative_child_count": 1}, ["completed"], 0, 1),
    ({"active_child_count": 20, "cumulative_child_count": 20}, ["spawned"], 21, 21),
    ({"max_concurrent_spawns": 1}, ["spawned"] * 3, 3, 3),
])
def test_child_bookkeeping(fields, calls, active, cumulative):
    book = SpendBook(**fields)
    for call in calls:
        assert getattr(book, f"register_child_{call}")() is None
    assert vars(book) == vars(SpendBook(**fields)) | {"active_child_count": active, "cumulative_child_count": cumulative}


# ---------------------------------------------------------------- from_guards

LIMIT_METHOD = {"cost": "limit_as_usd", "token_count": "limit_as_count", "spawn_depth": "limit_as_count",
                "spawn_fanout": "limit_as_count", "spawn_concurrent": "limit_as_count",
                "wall_time": "limit_as_seconds"}


def guard(kind=ABSENT, limit=None, action=ABSENT):
    """A guard-like object; a limit method other than the one its type calls for fails the test."""
    calls = Counter()  # not a list: repeated calls under the leak check must not grow it
    obj = types.SimpleNamespace()

    def method(name):
        def limit_method():
            calls[name] += 1
            assert kind is not ABSENT and LIMIT_METHOD.get(kind) == name, f"{name} called for {kind!r}"
            return limit
        return limit_method

    for name in ("limit_as_usd", "limit_as_count", "limit_as_seconds"):
        setattr(obj, name, method(name))
    if kind is not ABSENT:
        obj.type = kind
    if action is not ABSENT:
        obj.action = action
    obj.calls = calls
    return obj


MIN_RULE = [
    ([5, 0], 5), ([-1, 5], 5), ([5, 0, 3], 3), ([-1], -1), ([-1, -3], -3), ([-3, -1], -1),
    ([5, 2], 2), ([2, 5], 2), ([0], 0), ([0, 5], 5), ([5, -1], 5), ([-1, 0], 0), ([5, 4, 6, 3], 3),
    ([5, 5.0], 5), ([5, 2.0], 2.0), ([NAN, 5], 5), ([5, NAN], 5), ([Decimal("2.5")], Decimal("2.5")),
    (["x"], "x"),
]


@pytest.mark.parametrize("kind, field_name", [("cost", "cost_cap_usd"), ("token_count", "token_cap")])
@pytest.mark.parametrize("limits, expected", MIN_RULE)
def test_from_guards_budget_caps_first_fills_then_only_tightens(kind, field_name, limits, expected):
    guards = [guard(kind, limit) for limit in limits]
    book = SpendBook.from_guards(guards)
    assert typed(getattr(book, field_name)) == typed(expected)
    assert all(g.calls == {LIMIT_METHOD[kind]: 1} for g in guards)
    assert book == dataclasses.replace(SpendBook(), **{field_name: getattr(book, field_name)})


@pytest.mark.parametrize("kind, field_name", [
    ("spawn_depth", "max_spawn_depth"), ("spawn_fanout", "max_spawn_fanout"),
    ("spawn_concurrent", "max_concurrent_spawns"), ("wall_time", "wall_time_cap_seconds"),
])
@pytest.mark.parametrize("limits, expected", [
    ([5, 2], 2), ([2, 5], 5), ([50], 50), ([0], 0), ([-1], -1), ([7, 0], 0), ([2.5], 2.5), (["x"], "x"),
])
def test_from_guards_last_wins(kind, field_name, limits, expected):
    guards = [guard(kind, limit) for limit in limits]
    book = SpendBook.from_guards(guards)
    assert typed(getattr(book, field_name)) == typed(expected)
    assert all(g.calls == {LIMIT_METHOD[kind]: 1} for g in guards)


def test_from_guards_all_kinds_together():
    guards = [guard("cost", 5.0), guard("token_count", 1000, "abort"), guard("spawn_depth", 4),
              guard("spawn_fanout", 12), guard("spawn_concurrent", 30), guard("wall_time", 60.0),
              guard("cost", 1.0, "warn"), guard("unknown", 1)]
    assert SpendBook.from_guards(guards) == SpendBook(
        cost_cap_usd=5.0, token_cap=1000, wall_time_cap_seconds=60.0,
        max_spawn_depth=4, max_spawn_fanout=12, max_concurrent_spawns=30)
    assert SpendBook.from_guards([]) == SpendBook()


class AttrErrorGuard:
    """Raises AttributeError from property reads: the same as having no such attribute."""

    @property
    def type(self):
        raise AttributeError("type")

    @property
    def action(self):
        raise AttributeError("action")


class TypeOnlyGuard(AttrErrorGuard):
    type = "spawn_depth"

    def limit_as_count(self):
        return 7


@pytest.mark.parametrize("element, applied", [
    (guard("cost", 5.0, "abort"), True),
    (guard("cost", 5.0), True),
    (guard("cost", 5.0, Str("abort")), True),
    (guard(Str("cost"), 5.0), True),
    (guard("cost", 5.0, "warn"), False),
    (guard("cost", 5.0, "require_approval"), False),
    (guard("cost", 5.0, None), False),
    (guard("cost", 5.0, "Abort"), False),
    (guard("cost", 5.0, "abort "), False),
    (guard(limit=5.0), False),
    (guard("Cost", 5.0), False),
    (guard("COST", 5.0), False),
    (guard("tokens", 5.0), False),
    (guard("token_count ", 5.0), False),
    (guard(None, 5.0), False),
    (guard(5, 5.0), False),
    ({"type": "cost", "action": "abort", "limit": 5.0}, False),
    (None, False),
    ("cost", False),
    (AttrErrorGuard(), False),
])
def test_from_guards_type_and_action_rules(element, applied):
    book = SpendBook.from_guards([element])
    assert book == (SpendBook(cost_cap_usd=5.0) if applied else SpendBook())
    if isinstance(element, types.SimpleNamespace):
        assert element.calls == ({"limit_as_usd": 1} if applied else {})


def test_from_guards_absent_action_via_attribute_error_means_abort():
    assert SpendBook.from_guards([TypeOnlyGuard()]) == SpendBook(max_spawn_depth=7)


class Raising:
    def __init__(self, kind, action, **limits):
        self._kind, self._action, self._limits = kind, action, limits

    @property
    def type(self):
        if isinstance(self._kind, type):  # a fresh exception each time, so tracebacks do not pile up
            raise self._kind("type")
        return self._kind

    @property
    def action(self):
        if isinstance(self._action, type):
            raise self._action("action")
        return self._action

    def __getattr__(self, name):
        if name in self._limits:
            return self._limits[name]
        raise AttributeError(name)


def _boom():
    raise ZeroDivisionError("limit")


@pytest.mark.parametrize("guards, exc_type", [
    ([Raising(RuntimeError, "warn")], RuntimeError),
    ([Raising("cost", ValueError)], ValueError),
    ([Raising("unknown", KeyError)], KeyError),
    ([Raising("cost", "abort", limit_as_usd=_boom)], ZeroDivisionError),
    ([Raising("spawn_fanout", "abort", limit_as_count=_boom)], ZeroDivisionError),
    ([Raising("wall_time", "abort", limit_as_seconds=_boom)], ZeroDivisionError),
    ([Raising("cost", "abort")], AttributeError),
    ([guard("cost", 5), guard("cost", "x")], TypeError),
    ([guard("token_count", None), guard("token_count", 5)], TypeError),
])
def test_from_guards_errors_propagate(guards, exc_type, no_leak):
    after = guard("spawn_depth", 1)
    with pytest.raises(exc_type):
        SpendBook.from_guards(guards + [after])
    assert not after.calls
    no_leak(lambda: SpendBook.from_guards(guards), raises=exc_type)


UNREAD = guard("cost", 1.0)


@pytest.mark.parametrize("args, kwargs, expected, note", [
    (((UNREAD,),), {}, arg_type("guards", "list", "tuple"), False),
    ((ListSub([UNREAD]),), {}, arg_type("guards", "list", "ListSub"), True),
    ((None,), {}, arg_type("guards", "list", "NoneType"), False),
    ((iter([]),), {}, arg_type("guards", "list", "list_iterator"), False),
    ((), {"guards": {}}, arg_type("guards", "list", "dict"), False),
    ((), {}, (TypeError, "from_guards() takes exactly 2 positional arguments (1 given)"), False),
    (([], []), {}, (TypeError, "from_guards() takes exactly 2 positional arguments (3 given)"), False),
    (([],), {"items": []}, (TypeError, "from_guards() got an unexpected keyword argument 'items'"), False),
])
def test_from_guards_rejects(args, kwargs, expected, note, no_leak):
    assert_raises(lambda: SpendBook.from_guards(*args, **kwargs), *expected, note=note)
    assert not UNREAD.calls
    no_leak(lambda: SpendBook.from_guards(*args, **kwargs), raises=expected[0])


class Sub(SpendBook):
    pass


class Recording(SpendBook):
    seen = []

    def __init__(self, *args, **kwargs):
        Recording.seen.append((args, kwargs))
        super().__init__(*args, **kwargs)


@pytest.mark.parametrize("receiver, cls", [
    (SpendBook, SpendBook), (SpendBook(cost_cap_usd=9.0), SpendBook), (Sub, Sub), (Sub(token_cap=3), Sub),
])
def test_from_guards_builds_the_receivers_class(receiver, cls):
    book = receiver.from_guards(guards=[guard("cost", 2.0)])
    assert type(book) is cls and book is not receiver
    assert vars(book) == vars(SpendBook(cost_cap_usd=2.0))
    assert receiver.from_guards([]) is not receiver.from_guards([])


def test_from_guards_calls_the_class_without_arguments():
    Recording.seen.clear()
    book = Recording.from_guards([guard("spawn_depth", 1)])
    assert Recording.seen == [((), {})] and book.max_spawn_depth == 1


# ---------------------------------------------------------------- to_trace_data

TRACE_KEYS = ["cost_cap_usd", "token_cap", "max_spawn_depth", "max_spawn_fanout", "spent_cost_usd",
              "spent_tokens", "current_depth", "active_child_count", "cumulative_child_count",
              "remaining_usd", "remaining_tokens"]


def test_trace_data_of_a_new_book():
    data = SpendBook().to_trace_data()
    assert type(data) is dict and list(data) == TRACE_KEYS
    assert [typed(v) for v in data.values()] == [typed(v) for v in (0.0, 0, 3, 10, 0.0, 0, 0, 0, 0, 0.0, 0)]


@pytest.mark.parametrize("fields, debits, expected", [
    ({}, [0.1, 0.2], {"spent_cost_usd": 0.3, "remaining_usd": 0.0}),
    ({"token_cap": 100, "spent_tokens": 40}, [], {"token_cap": 100, "remaining_tokens": 60}),
    ({"cost_cap_usd": 1.0, "spent_cost_usd": 0.3333333333}, [],
     {"spent_cost_usd": 0.333333, "remaining_usd": 0.666667}),
    ({"token_cap": 10.5}, [], {"token_cap": 10.5, "remaining_tokens": 10}),
    ({"cost_cap_usd": 10, "spent_cost_usd": 3}, [], {"cost_cap_usd": 10, "spent_cost_usd": 3, "remaining_usd": 7}),
    ({"cost_cap_usd": 1.23456789}, [], {"cost_cap_usd": 1.23456789, "remaining_usd": 1.234568}),
    ({"max_spawn_depth": -2, "max_spawn_fanout": 0, "current_depth": 7, "active_child_count": 2,
      "cumulative_child_count": 9, "spent_tokens": 12},
     [], {"max_spawn_depth": -2, "max_spawn_fanout": 0, "current_depth": 7, "active_child_count": 2,
          "cumulative_child_count": 9, "spent_tokens": 12}),
])
def test_trace_data_values(fields, debits, expected):
    book = SpendBook(**fields, max_concurrent_spawns=99, wall_time_cap_seconds=5.0, started_at_monotonic=3.0,
                     tool_call_counts={"t": 1})
    for cost in debits:
        book.debit(cost_usd=cost)
    before = state(book)
    data = book.to_trace_data()
    assert list(data) == TRACE_KEYS
    assert {k: typed(data[k]) for k in expected} == {k: typed(v) for k, v in expected.items()}
    assert state(book) == before
    assert book.to_trace_data() == data and book.to_trace_data() is not data


@given(st.floats(allow_nan=False, allow_infinity=False, min_value=-1e12, max_value=1e12),
       st.floats(allow_nan=False, allow_infinity=False, min_value=-1e12, max_value=1e12))
def test_trace_data_rounding_property(cap, spent):
    book = SpendBook(cost_cap_usd=cap, spent_cost_usd=spent)
    data = book.to_trace_data()
    assert typed(data["spent_cost_usd"]) == typed(round(spent, 6))
    assert typed(data["remaining_usd"]) == typed(round(book.remaining_usd(), 6))
    assert typed(data["cost_cap_usd"]) == typed(cap)


def _display(data):
    """The snapshot's values in a dict display, as a Python body builds it."""
    v = list(data.values())
    return {"cost_cap_usd": v[0], "token_cap": v[1], "max_spawn_depth": v[2], "max_spawn_fanout": v[3],
            "spent_cost_usd": v[4], "spent_tokens": v[5], "current_depth": v[6], "active_child_count": v[7],
            "cumulative_child_count": v[8], "remaining_usd": v[9], "remaining_tokens": v[10]}


@pytest.mark.parametrize("depth", [3, [1], (1, 2), (1, [2]), {"a": 1}], ids=["int", "list", "tuple", "tuple_of_list", "dict"])
def test_trace_data_is_a_dict_display(depth, no_leak):
    book = SpendBook(max_spawn_depth=depth)
    data, again = book.to_trace_data(), book.to_trace_data()
    display = _display(data)
    assert sys.getsizeof(data) == sys.getsizeof(display)
    assert gc.is_tracked(data) == gc.is_tracked(display)
    # every snapshot owns its table: changing one leaves the next alone
    data.update({f"k{i}": i for i in range(40)})
    del data["token_cap"]
    again.clear()
    assert book.to_trace_data() == display and list(book.to_trace_data()) == TRACE_KEYS

    def cycle():
        snapshot = book.to_trace_data()
        snapshot["self"] = snapshot

    no_leak(cycle)


def test_trace_data_failure(no_leak):
    book = SpendBook(spent_cost_usd="x")
    with pytest.raises(TypeError):
        book.to_trace_data()
    no_leak(book.to_trace_data, raises=TypeError)


# ---------------------------------------------------------------- leaks of the successful and breaching paths

CAPPED = {"cost_cap_usd": 10.0, "token_cap": 100, "spent_cost_usd": 9.5, "spent_tokens": 40, "active_child_count": 19}


@pytest.mark.parametrize("call, raises", [
    (lambda: SpendBook(), None),
    (lambda: SpendBook(1.0, 2, tool_call_counts={"a": 1}), None),
    (lambda: BudgetExceeded("m", cap_name="c", cap_value=1, would_be=2.0), None),
    (lambda: SpendBook(**CAPPED).debit(cost_usd=0.25, tokens=Decimal("2.5"), tool_name="t"), None),
    (lambda: SpendBook(**CAPPED).debit(cost_usd=1.0, tool_name="t"), BudgetExceeded),
    (lambda: SpendBook(**CAPPED).debit(tokens=61.5), BudgetExceeded),
    (lambda: SpendBook(**CAPPED).remaining_usd(), None),
    (lambda: SpendBook(**(CAPPED | {"cost_cap_usd": Fraction(21, 2)})).remaining_usd(), None),
    (lambda: SpendBook(**CAPPED).remaining_tokens(), None),
    (lambda: SpendBook(token_cap=10.5).remaining_tokens(), None),
    (lambda: SpendBook(**CAPPED).check_depth(2.5), None),
    (lambda: SpendBook(current_depth=3).check_depth(), BudgetExceeded),
    (lambda: SpendBook(**CAPPED).check_fanout(count=10), None),
    (lambda: SpendBook(**CAPPED).check_fanout(11), BudgetExceeded),
    (lambda: SpendBook(**CAPPED).check_concurrent(1), None),
    (lambda: SpendBook(**CAPPED).check_concurrent(2), BudgetExceeded),
    (lambda: SpendBook(**CAPPED).check_can_afford(0.5), None),
    (lambda: SpendBook(**CAPPED).check_can_afford(0.6), BudgetExceeded),
    (lambda: SpendBook(**CAPPED).register_child_spawned(), None),
    (lambda: SpendBook(**CAPPED).register_child_completed(), None),
    (lambda: SpendBook.from_guards([guard("cost", 5.0), guard("cost", 2.0), guard("token_count", 10),
                                    guard("spawn_depth", 1), guard("wall_time", 1.0), guard("cost", 1.0, "warn"),
                                    AttrErrorGuard(), {"type": "cost"}]), None),
    (lambda: SpendBook(cost_cap_usd=9.0).from_guards([]), None),
    (lambda: Sub.from_guards([guard("spawn_fanout", 4)]), None),
    (lambda: SpendBook(**CAPPED).to_trace_data(), None),
], ids=["book", "book_args", "exception", "debit", "debit_cost_breach", "debit_token_breach", "remaining_usd",
        "remaining_usd_fraction", "remaining_tokens", "remaining_tokens_float", "check_depth", "check_depth_breach",
        "check_fanout", "check_fanout_breach", "check_concurrent", "check_concurrent_breach", "check_can_afford",
        "check_can_afford_breach", "spawned", "completed", "from_guards", "from_guards_instance", "from_guards_sub",
        "to_trace_data"])
def test_no_leak(call, raises, no_leak):
    no_leak(call, raises=raises)


class Generous(SpendBook):
    def remaining_usd(self):
        return 0.12345678

    def remaining_tokens(self):
        return "lots"


def _shadowed_book():
    book = SpendBook(cost_cap_usd=1.0, token_cap=10)
    book.remaining_usd = lambda: 7.0
    book.remaining_tokens = lambda: 3
    return book


def _swapped_book():
    class Swapped(SpendBook):
        remaining_tokens = SpendBook.remaining_usd

    return Swapped(cost_cap_usd=1.0, spent_cost_usd=0.25, token_cap=10)


@pytest.mark.parametrize("make, usd, tokens", [
    (lambda: Generous(cost_cap_usd=1.0), 0.123457, "lots"),
    (_shadowed_book, 7.0, 3),
    (_swapped_book, 0.75, 0.75),
    (lambda: SpendBook(cost_cap_usd=1.0, spent_cost_usd=0.25, token_cap=10, spent_tokens=4), 0.75, 6),
])
def test_trace_data_calls_remaining_by_name(make, usd, tokens):
    data = make().to_trace_data()
    assert (data["remaining_usd"], data["remaining_tokens"]) == (usd, tokens)
