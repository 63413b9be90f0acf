"""Spawn dispatch: child records, the dispatcher protocol, the no-op runner and the in-memory dispatcher."""

import asyncio
import collections
import collections.abc
import decimal
import fractions
import inspect
import math
import pickle
import types
import typing

import pytest

from corlith_runtime.core.runtime import exceptions, spawn
from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.spawn import (
    ChildResult,
    InMemorySpawnDispatcher,
    SpawnDispatcher,
    _default_noop_child_runner,
)

MODULE_DOC = "Phase 1.1 — spawn dispatcher protocol + in-memory default.\n\nContract between runtime and infra:\n\n- The runtime raises :class:`~corlith_runtime.core.runtime.exceptions.SpawnAwaited`\n  when ``ctx.spawn()`` / ``ctx.spawn_many()`` is called.\n- The envelope catches it and persists parent state.\n- Infra's :class:`SpawnDispatcher` implementation enqueues the child runs\n  (typically via Celery) and arranges resume signalling.\n- On resume, the parent re-enters with\n  ``ctx.inputs[\"spawn_results\"][resume_key]`` populated — a dict mapping\n  child_run_id → typed child output.\n\nRuntime ships :class:`InMemorySpawnDispatcher` as a default for local dev\nand tests. It runs child specs synchronously inline (no real distribution,\nno Redis). Production config (``RuntimeConfig.configure(spawn_dispatcher=...)``)\nswaps in the infra implementation.\n\nSee docs/RUNTIME_EMERGENCE_PLAN.md §4.1.\n"
CHILD_RESULT_DOC = "Dict-shaped child result. Plain dict so it serializes cleanly for resume.\n\n    Keys:\n        child_run_id (str)\n        spec (dict — ChildSpec.to_dict())\n        output (dict | None)\n        error (str | None)\n        cost_usd (float)\n        tokens (int)\n        duration_ms (float)\n    "
DISPATCHER_DOC = "Enqueue child runs and return their results on resume.\n\n    Runtime defines the shape; infra implements against Celery + Redis.\n    "
ENQUEUE_DOC = "Enqueue child runs; return their child_run_ids. Non-blocking.\n\n        The parent is already suspended; the dispatcher's job is to\n        (a) mint run ids, (b) start the work, (c) arrange a resume\n        signal when ``return_when`` is satisfied.\n\n        ``group_key`` — when provided, overrides the default dedup key\n        derived from ``(parent_run_id, parent_resume_key)``. Two calls\n        with the same ``group_key`` (even from different parent runs)\n        collapse to one group, returning the original child_run_ids\n        without re-dispatching.\n\n        ``tenant_id`` — the parent's tenant. Infra implementations need\n        it to look up the child agent's TenantAgent record and populate\n        ``agent_id`` / ``_tenant_id`` in child inputs so the Celery\n        launcher accepts them. The in-memory default ignores it.\n\n        ``parent_trace_id`` / ``parent_span_id`` — hex-encoded OTel\n        identifiers for the parent's current span. The dispatcher\n        injects these into each child's inputs as ``_trace_id`` and\n        ``_signal_span_id`` (same keys the signal-dispatch path uses);\n        the supervisor instrumentation picks them up to nest the child\n        span under the parent, so multi-level spawn chains render as a\n        single trace tree in the UI.\n\n        ``parent_sub_user_identity`` — the parent's ``_sub_user_identity``\n        dict (or None). Infra implementations inject this into each\n        child's inputs as ``_sub_user_identity`` so the child envelope\n        rehydrates its ExecutionContext with the same end-user identity,\n        and downstream domain calls emit the signed per-user-auth header\n        when the tenant has ``per_user_auth_enabled=True``. Without this,\n        children silently fall through to tenant-level credentials.\n        "
COLLECT_DOC = "Called during parent resume — return completed child results.\n\n        Keyed by child_run_id. Contents satisfy the ``return_when``\n        clause the dispatcher honored when signalling resume.\n        "
RUNNER_DOC = "Default fake child runner — returns an empty success.\n\n    Overridden in tests / local dev configs.\n    "
IN_MEMORY_DOC = "Synchronous, in-process dispatcher. Local dev + tests only.\n\n    Does NOT actually suspend the parent — the envelope catch still\n    fires, but ``collect_results`` immediately returns the pre-computed\n    child results. Production deployments configure the infra\n    implementation (Celery-backed) instead.\n\n    Takes a ``child_runner`` callable that, given a ChildSpec, returns a\n    ChildResult awaitable. Tests supply fakes; real local dev could wire\n    in something that runs the agent spec synchronously.\n    "

KEYS = ["child_run_id", "spec", "output", "error", "cost_usd", "tokens", "duration_ms"]
ENQUEUE_ANNOTATIONS = [
    ("parent_run_id", "str"),
    ("parent_resume_key", "str"),
    ("specs", "tuple[ChildSpec, ...]"),
    ("return_when", "ReturnWhen"),
    ("timeout_seconds", "float"),
    ("group_key", "str | None"),
    ("tenant_id", "str | None"),
    ("parent_trace_id", "str | None"),
    ("parent_span_id", "str | None"),
    ("parent_sub_user_identity", "dict | None"),
    ("return", "list[str]"),
]
ENQUEUE_KWDEFAULTS = [(name, None) for name, _ in ENQUEUE_ANNOTATIONS[5:10]]
COLLECT_ANNOTATIONS = [("parent_run_id", "str"), ("resume_key", "str"), ("return", "dict[str, ChildResult]")]
RUNNER_TYPE = "Optional[Callable[[ChildSpec], Awaitable[ChildResult]]]"


