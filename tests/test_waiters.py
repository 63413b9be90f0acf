"""Tests of the waiters module: duration parsing, waiter records and the waiter registry."""

import asyncio
import collections
import dataclasses
import gc
import inspect
import math
import pathlib
import pickle
import sys
import time
import types
import typing
import warnings
from fractions import Fraction
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from corlith_runtime.core.runtime import waiters as W

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks"))
from baseline import waiters as reference  # noqa: E402  (the Python rendering)

MODULE = "corlith_runtime.core.runtime.waiters"
SOURCE = "src/corlith_runtime/core/runtime/waiters"

MODULE_DOC = (
    "Phase 1.2 — waiter registry protocol + in-memory default.\n\nThree suspension types converge"
    " on this registry:\n\n- **Signal waiters** (``ctx.wait_for_signal``) — parent waits for a\n"
    "  signal whose payload satisfies a shallow-equality match predicate.\n- **Timers** "
    "(``ctx.sleep``) — parent waits until a wall-clock time.\n- **User-input waiters** "
    "(``ctx.ask_user``) — parent waits for typed\n  user input.\n\nThe runtime defines the registry"
    " shape. Infra implements it with Redis\n(for durable state across workers) + Celery Beat (for"
    " timer sweeping) +\nhooks into the existing signal handler.\n\nThe default in-memory"
    " implementation is sufficient for local dev + unit\ntests. It's intentionally NOT thread-safe"
    " — production workloads go\nthrough infra.\n\nSee docs/RUNTIME_EMERGENCE_PLAN.md §4.2.\n"
)
PARSE_DOC = (
    'Parse a duration spec into seconds.\n\n    Accepts:\n      - ``int`` or ``float`` → seconds'
    ' as-is\n      - ``"30s"`` → 30.0\n      - ``"5m"`` → 300.0\n      - ``"1h"`` → 3600.0\n'
    '      - ``"2h30m"`` → 9000.0\n      - ``"1d"`` → 86400.0\n\n    Multi-unit strings are summed'
    " left-to-right. Raises ``ValueError`` on\n    anything unparseable.\n    "
)
MATCHES_DOC = (
    "Shallow equality — every key in ``match`` must equal the\n        same key in ``payload``."
    " Payload may carry additional keys.\n        "
)
PROTOCOL_DOC = (
    "Registry that tracks suspended runs and resolves them.\n\n    Infra implements with Redis"
    " persistence + Celery Beat timer sweep +\n    signal-handler integration. Runtime provides the"
    " in-memory default\n    for local dev and tests.\n    "
)
IN_MEMORY_DOC = (
    "Synchronous, in-process registry for local dev + tests.\n\n    Does NOT persist across process"
    " restarts — production deployments\n    configure the infra Redis-backed implementation"
    " instead.\n    "
)
RESOLVE_SIGNAL_DOC = (
    "Check every registered signal waiter for a match.\n\n        Returns list of"
    " ``(parent_run_id, resume_key, payload)`` tuples\n        for every waiter that matched."
    " Caller is responsible for\n        triggering parent resume for each.\n        "
)
RESOLVE_USER_INPUT_DOC = (
    "Mark a user-input waiter as resolved.\n\n        Returns True if a matching waiter existed."
    " Caller arranges the\n        parent resume with the response value.\n        "
)
SWEEP_DOC = (
    "Return ``(parent_run_id, resume_key)`` for every timer whose\n        ``resume_at_unix`` is in"
    " the past. Caller arranges parent resume.\n        "
)
IN_MEMORY_RESOLVE_SIGNAL_DOC = (
    "Match every registered signal waiter; remove matched ones;\n        return the match records"
    " so the caller can resume each parent.\n        "
)

ASYNC_MEMBERS = (
    "register_signal_waiter",
    "register_timer",
    "register_user_input_waiter",
    "resolve_signal",
    "resolve_user_input",
    "sweep_expired_timers",
)

SignalWaiter, TimerWaiter, UserInputWaiter = W.SignalWaiter, W.TimerWaiter, W.UserInputWaiter
Registry = W.InMemoryWaiterRegistry
parse_duration = W.parse_duration


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.fixture(params=["by_hand", "event_loop"])
def drive(request, run_now):
    """Await a registry coroutine either with send(None) or under a real event loop."""
    if request.param == "by_hand":
        return run_now

    def via_loop(coro):
        async def main():
            return await coro

        return asyncio.run(main())

    return via_loop


def _each(cases):
    """One leak-check subject that runs every (call, exception it must raise or None) case."""

    def run():
        for call, raises in cases:
            if raises is None:
                call()
                continue
            try:
                call()
            except raises:
                continue
            raise AssertionError(f"{call!r} did not raise {raises!r}")

    return run


def _resolve(qualname):
    obj = W
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


# --------------------------------------------------------------------------- module and introspection


def test_module_namespace_in_binding_order():
    names = [n for n in vars(W) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [
        "time", "dataclass", "field", "Any", "Optional", "Protocol", "runtime_checkable",
        "SignalWaiter", "TimerWaiter", "UserInputWaiter", "WaiterRegistry",
        "InMemoryWaiterRegistry", "_DURATION_UNITS", "parse_duration",
    ]
    assert (W.time, W.dataclass, W.field) == (time, dataclasses.dataclass, dataclasses.field)
    assert (W.Any, W.Optional, W.Protocol, W.runtime_checkable) == (
        typing.Any, typing.Optional, typing.Protocol, typing.runtime_checkable)
    assert W.__name__ == MODULE and W.__package__ == "corlith_runtime.core.runtime"
    assert W.__doc__ == MODULE_DOC
    assert not hasattr(W, "__path__")


def test_unit_table():
    assert type(W._DURATION_UNITS) is dict
    assert list(W._DURATION_UNITS.items()) == [("s", 1.0), ("m", 60.0), ("h", 3600.0), ("d", 86400.0)]
    assert all(type(v) is float for v in W._DURATION_UNITS.values())


# qualname, signature, asynchronous, docstring, annotations in order
FUNCTIONS = [
    ("parse_duration", "(value) -> 'float'", False, PARSE_DOC, {"return": "float"}),
    ("SignalWaiter.matches", "(self, signal_name: 'str', payload: 'dict') -> 'bool'", False, MATCHES_DOC,
     {"signal_name": "str", "payload": "dict", "return": "bool"}),
    *[
        (f"{cls}.register_{kind}", f"(self, waiter: '{rec}') -> 'None'", True, None,
         {"waiter": rec, "return": "None"})
        for cls in ("WaiterRegistry", "InMemoryWaiterRegistry")
        for kind, rec in (("signal_waiter", "SignalWaiter"), ("timer", "TimerWaiter"),
                          ("user_input_waiter", "UserInputWaiter"))
    ],
    *[
        (f"{cls}.resolve_signal", "(self, *, signal_name: 'str', payload: 'dict') -> 'list[tuple[str, str, dict]]'",
         True, doc, {"signal_name": "str", "payload": "dict", "return": "list[tuple[str, str, dict]]"})
        for cls, doc in (("WaiterRegistry", RESOLVE_SIGNAL_DOC), ("InMemoryWaiterRegistry", IN_MEMORY_RESOLVE_SIGNAL_DOC))
    ],
    *[
        (f"{cls}.resolve_user_input",
         "(self, *, parent_run_id: 'str', resume_key: 'str', response: 'Any') -> 'bool'", True, doc,
         {"parent_run_id": "str", "resume_key": "str", "response": "Any", "return": "bool"})
        for cls, doc in (("WaiterRegistry", RESOLVE_USER_INPUT_DOC), ("InMemoryWaiterRegistry", None))
    ],
    *[
        (f"{cls}.sweep_expired_timers", "(self) -> 'list[tuple[str, str]]'", True, doc,
         {"return": "list[tuple[str, str]]"})
        for cls, doc in (("WaiterRegistry", SWEEP_DOC), ("InMemoryWaiterRegistry", None))
    ],
    ("InMemoryWaiterRegistry.__init__", "(self, *, clock=None)", False, None, {}),
    *[
        (f"InMemoryWaiterRegistry.{name}", "(self) -> 'int'", False, None, {"return": "int"})
        for name in ("signal_waiter_count", "timer_count", "user_input_waiter_count")
    ],
]


@pytest.mark.parametrize("qualname, signature, is_async, doc, annotations", FUNCTIONS,
                         ids=[f[0] for f in FUNCTIONS])
def test_function_objects(qualname, signature, is_async, doc, annotations):
    fn = _resolve(qualname)
    name = qualname.rsplit(".", 1)[-1]
    sig = inspect.signature(fn)
    assert str(sig) == signature
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (name, qualname, MODULE, doc)
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert fn.__defaults__ is None
    assert fn.__kwdefaults__ == ({"clock": None} if name == "__init__" else None)
    assert fn.__globals__ is vars(W) and fn.__closure__ is None and type(fn.__dict__) is dict
    assert list(typing.get_type_hints(fn)) == list(annotations)  # resolvable in the module namespace

    code = fn.__code__
    params = list(sig.parameters)
    kwonly = sum(p.kind is p.KEYWORD_ONLY for p in sig.parameters.values())
    assert (code.co_filename, code.co_name, code.co_qualname) == (SOURCE, name, qualname)
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount) == (len(params) - kwonly, kwonly, 0)
    assert list(code.co_varnames[: len(params)]) == params and code.co_firstlineno >= 1
    assert code.co_flags == (131 if is_async else 3)

    assert inspect.iscoroutinefunction(fn) is is_async
    assert asyncio.iscoroutinefunction(fn) is is_async
    marker = asyncio.coroutines._is_coroutine if is_async else False
    assert fn._is_coroutine is marker

    assert fn.__reduce__() == qualname
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_bound_methods_drop_self():
    reg = Registry()
    assert str(inspect.signature(reg.resolve_user_input)) == (
        "(*, parent_run_id: 'str', resume_key: 'str', response: 'Any') -> 'bool'")
    assert inspect.iscoroutinefunction(reg.sweep_expired_timers)
    assert not inspect.iscoroutinefunction(reg.timer_count)
    assert str(inspect.signature(SignalWaiter("p", "k", "s").matches)) == (
        "(signal_name: 'str', payload: 'dict') -> 'bool'")


