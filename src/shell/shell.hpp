// The face of the binding layer that module files see: a module is declared as
// data (a Module holding its statements in binding order) plus plain C++ bodies.
#pragma once

#include <algorithm>
#include <bit>
#include <coroutine>
#include <iterator>
#include <exception>
#include <variant>
#include <vector>

#include "shell/checks.hpp"
#include "shell/host.hpp"
#include "shell/ref.hpp"

namespace shell {

inline constexpr int kMaxParams = 12;  // the widest signature (enqueue_children) has 11

// The bound, converted arguments of one call, `self` (or `cls`) first for methods.
class Args {
 public:
  PyObject* operator[](int i) const noexcept {
    SHELL_INVARIANT(i >= 0 && i < kMaxParams, "a parameter of the widest signature");
    return value_[i];
  }
  // A parameter annotated "float", as the double the caller's number converts to.
  double real(int i) const noexcept { return real_[i]; }
  // The same as a float object: the caller's own when it passed an exact float.
  Ref real_object(int i) const {
    return PyFloat_CheckExact(value_[i]) ? Ref::borrow(value_[i]) : shell::real(real_[i]);
  }
  // The module namespace of the function being called.
  PyObject* globals() const noexcept { return globals_; }

  Args() noexcept = default;
  Args(Args&& o) noexcept : real_{}, owned_(std::exchange(o.owned_, 0u)), globals_(o.globals_) {
    std::copy(std::begin(o.value_), std::end(o.value_), value_);
    std::copy(std::begin(o.real_), std::end(o.real_), real_);
  }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (unsigned held = owned_; held; held &= held - 1) Py_DECREF(value_[std::countr_zero(held)]);
  }

 private:
  friend struct Binder;
  // Most values are borrowed from the caller's stack; a set bit in owned_ marks
  // one this Args holds a reference to (a conversion's result, or every value
  // once the call outlives the caller).
  PyObject* value_[kMaxParams];
  double real_[kMaxParams];
  unsigned owned_ = 0;
  PyObject* globals_ = nullptr;
  static_assert(kMaxParams <= 32, "owned_ has a bit per parameter");
};

// A body returns a new reference; it fails by returning a `raise` (the empty
// Ref of the error it set) or by letting a HostError through (see host.hpp).
using Body = Ref (*)(Args&);
// The body of a member written as `...` (a protocol's): it returns None.
Ref returns_none(Args&);

// Whether the method call `obj.name(...)` would run our function whose body is
// `body`, proven as the host's specialised method calls prove it: from the
// class's version tag and the instance's own attributes. False means only
// "not proven": call by name then.
// Looking up a class it has not seen may run host code (a key of the class's
// dict may compare itself).
bool calls_own(PyObject* obj, const Name& name, Body body);
// The same when it is already known for the class; nothing otherwise (use
// calls_own, holding `obj`). Runs no host code.
std::optional<bool> calls_own_plainly(PyObject* obj, const Name& name, Body body) noexcept;

// References a suspending body keeps across its awaits. They live in the
// coroutine object, where the cycle collector sees them and clearing the
// coroutine drops them; a Ref held in the C++ frame across an await would be
// invisible to both. Take every slot at the top of the body.
class Frame {
 public:
  static constexpr int kSlots = 6;
  Ref& slot() noexcept {
    SHELL_INVARIANT(used_ < kSlots, "a body takes at most kSlots frame slots");
    return slots_[used_ < kSlots - 1 ? used_++ : kSlots - 1];
  }
  int traverse(visitproc visit, void* arg) const noexcept {
    for (const Ref& r : slots_) Py_VISIT(r.get());
    return 0;
  }
  void clear() noexcept {
    for (Ref& r : slots_) r.reset();
  }

 private:
  Ref slots_[kSlots];
  int used_ = 0;
};

// A body that may suspend: a C++ coroutine whose `co_await shell::host_await(x)`
// awaits a host awaitable, delegating send/throw/close to it meanwhile.
class Task {
 public:
  struct promise_type;
  using Handle = std::coroutine_handle<promise_type>;

  struct Awaiting {
    Ref awaitable;  // held here until the driver takes its iterator
    Ref value;      // filled by the driver; empty means the host error is set
    bool await_ready() const noexcept { return false; }
    void await_suspend(Handle h) noexcept { h.promise().pending = this; }
    // What the awaitable returned; what it raised is thrown into the body.
    Ref await_resume() {
      if (!value) throw_host_error();
      return std::move(value);
    }
  };

