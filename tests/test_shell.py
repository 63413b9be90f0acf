"""The shared binding shell as callers see it through exit_triage, policy and tokens.

Module lifecycle and definition, namespaces, function objects, argument binding and type
enforcement. Behaviour specific to each module lives in its own test file.
"""

import copy
import ctypes
import enum
import functools
import importlib
import importlib.machinery
import inspect
import json
import os
import pickle
import subprocess
import sys
import textwrap
import types
import typing
from decimal import Decimal
from fractions import Fraction
from typing import NamedTuple

import pytest

from corlith_runtime.core.runtime import exit_triage, policy, tokens

PACKAGE = "corlith_runtime.core.runtime"
MODULES = (exit_triage, policy, tokens)


def _short(mod):
    return mod.__name__.rpartition(".")[2]


def _dunder(name):
    return name.startswith("__") and name.endswith("__")


# --- what each module declares ------------------------------------------------------------

MODULE_DOCS = {
    "exit_triage": "Pure failure classification algorithm.\n\nThis module contains the algorithmic logic for classifying workflow failures\nbased on envelope data. It has NO external dependencies (no Redis, Django, etc.)\nand can be used by both runtime defaults and infra's production recovery.\n\nUsage:\n    from corlith_runtime.core.runtime.exit_triage import classify_failure\n\n    reason = classify_failure(envelope_data)\n    # Returns: \"terminated_by_signal\", \"suspected_oom\", \"abnormal_exit\", or \"unknown\"\n",
    "policy": "Policy provider protocol for runtime policy configuration.\n\nThis module defines the interface for accessing policy configurations.\nRuntime provides no-op default; infra provides Django-model-backed policies.\n",
    "tokens": "Token semaphore protocol for admission control.\n\nThis module defines the interface for queue-based admission control.\nRuntime provides an in-memory default; infra provides Redis-backed production implementation.\n",
}

# Non-dunder names of each namespace, in binding order, with where the borrowed ones come from.
NAMESPACES = {
    "exit_triage": ["classify_failure"],
    "policy": ["Any", "Dict", "Protocol", "runtime_checkable", "PolicyProvider", "NoOpPolicyProvider"],
    "tokens": ["Protocol", "runtime_checkable", "TokenSemaphore"],
}
BORROWED = {"Any": typing.Any, "Dict": typing.Dict, "Protocol": typing.Protocol,
            "runtime_checkable": typing.runtime_checkable}

PROVIDER_DOC = "Provides policy configurations at runtime.\n\n    Implementations provide access to policy rules and configurations\n    that govern workflow execution.\n\n    Default: NoOpPolicyProvider (returns empty config)\n    Production: PolicyRegistry (Django model-backed)\n    "
NOOP_DOC = "No-op policy provider for standalone runtime.\n\n    Returns empty configurations. All execution is allowed.\n    Useful for local development and testing without governance.\n    "
SEMAPHORE_DOC = "Admission control for queue capacity.\n\n    Implementations control how many concurrent executions can run per queue.\n    The runtime uses this to throttle workflow execution.\n\n    Default: InMemoryTokenSemaphore (single-process, thread-safe)\n    Production: RedisTokenSemaphore (distributed, atomic via Lua scripts)\n    "

CLASSES = [
    # module, class name, is a protocol, docstring, public members in order
    (policy, "PolicyProvider", True, PROVIDER_DOC, ["get_runtime_configs", "get_policy"]),
    (policy, "NoOpPolicyProvider", False, NOOP_DOC, ["get_runtime_configs", "get_policy"]),
    (tokens, "TokenSemaphore", True, SEMAPHORE_DOC, ["try_acquire", "release", "set_capacity"]),
]

