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
  static_assert(kWays <= 255, "next counts the ways");

  int find(unsigned int type_version) const noexcept {
    for (int i = 0; i < kWays; ++i)
      if (version[i] == type_version && type_version != 0) return slot[i];
    return kUnknown;
  }
  // Fills the next way whole, from a lookup that has finished: nothing can
  // run between the writes, so no way ever pairs one type's version with
  // another's slot.
  void fill(unsigned int type_version, int type_slot) noexcept {
    int way = next;
    next = static_cast<unsigned char>((way + 1) % kWays);
    version[way] = type_version;
    slot[way] = type_slot;
  }
};

// Where the method call of one name leads for a few types: per type version,
// the body of our function that the class lookup finds (null for anything
// else) and what proves that an instance does not shadow it (see attr.cpp).
struct MethodSite {
  static constexpr int kWays = 4;
  unsigned int version[kWays] = {};
  const void* body[kWays] = {};
  // Instances keep attributes in inline values keyed by the type's shared keys:
  // the name's index there, or -1 when none of the first `known` entries is it.
  // No inline values and no dict at all: kNoDict.
  static constexpr int kNoDict = -2;
  int slot[kWays] = {};
  Py_ssize_t known[kWays] = {};
  unsigned char next = 0;
  static_assert(kWays <= 255, "next counts the ways");

  int find(unsigned int type_version) const noexcept {
    for (int i = 0; i < kWays; ++i)
      if (version[i] == type_version && type_version != 0) return i;
    return -1;
  }
  // One way's worth, as a finished lookup proves it.
  struct Entry {
    unsigned int version;
    const void* body;
    int slot;
  };
  // Fills the next way whole (see AttrSite::fill); none of the class's
  // shared keys has been looked at for it yet.
  void fill(const Entry& e) noexcept {
    int way = next;
    next = static_cast<unsigned char>((way + 1) % kWays);
    version[way] = e.version;
    body[way] = e.body;
    slot[way] = e.slot;
    known[way] = 0;
  }
};

namespace detail {

// An interned str. The host hands back the str uninterned when its table of
// interned strs cannot grow; the shell's identity tests would then miss it, so
// that is a failure here.
inline PyObject* intern(const char* text) noexcept {
  PyObject* s = PyUnicode_InternFromString(text);
  if (s && !PyUnicode_CHECK_INTERNED(s)) {
    Py_DECREF(s);
    return PyErr_NoMemory();
  }
  return s;
}

// A host object the shell makes once per process and never lets go. Every one
// registers itself when the extension is loaded, and the module's create step
// makes them all before anything can use one, so a use never finds it missing
// and pays no check. Declare them at namespace scope: a function-local one is
// only constructed, and made, when its function first runs.
class Made {
 public:
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;
  // Makes every registered object not made yet; false with the host error set.
  static bool make_all() noexcept {
    for (Made* m = first_; m; m = m->next_)
      if (!m->made() && !m->make()) return false;
    all_made_ = true;
    return true;
  }

 protected:
  Made() noexcept : next_(first_) { first_ = this; }
  ~Made() = default;
  // One constructed after make_all() must make itself at once.
  static bool late() noexcept { return all_made_; }

 private:
  virtual bool made() const noexcept = 0;
  virtual bool make() noexcept = 0;  // false with the host error set

  Made* next_;
  static inline constinit Made* first_ = nullptr;
  static inline constinit bool all_made_ = false;
};

}  // namespace detail

// An interned name, kept for the life of the process.
class Name final : detail::Made {
 public:
  explicit Name(const char* text) noexcept : text_(text) {
    if (late() && !make()) PyErr_Clear();  // see Made: not at namespace scope
  }
  PyObject* get() const noexcept { return obj_; }
  operator PyObject*() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }
  AttrSite& site() const noexcept { return site_; }
  MethodSite& method_site() const noexcept { return method_site_; }

 private:
  bool made() const noexcept override { return obj_; }
  bool make() noexcept override { return (obj_ = detail::intern(text_)); }

  const char* text_;
  PyObject* obj_ = nullptr;
  mutable AttrSite site_;
  mutable MethodSite method_site_;
};

// A float kept for the life of the process, as a code constant of a Python body is.
class FloatConstant final : detail::Made {
 public:
  explicit FloatConstant(double value) noexcept : value_(value) {
    if (late() && !make()) PyErr_Clear();
  }
  PyObject* get() const noexcept { return obj_; }
  Ref ref() const noexcept { return Ref::borrow(obj_); }

 private:
  bool made() const noexcept override { return obj_; }
  bool make() noexcept override { return (obj_ = PyFloat_FromDouble(value_)); }

  double value_;
  PyObject* obj_ = nullptr;
};

// A tuple of interned keyword names for vectorcall, kept for the life of the process.
class Keywords final : detail::Made {
 public:
  template <class... T>
  explicit Keywords(T... names) noexcept : names_{names...}, count_(sizeof...(T)) {
    static_assert(sizeof...(T) <= 8, "Keywords holds at most eight names");
    if (late() && !make()) PyErr_Clear();
  }
  PyObject* get() const noexcept { return tuple_; }
  Py_ssize_t size() const noexcept { return count_; }

 private:
  bool made() const noexcept override { return tuple_; }
  bool make() noexcept override {
    Ref t(PyTuple_New(count_));
    for (Py_ssize_t i = 0; t && i < count_; ++i) {
      PyObject* name = detail::intern(names_[i]);
      if (!name) return false;
      PyTuple_SET_ITEM(t.get(), i, name);
    }
    tuple_ = t.release();
    return tuple_;
  }

  const char* names_[8];
  Py_ssize_t count_;
  PyObject* tuple_ = nullptr;
};

// An object a helper is given: a pointer its caller holds, a Ref, or a
// constant of the process. A Ref made for the argument lives until the end
// of the caller's statement, so the helper can use it throughout. Only ever
// a parameter: kept in a variable it would outlive such a Ref.
class Obj {
 public:
  Obj(PyObject* p) noexcept : p_(p) {}
  Obj(const Ref& r) noexcept : p_(r.get()) {}
  Obj(const Name& n) noexcept : p_(n.get()) {}
  Obj(const FloatConstant& c) noexcept : p_(c.get()) {}
  operator PyObject*() const noexcept { return p_; }

 private:
  PyObject* p_;
};

}  // namespace shell
