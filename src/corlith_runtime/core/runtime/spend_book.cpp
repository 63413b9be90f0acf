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
[[nodiscard]] Ref breach(Args& a, Obj reason, Obj name, Obj cap, Obj value) {
  Ref cls = global(a.globals(), budget_exceeded);
  return raise_instance(call_keywords(cls, 1, breach_keywords, reason, name, cap, value));
}

// ---- BudgetExceeded -------------------------------------------------------------

Ref budget_exceeded_init(Args& a) {
  PyObject* self = a[0];
  Ref cap = a.real_object(3), value = a.real_object(4);
  setattr(self, cap_name, a[2]);
  setattr(self, cap_value, cap);
  setattr(self, would_be, value);
  checked(reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, tuple_of(a[1]).get(), nullptr));
  return none();
}

// ---- spend ------------------------------------------------------------------------

FloatConstant zero_usd(0.0);

Ref remaining_usd_of(PyObject* self) {
  Ref cap = getattr(self, cost_cap_usd);
  if (!positive(cap)) return zero_usd.ref();
  Ref diff = subtract(cap, getattr(self, spent_cost_usd));
  return compare(diff, zero_usd, Py_GT) ? diff : zero_usd.ref();
}

Ref remaining_usd(Args& a) { return remaining_usd_of(a[0]); }

Ref remaining_tokens_of(PyObject* self) {
  Ref cap = getattr(self, token_cap);
  if (!positive(cap)) return integer(0);
  Ref diff = subtract(cap, getattr(self, spent_tokens));
  return positive(diff) ? as_int(diff) : integer(0);
}

Ref remaining_tokens(Args& a) { return remaining_tokens_of(a[0]); }

// counts[tool] = counts.get(tool, 0) + 1
void count_tool(PyObject* self, PyObject* tool) {
  Ref counts = getattr(self, tool_call_counts);
  Ref current;
  if (!PyDict_CheckExact(counts.get()))
    current = call_method(counts, get, tool, integer(0));
  else if (!get_item(counts, tool, current))
    current = integer(0);
  Ref next = add(current, integer(1));
  set_item(counts, tool, next);
}

Ref debit(Args& a) {
  PyObject* self = a[0];
  PyObject* tokens = a[2];
  PyObject* tool_name = a[3];
  Ref tokens_spent = positive(tokens) ? Ref::borrow(tokens) : integer(0);
  Ref cost_spent = a.real(1) > 0.0 ? a.real_object(1) : zero_usd.ref();  // NaN counts as nothing

  // Host code may run from here (a property, __iadd__, a comparison of what
  // the book holds): every field is read where the Python reads it.
  add_to(self, spent_cost_usd, cost_spent);
  add_to(self, spent_tokens, tokens_spent);
  SHELL_INVARIANT(tool_name == Py_None || PyUnicode_CheckExact(tool_name), "the binder tested 'Optional[str]'");
  if (tool_name != Py_None && PyUnicode_GET_LENGTH(tool_name) > 0) count_tool(self, tool_name);

  // The caps are tested against the totals as the book reads them back.
  Ref cost_cap = getattr(self, cost_cap_usd);
  if (positive(cost_cap)) {
    Ref spent = getattr(self, spent_cost_usd);
    if (compare(spent, cost_cap, Py_GT)) {
      Ref spent_text = fixed4(spent);
      Ref cap_text = fixed4(cost_cap);
      return breach(a, format("tree cost cap breached: spent=$%U > cap=$%U", spent_text, cap_text),
             cost_cap_usd, cost_cap, spent);
    }
  }
  Ref tokens_cap = getattr(self, token_cap);
  if (positive(tokens_cap)) {
    Ref spent = getattr(self, spent_tokens);
    if (compare(spent, tokens_cap, Py_GT))
      return breach(a, format("tree token cap breached: %S > %S", spent, tokens_cap), token_cap,
             tokens_cap, spent);
  }
  return none();
}

// ---- spawn-structure checks -----------------------------------------------------

Ref check_depth(Args& a) {
  PyObject* self = a[0];
  PyObject* additional = a[1];
  Ref cap = getattr(self, max_spawn_depth);
  if (!positive(cap)) return none();
  Ref reach = add(getattr(self, current_depth), additional);
  if (compare(reach, cap, Py_GT))
    return breach(a, format("max_spawn_depth breached: would reach depth %S (cap %S)", reach, cap),
           max_spawn_depth, cap, reach);
  return none();
}

