// Waiters: records of suspended parent runs, the registry that releases them,
// and the parsing of duration texts such as "2h30m".
#include <algorithm>

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
Name time_module("time"), time_function("time"), append("append");
Name duration_units("_DURATION_UNITS"), strip("strip"), lower("lower");

// ---- signal matching -------------------------------------------------------------

// Whether `payload.get(key) != expected`, when that is decided without running
// host code.
std::optional<bool> differs_plainly(PyObject* payload, PyObject* key, PyObject* expected, KeyHints* hints) noexcept {
  PyObject* found;
  if (!peek_item(payload, key, found, hints)) return std::nullopt;
  return compare_plainly(found ? found : Py_None, expected, Py_NE);
}

// One expected pair of the predicate against the payload. Borrowed while
// nothing can run host code; held across anything that can, which may drop
// them from their dicts.
bool pair_holds(Obj payload, Obj key, Obj expected, KeyHints* hints) {
  if (std::optional<bool> differs = differs_plainly(payload, key, expected, hints)) return !*differs;
  Ref k = Ref::borrow(key), e = Ref::borrow(expected), value;
  if (!get_item(payload, k, value)) value = none();
  return !compare(value, e, Py_NE);
}

// Shallow equality over `match.items()`, in the mapping's own order.
bool predicate_holds(Obj given, Obj payload, KeyHints* hints) {
  PyObject* match = given;
  if (hints) hints->rewind();
  if (PyDict_CheckExact(match)) {
    Py_ssize_t size = PyDict_GET_SIZE(match), left = size, pos = 0;
    PyObject *key, *expected;
    while (next_item(match, pos, key, expected)) {
      // More entries than the dict started with: a comparison swapped keys.
      if (left-- == 0) throw_host_error(raise(PyExc_RuntimeError, "dictionary keys changed during iteration"));
      if (!pair_holds(payload, key, expected, hints)) return false;
      if (PyDict_GET_SIZE(match) != size)
        throw_host_error(raise(PyExc_RuntimeError, "dictionary changed size during iteration"));
    }
    return true;
  }
  Ref it = iterate(call_method(match, items));
  while (Ref item = next_of(it)) {
    Ref key, expected;
    unpack2(item, key, expected);
    if (!pair_holds(payload, key, expected, hints)) return false;
  }
  return true;
}

// self.matches(signal_name, payload) when it can be decided without running
// host code (plain attributes, a dict of str keys, plain values). Nothing here
// can drop an object, so all of it stays borrowed, and nothing it does is
// seen: the host's way may start again from the top.
std::optional<bool> matches_plainly(PyObject* self, PyObject* signal_name, PyObject* payload,
                                    KeyHints* hints) noexcept {
  PyObject* own_name = peek_attr(self, signal_name_attr);
  if (!own_name) return std::nullopt;
  std::optional<bool> other_signal = compare_plainly(signal_name, own_name, Py_NE);
  if (!other_signal) return std::nullopt;
  if (*other_signal) return false;
  PyObject* match = peek_attr(self, match_attr);
  if (!match || !PyDict_CheckExact(match)) return std::nullopt;
  if (hints) hints->rewind();
  Py_ssize_t pos = 0;
  PyObject *key, *expected;
  while (next_item(match, pos, key, expected)) {
    std::optional<bool> differs = differs_plainly(payload, key, expected, hints);
    if (!differs) return std::nullopt;
    if (*differs) return false;
  }
  return true;
}

// The same, the host's way. Kept out of its callers: inlined, its cleanups
// would weigh on their plain path.
[[gnu::noinline]] bool matches_by_host(PyObject* self, PyObject* signal_name, PyObject* payload, KeyHints* hints) {
  if (compare(signal_name, getattr(self, signal_name_attr), Py_NE)) return false;
  return predicate_holds(getattr(self, match_attr), payload, hints);
}

// Hot: the shell's reads and comparisons are inlined into it.
[[gnu::flatten]] Ref matches(Args& a) {
  std::optional<bool> holds = matches_plainly(a[0], a[1], a[2], nullptr);
  // Host code may run from here; the arguments are the caller's, held by it.
  return boolean(holds ? *holds : matches_by_host(a[0], a[1], a[2], nullptr));
}

// ---- the registries --------------------------------------------------------------

Ref registry_init(Args& a) {
  PyObject* self = a[0];
  PyObject* clock = a[1];
  Ref chosen = truth(clock) ? Ref::borrow(clock) : getattr(global(a.globals(), time_module), time_function);
  setattr(self, clock_attr, chosen);
  for (PyObject* list_name : {signal_waiters.get(), timers.get(), user_inputs.get()})
    setattr(self, list_name, new_list());
  return none();
}

