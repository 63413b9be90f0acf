#include <cmath>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <new>

#include "shell/checks.hpp"
#include "shell/internal.hpp"

namespace shell {

namespace {
Name four_decimals(".4f");
}  // namespace

Ref returns_none(Args&) { return none(); }

void throw_host_error() {
  SHELL_INVARIANT(PyErr_Occurred(), "a HostError travels with the host error set");
  throw HostError();
}

Ref global(PyObject* globals, Obj name) {
  Ref value;
  if (!get_item(globals, name, value)) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", static_cast<PyObject*>(name));
    throw_host_error();
  }
  return value;
}

namespace {

template <class T>
bool test(T x, T y, int op) {
  switch (op) {
    case Py_LT: return x < y;
    case Py_LE: return x <= y;
    case Py_EQ: return x == y;
    case Py_NE: return x != y;
    case Py_GT: return x > y;
    default: return x >= y;
  }
}

// Both exact ints small enough to sit in one machine word.
bool compact_pair(PyObject* a, PyObject* b, Py_ssize_t& x, Py_ssize_t& y) {
  if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) return false;
  auto* p = reinterpret_cast<PyLongObject*>(a);
  auto* q = reinterpret_cast<PyLongObject*>(b);
  if (!PyUnstable_Long_IsCompact(p) || !PyUnstable_Long_IsCompact(q)) return false;
  x = PyUnstable_Long_CompactValue(p);
  y = PyUnstable_Long_CompactValue(q);
  return true;
}

}  // namespace

std::optional<bool> compare_plainly(PyObject* a, PyObject* b, int op) noexcept {
  PyTypeObject* type = Py_TYPE(a);
  if (type != Py_TYPE(b)) return std::nullopt;
  bool equality = op == Py_EQ || op == Py_NE;
  // Strs first: what predicates and signal names compare most.
  if (type == &PyUnicode_Type) {
    if (equality) return detail::same_text(a, b) == (op == Py_EQ);
    return std::nullopt;
  }
  if (type == &PyFloat_Type) return test(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op);
  if (type == &PyLong_Type) {
    auto* p = reinterpret_cast<PyLongObject*>(a);
    auto* q = reinterpret_cast<PyLongObject*>(b);
    if (PyUnstable_Long_IsCompact(p) && PyUnstable_Long_IsCompact(q))
      return test(PyUnstable_Long_CompactValue(p), PyUnstable_Long_CompactValue(q), op);
    return std::nullopt;
  }
  // Identity decides for the singletons (a float's equality could deny it: nan).
  if (equality && (type == &PyBool_Type || a == Py_None)) return (a == b) == (op == Py_EQ);
  return std::nullopt;
}

namespace {

// compare_plainly, counted; the callers above it are the hot ones.
std::optional<bool> counted(std::optional<bool> verdict) noexcept {
  if (!verdict)
    refused(Fast::comparison, "operands not plain");
  else
    taken(Fast::comparison);
  return verdict;
}

}  // namespace

bool compare(Obj a, Obj b, int op) {
  if (std::optional<bool> plain = counted(compare_plainly(a, b, op))) return *plain;
  // The operator's full protocol: no identity shortcut, so nan != nan holds.
  return truth(checked(PyObject_RichCompare(a, b, op)).get());
}

bool positive(Obj value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) > 0.0;
  if (PyLong_CheckExact(value)) return _PyLong_Sign(value) > 0;
  return checked(PyObject_RichCompareBool(value, integer(0).get(), Py_GT));
}

namespace {

// `a <op> b`: exact floats and word-sized ints directly (a product of two
// one-digit ints still fits a long long), anything else by the host operator.
template <class Op>
Ref arithmetic(PyObject* a, PyObject* b, Op op, PyObject* (*host_op)(PyObject*, PyObject*)) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
    taken(Fast::arithmetic);
    return real(op(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b)));
  }
  Py_ssize_t x, y;
  if (compact_pair(a, b, x, y)) {
    taken(Fast::arithmetic);
    return integer(op(static_cast<long long>(x), static_cast<long long>(y)));
  }
  refused(Fast::arithmetic, "operands not plain");
  return checked(host_op(a, b));
}

}  // namespace

Ref add(Obj a, Obj b) { return arithmetic(a, b, std::plus<>(), PyNumber_Add); }
Ref add_in_place(Obj a, Obj b) { return arithmetic(a, b, std::plus<>(), PyNumber_InPlaceAdd); }
Ref subtract(Obj a, Obj b) { return arithmetic(a, b, std::minus<>(), PyNumber_Subtract); }
Ref multiply(Obj a, Obj b) { return arithmetic(a, b, std::multiplies<>(), PyNumber_Multiply); }

namespace {

// The room a list has once appends alone brought it to `n` items: an append to
// a full list of `size` items makes room for `size + 1` and an eighth, plus 6,
// rounded down to a multiple of 4.
Py_ssize_t room_for_appends(Py_ssize_t n) {
  size_t room = 0;
  while (room < static_cast<size_t>(n)) {
    size_t size = room + 1;
    room = (size + (size >> 3) + 6) & ~size_t{3};
  }
  return static_cast<Py_ssize_t>(room);
}

}  // namespace

