// Module creation and initialisation, and the host operations of a module body.
// Each extension links its own copy of this unit, so the statics below belong to
// one module.
#include <string>

#include "shell/checks.hpp"
#include "shell/internal.hpp"

namespace shell {
namespace {

constexpr const char* kPackage = "corlith_runtime.core.runtime";
constexpr const char* kSourceDir = "src/corlith_runtime/core/runtime/";

const Module* declared = nullptr;
std::string full_name, source_path;
PyModuleDef definition;
PyModuleDef_Slot slots[3];

// The one module object of this process, once its body has run to its end.
PyObject* initialised = nullptr;
// Whether the body is running (on the module object being initialised).
bool running = false;
// The interpreter the module belongs to, the first one that created it, by ID:
// a later interpreter may be allocated at the same address.
int64_t owner = -1;

// An ImportError naming the module, as the import system raises them.
void import_error(const char* format) {
  Ref name(PyUnicode_FromString(full_name.c_str()));
  Ref message = name ? Ref(PyUnicode_FromFormat(format, name.get())) : Ref();
  if (message) PyErr_SetImportError(message.get(), name.get(), nullptr);
}

bool refuse_other_interpreter() {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return true;
  if (owner < 0) owner = current;
  if (owner == current) return false;
  import_error("module %U is already loaded in another interpreter of this process and cannot be loaded "
               "into more than one");
  return true;
}

// A body already running (an import made from inside it) must not run again.
bool refuse_reentry() {
  if (!running) return false;
  import_error("module %U is being initialised and cannot be initialised again while its body runs");
  return true;
}

// ---- the body's host operations ---------------------------------------------

Name dunder_name("__name__"), dunder_builtins("__builtins__");
Name protocol_name("Protocol"), checkable("runtime_checkable"), dataclass("dataclass"), prepare("__prepare__");
Name spec_name("name"), spec_loader("loader"), spec_origin("origin"), spec_parent("parent"),
    spec_locations("submodule_search_locations");

// `d.setdefault(key, value)` for a str key. The host's own setdefault reports
// success when growing the dict fails, and leaves it corrupt.
bool set_default(PyObject* d, PyObject* key, PyObject* value) {
  int present = PyDict_Contains(d, key);
  return present > 0 || (present == 0 && PyDict_SetItem(d, key, value) == 0);
}

bool bind_name(PyObject* ns, const char* name, PyObject* value) {
  return value && PyDict_SetItemString(ns, name, value) == 0;
}

// `ns[key] = value` for a class namespace, which a metaclass may make any mapping.
bool set_entry(PyObject* ns, const char* key, PyObject* value) {
  Ref name(PyUnicode_InternFromString(key));
  return name && value && PyObject_SetItem(ns, name.get(), value) == 0;
}

bool run(const Import& s, PyObject* ns) {
  Ref module(PyImport_ImportModule(s.module));
  return bind_name(ns, s.module, module.get());
}

// `from <module> import <names>`: a name the module lacks may be a submodule
// already in the module registry.
bool run(const FromImport& s, PyObject* ns) {
  Ref fromlist(PyList_New(0));
  if (!fromlist) return false;
  for (const char* n : s.names) {
    Ref name(PyUnicode_InternFromString(n));
    if (!name || PyList_Append(fromlist.get(), name.get()) < 0) return false;
  }
  Ref target(PyUnicode_FromString(s.module));
  if (!target) return false;
  Ref module(PyImport_ImportModuleLevelObject(target.get(), ns, nullptr, fromlist.get(), s.level));
  if (!module) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), name, &value) < 0) return false;
    if (!value) {
      Ref package(PyObject_GetAttr(module.get(), dunder_name));
      if (!package) {
        PyErr_Clear();
      } else {
        Ref dotted(PyUnicode_FromFormat("%S.%U", package.get(), name));
        if (!dotted || PyDict_GetItemRef(PyImport_GetModuleDict(), dotted.get(), &value) < 0) return false;
      }
      if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        return false;
      }
    }
    Ref held(value);
    if (PyDict_SetItem(ns, name, held.get()) < 0) return false;
  }
  return true;
}

