// Waiters: records of suspended parent runs, the registry that releases them,
// and the parsing of duration texts such as "2h30m".
#include <string>

#include "shell/shell.hpp"

namespace {
using namespace shell;

// Bodies, defined below the table.
Ref matches(Args& a);
Ref registry_init(Args& a);
Ref register_signal_waiter(Args& a);
Ref register_timer(Args& a);
Ref register_user_input_waiter(Args& a);
Ref resolve_signal(Args& a);
Ref resolve_user_input(Args& a);
Ref sweep_expired_timers(Args& a);
Ref signal_waiter_count(Args& a);
Ref timer_count(Args& a);
Ref user_input_waiter_count(Args& a);
Ref make_duration_units();
Ref parse_duration(Args& a);

const Module waiters{
    .name = "waiters",
    .doc = "Phase 1.2 — waiter registry protocol + in-memory default.\n\n"
           "Three suspension types converge on this registry:\n\n"
           "- **Signal waiters** (``ctx.wait_for_signal``) — parent waits for a\n"
           "  signal whose payload satisfies a shallow-equality match predicate.\n"
           "- **Timers** (``ctx.sleep``) — parent waits until a wall-clock time.\n"
           "- **User-input waiters** (``ctx.ask_user``) — parent waits for typed\n"
           "  user input.\n\n"
           "The runtime defines the registry shape. Infra implements it with Redis\n"
           "(for durable state across workers) + Celery Beat (for timer sweeping) +\n"
           "hooks into the existing signal handler.\n\n"
           "The default in-memory implementation is sufficient for local dev + unit\n"
           "tests. It's intentionally NOT thread-safe — production workloads go\n"
           "through infra.\n\n"
           "See docs/RUNTIME_EMERGENCE_PLAN.md §4.2.\n",
    .body = {
        Import{"time"},
        FromImport{"dataclasses", {"dataclass", "field"}},
        FromImport{"typing", {"Any", "Optional", "Protocol", "runtime_checkable"}},
        record("SignalWaiter", "One parent run awaiting one named signal + match predicate.",
               {
                   {"parent_run_id", "str"},
                   {"resume_key", "str"},
                   {"signal_name", "str"},
                   {"match", "dict[str, Any]", DictFactory},
                   {"timeout_at_unix", "float", Real(0.0)},
               },
               {
                   {.name = "matches", .line = 44,
                    .params = {arg("signal_name", "str"), arg("payload", "dict")}, .returns = "bool",
                    .doc = "Shallow equality — every key in ``match`` must equal the\n"
                           "        same key in ``payload``. Payload may carry additional keys.\n"
                           "        ",
                    .body = matches, .locals = {"key", "expected"}},
               }),
        record("TimerWaiter", "One parent run awaiting a deliberate timer.",
               {
                   {"parent_run_id", "str"},
                   {"resume_key", "str"},
                   {"resume_at_unix", "float"},
               }),
        record("UserInputWaiter", "One parent run awaiting typed user input.",
               {
                   {"parent_run_id", "str"},
                   {"resume_key", "str"},
                   {"question", "str"},
                   {"choices", "Optional[list[str]]", None},
                   {"timeout_at_unix", "float", Real(0.0)},
               }),
        protocol("WaiterRegistry",
                 "Registry that tracks suspended runs and resolves them.\n\n"
                 "    Infra implements with Redis persistence + Celery Beat timer sweep +\n"
                 "    signal-handler integration. Runtime provides the in-memory default\n"
                 "    for local dev and tests.\n"
                 "    ",
                 {
                     {.name = "register_signal_waiter", .line = 88,
                      .params = {arg("waiter", "SignalWaiter")}, .returns = "None",
                      .kind = Kind::coroutine},
                     {.name = "register_timer", .line = 90,
                      .params = {arg("waiter", "TimerWaiter")}, .returns = "None",
                      .kind = Kind::coroutine},
                     {.name = "register_user_input_waiter", .line = 92,
                      .params = {arg("waiter", "UserInputWaiter")}, .returns = "None",
                      .kind = Kind::coroutine},
                     {.name = "resolve_signal", .line = 94,
                      .params = {kwarg("signal_name", "str"), kwarg("payload", "dict")},
                      .returns = "list[tuple[str, str, dict]]",
                      .doc = "Check every registered signal waiter for a match.\n\n"
                             "        Returns list of ``(parent_run_id, resume_key, payload)`` tuples\n"
                             "        for every waiter that matched. Caller is responsible for\n"
                             "        triggering parent resume for each.\n"
                             "        ",
                      .kind = Kind::coroutine},
                     {.name = "resolve_user_input", .line = 104,
                      .params = {kwarg("parent_run_id", "str"), kwarg("resume_key", "str"),
                                 kwarg("response", "Any")},
                      .returns = "bool",
                      .doc = "Mark a user-input waiter as resolved.\n\n"
                             "        Returns True if a matching waiter existed. Caller arranges the\n"
                             "        parent resume with the response value.\n"
                             "        ",
                      .kind = Kind::coroutine},
                     {.name = "sweep_expired_timers", .line = 113,
                      .returns = "list[tuple[str, str]]",
                      .doc = "Return ``(parent_run_id, resume_key)`` for every timer whose\n"
                             "        ``resume_at_unix`` is in the past. Caller arranges parent resume.\n"
                             "        ",
                      .kind = Kind::coroutine},
                 }),
        plain_class("InMemoryWaiterRegistry",
                    "Synchronous, in-process registry for local dev + tests.\n\n"
                    "    Does NOT persist across process restarts — production deployments\n"
                    "    configure the infra Redis-backed implementation instead.\n"
                    "    ",
                    {
                        {.name = "__init__", .line = 127, .params = {kwarg("clock", nullptr, None)},
                         .body = registry_init},
                        {.name = "register_signal_waiter", .line = 133,
                         .params = {arg("waiter", "SignalWaiter")}, .returns = "None",
                         .body = register_signal_waiter, .kind = Kind::coroutine},
                        {.name = "register_timer", .line = 136,
                         .params = {arg("waiter", "TimerWaiter")}, .returns = "None",
                         .body = register_timer, .kind = Kind::coroutine},
                        {.name = "register_user_input_waiter", .line = 139,
                         .params = {arg("waiter", "UserInputWaiter")}, .returns = "None",
                         .body = register_user_input_waiter, .kind = Kind::coroutine},
                        {.name = "resolve_signal", .line = 142,
                         .params = {kwarg("signal_name", "str"), kwarg("payload", "dict")},
                         .returns = "list[tuple[str, str, dict]]",
                         .doc = "Match every registered signal waiter; remove matched ones;\n"
                                "        return the match records so the caller can resume each parent.\n"
                                "        ",
                         .body = resolve_signal, .kind = Kind::coroutine,
                         .locals = {"matched", "remaining", "w"}},
                        {.name = "resolve_user_input", .line = 158,
                         .params = {kwarg("parent_run_id", "str"), kwarg("resume_key", "str"),
                                    kwarg("response", "Any")},
                         .returns = "bool",
                         .body = resolve_user_input, .kind = Kind::coroutine, .locals = {"i", "w"}},
                        {.name = "sweep_expired_timers", .line = 171, .returns = "list[tuple[str, str]]",
                         .body = sweep_expired_timers, .kind = Kind::coroutine,
                         .locals = {"now", "expired", "remaining", "w"}},
                        {.name = "signal_waiter_count", .line = 184, .returns = "int",
                         .body = signal_waiter_count},
                        {.name = "timer_count", .line = 187, .returns = "int", .body = timer_count},
                        {.name = "user_input_waiter_count", .line = 190, .returns = "int",
                         .body = user_input_waiter_count},
                    }),
        Constant{"_DURATION_UNITS", make_duration_units},
        Def{.name = "parse_duration", .line = 202, .params = {arg("value")}, .returns = "float",
            .doc = "Parse a duration spec into seconds.\n\n"
                   "    Accepts:\n"
                   "      - ``int`` or ``float`` → seconds as-is\n"
                   "      - ``\"30s\"`` → 30.0\n"
                   "      - ``\"5m\"`` → 300.0\n"
                   "      - ``\"1h\"`` → 3600.0\n"
                   "      - ``\"2h30m\"`` → 9000.0\n"
                   "      - ``\"1d\"`` → 86400.0\n\n"
                   "    Multi-unit strings are summed left-to-right. Raises ``ValueError`` on\n"
                   "    anything unparseable.\n"
                   "    ",
            .body = parse_duration, .locals = {"s", "total", "num_buf", "ch"}},
    },
};

// ---- bodies ----------------------------------------------------------------------------

Name signal_name_attr("signal_name"), match_attr("match"), items("items"), matches_name("matches");
Name parent_run_id_attr("parent_run_id"), resume_key_attr("resume_key"), resume_at_unix("resume_at_unix");
Name clock_attr("_clock"), signal_waiters("_signal_waiters"), timers("_timers"), user_inputs("_user_inputs");
Name time_module("time"), time_function("time"), append("append"), pop("pop");
Name duration_units("_DURATION_UNITS"), strip("strip"), lower("lower");

// ---- signal matching -------------------------------------------------------------

// One expected pair of the predicate against the payload: 1 when it holds.
int pair_holds(PyObject* payload, PyObject* key, PyObject* expected) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(payload, key, &found) < 0) return -1;
  Ref value = found ? Ref(found) : none();
  int differs = compare(value.get(), expected, Py_NE);
  return differs < 0 ? -1 : !differs;
}

