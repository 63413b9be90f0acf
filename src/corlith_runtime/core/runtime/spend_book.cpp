// The spend book: money, token and spawn-structure caps shared by one spawn tree.
#include <iterator>

#include "shell/shell.hpp"

namespace {
using namespace shell;

// Bodies, defined below the table.
Ref budget_exceeded_init(Args& a);
Ref remaining_usd(Args& a);
Ref remaining_tokens(Args& a);
Ref debit(Args& a);
Ref check_depth(Args& a);
Ref check_fanout(Args& a);
Ref check_concurrent(Args& a);
Ref check_can_afford(Args& a);
Ref register_child_spawned(Args& a);
Ref register_child_completed(Args& a);
Ref from_guards(Args& a);
Ref to_trace_data(Args& a);

const Module spend_book{
    .name = "spend_book",
    .doc = "Spend book: the caps and running spend that one spawn tree shares.\n\n"
           "A root agent run and every child run it (or its children) start through\n"
           "``ctx.spawn()`` share one :class:`SpendBook`, so that a confused orchestrator\n"
           "cannot spawn specialists without bound and spend unnoticed. The book holds\n"
           "the tree-wide caps (USD, tokens, wall time, spawn depth, fan-out and\n"
           "concurrency), what has been spent so far, and the live and cumulative child\n"
           "counts. Breaching a cap raises :class:`BudgetExceeded`.\n\n"
           "This module owns only the shape and the arithmetic; infra persists the root\n"
           "book between suspensions so a resumed parent keeps its remaining budget.\n",
    .body = {
        FromImport{"dataclasses", {"dataclass", "field"}},
        FromImport{"typing", {"Any", "Optional"}},
        exception_class(
            "BudgetExceeded",
            "Raised when a debit or spawn would breach a cap.\n\n"
            "    The governance layer handles it, usually translating it into\n"
            "    ``corlith_runtime.governance.exceptions.PolicyViolationHalt`` so the\n"
            "    run envelope records the violation with full context.\n"
            "    ",
            {
                {.name = "__init__", .line = 40,
                 .params = {arg("reason", "str"), kwarg("cap_name", "str"), kwarg("cap_value", "float"),
                            kwarg("would_be", "float")},
                 .body = budget_exceeded_init},
            }),
        record(
            "SpendBook",
            "Caps, spend and child counts of one spawn tree.\n\n"
            "    Caps of 0 mean \"no cap\". Negative values are treated as 0 to avoid\n"
            "    sign errors in downstream arithmetic.\n\n"
            "    Not thread-safe on its own: the runtime serialises access to one book\n"
            "    per workflow, and infra's persister coordinates across workers.\n"
            "    ",
            {
                {"cost_cap_usd", "float", Real(0.0)},
                {"token_cap", "int", Int(0)},
                {"wall_time_cap_seconds", "float", Real(0.0)},
                {"max_spawn_depth", "int", Int(3)},
                {"max_spawn_fanout", "int", Int(10)},
                {"max_concurrent_spawns", "int", Int(20)},
                {"spent_cost_usd", "float", Real(0.0)},
                {"spent_tokens", "int", Int(0)},
                {"started_at_monotonic", "float", Real(0.0)},
                {"current_depth", "int", Int(0)},
                {"active_child_count", "int", Int(0)},
                {"cumulative_child_count", "int", Int(0)},
                {"tool_call_counts", "dict[str, int]", DictFactory},
            },
            {
                {.name = "remaining_usd", .line = 94, .returns = "float",
                 .doc = "USD budget left before the cost cap fires. 0 if uncapped.",
                 .body = remaining_usd, .locals = {"diff"}},
                {.name = "remaining_tokens", .line = 101, .returns = "int",
                 .body = remaining_tokens, .locals = {"diff"}},
                {.name = "debit", .line = 107,
                 .params = {kwarg("cost_usd", "float", Real(0.0)), kwarg("tokens", "int", Int(0)),
                            kwarg("tool_name", "Optional[str]", None)},
                 .returns = "None",
                 .doc = "Record spend. Raises :class:`BudgetExceeded` if any cap breaches.\n\n"
                        "        Call after the work has landed (from the runtime's\n"
                        "        ``after_llm_call`` / ``after_tool_call`` hooks): a breach then\n"
                        "        tells governance after the fact to abort the tree at its next\n"
                        "        check, instead of refusing work in advance.\n"
                        "        ",
                 .body = debit},
                {.name = "check_depth", .line = 146,
                 .params = {arg("additional", "int", Int(1))}, .returns = "None",
                 .doc = "Verify ``current_depth + additional`` stays under ``max_spawn_depth``.\n\n"
                        "        Raises :class:`BudgetExceeded` on breach. Does not change\n"
                        "        ``current_depth``: callers raise it after a child actually runs.\n"
                        "        ",
                 .body = check_depth, .locals = {"would_be"}},
                {.name = "check_fanout", .line = 163,
                 .params = {arg("count", "int")}, .returns = "None",
                 .doc = "Verify a group of size ``count`` fits under ``max_spawn_fanout``.",
                 .body = check_fanout},
                {.name = "check_concurrent", .line = 175,
                 .params = {arg("additional", "int")}, .returns = "None",
                 .doc = "Phase 3.8 — verify in-flight children + ``additional`` fits\n"
                        "        under ``max_concurrent_spawns``.\n\n"
                        "        Raises :class:`BudgetExceeded` on breach. Does not change\n"
                        "        ``active_child_count``. This is the agent-level cap; tenant-level\n"
                        "        concurrency is a separate infra policy (``SpawnLimitHandler``, a\n"
                        "        Redis counter scoped to tenant, optional agent and optional\n"
                        "        workflow) applied on top of this check.\n"
                        "        ",
                 .body = check_concurrent, .locals = {"in_flight"}},
                {.name = "check_can_afford", .line = 199,
                 .params = {arg("cost_usd", "float")}, .returns = "None",
                 .doc = "Pre-flight: will a child with ``cost_usd`` budget fit in what's left?\n\n"
                        "        The spawn dispatcher calls this before enqueueing, to fail fast.\n"
                        "        ",
                 .body = check_can_afford},
                {.name = "register_child_spawned", .line = 214, .returns = "None",
                 .doc = "Bookkeeping: called when a child is enqueued.",
                 .body = register_child_spawned},
                {.name = "register_child_completed", .line = 219, .returns = "None",
                 .doc = "Bookkeeping: called when a child terminates (success or failure).",
                 .body = register_child_completed},
                {.name = "from_guards", .line = 224,
                 .params = {arg("guards", "list[Any]")}, .returns = "'SpendBook'",
                 .doc = "Build a book from a list of the SDK's ``Guard`` objects.\n\n"
                        "        Only guards that are hard numeric caps, checkable on every debit\n"
                        "        or spawn, go into the book: those whose ``action`` is \"abort\"\n"
                        "        (a guard without an action counts as one). Other actions and\n"
                        "        guard types are accepted silently; policy handlers enforce them.\n\n"
                        "        \"cost\" and \"token_count\" guards never loosen a cap: while the\n"
                        "        cap is unset (0 or below) a guard's limit becomes the cap; once\n"
                        "        it is set, a limit replaces it only when that limit is positive\n"
                        "        and smaller. For \"spawn_depth\", \"spawn_fanout\",\n"
                        "        \"spawn_concurrent\" and \"wall_time\" the last guard wins.\n\n"
                        "        Infra calls this at run start and attaches the book to the run's\n"
                        "        ``ExecutionContext``.\n"
                        "        ",
                 .body = from_guards, .kind = Kind::classmethod,
                 .locals = {"book", "g", "gtype", "action", "limit"}},
                {.name = "to_trace_data", .line = 268, .returns = "dict[str, Any]",
                 .doc = "Serializable snapshot for trace events + dashboards.",
                 .body = to_trace_data},
            }),
    },
};

// ---- bodies ----------------------------------------------------------------------------

// Field and key names.
Name cost_cap_usd("cost_cap_usd"), token_cap("token_cap"), wall_time_cap_seconds("wall_time_cap_seconds"),
    max_spawn_depth("max_spawn_depth"), max_spawn_fanout("max_spawn_fanout"),
    max_concurrent_spawns("max_concurrent_spawns"), spent_cost_usd("spent_cost_usd"),
    spent_tokens("spent_tokens"), current_depth("current_depth"), active_child_count("active_child_count"),
    cumulative_child_count("cumulative_child_count"), tool_call_counts("tool_call_counts"),
    remaining_usd_key("remaining_usd"), remaining_tokens_key("remaining_tokens");
Name cap_name("cap_name"), cap_value("cap_value"), would_be("would_be");
Name budget_exceeded("BudgetExceeded"), get("get");
// Guard members and the guard types and action the book understands.
Name type_attr("type"), action_attr("action"), limit_as_usd("limit_as_usd"), limit_as_count("limit_as_count"),
    limit_as_seconds("limit_as_seconds");
Name abort_action("abort"), cost_guard("cost"), token_guard("token_count"), depth_guard("spawn_depth"),
    fanout_guard("spawn_fanout"), concurrent_guard("spawn_concurrent"), wall_time_guard("wall_time");
Keywords breach_keywords("cap_name", "cap_value", "would_be");

// Raises BudgetExceeded, the class read from the module at the moment of the breach.
Ref breach(Args& a, Ref reason, PyObject* name, PyObject* cap, PyObject* value) {
  if (!reason) return {};
  Ref cls = global(a.globals(), budget_exceeded);
  if (!cls) return {};
  return raise_instance(call_keywords(cls.get(), 1, breach_keywords, reason.get(), name, cap, value));
}

// Reads the cap held in `field` into `cap`: 1 when it is set (> 0), 0 when it
// is not (0 or negative means no cap), -1 with the host error set.
int read_cap(PyObject* self, const Name& field, Ref& cap) {
  cap = getattr(self, field);
  return cap ? positive(cap.get()) : -1;
}

// ---- BudgetExceeded -------------------------------------------------------------

Ref budget_exceeded_init(Args& a) {
  PyObject* self = a[0];
  Ref cap = a.real_object(3), value = a.real_object(4);
  if (!cap || !value) return {};
  if (!setattr(self, cap_name, a[2]) || !setattr(self, cap_value, cap.get()) ||
      !setattr(self, would_be, value.get()))
    return {};
  Ref args(PyTuple_Pack(1, a[1]));
  if (!args || reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, args.get(), nullptr) < 0)
    return {};
  return none();
}