CLASSIFY_DOC = "Classify a workflow failure based on envelope data.\n\n    Analyzes the envelope's last event and memory usage to determine\n    the likely cause of failure.\n\n    Args:\n        envelope_data: Dict containing envelope state, typically with keys like:\n            - last_event: str, the last recorded event (e.g., \"signal_SIGTERM\")\n            - memory_rss_mb: int/str, resident memory in MB at failure time\n\n    Returns:\n        A classification string:\n        - \"terminated_by_signal\": Process received a signal (SIGTERM, SIGKILL, etc.)\n        - \"suspected_oom\": High memory usage suggests OOM killer\n        - \"abnormal_exit\": Process exited abnormally without clear cause\n        - \"unknown\": No envelope data available\n    "
CONFIGS_DOC = "Get all active policy configurations.\n\n        Returns:\n            Dict mapping policy names to their configurations\n        "
POLICY_DOC = "Get a specific policy configuration.\n\n        Args:\n            name: The policy name\n\n        Returns:\n            The policy configuration dict, or empty dict if not found\n        "
ACQUIRE_DOC = "Atomically acquire a token from the queue.\n\n        Args:\n            queue: The queue name (e.g., 'default', 'heavy')\n\n        Returns:\n            True if a token was acquired, False if none available.\n        "
RELEASE_DOC = "Release a token back to the queue.\n\n        Args:\n            queue: The queue name\n        "
CAPACITY_DOC = "Set the total capacity for a queue.\n\n        Args:\n            queue: The queue name\n            count: The maximum number of concurrent tokens\n        "

CONFIGS = "Dict[str, Any]"
NONE = type(None)


class Decl(NamedTuple):
    module: types.ModuleType
    owner: str | None
    name: str
    varnames: tuple  # parameters, then locals
    argcount: int
    annotations: dict
    doc: str | None
    line: int
    signature: str
    hints: dict

    @property
    def qualname(self):
        return f"{self.owner}.{self.name}" if self.owner else self.name

    def get(self):
        holder = getattr(self.module, self.owner) if self.owner else self.module
        return vars(holder)[self.name]


FUNCTIONS = [
    Decl(exit_triage, None, "classify_failure", ("envelope_data", "last_event", "memory_mb"), 1,
         {"envelope_data": "dict", "return": "str"}, CLASSIFY_DOC, 15,
         "(envelope_data: 'dict') -> 'str'", {"envelope_data": dict, "return": str}),
    Decl(policy, "PolicyProvider", "get_runtime_configs", ("self",), 1,
         {"return": CONFIGS}, CONFIGS_DOC, 21,
         "(self) -> 'Dict[str, Any]'", {"return": typing.Dict[str, typing.Any]}),
    Decl(policy, "PolicyProvider", "get_policy", ("self", "name"), 2,
         {"name": "str", "return": CONFIGS}, POLICY_DOC, 29,
         "(self, name: 'str') -> 'Dict[str, Any]'", {"name": str, "return": typing.Dict[str, typing.Any]}),
    Decl(policy, "NoOpPolicyProvider", "get_runtime_configs", ("self",), 1,
         {"return": CONFIGS}, None, 48,
         "(self) -> 'Dict[str, Any]'", {"return": typing.Dict[str, typing.Any]}),
    Decl(policy, "NoOpPolicyProvider", "get_policy", ("self", "name"), 2,
         {"name": "str", "return": CONFIGS}, None, 51,
         "(self, name: 'str') -> 'Dict[str, Any]'", {"name": str, "return": typing.Dict[str, typing.Any]}),
    Decl(tokens, "TokenSemaphore", "try_acquire", ("self", "queue"), 2,
         {"queue": "str", "return": "bool"}, ACQUIRE_DOC, 21,
         "(self, queue: 'str') -> 'bool'", {"queue": str, "return": bool}),
    Decl(tokens, "TokenSemaphore", "release", ("self", "queue"), 2,
         {"queue": "str", "return": "None"}, RELEASE_DOC, 32,
         "(self, queue: 'str') -> 'None'", {"queue": str, "return": NONE}),
    Decl(tokens, "TokenSemaphore", "set_capacity", ("self", "queue", "count"), 3,
         {"queue": "str", "count": "int", "return": "None"}, CAPACITY_DOC, 40,
         "(self, queue: 'str', count: 'int') -> 'None'", {"queue": str, "count": int, "return": NONE}),
]
METHODS = [d for d in FUNCTIONS if d.owner]


class _Policy(policy.PolicyProvider):
    pass


class _Semaphore(tokens.TokenSemaphore):
    pass


INSTANCE_OF = {"PolicyProvider": _Policy, "NoOpPolicyProvider": policy.NoOpPolicyProvider,
               "TokenSemaphore": _Semaphore}


# --- lifecycle ------------------------------------------------------------------------------

@pytest.fixture
def registry_guard():
    """Put the original module objects back, so a faulty re-import cannot poison later tests."""
    parent = sys.modules[PACKAGE]
    saved = {mod.__name__: mod for mod in MODULES}
    yield
    for name, mod in saved.items():
        sys.modules[name] = mod
        setattr(parent, name.rpartition(".")[2], mod)


