// Attribute reads and writes that skip the generic lookup for instances whose
// attributes live in inline values, guarded as the host's specialised
// LOAD_ATTR/STORE_ATTR are: by the type's version tag (any change to the type or
// its bases retires it), the values being valid and the slot being filled.
// Anything else takes the generic path.
#define Py_BUILD_CORE 1
#include "shell/host.hpp"

#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"

#ifdef Py_GIL_DISABLED
#error "the attribute cache assumes the GIL"
#endif

namespace shell {
namespace {

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
  PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
  for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
    PyObject* key = entries[i].me_key;
    // `name` is interned: an interned key that is not it is another name.
    if (key == name || (key && !PyUnicode_CHECK_INTERNED(key) && PyUnicode_Compare(key, name) == 0))
      return static_cast<int>(i);
  }
  return AttrSite::kGeneric;
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
void learn(AttrSite& site, PyObject* obj, PyObject* name, PyObject* seen) {
  PyTypeObject* type = Py_TYPE(obj);
  if (!PyUnstable_Type_AssignVersionTag(type)) return;
  int slot = slot_of(type, name);
  if (slot >= 0) {
    PyObject** held = held_value(obj, slot);
    if (!held) return;  // this one cannot tell
    if (*held != seen) slot = AttrSite::kGeneric;
  }
  int way = site.next;
  site.next = static_cast<unsigned char>((way + 1) % AttrSite::kWays);
  site.version[way] = type->tp_version_tag;
  site.slot[way] = slot;
}

}  // namespace

Ref getattr(PyObject* obj, const Name& name) {
  AttrSite& site = name.site();
  int slot = site.find(Py_TYPE(obj)->tp_version_tag);
  if (slot >= 0) {
    if (PyObject** held = held_value(obj, slot)) return Ref::borrow(*held);
  }
  Ref value(PyObject_GetAttr(obj, name.get()));
  if (value && slot == AttrSite::kUnknown) learn(site, obj, name.get(), value.get());
  return value;
}

bool setattr(PyObject* obj, const Name& name, PyObject* value) {
  AttrSite& site = name.site();
  int slot = site.find(Py_TYPE(obj)->tp_version_tag);
  // A materialised __dict__ shares the values and must see its version change.
  if (slot >= 0 && !_PyObject_GetManagedDict(obj)) {
    if (PyObject** held = held_value(obj, slot)) {
      Py_SETREF(*held, Py_NewRef(value));
      return true;
    }
  }
  if (PyObject_SetAttr(obj, name.get(), value) < 0) return false;
  if (slot == AttrSite::kUnknown) learn(site, obj, name.get(), value);
  return true;
}

}  // namespace shell