// ---- spend ------------------------------------------------------------------------

FloatConstant zero_usd(0.0);

Ref remaining_usd_of(PyObject* self) {
  Ref cap;
  int capped = read_cap(self, cost_cap_usd, cap);
  if (capped <= 0) return capped < 0 ? Ref() : Ref::borrow(zero_usd.get());
  Ref spent = getattr(self, spent_cost_usd);
  Ref diff = spent ? subtract(cap.get(), spent.get()) : Ref();
  if (!diff) return {};
  int left = compare(diff.get(), zero_usd.get(), Py_GT);
  if (left < 0) return {};
  return left ? diff : Ref::borrow(zero_usd.get());
}

Ref remaining_usd(Args& a) { return remaining_usd_of(a[0]); }

Ref remaining_tokens_of(PyObject* self) {
  Ref cap;
  int capped = read_cap(self, token_cap, cap);
  if (capped <= 0) return capped < 0 ? Ref() : integer(0);
  Ref spent = getattr(self, spent_tokens);
  Ref diff = spent ? subtract(cap.get(), spent.get()) : Ref();
  if (!diff) return {};
  int left = positive(diff.get());
  if (left < 0) return {};
  return left ? as_int(diff.get()) : integer(0);
}

Ref remaining_tokens(Args& a) { return remaining_tokens_of(a[0]); }