  struct promise_type {
    Awaiting* pending = nullptr;
    Ref result;
    Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
    static Task get_return_object_on_allocation_failure() noexcept { return Task(); }
    std::suspend_never initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void return_value(Ref r) noexcept { result = std::move(r); }
    // An exception ends the body with the host error set: the one HostError
    // left, or the matching one for any other.
    void unhandled_exception() noexcept;
    static void* operator new(std::size_t n) noexcept { return PyMem_Malloc(n); }
    static void operator delete(void* p) noexcept { PyMem_Free(p); }
  };

  Task() noexcept = default;
  explicit Task(Handle h) noexcept : h_(h) {}
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    std::swap(h_, o.h_);
    return *this;
  }
  ~Task() {
    if (h_) h_.destroy();
  }
  Handle handle() const noexcept { return h_; }

 private:
  Handle h_;
};
using TaskBody = Task (*)(Args&, Frame&);

// Awaits `awaitable`, which the await owns from here on. Use it as a whole
// statement of its own, `r = co_await host_await(std::move(x));`: g++ 12
// miscompiles a co_await inside a conditional expression, and the
// temporaries of the statement (a Ref made for an argument) would be held
// across the suspension, out of the collector's sight. What the awaitable
// raises is thrown where the body awaits.
inline Task::Awaiting host_await(Ref awaitable) noexcept { return {std::move(awaitable), {}}; }

// ---- declarations -------------------------------------------------------

struct Default {
  enum class Tag : unsigned char { absent, none, integer, real, dict_factory } tag = Tag::absent;
  long long integer_value = 0;
  double real_value = 0.0;
};
inline constexpr Default None{Default::Tag::none};
inline constexpr Default DictFactory{Default::Tag::dict_factory};
constexpr Default Int(long long v) { return {Default::Tag::integer, v, 0.0}; }
constexpr Default Real(double v) { return {Default::Tag::real, 0, v}; }

struct Param {
  const char* name;
  const char* annotation = nullptr;  // stored as written; drives the argument test
  Default fallback = {};
  bool keyword_only = false;
};
// Positional-or-keyword and keyword-only parameters.
inline Param arg(const char* name, const char* annotation = nullptr, Default d = {}) {
  return {name, annotation, d, false};
}
inline Param kwarg(const char* name, const char* annotation = nullptr, Default d = {}) {
  return {name, annotation, d, true};
}

enum class Kind : unsigned char { function, coroutine, classmethod };

// A function, or a method when it appears in a class (then `self`, or `cls` for a
// class method, is its implicit first parameter).
struct Def {
  const char* name;
  int line;
  std::vector<Param> params = {};
  const char* returns = nullptr;  // return annotation, none when null
  const char* doc = nullptr;
  std::variant<Body, TaskBody> body = returns_none;
  Kind kind = Kind::function;
  std::vector<const char*> locals = {};  // local variable names the code object lists
};

struct Field {
  const char* name;
  const char* annotation;
  Default fallback = {};
};

struct FromImport {
  const char* module;
  std::vector<const char*> names;
  int level = 0;
};
struct Import {
  const char* module;
};
enum class ClassKind : unsigned char { plain, protocol, record, exception };
struct Class {
  ClassKind kind;
  const char* name;
  const char* doc;
  std::vector<Def> members = {};
  std::vector<Field> fields = {};  // records only
  PyTypeObject* base = nullptr;    // a builtin base of a plain class
};
// A module attribute whose value a function makes when the body runs.
struct Constant {
  const char* name;
  Ref (*make)();
};

using Statement = std::variant<FromImport, Import, Class, Def, Constant>;

struct Module {
  const char* name;  // short name; the full name is the package's plus this
  const char* doc;
  std::vector<Statement> body;
};

inline Class protocol(const char* name, const char* doc, std::vector<Def> members) {
  return {ClassKind::protocol, name, doc, std::move(members)};
}
inline Class plain_class(const char* name, const char* doc, std::vector<Def> members) {
  return {ClassKind::plain, name, doc, std::move(members)};
}
inline Class subclass(const char* name, PyTypeObject* base, const char* doc, std::vector<Def> members = {}) {
  return {ClassKind::plain, name, doc, std::move(members), {}, base};
}
inline Class exception_class(const char* name, const char* doc, std::vector<Def> members) {
  return {ClassKind::exception, name, doc, std::move(members)};
}
inline Class record(const char* name, const char* doc, std::vector<Field> fields,
                    std::vector<Def> members = {}) {
  return {ClassKind::record, name, doc, std::move(members), std::move(fields)};
}

// The module definition that PyInit_<name> returns.
PyObject* define(const Module& module) noexcept;

}  // namespace shell
