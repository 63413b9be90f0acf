// Owning handle for one strong reference to a host object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace shell {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (nullptr is allowed and means "failed").
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  PyObject* p_ = nullptr;
};

// Where instances of a few types keep the attribute of one name: per type
// version, its slot among the instance's inline values (see attr.cpp).
struct AttrSite {
  static constexpr int kWays = 4;
  static constexpr int kUnknown = -2;    // no entry for this type version
  static constexpr int kGeneric = -1;    // this type's attribute takes the generic path
  unsigned int version[kWays] = {};
  int slot[kWays] = {};
  unsigned char next = 0;

  int find(unsigned int type_version) const noexcept {
    for (int i = 0; i < kWays; ++i)
      if (version[i] == type_version && type_version != 0) return slot[i];
    return kUnknown;
  }
};

// An interned name, made on first use and kept for the life of the process.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  PyObject* get() const noexcept {
    if (!obj_) obj_ = PyUnicode_InternFromString(text_);
    return obj_;
  }
  operator PyObject*() const noexcept { return get(); }
  const char* text() const noexcept { return text_; }
  AttrSite& site() const noexcept { return site_; }

 private:
  const char* text_;
  mutable PyObject* obj_ = nullptr;
  mutable AttrSite site_;
};

// A tuple of interned keyword names for vectorcall, made on first use.
class Keywords {
 public:
  template <class... T>
  constexpr explicit Keywords(T... names) noexcept : names_{names...}, count_(sizeof...(T)) {
    static_assert(sizeof...(T) <= 8, "Keywords holds at most eight names");
  }
  PyObject* get() const noexcept {
    if (tuple_) return tuple_;
    PyObject* t = PyTuple_New(count_);
    for (Py_ssize_t i = 0; t && i < count_; ++i) {
      PyObject* name = PyUnicode_InternFromString(names_[i]);
      if (!name) {
        Py_CLEAR(t);
        break;
      }
      PyTuple_SET_ITEM(t, i, name);
    }
    return tuple_ = t;
  }
  Py_ssize_t size() const noexcept { return count_; }

 private:
  const char* names_[8];
  Py_ssize_t count_;
  mutable PyObject* tuple_ = nullptr;
};

}  // namespace shell
