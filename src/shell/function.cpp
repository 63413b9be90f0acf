// Function objects: host-function look-alikes whose bodies are C++.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "shell/internal.hpp"

namespace shell {

using detail::Function;
using detail::ParamSpec;
using detail::Signature;
using detail::Test;

// ---- argument binding ------------------------------------------------------

namespace {

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

bool count_error(const Signature& sig, const char* which, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
               which, expected, plural(expected), given);
  return false;
}

bool too_few(const Signature& sig, Py_ssize_t given) {
  bool fixed = sig.required_positional == sig.positional;
  return count_error(sig, fixed ? "exactly" : "at least", sig.required_positional, given);
}

// Index of the keyword naming `name`, or -1. Names are interned, so identity
// settles almost every lookup; equality covers keywords built at run time.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
  // `name` is interned, so an interned key that is not it cannot equal it.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_Check(key) && !PyUnicode_CHECK_INTERNED(key) && PyUnicode_Compare(key, name) == 0) return i;
  }
  return -1;
}

// Names the first keyword that no parameter took.
bool keyword_error(const Signature& sig, PyObject* kwnames, Py_ssize_t nargs) {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
      return false;
    }
    int match = -1;
    for (int i = 0; i < sig.count && match < 0; ++i)
      if (PyUnicode_Compare(key, sig.params[i].name.get()) == 0) match = i;
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (match < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
      return false;
    }
  }
  PyErr_SetString(PyExc_SystemError, "keyword binding lost a keyword");
  return false;
}

bool missing_keyword_only(const Signature& sig, const ParamSpec& p) {
  PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", sig.name, p.name.get());
  return false;
}


void incorrect_type(const ParamSpec& p, PyTypeObject* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               PyUnicode_AsUTF8(p.name.get()), expected->tp_name, Py_TYPE(given)->tp_name);
}

Name add_note("add_note"),
    subclass_note_text("Subclasses of builtin types are rejected here: this check is deliberately stricter "
                       "than PEP 484 type hints, which admit them.");

// Adds the note to the pending TypeError; a failure to add it replaces the TypeError.
void subclass_note() {
  Ref exc = take_error();
  Ref added(PyObject_CallMethodOneArg(exc.get(), add_note, subclass_note_text.get()));
  if (added) PyErr_SetRaisedException(exc.release());
}

}  // namespace

bool Binder::bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Args& out) {
  if (nargs > sig.positional) {
    bool fixed = sig.required_positional == sig.positional;
    return count_error(sig, fixed ? "exactly" : "at most", sig.positional, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.value_[i] = args[i];

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < sig.required_positional) return too_few(sig, nargs);
    for (int i = static_cast<int>(nargs); i < sig.count; ++i) {
      const ParamSpec& p = sig.params[i];
      if (!p.fallback) return missing_keyword_only(sig, p);
      out.value_[i] = p.fallback.get();
    }
  } else {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t taken = 0;
    const ParamSpec* missing = nullptr;
    for (int i = static_cast<int>(nargs); i < sig.count; ++i) {
      const ParamSpec& p = sig.params[i];
      Py_ssize_t k = find_keyword(kwnames, p.name.get());
      if (k >= 0) {
        out.value_[i] = kwvalues[k];
        ++taken;
      } else if (p.fallback) {
        out.value_[i] = p.fallback.get();
      } else if (!p.keyword_only) {
        return too_few(sig, i);
      } else if (!missing) {
        missing = &p;
      }
    }
    if (taken < nkw) return keyword_error(sig, kwnames, nargs);
    if (missing) return missing_keyword_only(sig, *missing);
  }

  // Conversions run before the exact-type tests, each pass in parameter order.
  if (sig.converts) {
    for (int i = 0; i < sig.count; ++i) {
      const ParamSpec& p = sig.params[i];
      PyObject* v = out.value_[i];
      if (p.test == Test::to_float) {
        if (p.allow_none && v == Py_None) continue;
        double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out.real_[i] = d;
      } else if (p.test == Test::to_int) {
        if (PyLong_CheckExact(v) || (p.allow_none && v == Py_None)) continue;
        if (!offers_number(v) && !PyComplex_Check(v)) {
          incorrect_type(p, &PyLong_Type, v);
          return false;
        }
        PyObject* n = PyNumber_Long(v);
        if (!n) return false;
        out.value_[i] = n;
        out.owned_ |= 1u << i;
      }
    }
  }
  if (sig.tests) {
    for (int i = 0; i < sig.count; ++i) {
      const ParamSpec& p = sig.params[i];
      PyObject* v = out.value_[i];
      if (p.test != Test::exact || Py_IS_TYPE(v, p.exact) || (p.allow_none && v == Py_None)) continue;
      incorrect_type(p, p.exact, v);
      if (PyObject_TypeCheck(v, p.exact)) subclass_note();
      return false;
    }
  }
  return true;
}

