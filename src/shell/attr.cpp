// Attribute reads and writes that skip the generic lookup for instances whose
// attributes live in inline values, guarded as the host's specialised
// LOAD_ATTR/STORE_ATTR are: by the type's version tag (any change to the type or
// its bases retires it), the values being valid and the slot being filled.
// Anything else takes the generic path.
//
// The layouts read here are those of the CPython series this was compiled
// against and carry no promise across its patch releases: the fast path is
// used only on that series, and only after a probe shows it agreeing with the
// generic path.
#define Py_BUILD_CORE 1
#include "shell/checks.hpp"
#include "shell/internal.hpp"

#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"

#ifdef Py_GIL_DISABLED
#error "the attribute cache assumes the GIL"
#endif

namespace shell {
namespace {

// Whether the fast path may be taken; decided once, when a module first runs its body.
bool fast_path = false;
bool settled = false;

// Where `name` (interned) sits among the shared keys `entries` from entry
// `from` on, or -1. An interned key that is not `name` is another name.
Py_ssize_t index_of_name(PyDictUnicodeEntry* entries, Py_ssize_t from, Py_ssize_t count, PyObject* name) {
  for (Py_ssize_t i = from; i < count; ++i) {
    PyObject* key = entries[i].me_key;
    if (key == name || (key && !PyUnicode_CHECK_INTERNED(key) && PyUnicode_Compare(key, name) == 0)) return i;
  }
  return -1;
}

// The slot of `name` in the inline values of `type`'s instances, or kGeneric
// when a read or write of it must see more than the instance's own value.
int slot_of(PyTypeObject* type, PyObject* name) {
  if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr)
    return AttrSite::kGeneric;
  // A data descriptor on the class wins over the instance; so could a class
  // attribute whose mutable type later grows a __set__.
  if (PyObject* found = _PyType_Lookup(type, name)) {
    PyTypeObject* kind = Py_TYPE(found);
    if (!(kind->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) || kind->tp_descr_set) return AttrSite::kGeneric;
  }
  PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
  if (!keys || keys->dk_kind != DICT_KEYS_SPLIT) return AttrSite::kGeneric;
  Py_ssize_t i = index_of_name(DK_UNICODE_ENTRIES(keys), 0, keys->dk_nentries, name);
  return i < 0 ? AttrSite::kGeneric : static_cast<int>(i);
}

// Where `obj` holds its own value in `slot` of its inline values; null when
// it holds none there.
PyObject** held_value(PyObject* obj, int slot) {
  PyDictValues* values = _PyObject_InlineValues(obj);
  if (!values->valid || slot >= values->capacity || !values->values[slot]) return nullptr;
  return &values->values[slot];
}

// Remembers where the type of `obj` keeps `name`, once `obj`, just read or
// written through the generic path with `seen` as the outcome, confirms it: a
// slot holding anything else would mean a layout other than the one this was
// compiled against, and the generic path is kept.
// The class lookup in slot_of may run host code (a key of the class's dict
// that compares itself), which may change the class or learn through this
// very site: the entry is written whole, after the lookup, and only when the
// class is still the version the lookup saw.
void learn(AttrSite& site, PyObject* obj, PyObject* name, PyObject* seen) {
  PyTypeObject* type = Py_TYPE(obj);
  if (!PyUnstable_Type_AssignVersionTag(type)) return;
  unsigned int version = type->tp_version_tag;
  // The lookup's code may give `obj` another class, which would drop this one.
  Ref held_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
  int slot = slot_of(type, name);
  if (type->tp_version_tag != version || Py_TYPE(obj) != type) return;
  if (slot >= 0) {
    PyObject** held = held_value(obj, slot);
    if (!held) return;  // this one cannot tell
    if (*held != seen) slot = AttrSite::kGeneric;
  }
  site.fill(version, slot);
}

// Whether the fast path reads and writes what the generic path does, on a fresh
// instance of a plain class; 1 or 0, -1 with the host error set.
Name probe_first("probe_first"), probe_second("probe_second");

int fast_path_agrees() {
  Ref name(PyUnicode_FromString("AttributeProbe")), bases(PyTuple_New(0)), ns(PyDict_New());
  Ref cls = name && bases && ns ? call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get())
                                : Ref();
  Ref obj = cls ? call(cls.get()) : Ref();
  Ref a(PyList_New(0)), b(PyList_New(0)), c(PyList_New(0)), d(PyList_New(0));
  if (!obj || !a || !b || !c || !d) return -1;
  if (PyObject_SetAttr(obj.get(), probe_first, a.get()) < 0 || PyObject_SetAttr(obj.get(), probe_second, b.get()) < 0)
    return -1;
  unsigned int version = Py_TYPE(obj.get())->tp_version_tag;
  // Each site learns on its first use and takes the fast path from its second.
  for (int round = 0; round < 2; ++round) {
    Ref read = getattr(obj.get(), probe_first);
    if (read.get() != a.get()) return 0;
    setattr(obj.get(), probe_second, round ? d.get() : c.get());
  }
  if (probe_first.site().find(version) < 0 || probe_second.site().find(version) < 0) return 0;
  Ref written(PyObject_GetAttr(obj.get(), probe_second));
  if (!written) return -1;
  if (written.get() != d.get()) return 0;
  // A generic write is what the fast read sees next.
  if (PyObject_SetAttr(obj.get(), probe_first, c.get()) < 0) return -1;
  Ref reread = getattr(obj.get(), probe_first);
  return reread.get() == c.get();
}

}  // namespace