// One more debit naming `tool` in the book's per-tool counts.
bool count_tool(PyObject* self, PyObject* tool) {
  Ref counts = getattr(self, tool_call_counts);
  if (!counts) return false;
  Ref current;
  if (PyDict_CheckExact(counts.get())) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(counts.get(), tool, &found) < 0) return false;
    current = found ? Ref(found) : integer(0);
  } else {
    Ref zero = integer(0);
    current = zero ? call_method(counts.get(), get, tool, zero.get()) : Ref();
  }
  Ref one = integer(1);
  Ref next = current && one ? add(current.get(), one.get()) : Ref();
  return next && PyObject_SetItem(counts.get(), tool, next.get()) == 0;
}

Ref debit(Args& a) {
  PyObject* self = a[0];
  double cost_usd = a.real(1);
  PyObject* tokens = a[2];
  PyObject* tool_name = a[3];

  int some_tokens = positive(tokens);
  if (some_tokens < 0) return {};
  Ref tokens_spent = some_tokens ? Ref::borrow(tokens) : integer(0);
  Ref cost_spent = cost_usd > 0.0 ? a.real_object(1) : Ref::borrow(zero_usd.get());  // NaN counts as nothing
  if (!tokens_spent || !cost_spent) return {};

  // Host code may run from here (a property, __iadd__, a comparison of what
  // the book holds): every field is read where the Python reads it.
  Ref spent_cost = getattr(self, spent_cost_usd);
  spent_cost = spent_cost ? add_in_place(spent_cost.get(), cost_spent.get()) : Ref();
  if (!spent_cost || !setattr(self, spent_cost_usd, spent_cost.get())) return {};
  Ref spent = getattr(self, spent_tokens);
  spent = spent ? add_in_place(spent.get(), tokens_spent.get()) : Ref();
  if (!spent || !setattr(self, spent_tokens, spent.get())) return {};
  SHELL_INVARIANT(tool_name == Py_None || PyUnicode_CheckExact(tool_name), "the binder tested 'Optional[str]'");
  if (tool_name != Py_None && PyUnicode_GET_LENGTH(tool_name) > 0 && !count_tool(self, tool_name)) return {};

  // The caps are tested against the totals as the book reads them back.
  Ref cost_cap;
  int breached = read_cap(self, cost_cap_usd, cost_cap);
  if (breached > 0) {
    spent_cost = getattr(self, spent_cost_usd);
    breached = spent_cost ? compare(spent_cost.get(), cost_cap.get(), Py_GT) : -1;
  }
  if (breached < 0) return {};
  if (breached) {
    Ref spent_text = fixed4(spent_cost.get()), cap_text = spent_text ? fixed4(cost_cap.get()) : Ref();
    if (!cap_text) return {};
    return breach(a,
                  Ref(PyUnicode_FromFormat("tree cost cap breached: spent=$%U > cap=$%U", spent_text.get(),
                                           cap_text.get())),
                  cost_cap_usd, cost_cap.get(), spent_cost.get());
  }
  Ref tokens_cap;
  breached = read_cap(self, token_cap, tokens_cap);
  if (breached > 0) {
    spent = getattr(self, spent_tokens);
    breached = spent ? compare(spent.get(), tokens_cap.get(), Py_GT) : -1;
  }
  if (breached < 0) return {};
  if (breached)
    return breach(a, Ref(PyUnicode_FromFormat("tree token cap breached: %S > %S", spent.get(), tokens_cap.get())),
                  token_cap, tokens_cap.get(), spent.get());
  return none();
}