def kw(specs=(), return_when=ReturnWhen.ALL, p="p", k="k", **extra):
    """Keyword arguments of a valid enqueue_children call."""
    return {"parent_run_id": p, "parent_resume_key": k, "specs": tuple(specs), "return_when": return_when,
            "timeout_seconds": 1.0, **extra}


def specs(n, prefix="agent"):
    return tuple(ChildSpec(f"{prefix}{i}", {"i": i}) for i in range(n))


class RawSpec:
    """Spec of no particular class: the dispatcher may rely only on to_dict() and agent."""

    def __init__(self, agent="raw", payload=None):
        self.agent = agent
        self.payload = {"raw": agent} if payload is None else payload

    def to_dict(self):
        return self.payload


class FlakySpec(RawSpec):
    """to_dict() fails on its first call only, and numbers the dicts it hands out."""

    def __init__(self):
        super().__init__()
        self.calls = 0

    def to_dict(self):
        self.calls += 1
        if self.calls == 1:
            raise ValueError("first to_dict fails")
        return {"call": self.calls}


class Equals:
    """A return_when value that is none of the strings but compares equal to one."""

    __hash__ = None

    def __init__(self, text):
        self.text = text

    def __eq__(self, other):
        return other == self.text


class EqualityFails:
    __hash__ = None

    def __eq__(self, other):
        raise ZeroDivisionError("no equality")


class NoGet:
    """Accepts item assignment but has no get()."""

    def __init__(self):
        self.items = {}

    def __setitem__(self, key, value):
        self.items[key] = value


class AlwaysOutput(dict):
    def get(self, key, default=None):
        return "something"


class NeverOutput(dict):
    def get(self, key, default=None):
        return None


class Text(str):
    pass


class Mapping(dict):
    pass


Pair = collections.namedtuple("Pair", "a b")


def runner_returning(*outcomes):
    """Runner that plays outcomes in turn: exceptions are raised, dicts returned as copies, anything else as is."""
    state = [0]

    async def runner(spec):
        outcome = outcomes[state[0] % len(outcomes)]
        state[0] += 1
        if isinstance(outcome, BaseException):
            raise type(outcome)(*outcome.args)  # fresh each time: a re-raised instance grows its traceback
        return type(outcome)(outcome) if isinstance(outcome, dict) else outcome

    runner.count = lambda: state[0]
    return runner


def host_error(runner, spec):
    """What the host says when the same guarded step runs as ordinary coroutine code."""

    async def step():
        try:
            result = await runner(spec)
            result["child_run_id"] = "id"
            result["spec"] = spec.to_dict()
        except Exception as exc:
            return str(exc)

    coro = step()
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("probe suspended")


def float_error(value):
    try:
        math.isfinite(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} converts to float")


@pytest.fixture
def loop():
    lp = asyncio.new_event_loop()
    yield lp
    lp.close()


class ProtocolChild(SpawnDispatcher):
    """Inherits the protocol's empty operation bodies."""


@pytest.fixture(params=["in_memory", "protocol"])
def target(request):
    return InMemorySpawnDispatcher() if request.param == "in_memory" else ProtocolChild()


# --- namespace and introspection ---------------------------------------------------------


def test_namespace_order_and_imports():
    own = [name for name in vars(spawn) if not (name.startswith("__") and name.endswith("__"))]
    assert own == ["Awaitable", "Callable", "Optional", "Protocol", "runtime_checkable", "ChildSpec",
                   "ReturnWhen", "ChildResult", "SpawnDispatcher", "InMemorySpawnDispatcher",
                   "_default_noop_child_runner"]
    for name in own[:5]:
        assert getattr(spawn, name) is getattr(typing, name)
    assert spawn.ChildSpec is exceptions.ChildSpec and spawn.ReturnWhen is exceptions.ReturnWhen
    assert spawn.__name__ == "corlith_runtime.core.runtime.spawn"
    assert spawn.__doc__ == MODULE_DOC


def test_classes():
    assert ChildResult.__mro__ == (ChildResult, dict, object)
    assert [n for n in vars(ChildResult) if not n.startswith("__")] == []
    assert ChildResult(a=1) == {"a": 1}
    assert SpawnDispatcher.__bases__ == (typing.Protocol,)
    assert SpawnDispatcher._is_runtime_protocol
    assert SpawnDispatcher.__protocol_attrs__ == {"enqueue_children", "collect_results"}
    assert [n for n in vars(SpawnDispatcher) if not n.startswith("_")] == ["enqueue_children", "collect_results"]
    with pytest.raises(TypeError):
        SpawnDispatcher()
    assert InMemorySpawnDispatcher.__bases__ == (object,)
    assert [n for n in vars(InMemorySpawnDispatcher) if n == "__init__" or not n.startswith("_")] == [
        "__init__", "enqueue_children", "collect_results"]
    for cls, doc in [(ChildResult, CHILD_RESULT_DOC), (SpawnDispatcher, DISPATCHER_DOC),
                     (InMemorySpawnDispatcher, IN_MEMORY_DOC)]:
        assert cls.__doc__ == doc
        assert cls.__module__ == spawn.__name__ and cls.__qualname__ == cls.__name__


def test_protocol_is_structural(run_now):
    class Duck:
        async def enqueue_children(self): ...
        async def collect_results(self): ...

    class HalfDuck:
        async def enqueue_children(self): ...

    assert isinstance(InMemorySpawnDispatcher(), SpawnDispatcher)
    assert SpawnDispatcher not in InMemorySpawnDispatcher.__mro__
    assert isinstance(Duck(), SpawnDispatcher) and not isinstance(HalfDuck(), SpawnDispatcher)
    assert run_now(ProtocolChild().enqueue_children(**kw(specs(2)))) is None
    assert run_now(ProtocolChild().collect_results(parent_run_id="p", resume_key="k")) is None


