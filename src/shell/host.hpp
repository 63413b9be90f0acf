// Small host operations that module bodies are written in.
//
// Errors
// ------
// A host operation that fails leaves the host error set and throws HostError,
// which carries nothing: the error itself stays in the host's indicator. It
// travels to the entry the host called (the function's guard, or the
// coroutine's promise), which returns the failure the host expects. So a
// helper that can fail returns a non-empty Ref (or the value asked for) or
// throws, and a body needs `try` only where the Python has an `except`.
// Where a body's Python raises, the body returns the raise (below) instead:
// unwinding costs more than all the rest of a failing call.
//
// `noexcept` means more than "throws nothing" here: the helper runs no host
// code either (drops apart: a destructor cannot be anything but noexcept).
// Such helpers answer with std::optional or borrowed pointers. A helper that
// may run host code is never noexcept. The host's own entries (type slots,
// the vectorcall of a function, module creation) are noexcept and run what
// may throw inside detail::guard. `make exception-escape` flags any noexcept
// function from which a HostError could escape, which would end the process.
//
// When host code runs
// -------------------
// "Host code" is Python code, or any C code of the host's that can reach it.
// On 3.13, with the GIL held, these run host code:
//   - calls: the callee itself, and whatever its result's drop sets off;
//   - comparisons and hashes of anything but exact str, int, float, bool and
//     None, and so every dict or set lookup with such a key, or in a dict that
//     holds such a key (its keys compare themselves on a hash collision);
//   - class lookups: a key of a class's dict that is a str subclass compares
//     itself, and descriptors, __getattr__, __getattribute__ and __setattr__
//     run on instance reads and writes;
//   - the last drop of a reference (Py_DECREF, a Ref going out of scope,
//     Py_SETREF, a container losing an item): finalizers, __del__, weakref
//     callbacks.
// These do not: reads of the layouts of exact builtin types (items of a list
// or tuple, str data, float and compact int values, an exact dict's table of
// exact str keys), Py_INCREF, making exact builtin objects, and allocation
// (on 3.13 the cycle collector runs only at the evaluation loop's checks,
// never inside an allocation).
//
// Names say which kind a helper is. `peek_*` reads borrowed and runs no host
// code; null means "not known that way": ask the host's way. `*_plainly`
// decides only what it can without host code and answers kUndecided
// otherwise. Every other helper may run host code.
//
// The rule: before the first call that may run host code, hold a reference to
// everything used after it, and finish writing shared state (caches, fields,
// lists being built) so that code finds it whole. After the call, read again:
// a borrowed pointer, a length, a version or a cached proof is valid only up
// to the next point where host code can run. Bodies mark that point with
// "host code may run from here".
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>

#include "shell/ref.hpp"

namespace shell {

// The host error is set; see "Errors" above.
struct HostError {};
// Throws HostError; out of line and cold, so the callers' hot paths stay short.
[[noreturn]] void throw_host_error();
// The same for the error a `raise` below has just set, from a helper that
// cannot return it: `throw_host_error(raise(...))`.
[[noreturn]] inline void throw_host_error(const Ref&) { throw_host_error(); }
// Takes over a new reference from the C API: non-empty, or the host error is set.
inline Ref checked(PyObject* owned) {
  if (!owned) [[unlikely]]
    throw_host_error();
  return Ref(owned);
}
// A C API status or size: negative means the host error is set.
template <std::integral I>
inline I checked(I status) {
  if (status < 0) [[unlikely]]
    throw_host_error();
  return status;
}

inline Ref getattr(Obj obj, Obj name) { return checked(PyObject_GetAttr(obj, name)); }
inline void setattr(Obj obj, Obj name, Obj value) { checked(PyObject_SetAttr(obj, name, value)); }
// The same, remembering where instances keep the attribute, as the host's own
// attribute caches do; what they see is exactly what the generic path gives.
Ref getattr(Obj obj, const Name& name);
// The same, borrowed, when the cache knows where `obj` keeps it (no host code
// runs); null means: use getattr.
PyObject* peek_attr(PyObject* obj, const Name& name) noexcept;
void setattr(Obj obj, const Name& name, Obj value);

// A module-level name read at call time, as a function body reads a global.
Ref global(PyObject* globals, Obj name);

// `d[key]` for a dict `d`, as PyDict_GetItemRef: true with `value` set, false
// when missing.
bool get_item(Obj dict, Obj key, Ref& value);
// Where the keys of the last predicate read from a dict were found, by their
// position in it: predicates that name keys in one order search the dict once
// per key. Only hints: each use checks that the entry still holds that very
// key, so they hold no references.
class KeyHints {
 public:
  // A new predicate starts at its first key.
  void rewind() noexcept { at_ = 0; }