# --------------------------------------------------------------------------- parse_duration

PARSED = [
    ("30s", 30.0), ("5m", 300.0), ("1h", 3600.0), ("2h30m", 9000.0), ("1d", 86400.0),
    ("90", 90.0), ("1.5h", 5400.0), (".5m", 30.0), ("5.m", 300.0), ("1H30M", 5400.0),
    (" 1h 30m ", 5400.0), ("1h30", 3630.0), ("1 0s", 10.0), ("1. 5s", 1.5), ("0s5m", 300.0),
    ("0h30m", 1800.0), ("1d1h1m1s", 90061.0), ("1s1s", 2.0), ("0.1s0.2s", 0.1 + 0.2),
    ("5\t", 5.0), ("\n2m\r", 120.0), ("007s", 7.0),
    # Unicode digits and spaces count as digits and spaces
    ("\u0663s", 3.0), ("\u0661\u0660m", 600.0), ("\u0660.\u0665s", 0.5), ("\uff13\uff10m", 1800.0),
    ("\u00a05s\u00a0", 5.0), ("1\u20030s", 10.0), ("\u30001h\u3000", 3600.0), ("2\x1cm", 120.0),
]


@pytest.mark.parametrize("text, seconds", PARSED)
def test_parse_texts(text, seconds):
    result = parse_duration(text)
    assert type(result) is float and result == seconds
    assert parse_duration(value=text) == seconds


class IntSub(int):
    pass


class FloatSub(float):
    pass


@pytest.mark.parametrize("number, seconds", [
    (90, 90.0), (2.5, 2.5), (True, 1.0), (False, 0.0), (0, 0.0), (-5, -5.0), (-0.25, -0.25),
    (IntSub(7), 7.0), (FloatSub(1.5), 1.5), (math.inf, math.inf), (2**53 + 1, 9007199254740992.0),
])
def test_parse_numbers_bypass_every_rule(number, seconds):
    result = parse_duration(number)
    assert type(result) is float and result == seconds


def test_parse_number_edge_values():
    x = 2.5
    assert parse_duration(x) is x
    assert math.isnan(parse_duration(math.nan))
    with pytest.raises(OverflowError, match="int too large to convert to float"):
        parse_duration(10**400)


class LoudStr(str):
    def __repr__(self):
        return "<loud>"


@pytest.mark.parametrize("value, message", [
    (None, "unsupported duration type: NoneType"),
    (b"5s", "unsupported duration type: bytes"),
    (["5s"], "unsupported duration type: list"),
    (Decimal("5"), "unsupported duration type: Decimal"),
    (Fraction(1, 2), "unsupported duration type: Fraction"),
    (1j, "unsupported duration type: complex"),
    ("", "empty duration string"),
    ("   ", "empty duration string"),
    ("\t\n\u3000\u2003\x1c", "empty duration string"),
    ("0s", "duration must be positive: '0s'"),
    ("0", "duration must be positive: '0'"),
    ("0.0h0m", "duration must be positive: '0.0h0m'"),
    ("  0S ", "duration must be positive: '  0S '"),
    ("\u0660", "duration must be positive: '\u0660'"),
    (LoudStr("0s"), "duration must be positive: <loud>"),
    ("h5", "duration unit 'h' with no preceding number in 'h5'"),
    ("5mh", "duration unit 'h' with no preceding number in '5mh'"),
    ("5m  s", "duration unit 's' with no preceding number in '5m  s'"),
    (" H1", "duration unit 'h' with no preceding number in ' H1'"),
    ("h.x", "duration unit 'h' with no preceding number in 'h.x'"),
    ("5x", "unrecognized character 'x' in duration '5x'"),
    ("-5s", "unrecognized character '-' in duration '-5s'"),
    ("+5s", "unrecognized character '+' in duration '+5s'"),
    ("1e3", "unrecognized character 'e' in duration '1e3'"),
    ("1_000s", "unrecognized character '_' in duration '1_000s'"),
    ("5X", "unrecognized character 'x' in duration '5X'"),
    (".x", "unrecognized character 'x' in duration '.x'"),
    ("5 x.", "unrecognized character 'x' in duration '5 x.'"),
    ("5'", "unrecognized character \"'\" in duration \"5'\""),
    ("1\u200b0s", "unrecognized character '\\u200b' in duration '1\\u200b0s'"),
    ("5\u0130", "unrecognized character 'i' in duration '5\u0130'"),
    ("1w", "unrecognized character 'w' in duration '1w'"),
    (LoudStr("5x"), "unrecognized character 'x' in duration <loud>"),
    (".", "could not convert string to float: '.'"),
    ("1..5s", "could not convert string to float: '1..5'"),
    ("..s", "could not convert string to float: '..'"),
    ("1.2.3", "could not convert string to float: '1.2.3'"),
    ("5s.", "could not convert string to float: '.'"),
    ("\u00b2s", "could not convert string to float: '\u00b2'"),
])
def test_parse_errors(value, message):
    with pytest.raises(ValueError) as info:
        parse_duration(value)
    assert str(info.value) == message


def test_parse_str_subclass_is_parsed_as_text():
    assert parse_duration(StrSub("2h30m")) == 9000.0


class _StripRaises(str):
    def strip(self):
        raise LookupError("strip")


class _LowerRaises(str):
    def strip(self):
        return self

    def lower(self):
        raise LookupError("lower")


@pytest.mark.parametrize("text", [_StripRaises("5s"), _LowerRaises("5s")])
def test_parse_passes_on_what_strip_or_lower_raise(text):
    with pytest.raises(LookupError):
        parse_duration(text)


PARSE_BINDING = [
    (lambda: parse_duration(), "parse_duration() takes exactly 1 positional argument (0 given)"),
    (lambda: parse_duration("1", "2"), "parse_duration() takes exactly 1 positional argument (2 given)"),
    (lambda: parse_duration("1", val="1"), "parse_duration() got an unexpected keyword argument 'val'"),
    (lambda: parse_duration("1", value="2"), "parse_duration() got multiple values for keyword argument 'value'"),
]