FUNCTIONS = [
    # function, qualified name, docstring, annotations, kwdefaults, signature, argcount, kwonly, flags
    (SpawnDispatcher.enqueue_children, "SpawnDispatcher.enqueue_children", ENQUEUE_DOC, ENQUEUE_ANNOTATIONS,
     ENQUEUE_KWDEFAULTS, None, 1, 10, 131),
    (InMemorySpawnDispatcher.enqueue_children, "InMemorySpawnDispatcher.enqueue_children", None,
     ENQUEUE_ANNOTATIONS, ENQUEUE_KWDEFAULTS, None, 1, 10, 131),
    (SpawnDispatcher.collect_results, "SpawnDispatcher.collect_results", COLLECT_DOC, COLLECT_ANNOTATIONS, None,
     "(self, *, parent_run_id: 'str', resume_key: 'str') -> 'dict[str, ChildResult]'", 1, 2, 131),
    (InMemorySpawnDispatcher.collect_results, "InMemorySpawnDispatcher.collect_results", None,
     COLLECT_ANNOTATIONS, None, "(self, *, parent_run_id: 'str', resume_key: 'str') -> 'dict[str, ChildResult]'",
     1, 2, 131),
    (InMemorySpawnDispatcher.__init__, "InMemorySpawnDispatcher.__init__", None, [("child_runner", RUNNER_TYPE)],
     [("child_runner", None)], f"(self, *, child_runner: '{RUNNER_TYPE}' = None)", 1, 1, 3),
    (_default_noop_child_runner, "_default_noop_child_runner", RUNNER_DOC,
     [("spec", "ChildSpec"), ("return", "ChildResult")], None, "(spec: 'ChildSpec') -> 'ChildResult'", 1, 0, 131),
]
ENQUEUE_SIGNATURE = ("(self, *, parent_run_id: 'str', parent_resume_key: 'str', specs: 'tuple[ChildSpec, ...]', "
                     "return_when: 'ReturnWhen', timeout_seconds: 'float', group_key: 'str | None' = None, "
                     "tenant_id: 'str | None' = None, parent_trace_id: 'str | None' = None, "
                     "parent_span_id: 'str | None' = None, parent_sub_user_identity: 'dict | None' = None) "
                     "-> 'list[str]'")


@pytest.mark.parametrize("func, qualname, doc, annotations, kwdefaults, signature, argcount, kwonly, flags",
                         FUNCTIONS, ids=[row[1] for row in FUNCTIONS])
def test_function_introspection(func, qualname, doc, annotations, kwdefaults, signature, argcount, kwonly, flags):
    name = qualname.rpartition(".")[2]
    assert (func.__name__, func.__qualname__, func.__module__, func.__doc__) == (name, qualname, spawn.__name__, doc)
    assert list(func.__annotations__.items()) == annotations
    assert func.__defaults__ is None
    assert (None if func.__kwdefaults__ is None else list(func.__kwdefaults__.items())) == kwdefaults
    assert str(inspect.signature(func)) == (signature or ENQUEUE_SIGNATURE)
    code = func.__code__
    assert (code.co_name, code.co_qualname, code.co_filename) == (name, qualname, "src/corlith_runtime/core/runtime/spawn")
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags) == (argcount, 0, kwonly, flags)
    params = list(inspect.signature(func).parameters)
    assert list(code.co_varnames[:argcount + kwonly]) == params
    assert func.__globals__ is vars(spawn) and func.__closure__ is None
    assert inspect.iscoroutinefunction(func) is (flags == 131)
    assert func._is_coroutine is (asyncio.coroutines._is_coroutine if flags == 131 else False)
    assert pickle.loads(pickle.dumps(func)) is func


def test_class_signature():
    assert str(inspect.signature(InMemorySpawnDispatcher)) == f"(*, child_runner: '{RUNNER_TYPE}' = None)"


@pytest.mark.parametrize("make, qualname", [
    (lambda: ProtocolChild().enqueue_children(**kw()), "SpawnDispatcher.enqueue_children"),
    (lambda: ProtocolChild().collect_results(parent_run_id="p", resume_key="k"), "SpawnDispatcher.collect_results"),
    (lambda: InMemorySpawnDispatcher().enqueue_children(**kw()), "InMemorySpawnDispatcher.enqueue_children"),
    (lambda: InMemorySpawnDispatcher().collect_results(parent_run_id="p", resume_key="k"),
     "InMemorySpawnDispatcher.collect_results"),
    (lambda: _default_noop_child_runner(ChildSpec("a")), "_default_noop_child_runner"),
])
def test_coroutine_objects(make, qualname):
    coro = make()
    try:
        assert (coro.__name__, coro.__qualname__) == (qualname.rpartition(".")[2], qualname)
        assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    finally:
        coro.close()


# --- argument binding ----------------------------------------------------------------------


def _without(name):
    args = kw()
    del args[name]
    return args


def ENQUEUE(**extra):
    return lambda t: t.enqueue_children(**{**kw(), **extra})


def COLLECT(**args):
    return lambda t: t.collect_results(**args)


INCORRECT = "Argument '{}' has incorrect type (expected {}, got {})"