 private:
  friend bool peek_item(PyObject*, PyObject*, PyObject*&, KeyHints*) noexcept;
  static constexpr unsigned kKeys = 4;
  PyObject* key_[kKeys] = {};
  Py_ssize_t index_[kKeys] = {};
  unsigned at_ = 0;
};

// `dict[key]` borrowed, when the lookup runs no host code: true with `value`
// set (nullptr when missing). False means not looked up: use get_item.
bool peek_item(PyObject* dict, PyObject* key, PyObject*& value, KeyHints* hints = nullptr) noexcept;
// Whether looking up a str in `dict` runs no host code (a plain dict of str
// keys): what it holds can then change only when something else runs.
bool lookups_run_no_code(PyObject* dict) noexcept;
// The next pair of a dict, borrowed, as PyDict_Next walks it from `pos` (start at 0).
bool next_item(PyObject* dict, Py_ssize_t& pos, PyObject*& key, PyObject*& value);

// PyList_Append for a list (exact or not): in place while it has room, as the
// host's own append does first.
inline void list_append(Obj list, Obj item) {
  auto* l = reinterpret_cast<PyListObject*>(static_cast<PyObject*>(list));
  Py_ssize_t n = Py_SIZE(l);
  if (n >= l->allocated) {
    checked(PyList_Append(list, item));
    return;
  }
  PyList_SET_ITEM(static_cast<PyObject*>(list), n, Py_NewRef(item));
  Py_SET_SIZE(l, n + 1);
}

// An empty list with room for `n` appends: as much room as that many appends
// would have grown it to, so appending up to `n` items moves nothing.
Ref list_with_room(Py_ssize_t n);
// Gives back the room left unused, to what appends alone would have left:
// sys.getsizeof() then reads as for a list that was only appended to.
void trim_room(PyObject* list) noexcept;

// Dicts that always hold the same str keys in the same order (a snapshot),
// each made as a dict display of those keys makes it, so each has its layout
// and size: a copy of one table of the keys, the values written in place.
// Declare at namespace scope (see detail::Made).
class KeyedDict final : detail::Made {
 public:
  static constexpr int kMaxKeys = 16;
  // `entries` in key order, each naming its key in `.key` (a Name*).
  template <class Entry, size_t N>
  explicit KeyedDict(const Entry (&entries)[N]) noexcept : count_(N) {
    static_assert(N <= kMaxKeys);
    for (size_t i = 0; i < N; ++i) names_[i] = entries[i].key;
    if (late() && !make()) PyErr_Clear();
  }
  // The dict of `values`, one per key in key order.
  Ref with(const Ref* values) const;

 private:
  bool made() const noexcept override { return table_; }
  bool make() noexcept override;