// Shallow equality over `match.items()`, in the mapping's own order.
int predicate_holds(PyObject* match, PyObject* payload) {
  if (PyDict_CheckExact(match)) {
    Py_ssize_t size = PyDict_GET_SIZE(match), pos = 0;
    PyObject *key, *expected;
    while (PyDict_Next(match, &pos, &key, &expected)) {
      Ref k = Ref::borrow(key), e = Ref::borrow(expected);  // the comparison may drop them from the dict
      int holds = pair_holds(payload, k.get(), e.get());
      if (holds <= 0) return holds;
      if (PyDict_GET_SIZE(match) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
      }
    }
    return 1;
  }
  Ref pairs = call_method(match, items);
  Ref it = pairs ? Ref(PyObject_GetIter(pairs.get())) : Ref();
  if (!it) return -1;
  while (Ref item = Ref(PyIter_Next(it.get()))) {
    Ref key, expected;
    if (!unpack2(item.get(), key, expected)) return -1;
    int holds = pair_holds(payload, key.get(), expected.get());
    if (holds <= 0) return holds;
  }
  return PyErr_Occurred() ? -1 : 1;
}

Ref matches(Args& a) {
  PyObject* self = a[0];
  PyObject* signal_name = a[1];
  PyObject* payload = a[2];
  Ref own_name = getattr(self, signal_name_attr);
  if (!own_name) return {};
  int other_signal = compare(signal_name, own_name.get(), Py_NE);
  if (other_signal < 0) return {};
  if (other_signal) return boolean(false);
  Ref match = getattr(self, match_attr);
  if (!match) return {};
  int holds = predicate_holds(match.get(), payload);
  return holds < 0 ? Ref() : boolean(holds);
}