Ref append_to(PyObject* self, const Name& list_name, PyObject* waiter) {
  Ref list = getattr(self, list_name);
  if (PyList_CheckExact(list.get()))
    list_append(list, waiter);
  else
    call_method(list, append, waiter);
  return none();
}

Ref register_signal_waiter(Args& a) { return append_to(a[0], signal_waiters, a[1]); }
Ref register_timer(Args& a) { return append_to(a[0], timers, a[1]); }
Ref register_user_input_waiter(Args& a) { return append_to(a[0], user_inputs, a[1]); }

// dict(payload) for a dict: merged into a new one as the constructor does, so
// it has the constructor's layout (a copy would keep an instance's split table).
Ref dict_of(PyObject* payload) {
  Ref made = new_dict();
  checked(PyDict_Merge(made.get(), payload, 1));
  return made;
}

// The list of waiters kept from `waiting`: room for all of a plain list's
// waiters up front, trimmed by `replace` to what appends would have left.
Ref remaining_of(Obj waiting) {
  return PyList_CheckExact(waiting) ? list_with_room(PyList_GET_SIZE(waiting)) : new_list();
}
void replace(PyObject* self, const Name& list_name, Obj remaining) {
  trim_room(remaining);
  setattr(self, list_name, remaining);
}

[[gnu::flatten]] Ref resolve_signal(Args& a) {
  PyObject* self = a[0];
  PyObject* signal_name = a[1];
  PyObject* payload = a[2];
  Ref matched = new_list();
  Ref waiters = getattr(self, signal_waiters);
  Ref remaining = remaining_of(waiters);
  // A plain list is walked by index, re-reading its length at every step as
  // its own iterator would: a comparison may change it.
  bool plain = PyList_CheckExact(waiters.get());
  Ref it = plain ? Ref() : iterate(waiters);
  KeyHints hints;  // every predicate reads the same payload
  for (Py_ssize_t i = 0;; ++i) {
    // A plain list's waiter is borrowed until host code may run (which could
    // drop it from the list), then held.
    Ref w;
    PyObject* waiter;
    if (plain) {
      if (i >= PyList_GET_SIZE(waiters.get())) break;
      waiter = PyList_GET_ITEM(waiters.get(), i);
    } else {
      if (!(w = next_of(it))) break;
      waiter = w.get();
    }
    // Our own `matches`, when the call by name would reach it, runs here without a call.
    std::optional<bool> own = calls_own_plainly(waiter, matches_name, matches);
    std::optional<bool> hit = own == true ? matches_plainly(waiter, signal_name, payload, &hints) : std::nullopt;
    if (!hit) {
      // Host code may run from here, and may drop the waiter from the list.
      if (!w) w = Ref::borrow(waiter);
      if (own ? *own : calls_own(waiter, matches_name, matches))
        hit = matches_by_host(waiter, signal_name, payload, &hints);
      else
        hit = truth(call_method(waiter, matches_name, signal_name, payload));
    }
    if (!*hit) {
      list_append(remaining, waiter);
      continue;
    }
    if (!w) w = Ref::borrow(waiter);
    Ref run_id = getattr(w, parent_run_id_attr);
    Ref key = getattr(w, resume_key_attr);
    Ref copy = dict_of(payload);
    list_append(matched, tuple_of(run_id, key, copy));
  }
  replace(self, signal_waiters, remaining);
  return matched;
}

Ref resolve_user_input(Args& a) {
  PyObject* self = a[0];
  PyObject* parent_run_id = a[1];
  PyObject* resume_key = a[2];
  Ref it = iterate(getattr(self, user_inputs));
  for (Py_ssize_t i = 0;; ++i) {
    Ref w = next_of(it);
    if (!w) return boolean(false);
    if (!compare(getattr(w, parent_run_id_attr), parent_run_id, Py_EQ) ||
        !compare(getattr(w, resume_key_attr), resume_key, Py_EQ))
      continue;
    // `del self._user_inputs[i]`: the comparisons may have replaced the list,
    // so the removal goes to the one the attribute names now.
    Ref current = getattr(self, user_inputs);
    if (PyList_CheckExact(current.get()) && i < PyList_GET_SIZE(current.get()))
      checked(PyList_SetSlice(current.get(), i, i + 1, nullptr));
    else
      del_item(current, integer(i));
    return boolean(true);
  }
}