@pytest.mark.parametrize("call, message", PARSE_BINDING)
def test_parse_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_unit_table_is_read_at_each_call(monkeypatch):
    monkeypatch.setitem(W._DURATION_UNITS, "w", 604800.0)
    assert parse_duration("1w1d") == 691200.0
    monkeypatch.setattr(W, "_DURATION_UNITS", {"s": 2, "X": 5.0})
    assert parse_duration("3s") == 6.0
    assert parse_duration("4") == 4.0
    with pytest.raises(ValueError, match=r"^unrecognized character 'h' in duration '1h'$"):
        parse_duration("1h")
    # keys are compared after lower-casing the input, so an upper-case key is unreachable
    with pytest.raises(ValueError, match=r"^unrecognized character 'x' in duration '1X'$"):
        parse_duration("1X")
    calls = []

    class Table(dict):
        def __contains__(self, key):
            calls.append(("in", key))
            return super().__contains__(key)

        def __getitem__(self, key):
            calls.append(("[]", key))
            return super().__getitem__(key)

    monkeypatch.setattr(W, "_DURATION_UNITS", Table(s=1.0, m=60.0))
    assert parse_duration("2m5s") == 125.0
    assert calls == [("in", "m"), ("[]", "m"), ("in", "s"), ("[]", "s")]
    for broken in ("__contains__", "__getitem__"):
        def fail(self, key, where=broken):
            raise LookupError(where)

        monkeypatch.setattr(W, "_DURATION_UNITS", type("Broken", (dict,), {broken: fail})(s=1.0))
        with pytest.raises(LookupError, match=broken):
            parse_duration("5s")
    monkeypatch.delattr(W, "_DURATION_UNITS")
    assert parse_duration(" 5 ") == 5.0  # digits and spaces never consult the table
    with pytest.raises(NameError, match="_DURATION_UNITS"):
        parse_duration("5s")


def test_parse_no_leak(no_leak):
    values = [
        ("2h30m", None), (" 1.5H ", None), (7, None), (True, None), ("\u0663s", None),
        (None, ValueError), ("", ValueError), ("0s", ValueError), ("h5", ValueError), ("5x", ValueError),
        ("1..5", ValueError), (10**400, OverflowError), (LoudStr("q"), ValueError),
    ]
    no_leak(_each([((lambda v=v: parse_duration(v)), raises) for v, raises in values]
                  + [(call, TypeError) for call, _ in PARSE_BINDING]))


UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0}
SPACES = st.text(alphabet=" \t\n\u00a0\u2003\u3000", max_size=2)
NUMBERS = st.from_regex(r"\A(?:[0-9]{1,6}(?:\.[0-9]{0,4})?|\.[0-9]{1,4}|[\u0660-\u0669]{1,3})\Z")


@given(st.one_of(
    st.text(),
    st.text(alphabet="0123456789.smhdSMHD xe-\t\u0663\u00b2\u3000", max_size=12),
))
def test_parse_random_text_gives_positive_float_or_value_error(text):
    try:
        result = parse_duration(text)
    except ValueError:
        return
    assert type(result) is float and result > 0


@given(
    st.lists(st.tuples(NUMBERS, st.sampled_from("smhdSMHD"), SPACES, SPACES), max_size=5),
    st.one_of(st.none(), NUMBERS),
    SPACES,
)
def test_parse_well_formed_text_is_a_left_to_right_sum(components, trailing, lead):
    text, total = lead, 0.0
    for number, unit, before_unit, after_unit in components:
        text += number + before_unit + unit + after_unit
        total += float(number) * UNITS[unit.lower()]
    if trailing is not None:
        text += trailing
        total += float(trailing)
    if not text.strip():
        with pytest.raises(ValueError, match="^empty duration string$"):
            parse_duration(text)
    elif total <= 0:
        with pytest.raises(ValueError) as info:
            parse_duration(text)
        assert str(info.value) == "duration must be positive: " + repr(text)
    else:
        assert parse_duration(text) == total


# --------------------------------------------------------------------------- records

