// Spawn dispatch: the child result record, the dispatcher protocol and the
// in-process dispatcher that runs children inline.
#include <charconv>

#include "shell/shell.hpp"

namespace {
using namespace shell;

// Bodies, defined below the table.
Ref default_noop_child_runner(Args& a);
Ref dispatcher_init(Args& a);
Task enqueue_children(Args& a, Frame& frame);
Ref collect_results(Args& a);

// The keyword-only parameters both dispatchers share.
const std::vector<Param> enqueue_params = {
    kwarg("parent_run_id", "str"),
    kwarg("parent_resume_key", "str"),
    kwarg("specs", "tuple[ChildSpec, ...]"),
    kwarg("return_when", "ReturnWhen"),
    kwarg("timeout_seconds", "float"),
    kwarg("group_key", "str | None", None),
    kwarg("tenant_id", "str | None", None),
    kwarg("parent_trace_id", "str | None", None),
    kwarg("parent_span_id", "str | None", None),
    kwarg("parent_sub_user_identity", "dict | None", None),
};
const std::vector<Param> collect_params = {kwarg("parent_run_id", "str"), kwarg("resume_key", "str")};

const Module spawn{
    .name = "spawn",
    .doc = "Phase 1.1 — spawn dispatcher protocol + in-memory default.\n\n"
           "Contract between runtime and infra:\n\n"
           "- The runtime raises :class:`~corlith_runtime.core.runtime.exceptions.SpawnAwaited`\n"
           "  when ``ctx.spawn()`` / ``ctx.spawn_many()`` is called.\n"
           "- The envelope catches it and persists parent state.\n"
           "- Infra's :class:`SpawnDispatcher` implementation enqueues the child runs\n"
           "  (typically via Celery) and arranges resume signalling.\n"
           "- On resume, the parent re-enters with\n"
           "  ``ctx.inputs[\"spawn_results\"][resume_key]`` populated — a dict mapping\n"
           "  child_run_id → typed child output.\n\n"
           "Runtime ships :class:`InMemorySpawnDispatcher` as a default for local dev\n"
           "and tests. It runs child specs synchronously inline (no real distribution,\n"
           "no Redis). Production config (``RuntimeConfig.configure(spawn_dispatcher=...)``)\n"
           "swaps in the infra implementation.\n\n"
           "See docs/RUNTIME_EMERGENCE_PLAN.md §4.1.\n",
    .body = {
        FromImport{"typing", {"Awaitable", "Callable", "Optional", "Protocol", "runtime_checkable"}},
        FromImport{"exceptions", {"ChildSpec", "ReturnWhen"}, 1},
        subclass("ChildResult", &PyDict_Type,
                 "Dict-shaped child result. Plain dict so it serializes cleanly for resume.\n\n"
                 "    Keys:\n"
                 "        child_run_id (str)\n"
                 "        spec (dict — ChildSpec.to_dict())\n"
                 "        output (dict | None)\n"
                 "        error (str | None)\n"
                 "        cost_usd (float)\n"
                 "        tokens (int)\n"
                 "        duration_ms (float)\n"
                 "    "),
        protocol(
            "SpawnDispatcher",
            "Enqueue child runs and return their results on resume.\n\n"
            "    Runtime defines the shape; infra implements against Celery + Redis.\n"
            "    ",
            {
                {.name = "enqueue_children", .line = 60, .params = enqueue_params, .returns = "list[str]",
                 .doc = "Enqueue child runs; return their child_run_ids. Non-blocking.\n\n"
                        "        The parent is already suspended; the dispatcher's job is to\n"
                        "        (a) mint run ids, (b) start the work, (c) arrange a resume\n"
                        "        signal when ``return_when`` is satisfied.\n\n"
                        "        ``group_key`` — when provided, overrides the default dedup key\n"
                        "        derived from ``(parent_run_id, parent_resume_key)``. Two calls\n"
                        "        with the same ``group_key`` (even from different parent runs)\n"
                        "        collapse to one group, returning the original child_run_ids\n"
                        "        without re-dispatching.\n\n"
                        "        ``tenant_id`` — the parent's tenant. Infra implementations need\n"
                        "        it to look up the child agent's TenantAgent record and populate\n"
                        "        ``agent_id`` / ``_tenant_id`` in child inputs so the Celery\n"
                        "        launcher accepts them. The in-memory default ignores it.\n\n"
                        "        ``parent_trace_id`` / ``parent_span_id`` — hex-encoded OTel\n"
                        "        identifiers for the parent's current span. The dispatcher\n"
                        "        injects these into each child's inputs as ``_trace_id`` and\n"
                        "        ``_signal_span_id`` (same keys the signal-dispatch path uses);\n"
                        "        the supervisor instrumentation picks them up to nest the child\n"
                        "        span under the parent, so multi-level spawn chains render as a\n"
                        "        single trace tree in the UI.\n\n"
                        "        ``parent_sub_user_identity`` — the parent's ``_sub_user_identity``\n"
                        "        dict (or None). Infra implementations inject this into each\n"
                        "        child's inputs as ``_sub_user_identity`` so the child envelope\n"
                        "        rehydrates its ExecutionContext with the same end-user identity,\n"
                        "        and downstream domain calls emit the signed per-user-auth header\n"
                        "        when the tenant has ``per_user_auth_enabled=True``. Without this,\n"
                        "        children silently fall through to tenant-level credentials.\n"
                        "        ",
                 .kind = Kind::coroutine},
                {.name = "collect_results", .line = 107, .params = collect_params,
                 .returns = "dict[str, ChildResult]",
                 .doc = "Called during parent resume — return completed child results.\n\n"
                        "        Keyed by child_run_id. Contents satisfy the ``return_when``\n"
                        "        clause the dispatcher honored when signalling resume.\n"
                        "        ",
                 .kind = Kind::coroutine},
            }),
        plain_class(
            "InMemorySpawnDispatcher",
            "Synchronous, in-process dispatcher. Local dev + tests only.\n\n"
            "    Does NOT actually suspend the parent — the envelope catch still\n"
            "    fires, but ``collect_results`` immediately returns the pre-computed\n"
            "    child results. Production deployments configure the infra\n"
            "    implementation (Celery-backed) instead.\n\n"
            "    Takes a ``child_runner`` callable that, given a ChildSpec, returns a\n"
            "    ChildResult awaitable. Tests supply fakes; real local dev could wire\n"
            "    in something that runs the agent spec synchronously.\n"
            "    ",
            {
                {.name = "__init__", .line = 134,
                 .params = {kwarg("child_runner", "Optional[Callable[[ChildSpec], Awaitable[ChildResult]]]", None)},
                 .body = dispatcher_init},
                {.name = "enqueue_children", .line = 142, .params = enqueue_params, .returns = "list[str]",
                 .body = enqueue_children,
                 .locals = {"results", "child_ids", "idx", "spec", "child_run_id", "result", "exc"}},
                {.name = "collect_results", .line = 194, .params = collect_params,
                 .returns = "dict[str, ChildResult]", .body = collect_results, .kind = Kind::coroutine},
            }),
        Def{.name = "_default_noop_child_runner", .line = 203, .params = {arg("spec", "ChildSpec")},
            .returns = "ChildResult",
            .doc = "Default fake child runner — returns an empty success.\n\n"
                   "    Overridden in tests / local dev configs.\n"
                   "    ",
            .body = default_noop_child_runner, .kind = Kind::coroutine},
    },
};

// ---- bodies ----------------------------------------------------------------------------

Name child_runner_attr("_child_runner"), pending_attr("_pending"), default_runner("_default_noop_child_runner");
Name child_result("ChildResult"), to_dict("to_dict"), agent("agent"), get("get"), pop("pop"),
    setdefault("setdefault");
Name child_run_id_key("child_run_id"), spec_key("spec"), output_key("output"), noop_key("_noop"),
    agent_key("agent"), empty("");
Name first_success("first_success"), any_child("any");
Keywords record_keys("child_run_id", "spec", "output", "error", "cost_usd", "tokens", "duration_ms");

// cls(...) with all seven keys, zero spend; callers read `cls` from the module
// before anything else of the record is computed.
FloatConstant no_spend(0.0);

Ref child_record(Obj cls, Obj child_run_id, Obj spec, Obj output, Obj error) {
  return call_keywords(cls, 0, record_keys, child_run_id, spec, output, error, no_spend, integer(0),
                       no_spend);
}

Ref default_noop_child_runner(Args& a) {
  PyObject* spec = a[0];
  Ref cls = global(a.globals(), child_result);
  Ref spec_dict = call_method(spec, to_dict);
  Ref output = new_dict();
  set_item(output, noop_key, Py_True);
  set_item(output, agent_key, getattr(spec, agent));
  return child_record(cls, empty, spec_dict, output, Py_None);
}

Ref dispatcher_init(Args& a) {
  PyObject* self = a[0];
  PyObject* child_runner = a[1];
  Ref runner = truth(child_runner) ? Ref::borrow(child_runner) : global(a.globals(), default_runner);
  setattr(self, child_runner_attr, runner);
  setattr(self, pending_attr, new_dict());
  return none();
}

// Whether the loop stops after this child's result.
bool stop_after(Obj return_when, Obj result) {
  if (checked(PyObject_RichCompareBool(return_when, first_success, Py_EQ)) &&
      call_method(result, get, output_key.get()).get() != Py_None)
    return true;
  return checked(PyObject_RichCompareBool(return_when, any_child, Py_EQ));
}

// "inmem-<parent run id>-<resume key>-<idx>", the prefix made once per call.
Ref mint_child_id(Obj prefix, Py_ssize_t idx) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, idx).ptr;
  Ref number = checked(PyUnicode_FromStringAndSize(digits, end - digits));
  return checked(PyUnicode_Concat(prefix, number.get()));
}

