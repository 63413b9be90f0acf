// Shared between the shell's own units; module files never include this.
#pragma once

#include "shell/shell.hpp"

namespace shell::detail {

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
};

struct Where {
  PyObject* globals;
  const char* module;       // full name
  const char* source_path;  // carried by code objects
  const char* owner;        // class name for methods, null for module-level functions
};

// Inside a catch handler: sets the host error matching the C++ exception
// being handled (MemoryError for an allocation failure).
void raise_current_exception() noexcept;

// Creates the shell's types on first use; false with the host error set.
bool ready_types();
bool ready_coroutine_types();
Ref make_function(const Def& def, const Where& where);
// Whether `callable` is one of our functions and runs `body`.
bool runs_body(PyObject* callable, Body body) noexcept;
PyObject* make_coroutine(Function* f, Args& args);
Ref default_value(const Default& d, PyObject* globals);
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