RECORD_FIELDS = [
    (SignalWaiter, "One parent run awaiting one named signal + match predicate.", [
        ("parent_run_id", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("resume_key", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("signal_name", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("match", "dict[str, Any]", dataclasses.MISSING, dict),
        ("timeout_at_unix", "float", 0.0, dataclasses.MISSING),
    ]),
    (TimerWaiter, "One parent run awaiting a deliberate timer.", [
        ("parent_run_id", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("resume_key", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("resume_at_unix", "float", dataclasses.MISSING, dataclasses.MISSING),
    ]),
    (UserInputWaiter, "One parent run awaiting typed user input.", [
        ("parent_run_id", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("resume_key", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("question", "str", dataclasses.MISSING, dataclasses.MISSING),
        ("choices", "Optional[list[str]]", None, dataclasses.MISSING),
        ("timeout_at_unix", "float", 0.0, dataclasses.MISSING),
    ]),
]


@pytest.mark.parametrize("cls, doc, fields", RECORD_FIELDS, ids=["SignalWaiter", "TimerWaiter", "UserInputWaiter"])
def test_record_classes(cls, doc, fields):
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (cls.__name__, cls.__name__, MODULE, doc)
    assert cls.__bases__ == (object,) and dataclasses.is_dataclass(cls)
    assert cls.__annotations__ == {name: ann for name, ann, _, _ in fields}
    assert list(typing.get_type_hints(cls)) == [name for name, *_ in fields]
    assert list(cls.__annotations__) == [name for name, *_ in fields]
    got = [(f.name, f.type, f.default, f.default_factory) for f in dataclasses.fields(cls)]
    assert got == fields
    params = cls.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash, params.frozen) == (
        True, True, True, False, False, False)
    assert cls.__match_args__ == tuple(name for name, *_ in fields)
    assert cls.__hash__ is None


RECORD_VALUES = [
    (lambda: SignalWaiter("p", "k", "sig"),
     "SignalWaiter(parent_run_id='p', resume_key='k', signal_name='sig', match={}, timeout_at_unix=0.0)"),
    (lambda: SignalWaiter(parent_run_id="p", resume_key="k", signal_name="s", match={"a": [1]}, timeout_at_unix=5),
     "SignalWaiter(parent_run_id='p', resume_key='k', signal_name='s', match={'a': [1]}, timeout_at_unix=5)"),
    (lambda: TimerWaiter("p", "k", 12.5), "TimerWaiter(parent_run_id='p', resume_key='k', resume_at_unix=12.5)"),
    (lambda: UserInputWaiter("p", "k", "why?"),
     "UserInputWaiter(parent_run_id='p', resume_key='k', question='why?', choices=None, timeout_at_unix=0.0)"),
    (lambda: UserInputWaiter("p", "k", "q", ["y", "n"], 3.0),
     "UserInputWaiter(parent_run_id='p', resume_key='k', question='q', choices=['y', 'n'], timeout_at_unix=3.0)"),
    # field types are not enforced
    (lambda: TimerWaiter(1, None, "soon"), "TimerWaiter(parent_run_id=1, resume_key=None, resume_at_unix='soon')"),
]


@pytest.mark.parametrize("make, text", RECORD_VALUES)
def test_record_values(make, text):
    record = make()
    assert repr(record) == text
    assert record == make() and not record != make()
    assert pickle.loads(pickle.dumps(record)) == record
    with pytest.raises(TypeError, match=f"^unhashable type: '{type(record).__name__}'$"):
        hash(record)


def test_records_do_not_leak(no_leak):
    no_leak(_each([((lambda m=make: repr(m())), None) for make, _ in RECORD_VALUES]
                  + [((lambda m=make: hash(m())), TypeError) for make, _ in RECORD_VALUES]))


def test_record_defaults_are_fresh():
    a, b = SignalWaiter("p", "k", "s"), SignalWaiter("p", "k", "s")
    assert a.match == {} and type(a.match) is dict and a.match is not b.match
    assert type(a.timeout_at_unix) is float and a.timeout_at_unix == 0.0
    a.match["x"] = 1
    assert b.match == {} and a != b
    u = UserInputWaiter("p", "k", "q")
    assert u.choices is None and u.timeout_at_unix == 0.0
    u.question = "changed"
    assert u.question == "changed"


def test_records_of_different_classes_differ():
    assert TimerWaiter("p", "k", 1.0) != UserInputWaiter("p", "k", 1.0)
    assert SignalWaiter("p", "k", "s") != SignalWaiter("p", "k", "s", {"a": 1})


@pytest.mark.parametrize("make, missing", [
    (lambda: TimerWaiter("p", "k"), "missing 1 required positional argument: 'resume_at_unix'"),
    (lambda: TimerWaiter(), "missing 3 required positional arguments: 'parent_run_id', 'resume_key', and 'resume_at_unix'"),
    (lambda: SignalWaiter("p", "k"), "missing 1 required positional argument: 'signal_name'"),
    (lambda: UserInputWaiter("p", "k", choices=[]), "missing 1 required positional argument: 'question'"),
])
def test_record_required_fields(make, missing):
    with pytest.raises(TypeError, match=missing):
        make()


# --------------------------------------------------------------------------- matches

NAN = math.nan


class Ne:
    """A value whose `!=` answers a fixed result, so the operand order shows."""

    def __init__(self, answer):
        self.answer = answer

    def __ne__(self, other):
        return self.answer

    __hash__ = None


MATCH_RULES = [
    # match, payload, expected
    ({}, {}, True),
    ({}, {"anything": 1}, True),
    ({"order": 7}, {"order": 7, "other": "x"}, True),
    ({"order": 7}, {"order": 8}, False),
    ({"order": 7}, {}, False),
    ({"k": None}, {}, True),
    ({"k": None}, {"k": None}, True),
    ({"k": None}, {"k": 0}, False),
    ({"k": 1}, {"k": 1.0}, True),
    ({"k": 1}, {"k": True}, True),
    ({"k": 1}, {"k": "1"}, False),
    ({"k": {"a": 1}}, {"k": {"a": 1, "b": 2}}, False),  # shallow: not a subset test
    ({"k": {"a": 1}}, {"k": {"a": 1}}, True),
    ({"k": [1, 2]}, {"k": [1, 2]}, True),
    ({"k": [1, 2]}, {"k": (1, 2)}, False),
    ({"a": 1, "b": 2}, {"a": 1, "b": 3}, False),
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}, True),
    ({"k": NAN}, {"k": NAN}, False),  # a plain `!=`, with no identity shortcut
    ({"k": Ne(True)}, {"k": Ne(False)}, True),  # the payload's value is on the left
    ({"k": Ne(False)}, {"k": Ne(True)}, False),
    ({"k": 5}, {"k": Ne(0)}, True),  # the comparison's result is taken by truth value
    ({"k": 5}, {"k": Ne("yes")}, False),
    ({1: "int key"}, {1: "int key"}, True),
    (types.MappingProxyType({"k": 1}), {"k": 1}, True),
]


def test_matches_compares_texts_of_every_length_and_width():
    # Texts up to 16 bytes are compared in place by overlapping loads: each
    # length and width, equal and differing at the first, a middle and the last character.
    for base in ("a", "\u00e9", "\u20ac", "\U0001f600"):
        for length in range(0, 21):
            text = "".join(chr(ord(base) + i % 7) for i in range(length))
            copy = "".join(list(text))  # equal, another object
            cases = [(copy, True)]
            for at in {0, length // 2, length - 1} if length else ():
                cases.append((text[:at] + chr(ord(text[at]) + 1) + text[at + 1:], False))
            for other, expected in cases:
                w = SignalWaiter("p", "k", text, {"k": text})
                assert w.matches(other, {"k": other}) is expected, (base, length, other)
                assert w.matches(text, {"k": other}) is expected, (base, length, other)


@pytest.mark.parametrize("match, payload, expected", MATCH_RULES)
def test_matches_rules(match, payload, expected):
    w = SignalWaiter("p", "k", "sig", match)
    assert w.matches("sig", payload) is expected
    assert w.matches(signal_name="sig", payload=payload) is expected
    # the name is compared first: another signal never matches, whatever the payload
    assert w.matches("other", payload) is False


def _attributes(**fields):
    obj = types.SimpleNamespace()
    obj.__dict__.update(fields)
    return vars(obj)


class _Slots:
    pass


def _split(**fields):
    """A dict sharing its class's keys table (an instance's __dict__)."""
    obj = _Slots()
    for name, value in fields.items():
        setattr(obj, name, value)
    return vars(obj)


def _with_deleted(**fields):
    table = {"gone": 0, **fields, "also_gone": 0}
    del table["gone"], table["also_gone"]
    return table


def _wide(count, **fields):
    return {**{f"filler{i}": i for i in range(count)}, **fields}


class _Text(str):
    __hash__ = str.__hash__


# Tables of every layout the host builds, on both sides of the comparison.
PAYLOAD_TABLES = [
    dict, _attributes, _split, _with_deleted,
    lambda **f: _wide(300, **f), lambda **f: _wide(70_000, **f),
    lambda **f: {1: "int key", 2.5: None, **f},
    lambda **f: {"".join(["ke", "y"]) if k == "key" else k: v for k, v in f.items()},
    lambda **f: {_Text(k): v for k, v in f.items()},
]
TABLE_CASES = [
    ({"key": "v", "\u00e9": 1, "\u0101": 2, "\U0001d518": 3}, {"key": "v", "\u00e9": 1, "\u0101": 2, "\U0001d518": 3}),
    ({"key": "v", "other": None}, {"key": "v"}),
    ({"key": "v"}, {"key": "w"}),
    ({"key": 1, "n": 2**70}, {"key": 1.0, "n": 2**70}),
]


@pytest.mark.parametrize("make_payload", PAYLOAD_TABLES)
@pytest.mark.parametrize("make_match", PAYLOAD_TABLES[:5])
@pytest.mark.parametrize("match, payload", TABLE_CASES)
def test_matches_reads_every_table_layout(make_match, make_payload, match, payload):
    m, p = make_match(**match), make_payload(**payload)
    expected = all(not (p.get(k) != v) for k, v in m.items())
    w = SignalWaiter("p", "k", "sig", m)
    assert [w.matches("sig", p) for _ in range(3)] == [expected] * 3


def test_matches_reads_attributes_afresh():
    w = SignalWaiter("p", "k", "a", {"x": 1})
    assert w.matches("a", {"x": 1})
    w.match = {"x": 2}
    assert not w.matches("a", {"x": 1})
    w.signal_name = "b"
    assert w.matches("b", {"x": 2}) and not w.matches("a", {"x": 2})


def test_matches_duck_typed_self():
    probe = types.SimpleNamespace(signal_name="s", match={"a": 1})
    assert SignalWaiter.matches(probe, "s", {"a": 1}) is True
    with pytest.raises(AttributeError):
        SignalWaiter.matches(object(), "s", {})


class Boom:
    def __ne__(self, other):
        raise LookupError("compared")

    __hash__ = None


class Items:
    def __init__(self, *items):
        self._items = items

    def items(self):
        return iter(self._items)


def test_matches_failures():
    w = SignalWaiter("p", "k", "s", None)
    with pytest.raises(AttributeError) as info:
        w.matches("s", {})
    assert str(info.value) == "'NoneType' object has no attribute 'items'"
    assert w.matches("t", {}) is False

    # pairs after the first mismatch are never compared
    w = SignalWaiter("p", "k", "s", {"a": 1, "b": Boom()})
    assert w.matches("s", {"a": 2}) is False
    with pytest.raises(LookupError, match="compared"):
        w.matches("s", {"a": 1})



def python_matches(waiter, signal_name, payload):
    """The steps of matches as a Python method runs them."""
    if signal_name != waiter.signal_name:
        return False
    for key, expected in waiter.match.items():
        if payload.get(key) != expected:
            return False
    return True


class Mutate:
    """Payload value that changes the waiter's match while being compared."""

    def __init__(self, target, change):
        self.target, self.change = target, change

    def __ne__(self, other):
        self.change(self.target)
        return False

    __hash__ = None


class RaisingIter:
    def __iter__(self):
        raise TypeError("no iteration today")


class NoIter:
    __iter__ = None


class Indexed:
    def __getitem__(self, i):
        if i < 3:
            return i
        raise IndexError(i)


def _swap(last, new):
    def change(d):
        d.pop(last, None)
        d[new] = 1
    return change


# (match, payload) makers: unpacking every kind of item, and matches that the comparisons change.
HOSTILE_MATCHES = {
    "item_3_tuple": lambda: (Items(("a", 1, 2)), {"a": 1}),
    "item_3_list": lambda: (Items(["a", 1, 2]), {"a": 1}),
    "item_3_dict": lambda: (Items({"a": 1, "b": 2, "c": 3}), {"a": 1}),
    "item_3_str": lambda: (Items("abc"), {"a": "b"}),
    "item_2_str": lambda: (Items("ab"), {"a": "b"}),
    "item_3_iterator": lambda: (Items(iter("abc")), {}),
    "item_3_sequence": lambda: (Items(Indexed()), {}),
    "item_1_tuple": lambda: (Items(("a",)), {"a": 1}),
    "item_empty_list": lambda: (Items([]), {}),
    "item_int": lambda: (Items(7), {"a": 1}),
    "item_none": lambda: (Items(None), {}),
    "item_iter_raises": lambda: (Items(RaisingIter()), {}),
    "item_iter_none": lambda: (Items(NoIter()), {}),
    "item_pair": lambda: (Items(("a", 1)), {"a": 1}),
    "grown": lambda: (lambda m: (m, {"a": Mutate(m, lambda d: d.update(added=1))}))({"a": 1}),
    "shrunk": lambda: (lambda m: (m, {"a": Mutate(m, lambda d: d.pop("b"))}))({"a": 1, "b": 2}),
    "last_key_swapped": lambda: (lambda m: (m, {"a": 1, "b": Mutate(m, _swap("a", "z"))}))({"a": 1, "b": 2}),
    "middle_key_swapped": lambda: (lambda m: (m, {"a": Mutate(m, _swap("b", "z")), "z": 1}))({"a": 1, "b": 2}),
}


@pytest.mark.parametrize("make", HOSTILE_MATCHES.values(), ids=HOSTILE_MATCHES.keys())
def test_matches_walks_match_as_the_host_does(make, no_leak):
    def outcome(matches):
        match, payload = make()
        try:
            return matches(SignalWaiter("p", "k", "s", match), "s", payload)
        except Exception as exc:
            return type(exc), str(exc)

    assert outcome(SignalWaiter.matches) == outcome(python_matches)
    no_leak(lambda: outcome(SignalWaiter.matches))


def _type_error(param, expected, given):
    # `given` is the C-level type name: a builtin type of another module carries its module prefix
    return f"Argument '{param}' has incorrect type (expected {expected}, got {given})"


MATCH_TYPES = [
    ("s", DictSub(), "payload", "DictSub", True),
    ("s", collections.OrderedDict(), "payload", "collections.OrderedDict", True),
    ("s", None, "payload", "NoneType", False),
    ("s", types.MappingProxyType({}), "payload", "mappingproxy", False),
    (None, {}, "signal_name", "NoneType", False),
    (StrSub("s"), {}, "signal_name", "StrSub", True),
    (b"s", {}, "signal_name", "bytes", False),
    (None, None, "signal_name", "NoneType", False),
]


@pytest.mark.parametrize("signal_name, payload, param, given, noted", MATCH_TYPES)
def test_matches_argument_types(signal_name, payload, param, given, noted):
    # match=None would raise AttributeError if the record were looked at first
    w = SignalWaiter("p", "k", "s", None)
    with pytest.raises(TypeError) as info:
        w.matches(signal_name, payload)
    assert str(info.value) == _type_error(param, "str" if param == "signal_name" else "dict", given)
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == noted and all("\n" not in n for n in notes)


MATCH_BINDING = [
    (lambda w: w.matches(), "matches() takes exactly 3 positional arguments (1 given)"),
    (lambda w: w.matches("s"), "matches() takes exactly 3 positional arguments (2 given)"),
    (lambda w: w.matches("s", {}, 1), "matches() takes exactly 3 positional arguments (4 given)"),
    (lambda w: w.matches(payload={}), "matches() takes exactly 3 positional arguments (1 given)"),
    (lambda w: w.matches(signal_name="s"), "matches() takes exactly 3 positional arguments (2 given)"),
    (lambda w: w.matches("s", {}, extra=1), "matches() got an unexpected keyword argument 'extra'"),
    (lambda w: w.matches("s", signal_name="t", payload={}),
     "matches() got multiple values for keyword argument 'signal_name'"),
]


@pytest.mark.parametrize("call, message", MATCH_BINDING)
def test_matches_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(SignalWaiter("p", "k", "s"))
    assert str(info.value) == message


def test_matches_no_leak(no_leak):
    cases = [((lambda m=match, p=payload: SignalWaiter("p", "k", "sig", m).matches("sig", p)), None)
             for match, payload, _ in MATCH_RULES]
    w = SignalWaiter("p", "k", "s", None)
    cases.append((lambda: w.matches("s", {}), AttributeError))
    cases += [((lambda n=name, p=payload: w.matches(n, p)), TypeError) for name, payload, *_ in MATCH_TYPES]
    cases += [((lambda c=call: c(w)), TypeError) for call, _ in MATCH_BINDING]
    no_leak(_each(cases))


# --------------------------------------------------------------------------- registry: shape


def test_registry_classes():
    P = W.WaiterRegistry
    assert (P.__doc__, P.__module__, P.__qualname__) == (PROTOCOL_DOC, MODULE, "WaiterRegistry")
    assert (Registry.__doc__, Registry.__module__, Registry.__qualname__) == (
        IN_MEMORY_DOC, MODULE, "InMemoryWaiterRegistry")
    assert P.__bases__ == (typing.Protocol,) and P._is_protocol and P._is_runtime_protocol
    assert P.__protocol_attrs__ == set(ASYNC_MEMBERS)
    assert Registry.__bases__ == (object,) and P not in Registry.__mro__
    funcs = lambda cls: [k for k, v in vars(cls).items() if callable(v) and not k.startswith("_abc")]  # noqa: E731
    assert [k for k in funcs(P) if k in ASYNC_MEMBERS] == list(ASYNC_MEMBERS)
    assert funcs(Registry) == ["__init__", *ASYNC_MEMBERS, "signal_waiter_count", "timer_count",
                               "user_input_waiter_count"]
    with pytest.raises(TypeError, match="Protocols cannot be instantiated"):
        P()


def test_structural_isinstance():
    P = W.WaiterRegistry
    assert isinstance(Registry(), P) and issubclass(Registry, P)
    assert isinstance(types.SimpleNamespace(**dict.fromkeys(ASYNC_MEMBERS, 1)), P)
    for missing in ASYNC_MEMBERS:
        members = dict.fromkeys(ASYNC_MEMBERS, 1)
        del members[missing]
        assert not isinstance(types.SimpleNamespace(**members), P), missing


PROTOCOL_CALLS = [
    ("register_signal_waiter", (SignalWaiter("p", "k", "s"),), {}),
    ("register_timer", (TimerWaiter("p", "k", 1.0),), {}),
    ("register_user_input_waiter", (UserInputWaiter("p", "k", "q"),), {}),
    ("resolve_signal", (), {"signal_name": "s", "payload": {}}),
    ("resolve_user_input", (), {"parent_run_id": "p", "resume_key": "k", "response": None}),
    ("sweep_expired_timers", (), {}),
]


@pytest.mark.parametrize("name, args, kwargs", PROTOCOL_CALLS, ids=[c[0] for c in PROTOCOL_CALLS])
def test_protocol_bodies_await_to_none(name, args, kwargs, drive):
    class Sub(W.WaiterRegistry):
        pass

    sub = Sub()
    assert isinstance(sub, W.WaiterRegistry)
    assert drive(getattr(sub, name)(*args, **kwargs)) is None
    # self is never tested, so the bodies also run through the class with any instance
    assert drive(getattr(W.WaiterRegistry, name)(None, *args, **kwargs)) is None


def test_protocol_keeps_argument_tests():
    class Sub(W.WaiterRegistry):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'payload' has incorrect type \(expected dict, got list\)$"):
        Sub().resolve_signal(signal_name="s", payload=[])


# --------------------------------------------------------------------------- registry: behaviour


def test_new_registry(drive):
    reg = Registry()
    assert list(vars(reg)) == ["_clock", "_signal_waiters", "_timers", "_user_inputs"]
    assert reg._clock is time.time
    assert (reg.signal_waiter_count(), reg.timer_count(), reg.user_input_waiter_count()) == (0, 0, 0)
    assert drive(reg.resolve_signal(signal_name="s", payload={})) == []
    assert drive(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=None)) is False
    assert drive(reg.sweep_expired_timers()) == []
    assert reg._signal_waiters is not reg._timers is not reg._user_inputs


@pytest.mark.parametrize("clock", [None, 0, 0.0, "", False, [], {}])
def test_falsy_clock_means_time_time(clock, drive, monkeypatch):
    assert Registry(clock=clock)._clock is time.time
    # time.time is looked up through the module attribute when the registry is built
    fake = lambda: 50.0  # noqa: E731
    monkeypatch.setattr(W, "time", types.SimpleNamespace(time=fake))
    reg = Registry(clock=clock)
    assert reg._clock is fake
    monkeypatch.undo()
    drive(reg.register_timer(TimerWaiter("p", "k", 50.0)))
    drive(reg.register_timer(TimerWaiter("q", "k", 51.0)))
    assert drive(reg.sweep_expired_timers()) == [("p", "k")]


def test_default_clock_is_wall_time(drive):
    reg = Registry()
    drive(reg.register_timer(TimerWaiter("past", "k", time.time() - 1)))
    drive(reg.register_timer(TimerWaiter("future", "k", time.time() + 1e6)))
    assert drive(reg.sweep_expired_timers()) == [("past", "k")]


def test_registration(drive):
    reg = Registry()
    lists = (reg._signal_waiters, reg._timers, reg._user_inputs)
    s, t, u = SignalWaiter("p", "k", "s"), TimerWaiter("p", "k", 1.0), UserInputWaiter("p", "k", "q")
    for _ in range(2):  # duplicates are stored twice
        assert drive(reg.register_signal_waiter(s)) is None
        assert drive(reg.register_timer(waiter=t)) is None
        assert drive(reg.register_user_input_waiter(u)) is None
    drive(reg.register_signal_waiter(42))  # not type-tested
    assert (reg._signal_waiters, reg._timers, reg._user_inputs) == ([s, s, 42], [t, t], [u, u])
    assert all(a is b for a, b in zip((reg._signal_waiters, reg._timers, reg._user_inputs), lists))
    assert reg._signal_waiters[0] is s and reg._timers[1] is t
    assert (reg.signal_waiter_count(), reg.timer_count(), reg.user_input_waiter_count()) == (3, 2, 2)
    assert type(reg.timer_count()) is int


def test_resolve_signal_order_copies_and_replacement(drive):
    reg = Registry()
    first, other, second = (SignalWaiter("p1", "k1", "go"), SignalWaiter("p2", "k2", "stop"),
                            SignalWaiter("p3", "k3", "go", {"n": [1]}))
    for w in (first, other, second):
        drive(reg.register_signal_waiter(w))
    before = reg._signal_waiters
    payload = {"n": [1], "extra": True}
    records = drive(reg.resolve_signal(signal_name="go", payload=payload))
    assert type(records) is list and records == [("p1", "k1", payload), ("p3", "k3", payload)]
    assert all(type(r) is tuple and len(r) == 3 for r in records)
    assert records[0][0] is first.parent_run_id and records[1][1] is second.resume_key
    copies = [r[2] for r in records]
    assert all(type(c) is dict and c is not payload for c in copies) and copies[0] is not copies[1]
    assert copies[0]["n"] is payload["n"]  # shallow
    copies[0]["extra"] = False
    assert payload["extra"] is True and copies[1]["extra"] is True
    assert reg._signal_waiters == [other] and reg._signal_waiters is not before
    assert before == [first, other, second]
    assert reg.signal_waiter_count() == 1
    # a walk without matches still installs a new list
    before = reg._signal_waiters
    assert drive(reg.resolve_signal(signal_name="go", payload={})) == []
    assert reg._signal_waiters == [other] and reg._signal_waiters is not before


def test_resolve_signal_records_are_built_as_dict_does(drive):
    fields = Fields()
    fields.a, fields.b, fields.c = 1, 2, 3
    sparse = {str(i): i for i in range(30)}
    for i in range(20):
        del sparse[str(i)]
    for payload in (vars(fields), sparse, {"a": 1}):
        reg = Registry()
        drive(reg.register_signal_waiter(SignalWaiter("p", "k", "sig")))
        (_, _, record), = drive(reg.resolve_signal(signal_name="sig", payload=payload))
        assert record == payload and sys.getsizeof(record) == sys.getsizeof(dict(payload))


def appended(items):
    grown = []
    for item in items:
        grown.append(item)
    return grown


@pytest.mark.parametrize("count", [0, 5, 17, 1000])
@pytest.mark.parametrize("share", [0.0, 0.5, 1.0])
def test_kept_lists_are_sized_as_appends_leave_them(count, share, drive):
    # The walk may keep every waiter, or none; either way sys.getsizeof() of
    # what it installs reads as for a list that was only appended to.
    reg = Registry(clock=lambda: 50.0)
    for i in range(count):
        drive(reg.register_signal_waiter(SignalWaiter("p", "k", "sig", {"keep": i < count * share})))
        drive(reg.register_timer(TimerWaiter("p", "k", 0.0 if i < count * share else 100.0)))
    drive(reg.resolve_signal(signal_name="sig", payload={"keep": False}))
    drive(reg.sweep_expired_timers())
    for kept in (reg._signal_waiters, reg._timers):
        assert sys.getsizeof(kept) == sys.getsizeof(appended(kept))


def test_kept_list_grown_past_its_start_is_sized_as_appends_leave_it(drive):
    reg = Registry()

    class Grows:
        def __eq__(self, other):
            if len(reg._signal_waiters) < 40:
                reg._signal_waiters.append(SignalWaiter("late", "k", "sig", {"a": self}))
            return False

        __hash__ = object.__hash__

    drive(reg.register_signal_waiter(SignalWaiter("p", "k", "sig", {"a": Grows()})))
    drive(reg.resolve_signal(signal_name="sig", payload={"a": 1}))
    assert len(reg._signal_waiters) == 40
    assert sys.getsizeof(reg._signal_waiters) == sys.getsizeof(appended(reg._signal_waiters))


def test_resolve_signal_sees_later_changes_to_records(drive):
    reg = Registry()
    w = SignalWaiter("p", "k", "a")
    drive(reg.register_signal_waiter(w))
    w.signal_name = "b"
    assert drive(reg.resolve_signal(signal_name="a", payload={})) == []
    assert drive(reg.resolve_signal(signal_name="b", payload={})) == [("p", "k", {})]


class Probe:
    """Duck-typed signal waiter that logs what the registry reads from it."""

    def __init__(self, log, verdict):
        self.log, self.verdict = log, verdict

    def matches(self, *args, **kwargs):
        self.log.append(("matches", args, kwargs))
        return self.verdict

    @property
    def parent_run_id(self):
        self.log.append("parent_run_id")
        return "pid"

    @property
    def resume_key(self):
        self.log.append("resume_key")
        return "key"


@pytest.mark.parametrize("verdict, matched", [(True, True), (1, True), ("x", True), (0, False), ([], False), (None, False)])
def test_resolve_signal_uses_matches_by_name(verdict, matched, drive):
    reg, log, payload = Registry(), [], {"a": 1}
    drive(reg.register_signal_waiter(Probe(log, verdict)))
    records = drive(reg.resolve_signal(signal_name="sig", payload=payload))
    assert log[0] == ("matches", ("sig", payload), {}) and log[0][1][1] is payload
    assert log[1:] == (["parent_run_id", "resume_key"] if matched else [])
    assert records == ([("pid", "key", payload)] if matched else [])
    assert reg.signal_waiter_count() == (0 if matched else 1)


class Exploding(Probe):
    def matches(self, signal_name, payload):
        return True

    @property
    def resume_key(self):
        raise KeyError("no key")


SIGNAL_FAILURES = [
    (lambda: SignalWaiter("p", "k", "s", None), AttributeError),
    (lambda: SignalWaiter("p", "k", "s", {"a": Boom()}), LookupError),
    (lambda: Exploding([], True), KeyError),
    (lambda: object(), AttributeError),
]


@pytest.mark.parametrize("bad, error", SIGNAL_FAILURES)
def test_resolve_signal_failure_leaves_list_alone(bad, error, drive):
    reg = Registry()
    good, spare, broken = SignalWaiter("g", "k", "s"), SignalWaiter("x", "k", "t"), bad()
    for w in (good, broken, spare):
        drive(reg.register_signal_waiter(w))
    before = reg._signal_waiters
    with pytest.raises(error):
        drive(reg.resolve_signal(signal_name="s", payload={}))
    assert reg._signal_waiters is before and before == [good, broken, spare]


def test_waiter_with_none_match_only_blocks_its_signal(drive):
    reg = Registry()
    drive(reg.register_signal_waiter(SignalWaiter("p", "k", "s", None)))
    drive(reg.register_signal_waiter(SignalWaiter("q", "k", "t")))
    assert drive(reg.resolve_signal(signal_name="t", payload={})) == [("q", "k", {})]
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        drive(reg.resolve_signal(signal_name="s", payload={}))
    assert reg.signal_waiter_count() == 1


def test_resolve_user_input(drive):
    reg = Registry()
    a, b, c, d = (UserInputWaiter("p", "k1", "q"), UserInputWaiter("p", "k2", "q"),
                  UserInputWaiter("p", "k2", "q2"), UserInputWaiter("z", "k2", "q"))
    for w in (a, b, c, d):
        drive(reg.register_user_input_waiter(w))
    before = reg._user_inputs
    resolve = lambda pid, key: drive(reg.resolve_user_input(parent_run_id=pid, resume_key=key, response=[{}]))  # noqa: E731
    assert resolve("p", "k3") is False  # run id matches, resume key does not
    assert resolve("p", "k2") is True and reg._user_inputs == [a, c, d]
    assert resolve("p", "k2") is True and reg._user_inputs == [a, d]
    assert resolve("p", "k2") is False and reg.user_input_waiter_count() == 2
    assert resolve("z", "k2") is True and resolve("p", "k1") is True
    assert reg._user_inputs is before and before == []


class Eq:
    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        if isinstance(self.answer, type):
            raise self.answer("key compared")
        return self.answer

    __hash__ = None


def test_resolve_user_input_comparisons(drive):
    reg = Registry()
    bad_key = UserInputWaiter("other", Eq(LookupError), "q")
    fuzzy = UserInputWaiter(Eq(1), Eq("yes"), "q")
    drive(reg.register_user_input_waiter(bad_key))
    drive(reg.register_user_input_waiter(fuzzy))
    # the key of a waiter whose run id differs is never compared
    assert drive(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=None)) is True
    assert reg._user_inputs == [bad_key]
    before = reg._user_inputs
    with pytest.raises(LookupError, match="key compared"):
        drive(reg.resolve_user_input(parent_run_id="other", resume_key="k", response=None))
    assert reg._user_inputs is before and before == [bad_key]


class Counter:
    def __init__(self, *readings):
        self.readings, self.calls = list(readings), []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.readings.pop(0)


def test_sweep_expired_timers(drive):
    clock = Counter(100.0, 100.0, 1000.0)
    reg = Registry(clock=clock)
    assert reg._clock is clock
    timers = [TimerWaiter("a", "1", 99.0), TimerWaiter("b", "2", 101.0), TimerWaiter("c", "3", 100.0),
              TimerWaiter("d", "4", 100)]
    for t in timers:
        drive(reg.register_timer(t))
    before = reg._timers
    expired = drive(reg.sweep_expired_timers())
    assert expired == [("a", "1"), ("c", "3"), ("d", "4")] and all(type(p) is tuple for p in expired)
    assert clock.calls == [((), {})]  # read once per sweep, with no arguments
    assert reg._timers == [timers[1]] and reg._timers is not before and before == timers
    assert drive(reg.sweep_expired_timers()) == [] and reg.timer_count() == 1
    assert drive(reg.sweep_expired_timers()) == [("b", "2")] and reg.timer_count() == 0
    assert len(clock.calls) == 3
    reg._clock = lambda: 0.0  # the sweep calls whatever the instance holds
    drive(reg.register_timer(TimerWaiter("e", "5", 0.0)))
    assert drive(reg.sweep_expired_timers()) == [("e", "5")]


class Le:
    def __init__(self, answer):
        self.answer = answer

    def __le__(self, other):
        return self.answer

    def __ge__(self, other):
        return self.answer


def test_sweep_compares_timer_on_the_left(drive):
    # both operands answer differently, so flipping the comparison would change the outcome
    reg = Registry(clock=lambda: Le(False))
    drive(reg.register_timer(TimerWaiter("due", "k", Le(True))))
    drive(reg.register_timer(TimerWaiter("falsy", "k", Le(0))))
    assert drive(reg.sweep_expired_timers()) == [("due", "k")]


def _raise(exc):
    raise exc


SWEEP_FAILURES = [
    (lambda: 10.0, [TimerWaiter("a", "k", 1.0), TimerWaiter("b", "k", None)], TypeError),
    (lambda: _raise(OSError("clock broke")), [TimerWaiter("a", "k", 1.0)], OSError),
    (5, [TimerWaiter("a", "k", 1.0)], TypeError),  # a truthy non-callable is kept as the clock
    (lambda: 10.0, [TimerWaiter("a", "k", 1.0), object()], AttributeError),
]


@pytest.mark.parametrize("clock, timers, error", SWEEP_FAILURES)
def test_sweep_failure_leaves_timers_alone(clock, timers, error, drive):
    reg = Registry(clock=clock)
    assert reg._clock is clock
    for t in timers:
        drive(reg.register_timer(t))
    before = reg._timers
    with pytest.raises(error):
        drive(reg.sweep_expired_timers())
    assert reg._timers is before and before == timers


def test_registry_cycles_do_not_leak(run_now, no_leak):
    reg = Registry(clock=lambda: 5.0)
    s, t, u = SignalWaiter("p", "k", "s", {"a": 1}), TimerWaiter("p", "k", 1.0), UserInputWaiter("p", "k", "q")

    def cycle():
        run_now(reg.register_signal_waiter(s))
        run_now(reg.register_timer(t))
        run_now(reg.register_user_input_waiter(u))
        assert run_now(reg.resolve_signal(signal_name="s", payload={"a": 1, "b": [2]})) == [("p", "k", {"a": 1, "b": [2]})]
        assert run_now(reg.sweep_expired_timers()) == [("p", "k")]
        assert run_now(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=object())) is True

    no_leak(cycle)
    assert (reg.signal_waiter_count(), reg.timer_count(), reg.user_input_waiter_count()) == (0, 0, 0)


def test_registry_failures_do_not_leak(run_now, no_leak):
    class Sub(W.WaiterRegistry):
        pass

    sub, cases = Sub(), []
    cases += [((lambda n=name, a=args, k=kwargs: run_now(getattr(sub, n)(*a, **k))), None)
              for name, args, kwargs in PROTOCOL_CALLS]
    cases += [(Registry, None), ((lambda: Registry(clock=lambda: 0.0)), None)]
    cases += [(getattr(Registry(), name), None) for name in ("signal_waiter_count", "timer_count",
                                                             "user_input_waiter_count")]
    for bad, error in SIGNAL_FAILURES:
        reg = Registry()
        run_now(reg.register_signal_waiter(bad()))
        cases.append(((lambda r=reg: run_now(r.resolve_signal(signal_name="s", payload={}))), error))
    for clock, timers, error in SWEEP_FAILURES:
        reg = Registry(clock=clock)
        reg._timers.extend(timers)
        cases.append(((lambda r=reg: run_now(r.sweep_expired_timers())), error))
    reg = Registry()
    run_now(reg.register_user_input_waiter(UserInputWaiter("p", Eq(LookupError), "q")))
    cases.append((lambda: run_now(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=0)), LookupError))
    cases += [(call, TypeError) for call, _ in CALL_ERRORS]
    no_leak(_each(cases))


# --------------------------------------------------------------------------- registry: argument errors

REG = Registry()
W0 = SignalWaiter("p", "k", "s")

CALL_ERRORS = [
    (lambda: REG.register_signal_waiter(), "register_signal_waiter() takes exactly 2 positional arguments (1 given)"),
    (lambda: REG.register_timer(W0, W0), "register_timer() takes exactly 2 positional arguments (3 given)"),
    (lambda: REG.register_user_input_waiter(W0, waiter=W0),
     "register_user_input_waiter() got multiple values for keyword argument 'waiter'"),
    (lambda: REG.register_timer(waiter=W0, when=1), "register_timer() got an unexpected keyword argument 'when'"),
    (lambda: REG.resolve_signal("s", payload={}), "resolve_signal() takes exactly 1 positional argument (2 given)"),
    (lambda: REG.resolve_signal(), "resolve_signal() needs keyword-only argument signal_name"),
    (lambda: REG.resolve_signal(payload={}), "resolve_signal() needs keyword-only argument signal_name"),
    (lambda: REG.resolve_signal(signal_name="s"), "resolve_signal() needs keyword-only argument payload"),
    (lambda: REG.resolve_signal(signal_name="s", payload={}, extra=1),
     "resolve_signal() got an unexpected keyword argument 'extra'"),
    (lambda: REG.resolve_user_input(parent_run_id="p", resume_key="k"),
     "resolve_user_input() needs keyword-only argument response"),
    (lambda: REG.resolve_user_input("p", "k", None),
     "resolve_user_input() takes exactly 1 positional argument (4 given)"),
    (lambda: REG.sweep_expired_timers(1.0), "sweep_expired_timers() takes exactly 1 positional argument (2 given)"),
    (lambda: REG.sweep_expired_timers(now=1.0), "sweep_expired_timers() got an unexpected keyword argument 'now'"),
    (lambda: Registry.timer_count(), "timer_count() takes exactly 1 positional argument (0 given)"),
    (lambda: Registry(time.time), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: Registry(tick=time.time), "__init__() got an unexpected keyword argument 'tick'"),
    (lambda: REG.resolve_signal(signal_name=None, payload={}), _type_error("signal_name", "str", "NoneType")),
    (lambda: REG.resolve_signal(signal_name=StrSub("s"), payload={}), _type_error("signal_name", "str", "StrSub")),
    (lambda: REG.resolve_signal(signal_name="s", payload=DictSub()), _type_error("payload", "dict", "DictSub")),
    (lambda: REG.resolve_signal(payload=None, signal_name=1), _type_error("signal_name", "str", "int")),
    (lambda: REG.resolve_user_input(parent_run_id=1, resume_key="k", response=None),
     _type_error("parent_run_id", "str", "int")),
    (lambda: REG.resolve_user_input(parent_run_id="p", resume_key=StrSub("k"), response=None),
     _type_error("resume_key", "str", "StrSub")),
    (lambda: REG.resolve_user_input(resume_key=None, parent_run_id=None, response=None),
     _type_error("parent_run_id", "str", "NoneType")),
]


@pytest.mark.parametrize("call, message", CALL_ERRORS)
def test_errors_are_raised_by_the_call(call, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            call()
        gc.collect()
    assert str(info.value) == message
    assert len(getattr(info.value, "__notes__", [])) == ("StrSub" in message or "DictSub" in message)
    # no coroutine was made, so none was left unawaited
    assert not [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert (REG.signal_waiter_count(), REG.timer_count(), REG.user_input_waiter_count()) == (0, 0, 0)


def test_untested_arguments_pass(drive):
    reg = Registry()
    assert drive(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=DictSub())) is False
    drive(reg.register_timer(None))
    assert reg._timers == [None]


class Refusing(SignalWaiter):
    def matches(self, signal_name, payload):
        return False


def _shadowed():
    w = SignalWaiter("p", "k", "sig")
    w.matches = lambda signal_name, payload: False
    return w


@pytest.mark.parametrize("make", [lambda: Refusing("p", "k", "sig"), _shadowed])
def test_resolve_signal_honours_overridden_matches(make, drive):
    reg = Registry()
    drive(reg.register_signal_waiter(make()))
    drive(reg.register_signal_waiter(SignalWaiter("q", "k", "sig")))
    assert drive(reg.resolve_signal(signal_name="sig", payload={})) == [("q", "k", {})]
    assert reg.signal_waiter_count() == 1


class Hook:
    """Expected value whose comparison changes the payload, then holds."""

    def __init__(self, change):
        self.change = change

    def __ne__(self, other):
        self.change(self.payload)
        return False

    __hash__ = None


class Fields:
    pass


def _reinsert(value=None):
    def change(p):
        old = p.pop("order")
        p["order"] = old if value is None else value
    return change


def _rebuild_reversed(p):
    pairs = list(p.items())
    p.clear()
    p.update(reversed(pairs))


# Changes a comparison makes to the payload halfway through a scan whose
# predicates name the same keys: every later lookup sees the payload as it is.
PAYLOAD_CHANGES = {
    "value_replaced": lambda p: p.__setitem__("order", 2),
    "key_deleted": lambda p: p.pop("region"),
    "key_reinserted": _reinsert(),
    "key_reinserted_other_value": _reinsert(2),
    "rebuilt_in_reverse": _rebuild_reversed,
    "grown": lambda p: p.update({f"k{i}": i for i in range(100)}),
    "non_str_key_added": lambda p: p.__setitem__(1, 1),
    "key_replaced_by_equal_str": lambda p: p.__setitem__("".join(["ord", "er"]), p.pop("order")),
    "emptied": lambda p: p.clear(),
}


@pytest.mark.parametrize("split", [False, True], ids=["dict", "instance_dict"])
@pytest.mark.parametrize("change", PAYLOAD_CHANGES.values(), ids=PAYLOAD_CHANGES.keys())
def test_resolve_signal_lookups_follow_payload_changes(change, split, drive):
    def scenario():
        fields = Fields()
        fields.tenant, fields.region, fields.order, fields.status = "acme", "eu", 1, "paid"
        payload = vars(fields) if split else dict(vars(fields))
        hook = Hook(change)
        hook.payload = payload
        match = {"tenant": "acme", "region": "eu", "order": 1}
        waiters = [SignalWaiter(f"p{i}", "k", "sig", dict(match)) for i in range(6)]
        waiters[2].match = {"hook": hook} | match
        return payload, waiters

    payload, waiters = scenario()
    expected = [w.parent_run_id for w in waiters if python_matches(w, "sig", payload)]
    payload, waiters = scenario()
    reg = Registry()
    reg._signal_waiters = waiters
    assert [r[0] for r in drive(reg.resolve_signal(signal_name="sig", payload=payload))] == expected


def _emptying(reg):
    """What empties the registry's list: a waiter in it then has no other holder."""

    class Empties(str):
        def __ne__(self, other):
            reg._signal_waiters.clear()
            return str.__ne__(self, other)

        # Collides with "matches" in a class dict, where the lookup compares it.
        def __hash__(self):
            return hash("matches")

        def __eq__(self, other):
            reg._signal_waiters.clear()
            return False

    class LooksUpMatches(SignalWaiter):
        pass

    class ReadsMatch(SignalWaiter):
        @property
        def match(self):
            reg._signal_waiters.clear()
            return {}

        @match.setter
        def match(self, value):
            pass

    return {
        "match_value": lambda: SignalWaiter("p", "k", "sig", {"a": Empties("x")}),
        "signal_name": lambda: SignalWaiter("p", "k", Empties("sig")),
        "class_lookup": lambda: type("Colliding", (LooksUpMatches,), {Empties("zz"): 1})("p", "k", "sig"),
        "attribute": lambda: ReadsMatch("p", "k", "sig"),
    }


@pytest.mark.parametrize("way", ["match_value", "signal_name", "class_lookup", "attribute"])
def test_resolve_signal_holds_a_waiter_its_list_drops(way, drive):
    # Host code run while a waiter is being matched empties the list, which
    # held the only reference to it: the scan goes on as the host's would.
    outcomes = []
    for resolve_signal in (reference.InMemoryWaiterRegistry.resolve_signal, Registry.resolve_signal):
        reg = Registry()
        reg._signal_waiters = [_emptying(reg)[way](), SignalWaiter("q", "k", "sig")]
        records = drive(resolve_signal(reg, signal_name="sig", payload={"a": "x"}))
        outcomes.append((records, [w.parent_run_id for w in reg._signal_waiters]))
    assert outcomes[1] == outcomes[0]


def test_resolve_signal_sees_waiters_added_by_a_comparison(drive):
    reg = Registry()

    class Grows:
        def __eq__(self, other):
            reg._signal_waiters.append(SignalWaiter("late", "k", "sig"))
            return True

        __hash__ = object.__hash__

    drive(reg.register_signal_waiter(SignalWaiter("p", "k", "sig", {"a": Grows()})))
    records = drive(reg.resolve_signal(signal_name="sig", payload={"a": 1}))
    assert [r[0] for r in records] == ["p", "late"]