Task enqueue_children(Args& a, Frame& frame) {
  PyObject* self = a[0];
  PyObject* parent_run_id = a[1];
  PyObject* parent_resume_key = a[2];
  PyObject* specs = a[3];
  PyObject* return_when = a[4];
  Ref& results = frame.slot();
  Ref& child_ids = frame.slot();
  Ref& id_prefix = frame.slot();
  Ref& child_run_id = frame.slot();

  results = new_dict();
  child_ids = new_list();
  id_prefix = format("inmem-%U-%U-", parent_run_id, parent_resume_key);
  // The tuple is the caller's and immutable, so its items outlive every await.
  SHELL_INVARIANT(PyTuple_CheckExact(specs), "the binder tested 'tuple[ChildSpec, ...]'");
  for (Py_ssize_t idx = 0; idx < PyTuple_GET_SIZE(specs); ++idx) {
    PyObject* spec = PyTuple_GET_ITEM(specs, idx);
    child_run_id = mint_child_id(id_prefix, idx);
    list_append(child_ids, child_run_id);

    Ref result;
    try {
      // Its own statement: a temporary of the co_await's statement would be
      // held across the suspension, where the collector cannot see it.
      Ref running = call(getattr(self, child_runner_attr), spec);
      result = co_await host_await(std::move(running));
      set_item(result, child_run_id_key, child_run_id);
      set_item(result, spec_key, call_method(spec, to_dict));
    } catch (const HostError&) {
      // A child's failure is data: any Exception becomes its error record.
      if (!error_is(PyExc_Exception)) throw;
      Ref exc = take_error();
      Ref cls = global(a.globals(), child_result);
      Ref spec_dict = call_method(spec, to_dict);
      result = child_record(cls, child_run_id, spec_dict, Py_None, str_of(exc));
    }
    set_item(results, child_run_id, result);
    if (stop_after(return_when, result)) break;
  }

  // Stored only now: a call that fails or is cancelled midway leaves nothing.
  Ref by_key = call_method(getattr(self, pending_attr), setdefault, parent_run_id, new_dict());
  set_item(by_key, parent_resume_key, results);
  co_return child_ids;
}

Ref collect_results(Args& a) {
  PyObject* self = a[0];
  PyObject* parent_run_id = a[1];
  PyObject* resume_key = a[2];
  Ref by_key = call_method(getattr(self, pending_attr), get, parent_run_id, new_dict());
  Ref collected = call_method(by_key, pop, resume_key, new_dict());
  if (!PyDict_CheckExact(collected.get()) && collected.get() != Py_None) return expected_type("dict", collected);
  return collected;
}

}  // namespace

PyMODINIT_FUNC PyInit_spawn() { return define(spawn); }