def _reimport(mod):
    del sys.modules[mod.__name__]
    return importlib.import_module(mod.__name__)


@pytest.mark.parametrize("again", [_reimport, importlib.reload], ids=["reimport", "reload"])
@pytest.mark.parametrize("mod", MODULES, ids=_short)
def test_module_object_is_unique_and_its_body_runs_once(mod, again, registry_guard):
    before = dict(vars(mod))
    assert again(mod) is mod
    assert sys.modules[mod.__name__] is mod
    after = vars(mod)
    assert set(after) == set(before)
    for name, value in before.items():
        if not _dunder(name):
            assert after[name] is value, name
    assert mod.__name__ == before["__name__"] and mod.__doc__ == before["__doc__"]


SUBINTERPRETER_SCRIPT = textwrap.dedent("""
    import importlib, json, sys, _interpreters
    config = sys.argv[1]
    names = %r
    mains = {name: importlib.import_module(name) for name in names}
    report = {}
    for name in names:
        interp = _interpreters.create(config)
        try:
            first = _interpreters.exec(interp, "import sys; sys.path[:] = %%r; import %%s" %% (sys.path, name))
            second = _interpreters.exec(interp, "import " + name)
        finally:
            _interpreters.destroy(interp)
        report[name] = [None if e is None else [e.type.__name__, e.msg] for e in (first, second)]
    report["main_kept"] = all(sys.modules[name] is mod for name, mod in mains.items())
    report["main_works"] = mains[names[0]].classify_failure({"memory_rss_mb": 3}) == "suspected_oom"
    print(json.dumps(report))
""") % ([m.__name__ for m in MODULES],)


# "isolated" interpreters refuse the modules in the host's own import checks; "legacy" ones
# share the GIL and reach the modules' own refusal.
@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_second_interpreter_is_refused_and_main_is_untouched(config, tmp_path):
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT, config], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    for mod in MODULES:
        for outcome in report[mod.__name__]:
            assert outcome is not None, f"{mod.__name__} loaded into a second interpreter"
            kind, message = outcome
            assert kind == "ImportError" and message
    assert report["main_kept"] and report["main_works"]


FAILED_BODY_SCRIPT = textwrap.dedent("""
    import importlib, json, sys, types, typing
    name = "corlith_runtime.core.runtime.tokens"
    report = {}
    stub = types.ModuleType("typing")
    vars(stub).update(vars(typing))
    del stub.runtime_checkable
    sys.modules["typing"] = stub
    try:
        importlib.import_module(name)
    except BaseException as exc:
        report["first"] = [type(exc).__name__, str(exc)]
    report["left_behind"] = name in sys.modules
    # The missing name is found as a "submodule" entry of the registry.
    sys.modules["typing.runtime_checkable"] = typing.runtime_checkable
    mod = importlib.import_module(name)
    report["fallback"] = mod.runtime_checkable is typing.runtime_checkable
    report["protocol"] = mod.Protocol is typing.Protocol and mod.TokenSemaphore._is_runtime_protocol
    sys.modules["typing"] = typing
    del sys.modules["typing.runtime_checkable"], sys.modules[name]
    report["same_after"] = importlib.import_module(name) is mod
    print(json.dumps(report))
""")