// ---- spawn-structure checks -----------------------------------------------------

Ref check_depth(Args& a) {
  PyObject* self = a[0];
  PyObject* additional = a[1];
  Ref cap;
  int capped = read_cap(self, max_spawn_depth, cap);
  if (capped <= 0) return capped < 0 ? Ref() : none();
  Ref depth = getattr(self, current_depth);
  Ref reach = depth ? add(depth.get(), additional) : Ref();
  if (!reach) return {};
  int over = compare(reach.get(), cap.get(), Py_GT);
  if (over < 0) return {};
  if (over)
    return breach(a,
                  Ref(PyUnicode_FromFormat("max_spawn_depth breached: would reach depth %S (cap %S)", reach.get(),
                                           cap.get())),
                  max_spawn_depth, cap.get(), reach.get());
  return none();
}

Ref check_fanout(Args& a) {
  PyObject* self = a[0];
  PyObject* count = a[1];
  Ref cap;
  int capped = read_cap(self, max_spawn_fanout, cap);
  if (capped <= 0) return capped < 0 ? Ref() : none();
  int over = compare(count, cap.get(), Py_GT);
  if (over < 0) return {};
  if (over)
    return breach(a,
                  Ref(PyUnicode_FromFormat("max_spawn_fanout breached: requested %S children (cap %S)", count,
                                           cap.get())),
                  max_spawn_fanout, cap.get(), count);
  return none();
}