bool detail::fast_layouts() noexcept { return fast_path; }

bool detail::settle_attribute_path() {
  if (settled) return true;
  constexpr unsigned long series = 0xFFFF0000UL;
  // `-X corlith_generic_attributes` keeps the generic path, to compare the two.
  PyObject* options = PySys_GetXOptions();
  Ref option(PyUnicode_FromString("corlith_generic_attributes"));
  if (!options || !option) {
    if (!PyErr_Occurred()) PyErr_NoMemory();  // the host's options dict could not be made
    return false;
  }
  int forced_generic = PyDict_Contains(options, option.get());
  if (forced_generic < 0) return false;
  if (!forced_generic && (Py_Version & series) == (PY_VERSION_HEX & series)) {
    fast_path = true;
    int agrees = fast_path_agrees();
    if (agrees > 0) agrees = detail::dict_reads_agree();
    fast_path = agrees > 0;
    if (agrees < 0) return false;
  }
  settled = true;
  return true;
}

namespace {

// Why a slot read was refused, for the counts of checked builds.
[[maybe_unused]] const char* refusal(int slot) noexcept {
  return slot == AttrSite::kUnknown ? "class not learned"
         : slot == AttrSite::kGeneric ? "generic for this class"
                                      : "no value of its own in the slot";
}

}  // namespace

PyObject* peek_attr(PyObject* obj, const Name& name) noexcept {
  if (!fast_path) return nullptr;
  int slot = name.site().find(Py_TYPE(obj)->tp_version_tag);
  PyObject** held = slot >= 0 ? held_value(obj, slot) : nullptr;
  if (!held) {
    refused(Fast::attribute, refusal(slot));
    return nullptr;
  }
  taken(Fast::attribute);
  return *held;
}

Ref getattr(Obj obj, const Name& name) {
  if (!fast_path) return checked(PyObject_GetAttr(obj, name.get()));
  AttrSite& site = name.site();
  int slot = site.find(Py_TYPE(obj)->tp_version_tag);
  if (slot >= 0) {
    if (PyObject** held = held_value(obj, slot)) {
      taken(Fast::attribute);
      return Ref::borrow(*held);
    }
  }
  refused(Fast::attribute, refusal(slot));
  Ref value = checked(PyObject_GetAttr(obj, name.get()));
  if (slot == AttrSite::kUnknown) learn(site, obj, name.get(), value.get());
  return value;
}