Ref check_fanout(Args& a) {
  PyObject* self = a[0];
  PyObject* count = a[1];
  Ref cap = getattr(self, max_spawn_fanout);
  if (!positive(cap)) return none();
  if (compare(count, cap, Py_GT))
    return breach(a, format("max_spawn_fanout breached: requested %S children (cap %S)", count, cap),
           max_spawn_fanout, cap, count);
  return none();
}

Ref check_concurrent(Args& a) {
  PyObject* self = a[0];
  PyObject* additional = a[1];
  Ref cap = getattr(self, max_concurrent_spawns);
  if (!positive(cap)) return none();
  Ref active = getattr(self, active_child_count);
  Ref in_flight = add(active, additional);
  if (compare(in_flight, cap, Py_GT))
    return breach(a,
           format("max_concurrent_spawns breached: %S in flight + %S requested (cap %S)", active, additional,
                  cap),
           max_concurrent_spawns, cap, in_flight);
  return none();
}

Ref check_can_afford(Args& a) {
  PyObject* self = a[0];
  Ref cost_usd = a.real_object(1);
  Ref cap = getattr(self, cost_cap_usd);
  if (!positive(cap)) return none();
  Ref total = add(getattr(self, spent_cost_usd), cost_usd);
  if (!compare(total, cap, Py_GT)) return none();
  Ref left = call_method(self, remaining_usd_key);
  Ref cost_text = fixed4(cost_usd);
  Ref left_text = fixed4(left);
  return breach(a, format("child of $%U wouldn't fit: remaining $%U", cost_text, left_text), cost_cap_usd,
         cap, total);
}

// ---- child bookkeeping -----------------------------------------------------------

Ref register_child_spawned(Args& a) {
  PyObject* self = a[0];
  add_to(self, active_child_count, integer(1));
  add_to(self, cumulative_child_count, integer(1));
  return none();
}

Ref register_child_completed(Args& a) {
  PyObject* self = a[0];
  Ref left = subtract(getattr(self, active_child_count), integer(1));
  setattr(self, active_child_count, positive(left) ? left : integer(0));
  return none();
}

// ---- guard import and snapshot ----------------------------------------------------

// `getattr(guard, name, fallback)`: only a missing attribute falls back.
Ref attribute_or(Obj guard, Obj name, Obj fallback) {
  PyObject* value = nullptr;
  checked(PyObject_GetOptionalAttr(guard, name, &value));
  return value ? Ref(value) : Ref::borrow(fallback);
}

// A budget guard may tighten a cap, never loosen one: an unset cap (<= 0) takes
// the limit as it is; a set cap only gives way to a smaller positive limit.
void tighten(Obj book, const Name& field, Obj limit) {
  Ref current = getattr(book, field);
  if (positive(current) && !(positive(limit) && compare(limit, current, Py_LT))) return;
  setattr(book, field, limit);
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

void apply_guard(Obj book, Obj guard) {
  Ref guard_type = attribute_or(guard, type_attr, Py_None);
  Ref action = attribute_or(guard, action_attr, abort_action);
  if (checked(PyObject_RichCompareBool(action.get(), abort_action, Py_NE)))
    return;  // warn / require_approval: enforced by policy handlers
  for (const GuardRule& rule : guard_rules) {
    if (!checked(PyObject_RichCompareBool(guard_type.get(), rule.type, Py_EQ))) continue;
    Ref limit = call_method(guard, rule.limit_method);
    if (rule.tightens)
      tighten(book, rule.field, limit);
    else
      setattr(book, rule.field, limit);
    return;
  }
}

Ref from_guards(Args& a) {
  PyObject* cls = a[0];
  PyObject* guards = a[1];
  Ref book = call(cls);
  SHELL_INVARIANT(PyList_CheckExact(guards), "the binder tested 'list[Any]'");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(guards); ++i) {
    Ref guard = Ref::borrow(PyList_GET_ITEM(guards, i));
    apply_guard(book, guard);
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
  if (!calls_own(self, name, own.body)) return call_method(self, name);
  Ref value = own.on(self);
  SHELL_INVARIANT(value, "the book's own methods fail by throwing, never by returning a raise");
  return value;
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
    if (rounded) values[i] = round6(values[i]);
  }
  return snapshot.with(values);
}

}  // namespace

PyMODINIT_FUNC PyInit_spend_book() { return define(spend_book); }