Ref check_concurrent(Args& a) {
  PyObject* self = a[0];
  PyObject* additional = a[1];
  Ref cap;
  int capped = read_cap(self, max_concurrent_spawns, cap);
  if (capped <= 0) return capped < 0 ? Ref() : none();
  Ref active = getattr(self, active_child_count);
  Ref in_flight = active ? add(active.get(), additional) : Ref();
  if (!in_flight) return {};
  int over = compare(in_flight.get(), cap.get(), Py_GT);
  if (over < 0) return {};
  if (over)
    return breach(a,
                  Ref(PyUnicode_FromFormat("max_concurrent_spawns breached: %S in flight + %S requested (cap %S)",
                                           active.get(), additional, cap.get())),
                  max_concurrent_spawns, cap.get(), in_flight.get());
  return none();
}

Ref check_can_afford(Args& a) {
  PyObject* self = a[0];
  Ref cost_usd = a.real_object(1);
  if (!cost_usd) return {};
  Ref cap;
  int capped = read_cap(self, cost_cap_usd, cap);
  if (capped <= 0) return capped < 0 ? Ref() : none();
  Ref spent = getattr(self, spent_cost_usd);
  Ref total = spent ? add(spent.get(), cost_usd.get()) : Ref();
  if (!total) return {};
  int over = compare(total.get(), cap.get(), Py_GT);
  if (over < 0) return {};
  if (!over) return none();
  Ref left = call_method(self, remaining_usd_key);
  Ref cost_text = left ? fixed4(cost_usd.get()) : Ref();
  Ref left_text = cost_text ? fixed4(left.get()) : Ref();
  if (!left_text) return {};
  return breach(a,
                Ref(PyUnicode_FromFormat("child of $%U wouldn't fit: remaining $%U", cost_text.get(),
                                         left_text.get())),
                cost_cap_usd, cap.get(), total.get());
}

// ---- child bookkeeping -----------------------------------------------------------

bool step_counter(PyObject* self, const Name& field, long delta) {
  Ref count = getattr(self, field);
  Ref step = integer(delta);
  Ref next = count && step ? add_in_place(count.get(), step.get()) : Ref();
  return next && setattr(self, field, next.get());
}

Ref register_child_spawned(Args& a) {
  PyObject* self = a[0];
  if (!step_counter(self, active_child_count, 1) || !step_counter(self, cumulative_child_count, 1)) return {};
  return none();
}

Ref register_child_completed(Args& a) {
  PyObject* self = a[0];
  Ref active = getattr(self, active_child_count);
  Ref one = integer(1);
  Ref next = active && one ? subtract(active.get(), one.get()) : Ref();
  if (!next) return {};
  int above = positive(next.get());
  if (above < 0) return {};
  if (!above) next = integer(0);
  return next && setattr(self, active_child_count, next.get()) ? none() : Ref();
}

// ---- guard import and snapshot ----------------------------------------------------

// `getattr(guard, name, fallback)`: only a missing attribute falls back.
Ref attribute_or(PyObject* guard, PyObject* name, PyObject* fallback) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(guard, name, &value) < 0) return {};
  return value ? Ref(value) : Ref::borrow(fallback);
}

// A budget guard may tighten a cap, never loosen one: an unset cap (<= 0) takes
// the limit as it is; a set cap only gives way to a smaller positive limit.
bool tighten(PyObject* book, const Name& field, PyObject* limit) {
  Ref current = getattr(book, field);
  if (!current) return false;
  int set = positive(current.get());
  if (set < 0) return false;
  if (set) {
    int tighter = positive(limit);
    if (tighter > 0) tighter = compare(limit, current.get(), Py_LT);
    if (tighter <= 0) return tighter == 0;
  }
  return setattr(book, field, limit);
}

