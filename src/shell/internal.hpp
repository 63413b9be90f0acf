// Shared between the shell's own units; module files never include this.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "shell/shell.hpp"

namespace shell::detail {

// Sets the host error for the C++ exception being handled: none for a
// HostError (it is set already), MemoryError for a failed allocation,
// SystemError for anything else. Call it only from a handler.
void raise_cpp_exception() noexcept;

// Runs `body()`; a C++ exception becomes the host error and `failed` is
// returned. Every entry from the host runs what may throw inside one, so no
// exception reaches the interpreter's frames.
template <class F, class R = std::invoke_result_t<F&>>
R guard(F&& body, R failed = R()) noexcept {
  try {
    return body();
  } catch (const HostError&) {
    SHELL_INVARIANT(PyErr_Occurred(), "a HostError travels with the host error set");
    return failed;
  } catch (...) {
    raise_cpp_exception();
    return failed;
  }
}

// The bytes of texts up to 16 long are compared in place: a call to memcmp
// costs its callers more than the comparison, the names and short values
// that predicates hold.
inline bool same_bytes(const void* p, const void* q, size_t n) noexcept {
  auto load8 = [](const void* at) {
    uint64_t v;
    std::memcpy(&v, at, 8);
    return v;
  };
  auto load4 = [](const void* at) {
    uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
  };
  auto* x = static_cast<const unsigned char*>(p);
  auto* y = static_cast<const unsigned char*>(q);
  if (n > 16) return std::memcmp(x, y, n) == 0;
  // Two loads that overlap cover every length of their range.
  if (n >= 8) return load8(x) == load8(y) && load8(x + n - 8) == load8(y + n - 8);
  if (n >= 4) return load4(x) == load4(y) && load4(x + n - 4) == load4(y + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// Two exact strs hold the same text: canonical storage makes equal texts
// equal in length, kind and bytes.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
  Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  int kind = PyUnicode_KIND(a);
  return a == b || (length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
                    same_bytes(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind));
}

// What a parameter's annotation asks of the argument.
enum class Test : unsigned char { none, exact, to_int, to_float };

struct ParamSpec {
  Ref name;      // interned
  Ref fallback;  // empty when required
  PyTypeObject* exact = nullptr;
  Test test = Test::none;
  bool allow_none = false;
  bool keyword_only = false;
};

struct Signature {
  const char* name;  // the __name__ used in binding messages
  int count = 0;     // all parameters, self included
  int positional = 0;
  int required_positional = 0;
  bool converts = false;  // any "int"/"float" parameter
  bool tests = false;     // any exact-type test
  ParamSpec params[kMaxParams];
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Signature* sig;
  Body body;
  TaskBody task;
  Kind kind;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* code;
  PyObject* globals;
  PyObject* dict;
  PyObject* weaklist;
  // The class whose instances alone may be `self`, for methods whose bodies use
  // the C layout of their class; null otherwise, or once cleared.
  PyObject* owner;
  bool needs_owner;
};

struct Where {
  PyObject* globals;
  const char* module;       // full name
  const char* source_path;  // carried by code objects
  const char* owner;        // class name for methods, null for module-level functions
  bool instances_only = false;  // methods of a class whose instances have a C layout
};

// Creates the shell's types on first use; false with the host error set.
bool ready_types();
bool ready_coroutine_types();
Ref make_function(const Def& def, const Where& where);
// The body `callable` runs when it is one of our plain functions; null otherwise.
Body body_of(PyObject* callable) noexcept;
PyObject* make_coroutine(Function* f, Args& args);
Ref default_value(const Default& d, PyObject* globals);
// Binds a method made with `instances_only` to the class it was made for; any
// other object is left alone.
void bind_owner(PyObject* function, PyObject* cls);
// Whether an attribute name is "__module__": instances of the shell's types answer
// it ahead of the type's own entry, which stays the type's module name.
bool names_module(PyObject* name) noexcept;
// Takes the host functions the bodies call from their modules.
void ready_host_functions();
// Decides once per process whether attribute reads and writes may take the
// fast path (see attr.cpp); false with the host error set.
bool settle_attribute_path();
// Whether reads may take the layout-dependent paths (attr.cpp, dict.cpp).
bool fast_layouts() noexcept;
// Whether dict.cpp's reads agree with the host's; 1 or 0, -1 with the host error set.
int dict_reads_agree();
// Setter of a __name__ / __qualname__ slot: strings only, as for host functions.
int set_text(PyObject*& slot, PyObject* value, const char* what);

}  // namespace shell::detail

namespace shell {

// Argument binding, type enforcement and ownership of an Args.
struct Binder {
  // Binds and converts; false with the host error set on failure.
  static bool bind(const detail::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Args& out);
  // Makes every bound value owned, so the Args can outlive the call.
  static void retain(Args& a, int count);
  static int traverse(Args& a, int count, visitproc visit, void* arg);
  static void clear(Args& a, int count);
  static void set_globals(Args& a, PyObject* globals) { a.globals_ = globals; }
};

}  // namespace shell