bool run(const Def& def, PyObject* ns) {
  detail::Where where{ns, full_name.c_str(), source_path.c_str(), nullptr};
  Ref function = detail::make_function(def, where);
  return bind_name(ns, def.name, function.get());
}

// The metaclass a class statement with these bases would use.
PyObject* metaclass_of(PyObject* bases) {
  PyTypeObject* winner = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, t)) continue;
    if (PyType_IsSubtype(t, winner)) {
      winner = t;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(winner);
}

// Instances of exception classes and of builtin types' subclasses have a C
// layout that their methods' bodies rely on.
bool has_layout(const Class& s) { return s.kind == ClassKind::exception || s.base; }

bool fill_members(const Class& s, PyObject* cls_ns, PyObject* module_ns) {
  detail::Where where{module_ns, full_name.c_str(), source_path.c_str(), s.name, has_layout(s)};
  for (const Def& def : s.members) {
    Ref function = detail::make_function(def, where);
    if (function && def.kind == Kind::classmethod) function = Ref(PyClassMethod_New(function.get()));
    if (!set_entry(cls_ns, def.name, function.get())) return false;
  }
  return true;
}

// Ties the methods, as stored in the class namespace, to the class made from it.
bool bind_members(const Class& s, PyObject* cls_ns, PyObject* cls) {
  for (const Def& def : s.members) {
    Ref method(PyMapping_GetItemString(cls_ns, def.name));
    if (!method) return false;
    detail::bind_owner(method.get(), cls);
  }
  return true;
}

bool fill_record_fields(const Class& s, PyObject* cls_ns, PyObject* module_ns) {
  Ref annotations(PyDict_New());
  if (!set_entry(cls_ns, "__annotations__", annotations.get())) return false;
  for (const Field& f : s.fields) {
    Ref text(PyUnicode_FromString(f.annotation));
    if (!text || PyDict_SetItemString(annotations.get(), f.name, text.get()) < 0) return false;
    if (f.fallback.tag != Default::Tag::absent && !set_entry(cls_ns, f.name, detail::default_value(f.fallback, module_ns).get()))
      return false;
  }
  return true;
}

bool run(const Class& s, PyObject* ns) {
  Ref bases;
  if (s.kind == ClassKind::protocol) {
    Ref protocol = global(ns, protocol_name);
    bases = Ref(PyTuple_Pack(1, protocol.get()));
  } else if (s.kind == ClassKind::exception) {
    bases = Ref(PyTuple_Pack(1, PyExc_Exception));
  } else if (s.base) {
    bases = Ref(PyTuple_Pack(1, reinterpret_cast<PyObject*>(s.base)));
  } else {
    bases = Ref(PyTuple_New(0));
  }
  if (!bases) return false;
  PyObject* meta = metaclass_of(bases.get());
  if (!meta) return false;
  Ref name(PyUnicode_FromString(s.name));
  if (!name) return false;

  Ref cls_ns;
  if (meta == reinterpret_cast<PyObject*>(&PyType_Type)) {
    cls_ns = Ref(PyDict_New());
  } else {
    cls_ns = call(getattr(meta, prepare).get(), name.get(), bases.get());
  }
  if (!cls_ns) return false;
  if (!set_entry(cls_ns.get(), "__module__", Ref(PyUnicode_FromString(full_name.c_str())).get()) ||
      !set_entry(cls_ns.get(), "__qualname__", name.get()) ||
      (s.doc && !set_entry(cls_ns.get(), "__doc__", Ref(PyUnicode_FromString(s.doc)).get())))
    return false;
  if (s.kind == ClassKind::record && !fill_record_fields(s, cls_ns.get(), ns)) return false;
  if (!fill_members(s, cls_ns.get(), ns)) return false;

  Ref cls = call(meta, name.get(), bases.get(), cls_ns.get());
  if (has_layout(s) && !bind_members(s, cls_ns.get(), cls.get())) return false;
  if (s.kind == ClassKind::protocol || s.kind == ClassKind::record) {
    Ref decorator = global(ns, s.kind == ClassKind::protocol ? checkable.get() : dataclass.get());
    cls = call(decorator.get(), cls.get());
  }
  return bind_name(ns, s.name, cls.get());
}