Ref sweep_expired_timers(Args& a) {
  PyObject* self = a[0];
  Ref now = call(getattr(self, clock_attr));
  Ref expired = new_list();
  Ref pending = getattr(self, timers);
  Ref remaining = remaining_of(pending);
  Ref it = iterate(pending);
  while (Ref w = next_of(it)) {
    if (!compare(getattr(w, resume_at_unix), now, Py_LE)) {
      list_append(remaining, w);
      continue;
    }
    Ref run_id = getattr(w, parent_run_id_attr);
    Ref key = getattr(w, resume_key_attr);
    list_append(expired, tuple_of(run_id, key));
  }
  replace(self, timers, remaining);
  return expired;
}

Ref count_of(PyObject* self, const Name& list_name) {
  return integer(checked(PyObject_Size(getattr(self, list_name).get())));
}
Ref signal_waiter_count(Args& a) { return count_of(a[0], signal_waiters); }
Ref timer_count(Args& a) { return count_of(a[0], timers); }
Ref user_input_waiter_count(Args& a) { return count_of(a[0], user_inputs); }

// ---- duration parsing ------------------------------------------------------------

Ref make_duration_units() {
  return checked(Py_BuildValue("{s:d,s:d,s:d,s:d}", "s", 1.0, "m", 60.0, "h", 3600.0, "d", 86400.0));
}

// The text being scanned, value.strip().lower(), as the bounds of the part
// kept and the characters read through operator[].

// A plain ASCII str: the caller's own, stripped by bounds and lower-cased per
// character. Its characters are bytes.
struct AsciiText {
  const Py_UCS1* data;
  Py_ssize_t begin = 0, end;

  explicit AsciiText(PyObject* value)
      : data(static_cast<const Py_UCS1*>(PyUnicode_DATA(value))), end(PyUnicode_GET_LENGTH(value)) {
    SHELL_INVARIANT(PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value), "chosen for a plain ASCII str only");
    while (begin < end && Py_UNICODE_ISSPACE(data[begin])) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(data[end - 1])) --end;
  }
  Py_UCS4 operator[](Py_ssize_t i) const {
    Py_UCS4 c = data[i];
    return c - 'A' < 26u ? c + ('a' - 'A') : c;
  }
};

// Any other str: the host's value.strip().lower(), scanned as it comes.
struct HostText {
  Ref made;
  int kind = PyUnicode_1BYTE_KIND;
  const void* data = nullptr;
  Py_ssize_t begin = 0, end = 0;

  explicit HostText(PyObject* value) : made(call_method(call_method(value, strip), lower)) {
    if (!PyUnicode_Check(made.get())) made = str_of(made.get());  // an overridden lower()
    kind = PyUnicode_KIND(made.get());
    data = PyUnicode_DATA(made.get());
    end = PyUnicode_GET_LENGTH(made.get());
  }
  Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

// ch.isdigit() or ch == "."; ASCII text never needs the host's character tables.
bool in_number(Py_UCS4 c) { return c < 128 ? (c >= '0' && c <= '9') || c == '.' : Py_UNICODE_ISDIGIT(c); }

// num_buf, kept as where it starts in the text and what float(num_buf) needs.
// Whitespace inside a number is skipped, so its characters need not be
// contiguous; only the rare conversions below gather them.
struct Number {
  Py_ssize_t start = -1;  // -1 while num_buf is empty
  unsigned long long mantissa = 0;
  int digits = 0, decimals = 0, points = 0;
  bool ascii = true;