def test_failed_body_leaves_nothing_behind_and_a_later_import_starts_afresh(tmp_path):
    proc = subprocess.run([sys.executable, "-c", FAILED_BODY_SCRIPT], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    assert report == {"first": ["ImportError", "cannot import name runtime_checkable"],
                      "left_behind": False, "fallback": True, "protocol": True, "same_after": True}


OWNER_GONE_SCRIPT = textwrap.dedent("""
    import importlib, json, sys, _interpreters
    name = "corlith_runtime.core.runtime.policy"

    def in_new_interpreter(code):
        interp = _interpreters.create("legacy")
        try:
            error = _interpreters.exec(interp, "import sys; sys.path[:] = %r\\n" % (sys.path,) + code)
        finally:
            _interpreters.destroy(interp)
        return None if error is None else [error.type.__name__, error.msg]

    # settle the allocator: later interpreters then tend to take the owner's address
    for _ in range(8):
        in_new_interpreter("pass")
    use = "import %s as m\\nassert m.NoOpPolicyProvider().get_policy('x') == {}" % name
    report = {"owner": in_new_interpreter(use)}
    # none of them may get the owner's torn-down module
    report["later"] = [in_new_interpreter(use) for _ in range(3)]
    try:
        importlib.import_module(name)
        report["main"] = None
    except ImportError as exc:
        report["main"] = ["ImportError", str(exc)]
    print(json.dumps(report))
""")

REENTRANT_SCRIPT = textwrap.dedent("""
    import importlib, json, sys, typing
    name = "corlith_runtime.core.runtime.tokens"
    real = typing.runtime_checkable
    report = {}

    def reimporting(swallow):
        def decorator(cls):
            sys.modules.pop(name, None)
            try:
                importlib.import_module(name)
                report.setdefault("inner", []).append(None)
            except ImportError as exc:
                report.setdefault("inner", []).append([type(exc).__name__, str(exc), exc.name])
                if not swallow:
                    raise
            return real(cls)
        return decorator

    typing.runtime_checkable = reimporting(swallow=False)
    try:
        importlib.import_module(name)
        report["propagated"] = None
    except ImportError as exc:
        report["propagated"] = str(exc)
    report["left_behind"] = name in sys.modules
    typing.runtime_checkable = reimporting(swallow=True)
    mod = importlib.import_module(name)
    typing.runtime_checkable = real
    del sys.modules[name]
    again = importlib.import_module(name)
    report["one_module"] = again is mod and sys.modules[name] is mod
    report["one_class"] = mod.TokenSemaphore is again.TokenSemaphore and mod.TokenSemaphore._is_runtime_protocol
    print(json.dumps(report))
""")

LIFECYCLE_REFUSAL = "module corlith_runtime.core.runtime.{} is already loaded in another interpreter of this process and cannot be loaded into more than one"
REENTRY_REFUSAL = "module corlith_runtime.core.runtime.tokens is being initialised and cannot be initialised again while its body runs"


@pytest.mark.parametrize("script, expected", [
    (OWNER_GONE_SCRIPT, {"owner": None, "later": [["ImportError", LIFECYCLE_REFUSAL.format("policy")]] * 3,
                         "main": ["ImportError", LIFECYCLE_REFUSAL.format("policy")]}),
    (REENTRANT_SCRIPT, {"inner": [["ImportError", REENTRY_REFUSAL, "corlith_runtime.core.runtime.tokens"]] * 2,
                        "propagated": REENTRY_REFUSAL, "left_behind": False, "one_module": True, "one_class": True}),
], ids=["owner_interpreter_gone", "reentrant_import"])
def test_one_body_on_one_module_object_in_one_interpreter(script, expected, tmp_path):
    proc = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.splitlines()[-1]) == expected


# Host functions a body uses come from their modules, whatever builtins the first caller runs with.
CALLER_BUILTINS_SCRIPT = textwrap.dedent("""
    import asyncio.coroutines, builtins, json
    from fractions import Fraction
    from corlith_runtime.core.runtime import spend_book, waiters

    def refuse_import(*args, **kwargs):
        raise ImportError("not from this frame")

    other = dict(vars(builtins), round=lambda *args: "caller's round", __import__=refuse_import)
    book = spend_book.SpendBook(spent_cost_usd=Fraction(1, 3))
    method = waiters.InMemoryWaiterRegistry.register_timer
    first = {"__builtins__": other, "book": book, "method": method}
    exec("spent = book.to_trace_data()['spent_cost_usd']\\nmarker = method._is_coroutine", first)
    marker = asyncio.coroutines._is_coroutine
    print(json.dumps({
        "first": [repr(first["spent"]), first["marker"] is marker],
        "later": [repr(book.to_trace_data()["spent_cost_usd"]), method._is_coroutine is marker],
    }))
""")


def test_host_functions_come_from_their_modules_not_the_first_caller(tmp_path):
    proc = subprocess.run([sys.executable, "-c", CALLER_BUILTINS_SCRIPT], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    expected = [repr(round(Fraction(1, 3), 6)), True]
    assert json.loads(proc.stdout.splitlines()[-1]) == {"first": expected, "later": expected}


# --- module object and definition ------------------------------------------------------------

@pytest.mark.parametrize("mod", MODULES, ids=_short)
def test_module_attributes(mod):
    short = _short(mod)
    assert mod.__name__ == f"{PACKAGE}.{short}"
    assert mod.__doc__ == MODULE_DOCS[short]
    assert mod.__package__ == PACKAGE
    assert mod.__file__ == mod.__spec__.origin
    assert os.path.basename(mod.__file__).startswith(short + ".")
    assert mod.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(mod.__loader__, importlib.machinery.ExtensionFileLoader)
    assert mod.__loader__ == mod.__spec__.loader
    assert not hasattr(mod, "__path__")


@pytest.mark.parametrize("mod", MODULES, ids=_short)
def test_namespace_holds_its_names_in_binding_order(mod):
    names = [name for name in vars(mod) if not _dunder(name)]
    assert names == NAMESPACES[_short(mod)]
    for name in names:
        if name in BORROWED:
            assert vars(mod)[name] is BORROWED[name]


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class _ModuleDef(ctypes.Structure):
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
                ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
                ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(_Slot)),
                ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p)]