Ref list_with_room(Py_ssize_t n) {
  Ref list = checked(PyList_New(0));
  Py_ssize_t room = room_for_appends(n);
  if (room == 0) return list;
  // Without the room, appends make it as they go.
  if (auto* items = PyMem_New(PyObject*, room)) {
    auto* l = reinterpret_cast<PyListObject*>(list.get());
    l->ob_item = items;
    l->allocated = room;
  }
  return list;
}

void trim_room(PyObject* list) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t room = room_for_appends(Py_SIZE(l));
  if (l->allocated <= room) return;
  if (room == 0) {
    PyMem_Free(l->ob_item);
    l->ob_item = nullptr;
    l->allocated = 0;
  } else if (auto* items = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, room * sizeof(PyObject*)))) {
    l->ob_item = items;
    l->allocated = room;
  }
}

void unpack2(Obj given, Ref& a, Ref& b) {
  PyObject* item = given;
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    a = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    b = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return;
  }
  Ref it(PyObject_GetIter(item));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    throw_host_error();
  }
  Ref* slots[] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    *slots[i] = Ref(PyIter_Next(it.get()));
    if (!*slots[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      throw_host_error();
    }
  }
  Ref extra(PyIter_Next(it.get()));
  if (!extra) {
    if (PyErr_Occurred()) throw_host_error();
    return;
  }
  throw_host_error(raise(PyExc_ValueError, "too many values to unpack (expected 2)"));
}

Ref expected_type(const char* type_name, Obj value) {
  PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", type_name, Py_TYPE(value)->tp_name);
  return {};
}

Ref as_int(Obj value) {
  if (PyLong_CheckExact(value)) return Ref::borrow(value);
  if (!offers_number(value)) throw_host_error(expected_type("int", value));
  return checked(PyNumber_Long(value));
}

Ref fixed4(Obj value) {
  if (PyFloat_CheckExact(value)) {
    char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'f', 4, 0, nullptr);
    if (!text) throw_host_error();
    Ref out(PyUnicode_FromString(text));
    PyMem_Free(text);
    return checked(out.release());
  }
  return checked(PyObject_Format(value, four_decimals));
}

// round(x, 6) of a float without the host's decimal round trip, when the
// direction of rounding is certain: x * 1e6 is within 2**-13 of the exact
// product for |x * 1e6| < 2**40, so away from a half the nearest integer n is
// the one the exact product rounds to, and n / 1e6 is the correctly rounded
// double of that decimal. Anything near a tie goes to the builtin.
bool quick_round6(double x, double& out) {
  double scaled = x * 1e6;
  if (!(std::fabs(scaled) < 1099511627776.0)) return false;  // also refuses NaN
  double floor = std::floor(scaled), fraction = scaled - floor;
  if (std::fabs(fraction - 0.5) < 1.0 / 4096) return false;
  double n = fraction > 0.5 ? floor + 1.0 : floor;
  out = n == 0.0 ? std::copysign(0.0, x) : n / 1e6;
  return true;
}

namespace {
PyObject* builtin_round = nullptr;  // taken when a module body first runs, kept for the process
}  // namespace

void detail::ready_host_functions() {
  if (!builtin_round) builtin_round = host_attribute("builtins", "round").release();
}

Ref round6(Obj value) {
  double quick;
  if (PyFloat_CheckExact(value) && quick_round6(PyFloat_AS_DOUBLE(value), quick)) return real(quick);
  return call(builtin_round, value, integer(6).get());
}

Ref host_attribute(const char* module, const char* name) {
  Ref fromlist = checked(Py_BuildValue("(s)", name));
  Ref found = checked(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
  return checked(PyObject_GetAttrString(found.get(), name));
}

// The forms the host's `raise` accepts: an instance, or a class it instantiates.
Ref raise_instance(Ref exc) {
  if (PyExceptionClass_Check(exc.get())) {
    Ref made(PyObject_CallNoArgs(exc.get()));
    if (!made) return {};
    if (!PyExceptionInstance_Check(made.get())) {
      PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                   exc.get(), reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
      return {};
    }
    exc = std::move(made);
  } else if (!PyExceptionInstance_Check(exc.get())) {
    return raise(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return {};
}

Ref format_objects(const char* format, ...) {
  va_list values;
  va_start(values, format);
  PyObject* text = PyUnicode_FromFormatV(format, values);
  va_end(values);
  return checked(text);
}

Ref raise(PyObject* type, Obj message) {
  if (message) PyErr_SetObject(type, message);  // else making it failed, and that error stays
  return {};
}

Ref raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return {};
}

namespace detail {

void raise_cpp_exception() noexcept {
  try {
    throw;
  } catch (const HostError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

}  // namespace detail
}  // namespace shell