void setattr(Obj obj, const Name& name, Obj value) {
  if (!fast_path) {
    checked(PyObject_SetAttr(obj, name.get(), value));
    return;
  }
  AttrSite& site = name.site();
  int slot = site.find(Py_TYPE(obj)->tp_version_tag);
  // A materialised __dict__ shares the values and must see its version change.
  if (slot >= 0 && !_PyObject_GetManagedDict(obj)) {
    if (PyObject** held = held_value(obj, slot)) {
      taken(Fast::attribute);
      // The old value's last drop may run host code: the slot holds the new one first.
      Py_SETREF(*held, Py_NewRef(value));
      return;
    }
  }
  refused(Fast::attribute, slot >= 0 ? "instance has a dict of its own" : refusal(slot));
  checked(PyObject_SetAttr(obj, name.get(), value));
  if (slot == AttrSite::kUnknown) learn(site, obj, name.get(), value);
}

namespace {

// What the class lookup of `name` finds on `type`, and how its instances
// could shadow it, as an entry of a method site; false when the lookup ran
// code that changed the class (the proof would then describe no version).
// The lookup may run host code, which may use the site being filled: the
// caller writes the entry only once this has returned.
bool prove_method(PyTypeObject* type, PyObject* name, MethodSite::Entry& proof) {
  proof = {type->tp_version_tag, nullptr, -1};
  // A custom __getattribute__ or __getattr__ decides for itself.
  if (type->tp_getattro != PyObject_GenericGetAttr) return true;
  PyObject* found = _PyType_Lookup(type, name);
  if (type->tp_version_tag != proof.version) return false;
  // Nothing runs from here on: `found`, borrowed from the class, stays valid.
  Body body = detail::body_of(found);
  if (!body) return true;
  if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) {
    proof.slot = MethodSite::kNoDict;
  } else {
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || !keys || keys->dk_kind != DICT_KEYS_SPLIT) return true;
  }
  proof.body = reinterpret_cast<const void*>(body);
  return true;
}

// Whether `obj`, whose type's version is in way `way`, may hold its own `name`.
bool may_shadow(MethodSite& site, int way, PyObject* obj, PyObject* name) {
  int& slot = site.slot[way];
  if (slot == MethodSite::kNoDict) return false;
  // Not valid: the attributes moved to a dict of their own.
  PyDictValues* values = _PyObject_InlineValues(obj);
  if (!values->valid) return true;
  if (slot < 0) {
    // Shared keys only ever grow: look at the names added since.
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(Py_TYPE(obj))->ht_cached_keys;
    Py_ssize_t& known = site.known[way];
    if (known == keys->dk_nentries) return false;
    Py_ssize_t found = index_of_name(DK_UNICODE_ENTRIES(keys), known, keys->dk_nentries, name);
    known = keys->dk_nentries;
    if (found < 0) return false;
    slot = static_cast<int>(found);
  }
  return slot < values->capacity && values->values[slot];
}

}  // namespace

std::optional<bool> calls_own_plainly(PyObject* obj, const Name& name, Body body) noexcept {
  if (!fast_path) return false;
  MethodSite& site = name.method_site();
  int way = site.find(Py_TYPE(obj)->tp_version_tag);
  if (way < 0) {
    refused(Fast::method_proof, "class not learned");
    return std::nullopt;
  }
  if (site.body[way] != reinterpret_cast<const void*>(body)) {
    refused(Fast::method_proof, "not our function, or not provable for this class");
    return false;
  }
  if (may_shadow(site, way, obj, name.get())) {
    refused(Fast::method_proof, "the instance may shadow it");
    return false;
  }
  taken(Fast::method_proof);
  return true;
}

bool calls_own(PyObject* obj, const Name& name, Body body) {
  if (std::optional<bool> own = calls_own_plainly(obj, name, body)) return *own;
  PyTypeObject* type = Py_TYPE(obj);
  if (!PyUnstable_Type_AssignVersionTag(type)) return false;
  {
    // The lookup's code may give `obj` another class, which would drop this
    // one; dropping it here may run code too, so the verdict is read after.
    Ref held_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
    MethodSite::Entry proof;
    if (!prove_method(type, name.get(), proof)) return false;
    name.method_site().fill(proof);
  }
  return calls_own_plainly(obj, name, body).value_or(false);
}

}  // namespace shell
