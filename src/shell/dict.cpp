// Reads of dicts that skip the host's generic entry points: a lookup of an
// exact str in a table of exact strs, and a walk of a table that keeps its own
// values, cannot call out, so each is a search of the table's arrays. The
// layout read here is the one of the series this was compiled against, taken
// only when attr.cpp's gate allows it and after the probe below agrees with
// the host.
#define Py_BUILD_CORE 1
#include "shell/checks.hpp"
#include "shell/internal.hpp"

#include "internal/pycore_dict.h"

#ifdef Py_GIL_DISABLED
#error "the dict reads assume the GIL"
#endif

namespace shell {
namespace {

// Where `key` sits among the entries of a table of str keys, or DKIX_EMPTY.
// Equal strs have equal hashes, and comparing two exact strs runs no code.
template <class Index>
Py_ssize_t find_text(PyDictKeysObject* keys, PyObject* key, Py_hash_t hash) {
  const Index* indices = reinterpret_cast<const Index*>(keys->dk_indices);
  PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
  size_t mask = DK_SIZE(keys) - 1, perturb = static_cast<size_t>(hash), i = perturb & mask;
  for (;;) {
    Py_ssize_t ix = indices[i];
    if (ix == DKIX_EMPTY) return DKIX_EMPTY;
    if (ix >= 0) {
      PyObject* found = entries[ix].me_key;
      if (found == key ||
          (reinterpret_cast<PyASCIIObject*>(found)->hash == hash && detail::same_text(found, key)))
        return ix;
    }
    perturb >>= 5;
    i = (i * 5 + perturb + 1) & mask;
  }
}

// The table's index width is chosen by its size.
Py_ssize_t find_text(PyDictKeysObject* keys, PyObject* key, Py_hash_t hash) {
  switch (keys->dk_log2_index_bytes - keys->dk_log2_size) {
    case 0: return find_text<int8_t>(keys, key, hash);
    case 1: return find_text<int16_t>(keys, key, hash);
    case 2: return find_text<int32_t>(keys, key, hash);
    default: return find_text<int64_t>(keys, key, hash);
  }
}

// The next filled entry of a table that keeps its own values (deleted ones
// are left empty in place).
template <class Entry>
bool next_entry(const Entry* entries, Py_ssize_t n, Py_ssize_t& pos, PyObject*& key, PyObject*& value) {
  for (Py_ssize_t i = pos; i < n; ++i) {
    if (PyObject* found = entries[i].me_value) {
      key = entries[i].me_key;
      value = found;
      pos = i + 1;
      return true;
    }
  }
  pos = n;
  return false;
}

[[gnu::noinline]] bool host_get_item(PyObject* dict, PyObject* key, Ref& value) {
  PyObject* found = nullptr;
  int status = checked(PyDict_GetItemRef(dict, key, &found));
  value = Ref(found);
  return status;
}

}  // namespace

bool lookups_run_no_code(PyObject* dict) noexcept {
  return detail::fast_layouts() && PyDict_CheckExact(dict) &&
         DK_IS_UNICODE(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

namespace {

PyObject* value_at(PyDictObject* mp, Py_ssize_t ix) {
  return mp->ma_values ? mp->ma_values->values[ix] : DK_UNICODE_ENTRIES(mp->ma_keys)[ix].me_value;
}

}  // namespace

bool peek_item(PyObject* dict, PyObject* key, PyObject*& value, KeyHints* hints) noexcept {
  if (!lookups_run_no_code(dict)) {
    refused(Fast::dict_read, "not a plain dict of str keys");
    return false;
  }
  auto* mp = reinterpret_cast<PyDictObject*>(dict);
  PyDictKeysObject* keys = mp->ma_keys;
  // An entry holding this very key and a value is where the dict keeps it:
  // a deleted entry loses its value, and a key sits in one entry at most.
  // (Only exact strs sit in such a table.)
  unsigned slot = hints ? hints->at_++ % KeyHints::kKeys : 0;
  if (hints) {
    Py_ssize_t ix = hints->index_[slot];
    if (hints->key_[slot] == key && ix < keys->dk_nentries && DK_UNICODE_ENTRIES(keys)[ix].me_key == key &&
        (value = value_at(mp, ix))) {
      taken(Fast::dict_read);
      return true;
    }
  }
  if (!PyUnicode_CheckExact(key)) {
    refused(Fast::dict_read, "key not an exact str");
    return false;
  }
  Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
  if (hash == -1) {
    refused(Fast::dict_read, "key's hash not known yet");
    return false;
  }
  taken(Fast::dict_read);
  Py_ssize_t ix = find_text(keys, key, hash);
  value = ix < 0 ? nullptr : value_at(mp, ix);
  if (value && hints) {
    hints->key_[slot] = key;
    hints->index_[slot] = ix;
  }
  return true;
}

bool get_item(Obj dict, Obj key, Ref& value) {
  PyObject* found;
  if (!peek_item(dict, key, found)) return host_get_item(dict, key, value);
  value = Ref::borrow(found);
  return found != nullptr;
}

bool next_item(PyObject* dict, Py_ssize_t& pos, PyObject*& key, PyObject*& value) {
  auto* mp = reinterpret_cast<PyDictObject*>(dict);
  // A split table's order is kept apart from its entries: the host walks those.
  if (!detail::fast_layouts() || mp->ma_values || pos < 0) return PyDict_Next(dict, &pos, &key, &value);
  PyDictKeysObject* keys = mp->ma_keys;
  return DK_IS_UNICODE(keys) ? next_entry(DK_UNICODE_ENTRIES(keys), keys->dk_nentries, pos, key, value)
                             : next_entry(DK_ENTRIES(keys), keys->dk_nentries, pos, key, value);
}

namespace {

// What the host's insertions test before tracking a dict: a container of any
// kind but a tuple found to hold none.
bool may_be_tracked(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (!PyType_IS_GC(type) || (type->tp_is_gc && !type->tp_is_gc(value))) return false;
  return !PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value);
}

}  // namespace

// The names may not be made yet (made objects are made in no fixed order):
// interning their texts gives the very objects they will be.
bool KeyedDict::make() noexcept {
  PyObject* nones[kMaxKeys];
  for (int i = 0; i < count_; ++i) {
    if (!keys_[i] && !(keys_[i] = detail::intern(names_[i]->text()))) return false;
    nones[i] = Py_None;
  }
  table_ = _PyDict_FromItems(keys_, 1, nones, 1, count_);
  return table_;
}

Ref KeyedDict::with(const Ref* values) const {
  if (detail::fast_layouts()) {
    Ref copy = checked(PyDict_Copy(table_));
    // A copy with a table of its own holding our keys, in order, to None:
    // only then are its values ours to write.
    auto* mp = reinterpret_cast<PyDictObject*>(copy.get());
    PyDictKeysObject* keys = mp->ma_keys;
    bool fits = !mp->ma_values && keys != reinterpret_cast<PyDictObject*>(table_)->ma_keys && DK_IS_UNICODE(keys) &&
                keys->dk_nentries == count_ && mp->ma_used == count_;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (int i = 0; fits && i < count_; ++i) fits = entries[i].me_key == keys_[i] && entries[i].me_value == Py_None;
    if (fits) {
      bool holds_containers = false;
      for (int i = 0; i < count_; ++i) {
        entries[i].me_value = Py_NewRef(values[i].get());  // replaces None, which is immortal
        holds_containers |= may_be_tracked(values[i].get());
      }
      // As the host's own insertions do: a dict is tracked once it may be part of a cycle.
      if (holds_containers && !PyObject_GC_IsTracked(copy.get())) PyObject_GC_Track(copy.get());
      taken(Fast::snapshot);
      return copy;
    }
  }
  refused(Fast::snapshot, detail::fast_layouts() ? "the copy has a layout of its own" : "layouts not probed");
  PyObject* given[kMaxKeys];
  for (int i = 0; i < count_; ++i) given[i] = values[i].get();
  return checked(_PyDict_FromItems(keys_, 1, given, 1, count_));
}

namespace {

// Whether get_item and next_item see in `dict` what the host sees; 1 or 0, -1
// with the host error set.
int reads_agree(PyObject* dict, PyObject* absent) {
  Py_ssize_t ours = 0, theirs = 0;
  PyObject *key, *value, *host_key, *host_value;
  for (;;) {
    bool more = next_item(dict, ours, key, value);
    if (more != static_cast<bool>(PyDict_Next(dict, &theirs, &host_key, &host_value))) return 0;
    if (!more) break;
    if (key != host_key || value != host_value) return 0;
    Ref found;
    if (!get_item(dict, key, found) || found.get() != value) return 0;
    // An equal str that is another object, its hash known.
    Ref copy(PyUnicode_FromKindAndData(PyUnicode_KIND(key), PyUnicode_DATA(key), PyUnicode_GET_LENGTH(key)));
    if (!copy || PyObject_Hash(copy.get()) == -1) return -1;
    if (!get_item(dict, copy.get(), found) || found.get() != value) return 0;
  }
  Ref found;
  return !get_item(dict, absent, found);
}

}  // namespace

int detail::dict_reads_agree() {
  Ref absent(PyUnicode_FromString("absent"));
  if (!absent || PyObject_Hash(absent.get()) == -1) return -1;
  // Index widths of one and two bytes, a deleted entry, a wider str kind.
  for (int size : {3, 200}) {
    Ref dict(PyDict_New());
    if (!dict) return -1;
    for (int i = 0; i < size; ++i) {
      Ref key(PyUnicode_FromFormat("%c%d", i % 2 ? 'k' : 0x100, i)), value(PyLong_FromLong(i));
      if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return -1;
    }
    Ref gone(PyUnicode_FromString("k1"));
    if (!gone || PyDict_DelItem(dict.get(), gone.get()) < 0) return -1;
    int agrees = reads_agree(dict.get(), absent.get());
    if (agrees <= 0) return agrees;
  }
  return 1;
}

}  // namespace shell