BINDING_FAILURES = [
    # id, call, message, carries the subclass note
    ("extra-positional", lambda t: t.enqueue_children("p", **kw()),
     "enqueue_children() takes exactly 1 positional argument (2 given)", False),
    ("positional-before-keyword", lambda t: t.enqueue_children("p", bogus=1),
     "enqueue_children() takes exactly 1 positional argument (2 given)", False),
    ("unbound-with-keywords", lambda t: type(t).enqueue_children(**kw()),
     "enqueue_children() takes exactly 1 positional argument (0 given)", False),
    ("unexpected", ENQUEUE(bogus=1), "enqueue_children() got an unexpected keyword argument 'bogus'", False),
    ("unexpected-before-missing", lambda t: t.enqueue_children(bogus=1),
     "enqueue_children() got an unexpected keyword argument 'bogus'", False),
    ("no-keywords", lambda t: t.enqueue_children(), "enqueue_children() needs keyword-only argument parent_run_id",
     False),
    ("missing-timeout", lambda t: t.enqueue_children(**_without("timeout_seconds")),
     "enqueue_children() needs keyword-only argument timeout_seconds", False),
    ("first-missing-named", lambda t: t.enqueue_children(parent_run_id="p", return_when="any"),
     "enqueue_children() needs keyword-only argument parent_resume_key", False),
    ("missing-before-type", lambda t: t.enqueue_children(**{**_without("timeout_seconds"), "parent_run_id": 1}),
     "enqueue_children() needs keyword-only argument timeout_seconds", False),
    ("timeout-str", ENQUEUE(timeout_seconds="1.5"), float_error("1.5"), False),
    ("timeout-none", ENQUEUE(timeout_seconds=None), float_error(None), False),
    ("timeout-before-types", ENQUEUE(parent_run_id=1, timeout_seconds="x"), float_error("x"), False),
    ("run-id-subclass", ENQUEUE(parent_run_id=Text("p")), INCORRECT.format("parent_run_id", "str", "Text"), True),
    ("run-id-int", ENQUEUE(parent_run_id=7), INCORRECT.format("parent_run_id", "str", "int"), False),
    ("run-id-none", ENQUEUE(parent_run_id=None), INCORRECT.format("parent_run_id", "str", "NoneType"), False),
    ("types-in-order", ENQUEUE(parent_run_id=1, specs=[]), INCORRECT.format("parent_run_id", "str", "int"), False),
    ("resume-key-bytes", ENQUEUE(parent_resume_key=b"k"), INCORRECT.format("parent_resume_key", "str", "bytes"),
     False),
    ("specs-list", ENQUEUE(specs=[ChildSpec("a")]), INCORRECT.format("specs", "tuple", "list"), False),
    ("specs-namedtuple", ENQUEUE(specs=Pair(1, 2)), INCORRECT.format("specs", "tuple", "Pair"), True),
    ("group-key-int", ENQUEUE(group_key=1), INCORRECT.format("group_key", "str", "int"), False),
    ("tenant-bytes", ENQUEUE(tenant_id=b"t"), INCORRECT.format("tenant_id", "str", "bytes"), False),
    ("trace-subclass", ENQUEUE(parent_trace_id=Text("t")), INCORRECT.format("parent_trace_id", "str", "Text"), True),
    ("span-float", ENQUEUE(parent_span_id=1.0), INCORRECT.format("parent_span_id", "str", "float"), False),
    ("identity-list", ENQUEUE(parent_sub_user_identity=[]),
     INCORRECT.format("parent_sub_user_identity", "dict", "list"), False),
    ("identity-record", ENQUEUE(parent_sub_user_identity=ChildResult()),
     INCORRECT.format("parent_sub_user_identity", "dict", "ChildResult"), True),
    ("collect-positional", lambda t: t.collect_results("p", resume_key="k"),
     "collect_results() takes exactly 1 positional argument (2 given)", False),
    ("collect-unbound", lambda t: type(t).collect_results(),
     "collect_results() takes exactly 1 positional argument (0 given)", False),
    ("collect-no-keywords", COLLECT(), "collect_results() needs keyword-only argument parent_run_id", False),
    ("collect-no-key", COLLECT(parent_run_id="p"), "collect_results() needs keyword-only argument resume_key", False),
    ("collect-unexpected", COLLECT(parent_run_id="p", resume_key="k", key="k"),
     "collect_results() got an unexpected keyword argument 'key'", False),
    ("collect-key-subclass", COLLECT(parent_run_id="p", resume_key=Text("k")),
     INCORRECT.format("resume_key", "str", "Text"), True),
    ("collect-run-id-none", COLLECT(parent_run_id=None, resume_key="k"),
     INCORRECT.format("parent_run_id", "str", "NoneType"), False),
]


@pytest.mark.parametrize("call, message, noted", [row[1:] for row in BINDING_FAILURES],
                         ids=[row[0] for row in BINDING_FAILURES])
def test_binding_fails_at_the_call(target, call, message, noted, no_leak):
    with pytest.raises(TypeError) as info:
        call(target)  # never awaited: the call itself must fail
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == noted
    assert all(isinstance(note, str) and "\n" not in note for note in notes)
    no_leak(lambda: call(target), raises=TypeError)


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("extra", [
    {"timeout_seconds": 3}, {"timeout_seconds": True}, {"timeout_seconds": 0.0},
    {"timeout_seconds": fractions.Fraction(1, 3)}, {"timeout_seconds": decimal.Decimal("2.5")},
    {"timeout_seconds": Index()}, {"return_when": object()}, {"specs": (1, None, "x")},
    {"group_key": None, "tenant_id": None, "parent_trace_id": None, "parent_span_id": None,
     "parent_sub_user_identity": None},
    {"group_key": "g", "tenant_id": "t", "parent_trace_id": "ab", "parent_span_id": "cd",
     "parent_sub_user_identity": {"sub": "u"}},
], ids=["int", "bool", "zero", "fraction", "decimal", "index", "any-return-when", "any-items", "nones", "values"])
def test_binding_accepts(target, extra, run_now):
    coro = target.enqueue_children(**{**kw(), **extra})
    coro.close()
    if isinstance(target, ProtocolChild):
        assert run_now(target.enqueue_children(**{**kw(), **extra})) is None