// Which guard type sets which field, and through which limit method.
struct GuardRule {
  const Name& type;
  const Name& limit_method;
  const Name& field;
  bool tightens;
};
const GuardRule guard_rules[] = {
    {cost_guard, limit_as_usd, cost_cap_usd, true},
    {token_guard, limit_as_count, token_cap, true},
    {depth_guard, limit_as_count, max_spawn_depth, false},
    {fanout_guard, limit_as_count, max_spawn_fanout, false},
    {concurrent_guard, limit_as_count, max_concurrent_spawns, false},
    {wall_time_guard, limit_as_seconds, wall_time_cap_seconds, false},
};

bool apply_guard(PyObject* book, PyObject* guard) {
  Ref guard_type = attribute_or(guard, type_attr, Py_None);
  Ref action = guard_type ? attribute_or(guard, action_attr, abort_action) : Ref();
  if (!action) return false;
  int other_action = PyObject_RichCompareBool(action.get(), abort_action, Py_NE);
  if (other_action < 0) return false;
  if (other_action) return true;  // warn / require_approval: enforced by policy handlers
  for (const GuardRule& rule : guard_rules) {
    int match = PyObject_RichCompareBool(guard_type.get(), rule.type, Py_EQ);
    if (match < 0) return false;
    if (!match) continue;
    Ref limit = call_method(guard, rule.limit_method);
    if (!limit) return false;
    return rule.tightens ? tighten(book, rule.field, limit.get()) : setattr(book, rule.field, limit.get());
  }
  return true;
}

Ref from_guards(Args& a) {
  PyObject* cls = a[0];
  PyObject* guards = a[1];
  Ref book = call(cls);
  if (!book) return {};
  SHELL_INVARIANT(PyList_CheckExact(guards), "the binder tested 'list[Any]'");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(guards); ++i) {
    Ref guard = Ref::borrow(PyList_GET_ITEM(guards, i));
    if (!apply_guard(book.get(), guard.get())) return {};
  }
  return book;
}

// A method of the book the snapshot calls: its body, and the same run
// directly on the book.
struct OwnMethod {
  Body body;
  Ref (*on)(PyObject* self);
};
constexpr OwnMethod usd_left{remaining_usd, remaining_usd_of}, tokens_left{remaining_tokens, remaining_tokens_of};

// self.<name>(), running our body without a call when that is what the call
// would reach.
Ref call_own(PyObject* self, const Name& name, const OwnMethod& own) {
  return calls_own(self, name, own.body) ? own.on(self) : call_method(self, name);
}

// The snapshot's keys, in order, and where each value comes from: a field,
// or the method of that name when `method` is set.
struct SnapshotEntry {
  const Name* key;
  bool rounded = false;
  const OwnMethod* method = nullptr;
};
constexpr SnapshotEntry snapshot_entries[] = {
    {&cost_cap_usd},           {&token_cap},
    {&max_spawn_depth},        {&max_spawn_fanout},
    {&spent_cost_usd, true},   {&spent_tokens},
    {&current_depth},          {&active_child_count},
    {&cumulative_child_count}, {&remaining_usd_key, true, &usd_left},
    {&remaining_tokens_key, false, &tokens_left},
};
KeyedDict snapshot{snapshot_entries};

[[gnu::flatten]] Ref to_trace_data(Args& a) {
  PyObject* self = a[0];
  Ref values[std::size(snapshot_entries)];
  for (size_t i = 0; i < std::size(snapshot_entries); ++i) {
    const auto& [key, rounded, method] = snapshot_entries[i];
    // Host code may run at each read or call (a property, an overriding
    // method): the values are held, and the dict is made only at the end.
    values[i] = method ? call_own(self, *key, *method) : getattr(self, *key);
    if (values[i] && rounded) values[i] = round6(values[i].get());
    if (!values[i]) return {};
  }
  return snapshot.with(values);
}

}  // namespace

PyMODINIT_FUNC PyInit_spend_book() { return define(spend_book); }