// ---- the registries --------------------------------------------------------------

Ref registry_init(Args& a) {
  PyObject* self = a[0];
  PyObject* clock = a[1];
  int given = PyObject_IsTrue(clock);
  if (given < 0) return {};
  Ref chosen;
  if (given) {
    chosen = Ref::borrow(clock);
  } else {
    Ref time = global(a.globals(), time_module);
    chosen = time ? getattr(time.get(), time_function) : Ref();
  }
  if (!chosen || !setattr(self, clock_attr, chosen.get())) return {};
  for (PyObject* list_name : {signal_waiters.get(), timers.get(), user_inputs.get()}) {
    Ref empty(PyList_New(0));
    if (!empty || !setattr(self, list_name, empty.get())) return {};
  }
  return none();
}

Ref append_to(PyObject* self, const Name& list_name, PyObject* waiter) {
  Ref list = getattr(self, list_name);
  if (!list) return {};
  if (PyList_CheckExact(list.get())) return PyList_Append(list.get(), waiter) < 0 ? Ref() : none();
  Ref done = call_method(list.get(), append, waiter);
  return done ? none() : Ref();
}

Ref register_signal_waiter(Args& a) { return append_to(a[0], signal_waiters, a[1]); }
Ref register_timer(Args& a) { return append_to(a[0], timers, a[1]); }
Ref register_user_input_waiter(Args& a) { return append_to(a[0], user_inputs, a[1]); }