# --- the default runner ----------------------------------------------------------------------


def test_default_runner_record(run_now, no_leak):
    payload, agent = {"agent": "writer", "inputs": {}}, object()
    for call in (lambda s: _default_noop_child_runner(s), lambda s: _default_noop_child_runner(spec=s)):
        rec = run_now(call(RawSpec(agent, payload)))
        assert type(rec) is ChildResult
        assert list(rec) == KEYS
        assert rec["spec"] is payload and rec["output"]["agent"] is agent
        assert list(rec["output"].items()) == [("_noop", True), ("agent", agent)] and type(rec["output"]) is dict
        assert rec["output"]["_noop"] is True
        assert [(rec[k], type(rec[k])) for k in KEYS[3:]] == [(None, type(None)), (0.0, float), (0, int), (0.0, float)]
        assert rec["child_run_id"] == ""
    spec = ChildSpec("writer", {"topic": "tides"})
    assert run_now(_default_noop_child_runner(spec))["spec"] == spec.to_dict()
    no_leak(lambda: run_now(_default_noop_child_runner(spec)))


class NoAgent(RawSpec):
    @property
    def agent(self):
        raise LookupError("no agent")

    @agent.setter
    def agent(self, value):
        pass


class BrokenSpec(NoAgent):
    def to_dict(self):
        raise KeyError("no dict")


@pytest.mark.parametrize("spec, error", [(object(), AttributeError), (NoAgent(), LookupError),
                                         (BrokenSpec(), KeyError)], ids=["plain-object", "no-agent", "to-dict-first"])
def test_default_runner_errors_surface_on_await(spec, error, run_now, no_leak):
    coro = _default_noop_child_runner(spec)
    with pytest.raises(error):
        run_now(coro)
    no_leak(lambda: run_now(_default_noop_child_runner(spec)), raises=error)


@pytest.mark.parametrize("args, message", [
    ((), "_default_noop_child_runner() takes exactly 1 positional argument (0 given)"),
    ((1, 2), "_default_noop_child_runner() takes exactly 1 positional argument (2 given)"),
])
def test_default_runner_binding(args, message, no_leak):
    with pytest.raises(TypeError) as info:
        _default_noop_child_runner(*args)
    assert str(info.value) == message
    no_leak(lambda: _default_noop_child_runner(*args), raises=TypeError)


# --- construction ------------------------------------------------------------------------


@pytest.mark.parametrize("args", [{}, {"child_runner": None}, {"child_runner": 0}, {"child_runner": ""},
                                  {"child_runner": ()}, {"child_runner": False}])
def test_falsy_runner_selects_default(args, no_leak):
    d = InMemorySpawnDispatcher(**args)
    assert list(vars(d)) == ["_child_runner", "_pending"]
    assert d._child_runner is _default_noop_child_runner
    assert type(d._pending) is dict and d._pending == {}
    assert InMemorySpawnDispatcher()._pending is not d._pending
    no_leak(lambda: InMemorySpawnDispatcher(**args))


def test_truthy_runner_is_kept_untested():
    for runner in (len, 7, "not callable"):
        assert InMemorySpawnDispatcher(child_runner=runner)._child_runner is runner


def test_default_runner_is_read_from_the_module_at_construction(monkeypatch, run_now):
    before = InMemorySpawnDispatcher()
    replacement = runner_returning({"output": {"replaced": True}})
    monkeypatch.setattr(spawn, "_default_noop_child_runner", replacement)
    after = InMemorySpawnDispatcher()
    assert before._child_runner is _default_noop_child_runner and after._child_runner is replacement
    run_now(after.enqueue_children(**kw(specs(1))))
    assert after._pending["p"]["k"]["inmem-p-k-0"]["output"] == {"replaced": True}
    monkeypatch.delattr(spawn, "_default_noop_child_runner")
    assert InMemorySpawnDispatcher(child_runner=len)._child_runner is len
    with pytest.raises(NameError, match=r"^name '_default_noop_child_runner' is not defined$"):
        InMemorySpawnDispatcher()