  const Name* names_[kMaxKeys] = {};
  PyObject* keys_[kMaxKeys] = {};
  int count_;
  PyObject* table_ = nullptr;  // every key to None
};

inline Ref new_dict() { return checked(PyDict_New()); }
inline Ref new_list() { return checked(PyList_New(0)); }
// `(items...)`; each converted here, as C varargs would copy a Ref bit by bit.
template <class... A>
Ref tuple_of(const A&... items) {
  return checked(PyTuple_Pack(sizeof...(A), static_cast<PyObject*>(Obj(items))...));
}
// `obj[key] = value`
inline void set_item(Obj obj, Obj key, Obj value) { checked(PyObject_SetItem(obj, key, value)); }
// `del obj[key]`
inline void del_item(Obj obj, Obj key) { checked(PyObject_DelItem(obj, key)); }
// `str(value)`
inline Ref str_of(Obj value) { return checked(PyObject_Str(value)); }
// `iter(value)`, and the iterator's next item: empty once it is exhausted.
inline Ref iterate(Obj value) { return checked(PyObject_GetIter(value)); }
inline Ref next_of(Obj iterator) {
  Ref item(PyIter_Next(iterator));
  if (!item && PyErr_Occurred()) throw_host_error();
  return item;
}

// `a <op> b` as a truth value.
bool compare(Obj a, Obj b, int op);
// The same when the host would decide it without running code (exact floats,
// word-sized ints, strs, bools, None); nothing otherwise.
std::optional<bool> compare_plainly(PyObject* a, PyObject* b, int op) noexcept;
// `value > 0` under host comparison with the int 0.
bool positive(Obj value);
// `bool(value)`.
inline bool truth(Obj value) { return checked(PyObject_IsTrue(value)); }

Ref add(Obj a, Obj b);
// `a += b` for a value read from an attribute: an object with only __iadd__ works.
Ref add_in_place(Obj a, Obj b);
// `obj.name += value`
inline void add_to(Obj obj, const Name& name, Obj value) { setattr(obj, name, add_in_place(getattr(obj, name), value)); }
Ref subtract(Obj a, Obj b);
Ref multiply(Obj a, Obj b);
inline Ref real(double v) { return checked(PyFloat_FromDouble(v)); }
inline Ref integer(long long v) { return checked(PyLong_FromLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// Whether the object offers an integer, index or float conversion.
inline bool offers_number(PyObject* value) {
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  return nb && (nb->nb_int || nb->nb_index || nb->nb_float);
}
// Raises "Expected <type_name>, got <type of value>", a result of the wrong type.
[[nodiscard]] Ref expected_type(const char* type_name, Obj value);
// The host's int() of a number; any other object is refused with
// "Expected int, got <type>".
Ref as_int(Obj value);
// `a, b = item`, with the host's unpacking errors.
void unpack2(Obj item, Ref& a, Ref& b);
// format(value, ".4f")
Ref fixed4(Obj value);
// round(value, 6)
Ref round6(Obj value);

template <class... A>
Ref call(Obj callable, const A&... args) {
  PyObject* stack[] = {nullptr, Obj(args)...};
  return checked(PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
Ref call_method(Obj self, Obj name, const A&... args) {
  PyObject* stack[] = {self, Obj(args)...};
  return checked(
      PyObject_VectorcallMethod(name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls with positional values followed by the values of `keywords`, in order.
template <class... A>
Ref call_keywords(Obj callable, Py_ssize_t positional, const Keywords& keywords, const A&... args) {
  PyObject* stack[] = {nullptr, Obj(args)...};
  return checked(
      PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.get()));
}

// `raise exc`.
[[nodiscard]] Ref raise_instance(Ref exc);

// An attribute of a host module, taken from the module through the import system:
// a caller's frame may run with other builtins or another __import__.
Ref host_attribute(const char* module, const char* name);

// PyUnicode_FromFormat: an f-string's text. Its arguments are objects only
// (%S, %R, %U, %V), each converted here: a Ref given to C varargs as it is
// would be copied bit by bit.
Ref format_objects(const char* text, ...);
template <class... A>
Ref format(const char* text, const A&... args) {
  return format_objects(text, static_cast<PyObject*>(Obj(args))...);
}

// `raise type(message)`.
//
// The raises set the host error and return the empty Ref a body returns
// (`return raise(...)`), as its Python would raise there: the error reaches
// the host without unwinding the body's C++ frames, which costs a failing
// call several times what making the host's exception does. A helper that
// cannot return it throws it: `throw_host_error(raise(...))`.
[[nodiscard]] Ref raise(PyObject* type, Obj message);
[[nodiscard]] Ref raise(PyObject* type, const char* message);

// The pending host exception, taken out of the error indicator.
inline Ref take_error() { return Ref(PyErr_GetRaisedException()); }
inline bool error_is(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

}  // namespace shell