// A list grown while walking another; PyList_Append on a fresh list cannot be
// observed by anyone else.
bool keep(PyObject* list, PyObject* item) { return PyList_Append(list, item) == 0; }

Ref resolve_signal(Args& a) {
  PyObject* self = a[0];
  PyObject* signal_name = a[1];
  PyObject* payload = a[2];
  Ref matched(PyList_New(0)), remaining(PyList_New(0));
  Ref waiters = getattr(self, signal_waiters);
  Ref it = waiters ? Ref(PyObject_GetIter(waiters.get())) : Ref();
  if (!matched || !remaining || !it) return {};
  while (Ref w = Ref(PyIter_Next(it.get()))) {
    Ref verdict = call_method(w.get(), matches_name, signal_name, payload);
    int hit = verdict ? PyObject_IsTrue(verdict.get()) : -1;
    if (hit < 0) return {};
    if (!hit) {
      if (!keep(remaining.get(), w.get())) return {};
      continue;
    }
    Ref run_id = getattr(w.get(), parent_run_id_attr);
    Ref key = run_id ? getattr(w.get(), resume_key_attr) : Ref();
    Ref copy = key ? Ref(PyDict_Copy(payload)) : Ref();
    Ref record = copy ? Ref(PyTuple_Pack(3, run_id.get(), key.get(), copy.get())) : Ref();
    if (!record || !keep(matched.get(), record.get())) return {};
  }
  if (PyErr_Occurred() || !setattr(self, signal_waiters, remaining.get())) return {};
  return matched;
}

Ref resolve_user_input(Args& a) {
  PyObject* self = a[0];
  PyObject* parent_run_id = a[1];
  PyObject* resume_key = a[2];
  Ref waiting = getattr(self, user_inputs);
  Ref it = waiting ? Ref(PyObject_GetIter(waiting.get())) : Ref();
  if (!it) return {};
  for (Py_ssize_t i = 0;; ++i) {
    Ref w(PyIter_Next(it.get()));
    if (!w) return PyErr_Occurred() ? Ref() : boolean(false);
    Ref run_id = getattr(w.get(), parent_run_id_attr);
    int same = run_id ? compare(run_id.get(), parent_run_id, Py_EQ) : -1;
    if (same > 0) {
      Ref key = getattr(w.get(), resume_key_attr);
      same = key ? compare(key.get(), resume_key, Py_EQ) : -1;
    }
    if (same < 0) return {};
    if (!same) continue;
    if (PyList_CheckExact(waiting.get()) && i < PyList_GET_SIZE(waiting.get()))
      return PyList_SetSlice(waiting.get(), i, i + 1, nullptr) == 0 ? boolean(true) : Ref();
    Ref index(PyLong_FromSsize_t(i));
    Ref removed = index ? call_method(waiting.get(), pop, index.get()) : Ref();
    return removed ? boolean(true) : Ref();
  }
}