@pytest.mark.parametrize("call, message", [
    (lambda: InMemorySpawnDispatcher(_default_noop_child_runner),
     "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: InMemorySpawnDispatcher(runner=None), "__init__() got an unexpected keyword argument 'runner'"),
])
def test_construction_binding(call, message, no_leak):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    no_leak(call, raises=TypeError)


# --- enqueue_children and collect_results ------------------------------------------------------


def test_default_runner_run_all(run_now, no_leak):
    d = InMemorySpawnDispatcher()
    three = specs(3)
    ids = run_now(d.enqueue_children(**kw(three, return_when="all")))
    assert type(ids) is list and ids == ["inmem-p-k-0", "inmem-p-k-1", "inmem-p-k-2"]
    stored = d._pending["p"]["k"]
    assert type(stored) is dict and list(stored) == ids
    for cid, spec in zip(ids, three):
        rec = stored[cid]
        assert type(rec) is ChildResult and list(rec) == KEYS
        assert (rec["child_run_id"], rec["spec"], rec["output"], rec["error"]) == (
            cid, spec.to_dict(), {"_noop": True, "agent": spec.agent}, None)
    no_leak(lambda: run_now(d.enqueue_children(**kw(three))))


def test_empty_specs(run_now):
    d = InMemorySpawnDispatcher()
    assert run_now(d.enqueue_children(**kw())) == []
    assert d._pending == {"p": {"k": {}}}
    assert run_now(d.collect_results(parent_run_id="p", resume_key="k")) == {}


FAIL = ValueError("boom")
NO_OUTPUT = {"output": None, "error": None}
ERROR_WITH_OUTPUT = {"output": {"partial": 1}, "error": "late"}
OK = {"output": {"ok": 1}, "error": None}


@pytest.mark.parametrize("outcomes, return_when, ran", [
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), ReturnWhen.ALL, 4),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), "all", 4),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), "something else", 4),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), None, 4),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), ReturnWhen.ANY, 1),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), "any", 1),
    ((OK, OK), Equals("any"), 1),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), ReturnWhen.FIRST_SUCCESS, 3),
    ((FAIL, NO_OUTPUT, ERROR_WITH_OUTPUT, OK), "first_success", 3),
    ((FAIL, OK, OK), Equals("first_success"), 2),
    ((FAIL, FAIL, NO_OUTPUT), "first_success", 3),
    ((AlwaysOutput(NO_OUTPUT), OK), "first_success", 1),
    ((NeverOutput(OK), NeverOutput(OK)), "first_success", 2),
    ((NeverOutput(OK), AlwaysOutput(NO_OUTPUT)), "all", 2),
])
def test_return_when(outcomes, return_when, ran, run_now, no_leak):
    runner = runner_returning(*outcomes)
    d = InMemorySpawnDispatcher(child_runner=runner)
    ids = run_now(d.enqueue_children(**kw(specs(len(outcomes)), return_when=return_when)))
    assert ids == [f"inmem-p-k-{i}" for i in range(ran)] and runner.count() == ran
    assert list(d._pending["p"]["k"]) == ids
    for cid, outcome in zip(ids, outcomes):
        rec = d._pending["p"]["k"][cid]
        assert rec["error"] == ("boom" if outcome is FAIL else outcome["error"])
    no_leak(lambda: run_now(d.enqueue_children(**kw(specs(len(outcomes)), return_when=return_when))))


async def _raises_without_args(spec):
    raise RuntimeError()


async def _returns_none(spec):
    return None


def _plain_returns_dict(spec):
    return {"output": {}}


def _plain_raises_stop_iteration(spec):
    raise StopIteration("halted")


async def _async_raises_stop_iteration(spec):
    raise StopIteration("halted")


async def _takes_nothing():
    return {}


class _BadAwait:
    def __await__(self):
        return 5


@types.coroutine
def _iterable_coroutine():
    yield


class _AwaitGivesCoroutine:
    def __await__(self):
        return _iterable_coroutine()


@pytest.mark.parametrize("runner, error", [
    (runner_returning(ValueError("exact message")), "exact message"),
    (_raises_without_args, ""),
    (_plain_returns_dict, "object dict can't be used in 'await' expression"),
    (_returns_none, None),
    (_plain_raises_stop_iteration, "halted"),
    (_async_raises_stop_iteration, None),
    (_takes_nothing, None),
    (lambda spec: _BadAwait(), None),
    (lambda spec: _AwaitGivesCoroutine(), "__await__() returned a coroutine"),
    (lambda spec: _returns_none, None),
    (7, None),
], ids=["message", "no-args", "plain-dict", "none-result", "plain-stop-iteration", "async-stop-iteration",
        "wrong-arity", "bad-await", "await-gives-coroutine", "returns-function", "not-callable"])
def test_runner_failures_become_error_records(runner, error, run_now, no_leak):
    spec = ChildSpec("worker", {"x": 1})
    expected = host_error(runner, spec)
    if error is not None:
        assert expected == error
    d = InMemorySpawnDispatcher(child_runner=runner)
    assert run_now(d.enqueue_children(**kw([spec, spec]))) == ["inmem-p-k-0", "inmem-p-k-1"]
    rec = d._pending["p"]["k"]["inmem-p-k-1"]
    assert type(rec) is ChildResult
    assert list(rec.items()) == [("child_run_id", "inmem-p-k-1"), ("spec", spec.to_dict()), ("output", None),
                                 ("error", expected), ("cost_usd", 0.0), ("tokens", 0), ("duration_ms", 0.0)]
    assert [type(rec[k]) for k in KEYS[4:]] == [float, int, float]
    no_leak(lambda: run_now(d.enqueue_children(**kw([spec], return_when="any"))))


def test_guarded_step_to_dict_failure_and_fresh_spec(run_now):
    seen = []

    async def runner(spec):
        seen.append(spec)
        return {"output": {"done": True}}

    flaky = FlakySpec()
    d = InMemorySpawnDispatcher(child_runner=runner)
    run_now(d.enqueue_children(**kw([flaky])))
    rec = d._pending["p"]["k"]["inmem-p-k-0"]
    assert (rec["error"], rec["output"], rec["spec"]) == ("first to_dict fails", None, {"call": 2})
    assert seen == [flaky]


def test_runner_records_are_kept_as_returned(run_now):
    calls, returned = [], []

    async def runner(*args, **kwargs):
        calls.append((args, kwargs))
        rec = {"spec": "mine", "output": {"v": 1}, "cost_usd": 2.5, "extra": "kept", "child_run_id": "mine"}
        returned.append(rec)
        return rec

    spec = RawSpec("a", {"to": "dict"})
    d = InMemorySpawnDispatcher(child_runner=runner)
    run_now(d.enqueue_children(**kw([spec], group_key="g", tenant_id="t", parent_trace_id="ab",
                                        parent_span_id="cd", parent_sub_user_identity={"u": 1})))
    assert calls == [((spec,), {})] and calls[0][0][0] is spec
    rec = d._pending["p"]["k"]["inmem-p-k-0"]
    assert rec is returned[0] and rec["spec"] is spec.payload
    assert list(rec.items()) == [("spec", spec.payload), ("output", {"v": 1}), ("cost_usd", 2.5),
                                 ("extra", "kept"), ("child_run_id", "inmem-p-k-0")]
    slots = NoGet()
    d._child_runner = runner_returning(slots)
    run_now(d.enqueue_children(**kw([spec], p="q")))
    assert type(d._pending["q"]["k"]["inmem-q-k-0"]) is NoGet
    assert d._pending["q"]["k"]["inmem-q-k-0"].items == {"child_run_id": "inmem-q-k-0", "spec": spec.payload}