bool run(const Constant& s, PyObject* ns) {
  Ref value = s.make();
  return bind_name(ns, s.name, value.get());
}

// ---- create and exec ----------------------------------------------------------

PyObject* create(PyObject* spec, PyModuleDef*) {
  if (refuse_other_interpreter() || refuse_reentry()) return nullptr;
  if (initialised) return Py_NewRef(initialised);
  if (!detail::Made::make_all()) return nullptr;
  Ref name = getattr(spec, spec_name);
  Ref module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  struct Copy {
    PyObject* from;
    const char* to;
    bool skip_none;
  };
  const Copy copies[] = {{spec_loader, "__loader__", false},
                         {spec_origin, "__file__", false},
                         {spec_parent, "__package__", false},
                         {spec_locations, "__path__", true}};
  for (const Copy& c : copies) {
    Ref value = getattr(spec, c.from);
    if (c.skip_none && value.get() == Py_None) continue;
    if (PyObject_SetAttrString(module.get(), c.to, value.get()) < 0) return nullptr;
  }
  return module.release();
}

int exec(PyObject* module) {
  if (module == initialised) return 0;  // a reload or a later import: the body ran already
  if (refuse_other_interpreter() || refuse_reentry()) return -1;
  if (!detail::Made::make_all()) return -1;
  if (initialised) {
    import_error("module %U is already initialised in this process");
    return -1;
  }
  if (!detail::ready_types()) return -1;
  detail::ready_host_functions();
  if (!detail::settle_attribute_path()) return -1;
  struct Running {
    Running() { running = true; }
    ~Running() { running = false; }
  } body_runs;
  PyObject* ns = PyModule_GetDict(module);
  if (!ns) return -1;
  // As for a module run from source; host code exec'd against this namespace
  // (dataclass does) would otherwise insert it midway.
  if (!set_default(ns, dunder_builtins, PyEval_GetBuiltins())) return -1;
  for (const Statement& statement : declared->body) {
    bool ok = std::visit([ns](const auto& s) { return run(s, ns); }, statement);
    if (!ok) return -1;
  }
  if (!detail::publish_fast_path_counts(declared->name)) return -1;
  PyObject* registry = PyImport_GetModuleDict();
  Ref key(PyUnicode_FromString(full_name.c_str()));
  if (!key) return -1;
  if (!set_default(registry, key.get(), module)) return -1;
  initialised = Py_NewRef(module);  // kept for the life of the process
  return 0;
}

// The steps as the host calls them.
PyObject* create_entry(PyObject* spec, PyModuleDef* def) noexcept {
  return detail::guard([&] { return create(spec, def); });
}
int exec_entry(PyObject* module) noexcept {
  return detail::guard([module] { return exec(module); }, -1);
}

}  // namespace

PyObject* define(const Module& module) noexcept {
  if (!declared) {
    bool named = detail::guard([&module] {
      full_name = std::string(kPackage) + "." + module.name;
      source_path = std::string(kSourceDir) + module.name;
      return true;
    }, false);
    if (!named) return nullptr;
    declared = &module;
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(create_entry)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_entry)};
    slots[2] = {0, nullptr};
    definition = {PyModuleDef_HEAD_INIT, module.name, module.doc, 0, nullptr, slots,
                  nullptr, nullptr, nullptr};
  }
  return PyModuleDef_Init(&definition);
}

}  // namespace shell