Ref sweep_expired_timers(Args& a) {
  PyObject* self = a[0];
  Ref clock = getattr(self, clock_attr);
  Ref now = clock ? call(clock.get()) : Ref();
  if (!now) return {};
  Ref expired(PyList_New(0)), remaining(PyList_New(0));
  Ref pending = getattr(self, timers);
  Ref it = pending ? Ref(PyObject_GetIter(pending.get())) : Ref();
  if (!expired || !remaining || !it) return {};
  while (Ref w = Ref(PyIter_Next(it.get()))) {
    Ref due = getattr(w.get(), resume_at_unix);
    int passed = due ? compare(due.get(), now.get(), Py_LE) : -1;
    if (passed < 0) return {};
    if (!passed) {
      if (!keep(remaining.get(), w.get())) return {};
      continue;
    }
    Ref run_id = getattr(w.get(), parent_run_id_attr);
    Ref key = run_id ? getattr(w.get(), resume_key_attr) : Ref();
    Ref pair = key ? Ref(PyTuple_Pack(2, run_id.get(), key.get())) : Ref();
    if (!pair || !keep(expired.get(), pair.get())) return {};
  }
  if (PyErr_Occurred() || !setattr(self, timers, remaining.get())) return {};
  return expired;
}

Ref count_of(PyObject* self, const Name& list_name) {
  Ref list = getattr(self, list_name);
  Py_ssize_t n = list ? PyObject_Size(list.get()) : -1;
  return n < 0 ? Ref() : Ref(PyLong_FromSsize_t(n));
}
Ref signal_waiter_count(Args& a) { return count_of(a[0], signal_waiters); }
Ref timer_count(Args& a) { return count_of(a[0], timers); }
Ref user_input_waiter_count(Args& a) { return count_of(a[0], user_inputs); }

// ---- duration parsing ------------------------------------------------------------

Ref make_duration_units() {
  return Ref(Py_BuildValue("{s:d,s:d,s:d,s:d}", "s", 1.0, "m", 60.0, "h", 3600.0, "d", 86400.0));
}

// float(num_buf): plain ASCII digits convert directly, anything else (other
// Unicode digits) through the host's float() of a str, with its errors.
Ref as_float(const std::u32string& digits) {
  std::string ascii;
  for (char32_t c : digits) {
    if (c >= 0x80) {
      Ref text(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, digits.data(), static_cast<Py_ssize_t>(digits.size())));
      return text ? Ref(PyFloat_FromString(text.get())) : Ref();
    }
    ascii.push_back(static_cast<char>(c));
  }
  // Up to 15 digits and 22 decimals, digits / 10**decimals is one exactly
  // rounded division: the correctly rounded value, without a strtod call.
  static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  size_t point = ascii.find('.');
  bool one_point = point == std::string::npos || ascii.find('.', point + 1) == std::string::npos;
  size_t digit_count = ascii.size() - (point == std::string::npos ? 0 : 1);
  if (one_point && digit_count > 0 && digit_count <= 15) {
    long long mantissa = 0;
    for (char c : ascii)
      if (c != '.') mantissa = mantissa * 10 + (c - '0');
    size_t decimals = point == std::string::npos ? 0 : ascii.size() - point - 1;
    return real(static_cast<double>(mantissa) / powers_of_ten[decimals]);
  }
  char* end = nullptr;
  double number = PyOS_string_to_double(ascii.c_str(), &end, nullptr);
  if (end != ascii.c_str() + ascii.size() || (number == -1.0 && PyErr_Occurred())) {
    PyErr_Clear();
    Ref text(PyUnicode_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
    if (text) PyErr_Format(PyExc_ValueError, "could not convert string to float: %R", text.get());
    return {};
  }
  return real(number);
}