def test_runner_is_read_for_every_child(run_now):
    d = InMemorySpawnDispatcher()
    second = runner_returning({"output": "second"})

    async def first(spec):
        d._child_runner = second
        return {"output": "first"}

    d._child_runner = first
    run_now(d.enqueue_children(**kw(specs(3))))
    assert [r["output"] for r in d._pending["p"]["k"].values()] == ["first", "second", "second"]


def test_records_built_by_the_module_use_the_current_child_result(monkeypatch, run_now):
    built = []

    class Tagged(dict):
        pass

    def record(*args, **kwargs):
        built.append((args, list(kwargs)))
        return Tagged(kwargs)

    monkeypatch.setattr(spawn, "ChildResult", record)
    assert type(run_now(_default_noop_child_runner(ChildSpec("a")))) is Tagged
    d = InMemorySpawnDispatcher(child_runner=runner_returning(FAIL))
    run_now(d.enqueue_children(**kw(specs(1))))
    assert type(d._pending["p"]["k"]["inmem-p-k-0"]) is Tagged
    assert built == [((), KEYS), ((), KEYS)]


def test_results_are_stored_only_at_the_end(run_now):
    d = InMemorySpawnDispatcher()
    run_now(d.enqueue_children(**kw(specs(1))))
    earlier = d._pending["p"]["k"]
    seen = []

    async def peek(spec):
        seen.append(d._pending["p"]["k"])
        return {"output": spec.agent}

    d._child_runner = peek
    run_now(d.enqueue_children(**kw(specs(2, "again"))))
    assert seen == [earlier, earlier] and all(s is earlier for s in seen)
    assert [r["output"] for r in d._pending["p"]["k"].values()] == ["again0", "again1"]


def test_pairs_group_keys_and_colliding_ids_are_stored_apart(run_now):
    d = InMemorySpawnDispatcher()
    assert run_now(d.enqueue_children(**kw(specs(1, "x"), p="a-b", k="c", group_key="g"))) == ["inmem-a-b-c-0"]
    assert run_now(d.enqueue_children(**kw(specs(1, "y"), p="a", k="b-c", group_key="g"))) == ["inmem-a-b-c-0"]
    run_now(d.enqueue_children(**kw(specs(1, "z"), p="a", k="other")))
    assert d._pending["a-b"]["c"]["inmem-a-b-c-0"]["output"]["agent"] == "x0"
    assert d._pending["a"]["b-c"]["inmem-a-b-c-0"]["output"]["agent"] == "y0"
    assert list(d._pending) == ["a-b", "a"] and list(d._pending["a"]) == ["b-c", "other"]


def test_collect_results_pops(run_now, no_leak):
    d = InMemorySpawnDispatcher()
    run_now(d.enqueue_children(**kw(specs(2))))
    run_now(d.enqueue_children(**kw(specs(1), k="k2")))
    stored = d._pending["p"]["k"]
    got = run_now(d.collect_results(parent_run_id="p", resume_key="k"))
    assert got is stored and list(got) == ["inmem-p-k-0", "inmem-p-k-1"]
    assert run_now(d.collect_results(parent_run_id="p", resume_key="k")) == {}
    assert list(d._pending["p"]) == ["k2"]
    run_now(d.collect_results(parent_run_id="p", resume_key="k2"))
    assert d._pending == {"p": {}}
    assert run_now(d.collect_results(parent_run_id="elsewhere", resume_key="k")) == {}
    assert d._pending == {"p": {}}

    def round_trip():
        run_now(d.enqueue_children(**kw(specs(2))))
        return run_now(d.collect_results(parent_run_id="p", resume_key="k"))

    no_leak(round_trip)
    no_leak(lambda: run_now(d.collect_results(parent_run_id="nobody", resume_key="k")))


@pytest.mark.parametrize("value, type_name", [([1], "list"), (ChildResult(), "ChildResult"),
                                               (Mapping(), "Mapping"), ("x", "str"), (5, "int")])
def test_collect_results_requires_a_plain_dict(value, type_name, run_now, no_leak):
    d = InMemorySpawnDispatcher()
    d._pending["p"] = {"k": None}
    assert run_now(d.collect_results(parent_run_id="p", resume_key="k")) is None

    def poke_and_collect():
        d._pending["p"] = {"k": value}
        return run_now(d.collect_results(parent_run_id="p", resume_key="k"))

    with pytest.raises(TypeError) as info:
        poke_and_collect()
    assert str(info.value) == f"Expected dict, got {type_name}"
    no_leak(poke_and_collect, raises=TypeError)


class Halt(BaseException):
    pass


def _on_second(exc):
    state = [0]

    async def runner(spec):
        state[0] += 1
        if state[0] % 2 == 0:
            raise type(exc)(*exc.args)
        return {"output": {}}

    return runner