PY_MOD_CREATE, PY_MOD_EXEC = 1, 2


@pytest.mark.skipif(sys.abiflags != "" or hasattr(sys, "gettotalrefcount"),
                    reason="object header layout of a default release build assumed")
@pytest.mark.parametrize("mod", MODULES, ids=_short)
def test_entry_point_returns_a_multi_phase_definition(mod):
    entry = getattr(ctypes.PyDLL(mod.__file__), "PyInit_" + _short(mod))
    entry.restype = ctypes.c_void_p
    definition = _ModuleDef.from_address(entry())
    moduledef_type = ctypes.addressof(ctypes.c_char.in_dll(ctypes.pythonapi, "PyModuleDef_Type"))
    assert definition.ob_type == moduledef_type
    assert definition.m_name == _short(mod).encode()
    assert definition.m_doc.decode() == MODULE_DOCS[_short(mod)]
    assert definition.m_size == 0
    assert not definition.m_methods or ctypes.c_void_p.from_address(definition.m_methods).value is None
    slots = []
    while definition.m_slots[len(slots)].slot:
        slots.append(definition.m_slots[len(slots)].slot)
    assert slots == [PY_MOD_CREATE, PY_MOD_EXEC]


# --- classes ------------------------------------------------------------------------------

@pytest.mark.parametrize("mod, name, is_protocol, doc, members", CLASSES, ids=[c[1] for c in CLASSES])
def test_class_shell(mod, name, is_protocol, doc, members, no_leak):
    cls = getattr(mod, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (name, name, mod.__name__, doc)
    assert [key for key in vars(cls) if not key.startswith("_")] == members
    assert pickle.loads(pickle.dumps(cls)) is cls
    assert typing.is_protocol(cls) is is_protocol
    if is_protocol:
        assert cls.__bases__ == (typing.Protocol,)
        assert type(cls) is type(typing.Protocol)
        assert cls._is_runtime_protocol is True
        assert typing.get_protocol_members(cls) == frozenset(members)
        with pytest.raises(TypeError, match="^Protocols cannot be instantiated$"):
            cls()
        no_leak(cls, raises=TypeError)
    else:
        assert cls.__bases__ == (object,)
        assert type(cls) is type
        no_leak(cls)


# --- function objects -------------------------------------------------------------------------

@pytest.mark.parametrize("decl", FUNCTIONS, ids=lambda d: d.qualname)
def test_function_attributes(decl):
    f = decl.get()
    assert f.__name__ == decl.name
    assert f.__qualname__ == decl.qualname
    assert f.__module__ == decl.module.__name__
    assert f.__doc__ == decl.doc
    assert f.__annotations__ == decl.annotations
    assert list(f.__annotations__) == list(decl.annotations)
    assert all(type(v) is str for v in f.__annotations__.values())
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(decl.module)
    assert type(f.__dict__) is dict
    assert f.__closure__ is None
    assert f._is_coroutine is False
    assert f.__reduce__() == decl.qualname
    assert inspect.iscoroutinefunction(f) is False
    if decl.owner:
        assert getattr(getattr(decl.module, decl.owner), decl.name) is f


@pytest.mark.parametrize("decl", FUNCTIONS, ids=lambda d: d.qualname)
def test_code_object(decl):
    code = decl.get().__code__
    assert type(code) is types.CodeType
    assert code.co_filename == f"src/corlith_runtime/core/runtime/{_short(decl.module)}"
    assert (code.co_name, code.co_qualname, code.co_firstlineno) == (decl.name, decl.qualname, decl.line)
    assert code.co_varnames == decl.varnames
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (decl.argcount, 0, 0)
    assert code.co_flags == 3


@pytest.mark.parametrize("decl", FUNCTIONS, ids=lambda d: d.qualname)
def test_signature_and_type_hints(decl):
    f = decl.get()
    assert str(inspect.signature(f)) == decl.signature
    assert typing.get_type_hints(f) == decl.hints


@pytest.mark.parametrize("decl", METHODS, ids=lambda d: d.qualname)
def test_methods_bind_to_instances(decl):
    f = decl.get()
    instance = INSTANCE_OF[decl.owner]()
    bound = getattr(instance, decl.name)
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is f and bound.__self__ is instance
    assert str(inspect.signature(bound)) == decl.signature.replace("self, ", "").replace("(self)", "()")


@pytest.mark.parametrize("decl", FUNCTIONS, ids=lambda d: d.qualname)
def test_functions_pickle_and_copy_by_reference(decl):
    f = decl.get()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f
    if decl.owner == "NoOpPolicyProvider":
        bound = getattr(policy.NoOpPolicyProvider(), decl.name)
        assert pickle.loads(pickle.dumps(bound)).__func__ is f


# --- argument binding ----------------------------------------------------------------------------

classify = exit_triage.classify_failure
NOOP = policy.NoOpPolicyProvider()
SEM = _Semaphore()
PP, TS = policy.PolicyProvider, tokens.TokenSemaphore

BINDING_ERRORS = [
    (lambda: classify(), "classify_failure() takes exactly 1 positional argument (0 given)"),
    (lambda: classify({}, {}), "classify_failure() takes exactly 1 positional argument (2 given)"),
    (lambda: NOOP.get_runtime_configs(None), "get_runtime_configs() takes exactly 1 positional argument (2 given)"),
    (lambda: policy.NoOpPolicyProvider.get_runtime_configs(), "get_runtime_configs() takes exactly 1 positional argument (0 given)"),
    (lambda: NOOP.get_policy(), "get_policy() takes exactly 2 positional arguments (1 given)"),
    (lambda: NOOP.get_policy("a", "b"), "get_policy() takes exactly 2 positional arguments (3 given)"),
    (lambda: PP.get_policy(), "get_policy() takes exactly 2 positional arguments (0 given)"),
    (lambda: SEM.try_acquire(), "try_acquire() takes exactly 2 positional arguments (1 given)"),
    (lambda: SEM.release("q", "r"), "release() takes exactly 2 positional arguments (3 given)"),
    (lambda: SEM.set_capacity("q"), "set_capacity() takes exactly 3 positional arguments (2 given)"),
    (lambda: SEM.set_capacity("q", 1, 2), "set_capacity() takes exactly 3 positional arguments (4 given)"),
    # Keywords given but a required parameter unfilled: the count is the parameters before it.
    (lambda: SEM.set_capacity(queue="q"), "set_capacity() takes exactly 3 positional arguments (2 given)"),
    (lambda: SEM.set_capacity(count=1), "set_capacity() takes exactly 3 positional arguments (1 given)"),
    (lambda: TS.set_capacity(self=SEM, queue="q"), "set_capacity() takes exactly 3 positional arguments (2 given)"),
    (lambda: TS.set_capacity(queue="q", count=1), "set_capacity() takes exactly 3 positional arguments (0 given)"),
    (lambda: PP.get_policy(name="x"), "get_policy() takes exactly 2 positional arguments (0 given)"),
    (lambda: TS.release(self=SEM), "release() takes exactly 2 positional arguments (1 given)"),
    (lambda: classify({}, envelope={}), "classify_failure() got an unexpected keyword argument 'envelope'"),
    (lambda: classify({}, **{"été": 1}), "classify_failure() got an unexpected keyword argument 'été'"),
    (lambda: NOOP.get_policy("x", extra=1), "get_policy() got an unexpected keyword argument 'extra'"),
    (lambda: SEM.set_capacity("q", 1, Queue="q"), "set_capacity() got an unexpected keyword argument 'Queue'"),
    (lambda: classify({}, envelope_data={}), "classify_failure() got multiple values for keyword argument 'envelope_data'"),
    (lambda: NOOP.get_policy("a", name="b"), "get_policy() got multiple values for keyword argument 'name'"),
    (lambda: NOOP.get_runtime_configs(self=NOOP), "get_runtime_configs() got multiple values for keyword argument 'self'"),
    (lambda: SEM.set_capacity("q", 1, count=2), "set_capacity() got multiple values for keyword argument 'count'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_errors(call, message, no_leak):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message
    no_leak(call, raises=TypeError)


KEYWORD_CALLS = [
    (lambda: classify(envelope_data={}), "unknown"),
    (lambda: NOOP.get_policy(name="x"), {}),
    (lambda: policy.NoOpPolicyProvider.get_policy(self=NOOP, name="x"), {}),
    (lambda: PP.get_policy(self=NOOP, name="x"), None),
    (lambda: SEM.try_acquire(queue="q"), None),
    (lambda: SEM.release(queue="q"), None),
    (lambda: SEM.set_capacity(queue="q", count=2), None),
    (lambda: SEM.set_capacity(count=2, queue="q"), None),
    (lambda: TS.set_capacity(SEM, "q", count=2.5), None),
    (lambda: TS.try_acquire(queue="q", self=object()), None),
]


@pytest.mark.parametrize("call, expected", KEYWORD_CALLS)
def test_parameters_bind_by_keyword(call, expected, no_leak):
    assert call() == expected
    no_leak(call)


NON_STRING_KEYWORDS = [
    lambda: classify(**{1: 2}),
    lambda: classify.__call__(**{1: 2}),
    lambda: functools.partial(classify, **{1: 2})(),
    lambda: NOOP.get_policy("x", **{b"name": 1}),
]


# The host rejects most of these before the call arrives; whatever reaches the function is
# rejected there, with its name in front.
@pytest.mark.parametrize("call", NON_STRING_KEYWORDS)
def test_non_string_keywords_are_rejected(call, no_leak):
    with pytest.raises(TypeError, match=r"^(classify_failure\(\) |get_policy\(\) )?keywords must be strings$"):
        call()
    no_leak(call, raises=TypeError)


# --- type enforcement ----------------------------------------------------------------------------

class _Str(str):
    pass


class _Dict(dict):
    pass


_LongName = type("L" * 250, (dict,), {})

TYPE_ERRORS = [
    # call, parameter, expected type, given type name, carries the subclass note
    (lambda: classify(None), "envelope_data", "dict", "NoneType", False),
    (lambda: classify([("last_event", "x")]), "envelope_data", "dict", "list", False),
    (lambda: classify(types.MappingProxyType({})), "envelope_data", "dict", "mappingproxy", False),
    (lambda: classify(_Dict(last_event="signal_X")), "envelope_data", "dict", "_Dict", True),
    (lambda: classify(envelope_data=_LongName()), "envelope_data", "dict", "L" * 200, True),
    (lambda: NOOP.get_policy(None), "name", "str", "NoneType", False),
    (lambda: NOOP.get_policy(name=b"x"), "name", "str", "bytes", False),
    (lambda: NOOP.get_policy(_Str("x")), "name", "str", "_Str", True),
    (lambda: PP.get_policy(NOOP, 1), "name", "str", "int", False),
    (lambda: _Policy().get_policy(_Str("x")), "name", "str", "_Str", True),
    (lambda: SEM.try_acquire(None), "queue", "str", "NoneType", False),
    (lambda: SEM.try_acquire(_Str("q")), "queue", "str", "_Str", True),
    (lambda: SEM.release(1), "queue", "str", "int", False),
    (lambda: SEM.release(queue=_Str("q")), "queue", "str", "_Str", True),
    (lambda: SEM.set_capacity(None, 1), "queue", "str", "NoneType", False),
    (lambda: SEM.set_capacity(_Str("q"), True), "queue", "str", "_Str", True),
    (lambda: SEM.set_capacity("q", "1"), "count", "int", "str", False),
    (lambda: SEM.set_capacity("q", _Str("1")), "count", "int", "_Str", False),
    (lambda: SEM.set_capacity("q", None), "count", "int", "NoneType", False),
    (lambda: SEM.set_capacity("q", [1]), "count", "int", "list", False),
    (lambda: SEM.set_capacity("q", b"1"), "count", "int", "bytes", False),
    (lambda: SEM.set_capacity("q", object()), "count", "int", "object", False),
]


@pytest.mark.parametrize("call, param, expected, given, note", TYPE_ERRORS,
                         ids=[f"{r[1]}-{r[3][:12]}" for r in TYPE_ERRORS])
def test_incorrect_type(call, param, expected, given, note, no_leak):
    with pytest.raises(TypeError) as info:
        call()
    exc = info.value
    assert type(exc) is TypeError
    assert str(exc) == f"Argument '{param}' has incorrect type (expected {expected}, got {given})"
    notes = getattr(exc, "__notes__", [])
    if note:
        assert len(notes) == 1 and "\n" not in notes[0]
        assert "PEP 484" in notes[0] and "subclass" in notes[0].lower()
    else:
        assert notes == []
    no_leak(call, raises=TypeError)


class _Named:
    # Test IDs come from repr(): without an address they match across runs (--lf, -n).
    def __repr__(self):
        return type(self).__name__


class _Index(_Named):
    def __index__(self):
        return 4


class _IntOnly:
    def __init__(self):
        self.calls = 0

    def __int__(self):
        self.calls += 1
        return 4


class _FloatOnly(_Named):
    def __float__(self):
        return 2.0


class _Level(enum.IntEnum):
    HIGH = 3


class _Refused(Exception):
    pass


class _IntRaises(_Named):
    def __int__(self):
        raise _Refused("no int")


@pytest.mark.parametrize("count", [0, -7, 10**40, True, False, 2.9, -2.9, 1e300, Fraction(7, 2),
                                   Decimal("2.5"), _Level.HIGH, _Index()], ids=repr)
def test_int_parameter_accepts_numbers(count, no_leak):
    assert SEM.set_capacity("q", count) is None
    no_leak(lambda: SEM.set_capacity("q", count))


def test_int_parameter_converts_through_int_once():
    count = _IntOnly()
    assert SEM.set_capacity("q", count) is None
    assert count.calls == 1


# Numbers whose int() fails: the conversion's own error, unchanged, never the incorrect-type one.
@pytest.mark.parametrize("count", [float("nan"), float("inf"), float("-inf"), 1j, Decimal("NaN"),
                                   Decimal("-Infinity"), _FloatOnly(), _IntRaises()], ids=repr)
def test_int_conversion_errors_propagate(count, no_leak):
    with pytest.raises(Exception) as reference:
        int(count)
    kind = type(reference.value)
    with pytest.raises(kind) as info:
        SEM.set_capacity("q", count)
    assert type(info.value) is kind and str(info.value) == str(reference.value)
    assert getattr(info.value, "__notes__", []) == []
    no_leak(lambda: SEM.set_capacity("q", count), raises=kind)


# ---- writable function attributes refuse what host functions refuse ----


def _host_function():
    pass


@pytest.mark.parametrize(
    "attr, value", [("__name__", 1), ("__qualname__", None), ("__annotations__", 1), ("__annotations__", [])]
)
def test_function_attribute_setters_match_host(attr, value):
    def outcome(f):
        try:
            setattr(f, attr, value)
        except TypeError as exc:
            return str(exc)
        return None

    compiled = tokens.TokenSemaphore.release
    saved = getattr(compiled, attr)
    try:
        assert outcome(compiled) == outcome(_host_function) is not None
    finally:
        setattr(compiled, attr, saved)


# ---- __module__: a string on the types, the instance's own on functions and coroutines ----


def _module_story(obj):
    """Read, write, delete and re-read `__module__` as callers and introspection do; restores it."""
    def attempt(action):
        try:
            return action()
        except AttributeError as exc:
            return type(exc)

    saved = obj.__module__
    spelled = "".join(["__mod", "ule__"])  # a name that is not interned
    try:
        return [attempt(lambda: getattr(obj, spelled) == saved),
                attempt(lambda: setattr(obj, "__module__", "elsewhere")), attempt(lambda: obj.__module__),
                attempt(lambda: delattr(obj, "__module__")), attempt(lambda: obj.__module__)]
    finally:
        if obj.__module__ != saved:
            obj.__module__ = saved


def test_module_attribute_of_function_and_coroutine_types():
    from corlith_runtime.core.runtime import waiters

    compiled_coro = waiters.InMemoryWaiterRegistry().sweep_expired_timers()
    try:
        for compiled in (tokens.TokenSemaphore.release, compiled_coro):
            kind = type(compiled)
            assert isinstance(kind.__module__, str) and isinstance(vars(kind)["__module__"], str)
            assert inspect.getmodule(kind) is sys.modules[kind.__module__]
        assert tokens.TokenSemaphore.release.__module__ == tokens.__name__
        assert compiled_coro.__module__ == waiters.__name__
        # functions: writable and deletable as the host's; coroutines: read-only
        assert _module_story(tokens.TokenSemaphore.release) == _module_story(_host_function)
        assert _module_story(compiled_coro) == [True, AttributeError, waiters.__name__, AttributeError,
                                                waiters.__name__]
    finally:
        compiled_coro.close()