void Binder::retain(Args& a, int count) {
  for (int i = 0; i < count; ++i) {
    if (!(a.owned_ & (1u << i))) Py_INCREF(a.value_[i]);
  }
  a.owned_ = (1u << count) - 1;
}

int Binder::traverse(Args& a, int count, visitproc visit, void* arg) {
  for (int i = 0; i < count; ++i) {
    if (a.owned_ & (1u << i)) Py_VISIT(a.value_[i]);
  }
  return 0;
}

void Binder::clear(Args& a, int count) {
  for (int i = 0; i < count; ++i) {
    PyObject* old = a.value_[i];
    bool owned = a.owned_ & (1u << i);
    a.value_[i] = Py_None;
    a.owned_ &= ~(1u << i);
    if (owned) Py_DECREF(old);
  }
}

// ---- the function type --------------------------------------------------------

namespace detail {
namespace {

// Whether `self` may reach a body that uses its class's C layout: it must be an
// instance of that class, as the `super()` call a Python body makes demands.
bool fits_owner(const Function* f, PyObject* self) {
  auto* cls = reinterpret_cast<PyTypeObject*>(f->owner);
  if (!cls) {
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    return false;
  }
  if (PyObject_TypeCheck(self, cls)) return true;
  bool is_type = PyType_Check(self);
  PyErr_Format(PyExc_TypeError, "super(type, obj): obj (%s %.200s) is not an instance or subtype of type (%.200s).",
               is_type ? "type" : "instance of",
               is_type ? reinterpret_cast<PyTypeObject*>(self)->tp_name : Py_TYPE(self)->tp_name, cls->tp_name);
  return false;
}

PyObject* function_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  auto* f = reinterpret_cast<Function*>(callable);
  return guard([&]() -> PyObject* {
    Args a;
    if (!Binder::bind(*f->sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (f->needs_owner && !fits_owner(f, a[0])) return nullptr;
    Binder::set_globals(a, f->globals);
    if (f->kind == Kind::coroutine) return make_coroutine(f, a);
    return f->body(a).release();
  });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  auto* f = reinterpret_cast<Function*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->code);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  Py_VISIT(f->owner);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  auto* f = reinterpret_cast<Function*>(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->owner);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  auto* f = reinterpret_cast<Function*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weaklist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->code);
  delete f->sig;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept {
  auto* f = reinterpret_cast<Function*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// `__module__` lives in the instance, as for host functions (deleting it leaves
// None); the type's own entry is its module's name.
PyObject* function_getattro(PyObject* self, PyObject* name) noexcept {
  if (!names_module(name)) return PyObject_GenericGetAttr(self, name);
  PyObject* module = reinterpret_cast<Function*>(self)->module;
  return Py_NewRef(module ? module : Py_None);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  if (!names_module(name)) return PyObject_GenericSetAttr(self, name, value);
  Py_XSETREF(reinterpret_cast<Function*>(self)->module, Py_XNewRef(value));
  return 0;
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(reinterpret_cast<Function*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(reinterpret_cast<Function*>(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
  auto* f = reinterpret_cast<Function*>(self);
  if (!f->annotations) f->annotations = PyDict_New();
  return Py_XNewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  auto* f = reinterpret_cast<Function*>(self);
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(f->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<Function*>(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
  return Py_NewRef(reinterpret_cast<Function*>(self)->kwdefaults);
}
PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<Function*>(self)->code); }
PyObject* get_globals(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<Function*>(self)->globals); }
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_type_params(PyObject*, void*) noexcept { return PyTuple_New(0); }

PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
  if (reinterpret_cast<Function*>(self)->kind != Kind::coroutine) Py_RETURN_FALSE;
  static PyObject* marker = nullptr;  // the host's marker object, imported on first need
  if (!marker) {
    try {
      marker = host_attribute("asyncio.coroutines", "_is_coroutine").release();
    } catch (...) {
      PyErr_Clear();
      Py_RETURN_TRUE;
    }
  }
  return Py_NewRef(marker);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
  return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "corlith_runtime.core.runtime.compiled_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyTypeObject* the_function_type = nullptr;

// ---- building a function from its declaration ---------------------------------

struct AnnotationTest {
  Test test = Test::none;
  PyTypeObject* exact = nullptr;
  bool allow_none = false;
};

// Reads the test off the annotation text: builtin types are enforced, also in
// parameterised or optional form; every other annotation documents only.
AnnotationTest test_for(const char* annotation) {
  AnnotationTest t;
  if (!annotation) return t;
  std::string_view s(annotation);
  constexpr std::string_view optional = "Optional[", or_none = " | None";
  if (s.starts_with(optional) && s.ends_with("]")) {
    s = s.substr(optional.size(), s.size() - optional.size() - 1);
    t.allow_none = true;
  } else if (s.ends_with(or_none)) {
    s = s.substr(0, s.size() - or_none.size());
    t.allow_none = true;
  }
  s = s.substr(0, s.find('['));
  struct Builtin {
    std::string_view name;
    PyTypeObject* type;
  };
  static const Builtin exact_types[] = {
      {"str", &PyUnicode_Type}, {"dict", &PyDict_Type},   {"list", &PyList_Type},
      {"tuple", &PyTuple_Type}, {"bytes", &PyBytes_Type}, {"set", &PySet_Type},
  };
  if (s == "int") {
    t.test = Test::to_int;
  } else if (s == "float") {
    t.test = Test::to_float;
  } else {
    for (const Builtin& b : exact_types)
      if (s == b.name) {
        t.test = Test::exact;
        t.exact = b.type;
      }
  }
  return t;
}

Name field("field"), default_factory("default_factory");

std::string qualified(const Where& where, const char* name) {
  return where.owner ? std::string(where.owner) + "." + name : std::string(name);
}

Ref make_code(const Def& def, Kind kind, const Where& where, const Signature& sig, PyObject* qualname, int kwonly) {
  Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(where.source_path, def.name, def.line)));
  if (!code) return {};
  Ref varnames(PyTuple_New(sig.count + static_cast<Py_ssize_t>(def.locals.size())));
  if (!varnames) return {};
  for (int i = 0; i < sig.count; ++i)
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(sig.params[i].name.get()));
  for (size_t j = 0; j < def.locals.size(); ++j) {
    PyObject* local = PyUnicode_InternFromString(def.locals[j]);
    if (!local) return {};
    PyTuple_SET_ITEM(varnames.get(), sig.count + static_cast<Py_ssize_t>(j), local);
  }
  constexpr int plain_flags = CO_OPTIMIZED | CO_NEWLOCALS;
  int flags = kind == Kind::coroutine ? plain_flags | CO_COROUTINE : plain_flags;
  Ref replace(PyObject_GetAttrString(code.get(), "replace"));
  Ref kwargs(Py_BuildValue("{s:i,s:i,s:i,s:n,s:O,s:i,s:O}", "co_argcount", sig.positional,
                           "co_posonlyargcount", 0, "co_kwonlyargcount", kwonly, "co_nlocals",
                           PyTuple_GET_SIZE(varnames.get()), "co_varnames", varnames.get(), "co_flags",
                           flags, "co_qualname", qualname));
  if (!replace || !kwargs) return {};
  Ref noargs(PyTuple_New(0));
  return noargs ? Ref(PyObject_Call(replace.get(), noargs.get(), kwargs.get())) : Ref();
}

}  // namespace

int set_text(PyObject*& slot, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_SETREF(slot, Py_NewRef(value));
  return 0;
}

Ref default_value(const Default& d, PyObject* globals) {
  switch (d.tag) {
    case Default::Tag::absent: return {};
    case Default::Tag::none: return none();
    case Default::Tag::integer: return integer(d.integer_value);
    case Default::Tag::real: return real(d.real_value);
    case Default::Tag::dict_factory: {
      Ref make_field = global(globals, field);
      if (!make_field) return {};
      PyObject* stack[] = {reinterpret_cast<PyObject*>(&PyDict_Type)};
      Ref names(PyTuple_Pack(1, default_factory.get()));
      return names ? Ref(PyObject_Vectorcall(make_field.get(), stack, 0, names.get())) : Ref();
    }
  }
  return {};
}

bool ready_types() {
  if (!the_function_type)
    the_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
  if (the_function_type && ready_coroutine_types()) return true;
  // Our type specs are fixed and valid, so only an allocation can make their
  // creation fail, which the host does not always report as such (no error,
  // or a KeyError of a member it lost).
  Ref lost = take_error();
  PyErr_NoMemory();
  if (lost) {
    Ref memory = take_error();
    PyException_SetContext(memory.get(), lost.release());
    PyErr_SetRaisedException(memory.release());
  }
  return false;
}

Ref make_function(const Def& def, const Where& where) {
  auto sig = std::make_unique<Signature>();
  sig->name = def.name;
  int implicit = where.owner ? 1 : 0;
  sig->count = implicit + static_cast<int>(def.params.size());
  sig->positional = sig->required_positional = implicit;
  if (sig->count > kMaxParams) throw_host_error(raise(PyExc_SystemError, "too many parameters"));
  if (implicit) {
    sig->params[0].name = Ref(intern(def.kind == Kind::classmethod ? "cls" : "self"));
    if (!sig->params[0].name) return {};
  }
  // A body that can suspend makes an asynchronous function whatever its declared kind.
  Kind kind = std::holds_alternative<TaskBody>(def.body) && def.kind == Kind::function ? Kind::coroutine : def.kind;

  Ref annotations(PyDict_New()), kwdefaults(PyDict_New()), defaults(PyList_New(0));
  if (!annotations || !kwdefaults || !defaults) return {};
  int kwonly = 0;
  for (int i = implicit; i < sig->count; ++i) {
    const Param& p = def.params[i - implicit];
    ParamSpec& spec = sig->params[i];
    spec.name = Ref(intern(p.name));
    if (!spec.name) return {};
    spec.keyword_only = p.keyword_only;
    spec.fallback = default_value(p.fallback, where.globals);
    if (!spec.fallback && PyErr_Occurred()) return {};
    AnnotationTest t = test_for(p.annotation);
    spec.test = t.test;
    spec.exact = t.exact;
    spec.allow_none = t.allow_none;
    sig->converts |= t.test == Test::to_int || t.test == Test::to_float;
    sig->tests |= t.test == Test::exact;
    if (p.annotation) {
      Ref text(PyUnicode_FromString(p.annotation));
      if (!text || PyDict_SetItem(annotations.get(), spec.name.get(), text.get()) < 0) return {};
    }
    if (p.keyword_only) {
      ++kwonly;
      if (spec.fallback && PyDict_SetItem(kwdefaults.get(), spec.name.get(), spec.fallback.get()) < 0)
        return {};
    } else {
      ++sig->positional;
      if (spec.fallback) {
        if (PyList_Append(defaults.get(), spec.fallback.get()) < 0) return {};
      } else {
        sig->required_positional = sig->positional;
      }
    }
  }
  if (def.returns) {
    Ref text(PyUnicode_FromString(def.returns));
    if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
  }

  std::string qual = qualified(where, def.name);
  Ref name(PyUnicode_InternFromString(def.name)), qualname(PyUnicode_FromString(qual.c_str()));
  Ref module(PyUnicode_FromString(where.module));
  Ref doc = def.doc ? Ref(PyUnicode_FromString(def.doc)) : none();
  if (!name || !qualname || !module || !doc) return {};
  Ref code = make_code(def, kind, where, *sig, qualname.get(), kwonly);
  Ref positional_defaults =
      PyList_GET_SIZE(defaults.get()) ? Ref(PyList_AsTuple(defaults.get())) : none();
  if (!code || !positional_defaults) return {};

  auto* f = PyObject_GC_New(Function, the_function_type);
  if (!f) return {};
  f->vectorcall = function_call;
  f->sig = sig.release();
  f->body = std::holds_alternative<Body>(def.body) ? std::get<Body>(def.body) : nullptr;
  f->task = std::holds_alternative<TaskBody>(def.body) ? std::get<TaskBody>(def.body) : nullptr;
  f->kind = kind;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = module.release();
  f->doc = doc.release();
  f->annotations = annotations.release();
  f->defaults = positional_defaults.release();
  f->kwdefaults = PyDict_GET_SIZE(kwdefaults.get()) ? kwdefaults.release() : Py_NewRef(Py_None);
  f->code = code.release();
  f->globals = Py_NewRef(where.globals);
  f->dict = nullptr;
  f->weaklist = nullptr;
  f->owner = nullptr;
  f->needs_owner = where.instances_only && kind != Kind::classmethod;
  Ref out(reinterpret_cast<PyObject*>(f));
  PyObject_GC_Track(out.get());
  return out;
}

void bind_owner(PyObject* function, PyObject* cls) {
  if (!Py_IS_TYPE(function, the_function_type)) return;
  auto* f = reinterpret_cast<Function*>(function);
  if (f->needs_owner) Py_XSETREF(f->owner, Py_NewRef(cls));
}

namespace {
Name module_attr("__module__");
}  // namespace

// Every attribute read of the shell's functions and coroutines asks this:
// names are nearly always interned, so identity settles it.
bool names_module(PyObject* name) noexcept {
  return name == module_attr.get() ||
         (PyUnicode_Check(name) && !PyUnicode_CHECK_INTERNED(name) && PyUnicode_Compare(name, module_attr) == 0);
}

Body body_of(PyObject* callable) noexcept {
  bool ours = callable && the_function_type && Py_IS_TYPE(callable, the_function_type);
  return ours ? reinterpret_cast<Function*>(callable)->body : nullptr;
}

}  // namespace detail
}  // namespace shell