@pytest.mark.parametrize("runner, spec, return_when, error", [
    (_on_second(KeyboardInterrupt()), ChildSpec("a"), "all", KeyboardInterrupt),
    (_on_second(Halt()), ChildSpec("a"), "all", Halt),
    (runner_returning(NoGet()), ChildSpec("a"), "first_success", AttributeError),
    (None, ChildSpec("a"), EqualityFails(), ZeroDivisionError),
    (runner_returning(FAIL), BrokenSpec(), "all", KeyError),
], ids=["keyboard-interrupt", "base-exception", "no-get", "equality-raises", "to-dict-for-error-record"])
def test_what_propagates_stores_nothing(runner, spec, return_when, error, run_now, no_leak):
    d = InMemorySpawnDispatcher(child_runner=runner)
    d._pending["p"] = {"k": {"earlier": "results"}}
    with pytest.raises(error):
        run_now(d.enqueue_children(**kw([spec, spec, spec], return_when=return_when)))
    assert d._pending == {"p": {"k": {"earlier": "results"}}}
    no_leak(lambda: run_now(d.enqueue_children(**kw([spec, spec], return_when=return_when))), raises=error)


# --- suspending runners in the host's event loop -------------------------------------------------


async def _sleeps(spec):
    for _ in range(3):
        await asyncio.sleep(0)
    return {"output": {"by": spec.agent}}


async def _awaits_future(spec):
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(fut.set_result, {"output": {"by": spec.agent}})
    return await fut


async def _awaits_task(spec):
    return await asyncio.create_task(_sleeps(spec))


def _returns_future(spec):
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(fut.set_result, {"output": {"by": spec.agent}})
    return fut


class _YieldsOnce:
    def __init__(self, spec):
        self.spec = spec

    def __await__(self):
        yield
        return {"output": {"by": self.spec.agent}}


@pytest.mark.parametrize("runner", [_sleeps, _awaits_future, _awaits_task, _returns_future, _YieldsOnce],
                         ids=["sleep", "future", "task", "returned-future", "custom-awaitable"])
def test_suspending_runners(runner, loop, no_leak):
    d = InMemorySpawnDispatcher(child_runner=runner)
    call = kw(specs(3), timeout_seconds=0.0)
    assert asyncio.run(d.enqueue_children(**call)) == ["inmem-p-k-0", "inmem-p-k-1", "inmem-p-k-2"]
    assert [r["output"]["by"] for r in d._pending["p"]["k"].values()] == ["agent0", "agent1", "agent2"]
    got = asyncio.run(d.collect_results(parent_run_id="p", resume_key="k"))
    assert list(got) == ["inmem-p-k-0", "inmem-p-k-1", "inmem-p-k-2"]
    no_leak(lambda: loop.run_until_complete(d.enqueue_children(**call)))


def test_interleaved_calls_keep_their_own_results():
    starts = []

    async def runner(spec):
        starts.append(spec.agent)
        return await _sleeps(spec)

    d = InMemorySpawnDispatcher(child_runner=runner)

    async def main():
        return await asyncio.gather(d.enqueue_children(**kw(specs(3, "a"), p="a")),
                                    d.enqueue_children(**kw(specs(2, "b"), p="b")))

    assert asyncio.run(main()) == [["inmem-a-k-0", "inmem-a-k-1", "inmem-a-k-2"], ["inmem-b-k-0", "inmem-b-k-1"]]
    assert starts == ["a0", "b0", "a1", "b1", "a2"]
    assert [r["output"]["by"] for r in d._pending["a"]["k"].values()] == ["a0", "a1", "a2"]
    assert [r["output"]["by"] for r in d._pending["b"]["k"].values()] == ["b0", "b1"]


@pytest.mark.parametrize("slow_first", [True, False])
def test_same_pair_call_that_finishes_last_wins(slow_first):
    seen_by_slow = []

    async def main():
        gate = asyncio.Event()

        async def runner(spec):
            if spec.agent == "slow":
                await gate.wait()
                seen_by_slow.append(dict(d._pending.get("p", {}).get("k", {})))
            else:
                gate.set()
            return {"output": spec.agent}

        d = InMemorySpawnDispatcher(child_runner=runner)
        calls = [d.enqueue_children(**kw([ChildSpec("slow")])), d.enqueue_children(**kw([ChildSpec("fast")]))]
        await asyncio.gather(*(calls if slow_first else calls[::-1]))
        return d

    d = asyncio.run(main())
    assert [rec["output"] for rec in seen_by_slow[0].values()] == ["fast"]
    assert d._pending["p"]["k"]["inmem-p-k-0"]["output"] == "slow"


def _cancel_scenario(d, after):
    async def scenario():
        task = asyncio.ensure_future(d.enqueue_children(**kw(specs(3))))
        for _ in range(after):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()

    return scenario


@pytest.mark.parametrize("waits_on", ["future", "task"])
def test_cancelling_the_awaiting_task_reaches_the_runner(waits_on, run_now, loop, no_leak):
    seen = collections.Counter()

    async def hang(spec):
        try:
            if waits_on == "future":
                await asyncio.get_running_loop().create_future()
            else:
                await asyncio.create_task(asyncio.sleep(3600))
        except asyncio.CancelledError:
            seen[spec.agent] += 1
            raise

    d = InMemorySpawnDispatcher()
    run_now(d.enqueue_children(**kw(specs(1, "earlier"))))
    earlier = d._pending["p"]["k"]
    d._child_runner = hang
    asyncio.run(_cancel_scenario(d, 2)())
    assert seen == {"agent0": 1}
    assert d._pending == {"p": {"k": earlier}}
    fresh = InMemorySpawnDispatcher(child_runner=hang)
    asyncio.run(_cancel_scenario(fresh, 2)())
    assert asyncio.run(fresh.collect_results(parent_run_id="p", resume_key="k")) == {}
    no_leak(lambda: loop.run_until_complete(_cancel_scenario(d, 2)()))
    assert d._pending == {"p": {"k": earlier}} and set(seen) == {"agent0"}