  bool empty() const { return start < 0; }
  // num_buf += ch when in_number(ch); false otherwise.
  bool take(Py_UCS4 c, Py_ssize_t at) {
    if (c - '0' < 10u) {
      if (++digits <= 15) mantissa = mantissa * 10 + (c - '0');
      decimals += points;
    } else if (c == '.') {
      ++points;
    } else if (in_number(c)) {
      ascii = false;
    } else {
      return false;
    }
    if (start < 0) start = at;
    return true;
  }
};

// float(num_buf). Up to 15 ASCII digits and one point, digits / 10**decimals
// is one exactly rounded division of two exact doubles: the correctly rounded
// value. Anything else goes through the host's float() of the gathered str,
// with its errors.
template <class Text>
double to_double(const Text& t, Py_ssize_t stop, const Number& n) {
  static constexpr double powers_of_ten[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (n.ascii && n.points <= 1 && n.digits > 0 && n.digits <= 15) {
    double out = static_cast<double>(n.mantissa);
    return n.decimals ? out / powers_of_ten[n.decimals] : out;
  }
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  for (Py_ssize_t i = n.start; i < stop; ++i) {
    Py_UCS4 c = t[i];
    if (in_number(c)) ++length, widest = std::max(widest, c);
  }
  Ref text = checked(PyUnicode_New(length, widest));
  Py_ssize_t k = 0;
  for (Py_ssize_t i = n.start; i < stop; ++i) {
    Py_UCS4 c = t[i];
    if (in_number(c)) PyUnicode_WRITE(PyUnicode_KIND(text.get()), PyUnicode_DATA(text.get()), k++, c);
  }
  return PyFloat_AS_DOUBLE(checked(PyFloat_FromString(text.get())).get());
}

// The running total: a C double while every unit's seconds are exact floats,
// the host's arithmetic from the first that is not.
struct Total {
  double value = 0.0;
  Ref boxed;

  // total += number * per_unit
  void add(double number, Obj per_unit) {
    if (!boxed && PyFloat_CheckExact(per_unit)) {
      value += number * PyFloat_AS_DOUBLE(per_unit);
      return;
    }
    if (!boxed) boxed = real(value);
    Ref seconds = multiply(real(number), per_unit);
    boxed = shell::add(boxed, seconds);
  }
  // total += number
  void add(double number) {
    if (!boxed)
      value += number;
    else
      boxed = shell::add(boxed, real(number));
  }
  // total <= 0, compared with the int 0
  bool not_positive() const { return boxed ? compare(boxed, integer(0), Py_LE) : value <= 0.0; }
  Ref result() { return boxed ? std::move(boxed) : real(value); }
  // Whether every step so far was float arithmetic, which runs no host code.
  bool exact() const { return !boxed; }
};

// `ch in units`. A plain dict hands over the value too; reading it again could
// not differ, as nothing in between runs host code.
bool unit_of(Obj units, Obj ch, Ref& per_unit) {
  if (!PyDict_CheckExact(units)) return checked(PySequence_Contains(units, ch));
  return get_item(units, ch, per_unit);
}

// The scan of the text `s` made from `value`.
template <class Text>
Ref parse_text(Args& a, PyObject* value, const Text& s) {
  if (s.begin == s.end) return raise(PyExc_ValueError, "empty duration string");
  Total total;
  Number num_buf;
  // The table as last read from the namespace, and whether reading it again
  // must give the same object because no host code has run since.
  Ref units;
  bool units_current = false;
  for (Py_ssize_t i = s.begin; i < s.end; ++i) {
    Py_UCS4 c = s[i];
    if (num_buf.take(c, i)) continue;
    Ref ch = checked(PyUnicode_FromOrdinal(static_cast<int>(c)));
    if (!units_current) units = global(a.globals(), duration_units);
    bool quiet = lookups_run_no_code(units.get());
    Ref per_unit;  // a plain dict answers both `ch in units` and `units[ch]` at once
    if (unit_of(units, ch, per_unit)) {
      if (num_buf.empty())
        return raise(PyExc_ValueError, format("duration unit %R with no preceding number in %R", ch, value));
      double number = to_double(s, i, num_buf);
      if (!per_unit) {
        units = global(a.globals(), duration_units);
        per_unit = checked(PyObject_GetItem(units.get(), ch.get()));
      }
      total.add(number, per_unit);
      num_buf = {};
    } else if (!Py_UNICODE_ISSPACE(c)) {
      return raise(PyExc_ValueError, format("unrecognized character %R in duration %R", ch, value));
    }
    units_current = quiet && total.exact();
  }
  if (!num_buf.empty()) total.add(to_double(s, s.end, num_buf));
  if (total.not_positive()) return raise(PyExc_ValueError, format("duration must be positive: %R", value));
  return total.result();
}

[[gnu::flatten]] Ref parse_duration(Args& a) {
  PyObject* value = a[0];
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) return parse_text(a, value, AsciiText(value));
  // An exact str is neither number; the test costs a walk of its bases.
  if (!PyUnicode_CheckExact(value) && (PyLong_Check(value) || PyFloat_Check(value)))
    return checked(PyNumber_Float(value));
  if (!PyUnicode_Check(value)) {
    Ref type_name = checked(PyType_GetName(Py_TYPE(value)));
    return raise(PyExc_ValueError, format("unsupported duration type: %U", type_name));
  }
  // Host code may run from here: an overridden strip() or lower().
  return parse_text(a, value, HostText(value));
}

}  // namespace

PyMODINIT_FUNC PyInit_waiters() { return define(waiters); }