// `ch in units`: 1, 0, or -1 with the host error set. A plain dict hands over
// the value too; reading it again could not differ, as nothing in between
// runs host code.
int unit_of(PyObject* units, PyObject* ch, Ref& per_unit) {
  if (!PyDict_CheckExact(units)) return PySequence_Contains(units, ch);
  PyObject* found = nullptr;
  int is_unit = PyDict_GetItemRef(units, ch, &found);
  per_unit = Ref(found);
  return is_unit;
}

// value.strip().lower(), done in place for a plain ASCII str.
Ref normalised(PyObject* value) {
  if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) {
    Ref stripped = call_method(value, strip);
    return stripped ? call_method(stripped.get(), lower) : Ref();
  }
  const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(value));
  Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(value);
  while (begin < end && Py_UNICODE_ISSPACE(text[begin])) ++begin;
  while (end > begin && Py_UNICODE_ISSPACE(text[end - 1])) --end;
  std::string out(reinterpret_cast<const char*>(text) + begin, static_cast<size_t>(end - begin));
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return Ref(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

Ref parse_duration(Args& a) {
  PyObject* value = a[0];
  if (PyLong_Check(value) || PyFloat_Check(value)) return Ref(PyNumber_Float(value));
  if (!PyUnicode_Check(value)) {
    Ref type_name(PyType_GetName(Py_TYPE(value)));
    return type_name ? raise(PyExc_ValueError, Ref(PyUnicode_FromFormat("unsupported duration type: %U",
                                                                          type_name.get())).get())
                     : Ref();
  }
  Ref s = normalised(value);
  if (!s) return {};
  if (!PyUnicode_Check(s.get())) {
    // strip()/lower() overridden to hand back something else: scan its str().
    Ref text(PyObject_Str(s.get()));
    if (!text) return {};
    s = text;
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(s.get());
  if (length == 0) return raise(PyExc_ValueError, "empty duration string");

  Ref total = real(0.0);
  if (!total) return {};
  std::u32string num_buf;
  int kind = PyUnicode_KIND(s.get());
  const void* data = PyUnicode_DATA(s.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (Py_UNICODE_ISDIGIT(c) || c == '.') {
      num_buf.push_back(c);
      continue;
    }
    Ref ch(PyUnicode_FromOrdinal(static_cast<int>(c)));
    Ref units = ch ? global(a.globals(), duration_units) : Ref();
    Ref per_unit;  // a plain dict answers both `ch in units` and `units[ch]` at once
    int is_unit = units ? unit_of(units.get(), ch.get(), per_unit) : -1;
    if (is_unit < 0) return {};
    if (is_unit) {
      if (num_buf.empty())
        return raise(PyExc_ValueError,
                     Ref(PyUnicode_FromFormat("duration unit %R with no preceding number in %R", ch.get(), value))
                         .get());
      Ref number = as_float(num_buf);
      if (number && !per_unit) {
        units = global(a.globals(), duration_units);
        per_unit = units ? Ref(PyObject_GetItem(units.get(), ch.get())) : Ref();
      }
      Ref seconds = number && per_unit ? multiply(number.get(), per_unit.get()) : Ref();
      total = seconds ? add(total.get(), seconds.get()) : Ref();
      if (!total) return {};
      num_buf.clear();
    } else if (!Py_UNICODE_ISSPACE(c)) {
      return raise(PyExc_ValueError,
                   Ref(PyUnicode_FromFormat("unrecognized character %R in duration %R", ch.get(), value)).get());
    }
  }
  if (!num_buf.empty()) {
    Ref number = as_float(num_buf);
    total = number ? add(total.get(), number.get()) : Ref();
    if (!total) return {};
  }
  Ref zero = integer(0);
  int not_positive = zero ? compare(total.get(), zero.get(), Py_LE) : -1;
  if (not_positive < 0) return {};
  if (not_positive)
    return raise(PyExc_ValueError, Ref(PyUnicode_FromFormat("duration must be positive: %R", value)).get());
  return total;
}

}  // namespace

PyMODINIT_FUNC PyInit_waiters() { return define(waiters); }
