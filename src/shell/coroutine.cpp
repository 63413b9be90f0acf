// Coroutine objects: what calling an asynchronous method returns. They behave
// like the host's own coroutines; a C++ body may await host awaitables, and while
// it waits send/throw/close are delegated to the awaited object. Every call out
// to host code is followed by a fresh look at the state, which that code may
// have changed by driving the same coroutine.
#include <cstddef>
#include <exception>
#include <new>

#include "shell/internal.hpp"

namespace shell {

void Task::promise_type::unhandled_exception() noexcept { detail::raise_cpp_exception(); }

namespace detail {

namespace {

enum class State : unsigned char { created, suspended, running, finished };

struct Coroutine {
  PyObject_HEAD
  Function* func;
  PyObject* name;
  PyObject* qualname;
  PyObject* delegate;  // the iterator of the awaitable the body waits on
  PyObject* weaklist;
  State state;
  bool finalized;  // tp_finalize ran: the host marked the object, so its memory is not reused
  Args args;
  Frame frame;
  Task task;
};

PyTypeObject* the_coroutine_type = nullptr;
PyTypeObject* the_wrapper_type = nullptr;

Name close_name("close"), throw_name("throw"), cr_await_name("cr_await");

// The memory of a few dead objects of one type, kept for the next ones:
// every call of an asynchronous method makes a coroutine, every plain
// `await` of one an iterator.
template <class T>
class Spares {
 public:
  // Memory for a new object of `type`, with one reference; null when none is kept.
  T* take(PyTypeObject* type) {
    if (!count_) return nullptr;
    T* o = kept_[--count_];
    PyObject_Init(reinterpret_cast<PyObject*>(o), type);
    return o;
  }
  // Keeps the memory of a dead, untracked object; false when full (then free it).
  bool keep(T* o) {
    if (count_ == kSize) return false;
    kept_[count_++] = o;
    return true;
  }

 private:
  static constexpr int kSize = 8;
  T* kept_[kSize];
  int count_ = 0;
};

Coroutine* as_coro(PyObject* self) { return reinterpret_cast<Coroutine*>(self); }

int arg_count(const Coroutine* c) { return c->func->sig->count; }

// ---- results and errors ----------------------------------------------------

// Raises StopIteration(value) as a return does; built directly, as its
// constructor only stores the argument tuple and the first argument.
void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
  Ref args(PyTuple_Pack(1, value));
  Ref stop = args ? Ref(type->tp_new(type, args.get(), nullptr)) : Ref();
  if (!stop) return;
  reinterpret_cast<PyStopIterationObject*>(stop.get())->value = Py_NewRef(value);
  PyErr_SetObject(PyExc_StopIteration, stop.get());
}

// A StopIteration leaving a body is a fault of the body, not its return.
void forbid_stop_iteration() {
  if (!error_is(PyExc_StopIteration)) return;
  Ref stop = take_error();
  PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
  Ref error = take_error();
  if (!error) return;
  PyException_SetCause(error.get(), Py_NewRef(stop.get()));
  PyException_SetContext(error.get(), stop.release());
  PyErr_SetRaisedException(error.release());
}

// The outcome of an await into which an exception was thrown: a StopIteration
// ends the await with its value, as the host's await does; anything else stays
// pending and is raised where the body waits.
Ref thrown_outcome() {
  if (!error_is(PyExc_StopIteration)) return {};
  Ref stop = take_error();
  return Ref::borrow(reinterpret_cast<PyStopIterationObject*>(stop.get())->value);
}

bool refuse_state(Coroutine* c) {
  if (c->state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
  }
  if (c->state == State::finished) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return true;
  }
  return false;
}

// ---- what an await iterates --------------------------------------------------

bool is_iterable_coroutine(PyObject* o) {
  if (!PyGen_CheckExact(o)) return false;
  Ref code(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))));
  return code && (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE);
}

// Whether a coroutine is suspended in an await of its own: 1, 0, -1 on error.
int awaiting_already(PyObject* coro) {
  if (Py_IS_TYPE(coro, the_coroutine_type)) return as_coro(coro)->delegate != nullptr;
  if (!PyCoro_CheckExact(coro)) return 0;
  Ref awaited(PyObject_GetAttr(coro, cr_await_name.get()));
  return awaited ? awaited.get() != Py_None : -1;
}

// What `await o` iterates, with the host's errors for what cannot be awaited.
Ref awaitable_iter(PyObject* o) {
  // Coroutines are driven directly, without an __await__ wrapper.
  if (PyCoro_CheckExact(o) || Py_IS_TYPE(o, the_coroutine_type) || is_iterable_coroutine(o)) {
    int busy = awaiting_already(o);
    if (busy < 0) return {};
    if (busy) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      return {};
    }
    return Ref::borrow(o);
  }
  unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    return {};
  }
  Ref it(getter(o));
  if (!it) return {};
  if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it.get())) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return {};
  }
  if (!PyIter_Check(it.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(it.get())->tp_name);
    return {};
  }
  return it;
}

// 0, or -1 with the host error set when the iterator's close() failed.
int close_iter(PyObject* it) {
  PyObject* close = nullptr;
  if (PyObject_GetOptionalAttr(it, close_name.get(), &close) < 0) return -1;
  if (!close) return 0;
  Ref closer(close);
  Ref done(PyObject_CallNoArgs(closer.get()));
  return done ? 0 : -1;
}

// Closes what a suspended body awaits, the coroutine counting as running
// meanwhile so that the close cannot drive it; 0, or -1 with the error set.
int close_awaited(Coroutine* c) {
  Ref awaited = Ref::borrow(c->delegate);
  c->state = State::running;
  int closed = close_iter(awaited.get());
  c->state = State::suspended;
  return closed;
}

// ---- driving the body ----------------------------------------------------------

// Ends the body and drops everything it held, as a completed host frame does.
// Destructors may run host code, so the state says "finished" first.
void release_body(Coroutine* c) {
  c->state = State::finished;
  c->task = Task();
  c->frame.clear();
  Py_CLEAR(c->delegate);
  Binder::clear(c->args, arg_count(c));
}

// The body has ended with `result` (empty: its error is set).
PySendResult finish(Coroutine* c, Ref result, PyObject** out) {
  if (!result) forbid_stop_iteration();
  Ref error = result ? Ref() : take_error();
  release_body(c);
  if (!result) {
    PyErr_SetRaisedException(error.release());
    return PYGEN_ERROR;
  }
  *out = result.release();
  return PYGEN_RETURN;
}

// Sends `value` into the awaited iterator `it`. When it yields, the body stays
// suspended on it and the yielded value goes out; otherwise `outcome` is the
// await's result (empty: its error is set) and false is returned.
bool step_delegate(Coroutine* c, Ref it, PyObject* value, PyObject** out, Ref& outcome) {
  PyObject* yielded = nullptr;
  PySendResult r = PyIter_Send(it.get(), value, &yielded);
  if (r == PYGEN_NEXT) {
    c->delegate = it.release();
    c->state = State::suspended;
    *out = yielded;
    return true;
  }
  outcome = Ref(r == PYGEN_RETURN ? yielded : nullptr);
  return false;
}

// The body has stopped at an await: its awaitable starts at once, as the
// host's await does. True when it yielded; otherwise `outcome` ends the await.
bool enter_await(Coroutine* c, PyObject** out, Ref& outcome) {
  Task::Awaiting* waiting = c->task.handle().promise().pending;
  SHELL_INVARIANT(waiting && waiting->awaitable, "the body stopped at an await not entered yet");
  Ref it = awaitable_iter(waiting->awaitable.get());
  waiting->awaitable.reset();  // the await keeps only what it iterates
  return it && step_delegate(c, std::move(it), Py_None, out, outcome);
}

// Runs the body from where it stands to its next suspension or its end.
// Ends the await the body stopped at with `outcome` and lets the body run on.
void deliver(Task::Handle h, Ref outcome) {
  Task::Awaiting* waiting = std::exchange(h.promise().pending, nullptr);
  SHELL_INVARIANT(waiting, "the body waits at an await");
  waiting->value = std::move(outcome);
  h.resume();
}

PySendResult run_on(Coroutine* c, PyObject** out) {
  Task::Handle h = c->task.handle();
  Ref outcome;
  while (!h.done()) {
    if (enter_await(c, out, outcome)) return PYGEN_NEXT;
    deliver(h, std::move(outcome));
  }
  return finish(c, std::move(h.promise().result), out);
}

// A run of a body counts as one frame of the host's, as the host counts its
// own on every start and resume: a chain of awaits between compiled
// coroutines meets RecursionError at the depth a chain of host coroutines
// would. Unlike the host's inlined frames ours use the C stack, which is
// guarded as the host guards an entry of its evaluation loop (two units of
// its C recursion budget; more where the sanitizers widen every frame). A
// run refused here ends the coroutine, as a host frame that cannot be pushed
// is cleared.
class BodyRun {
 public:
#if defined(__SANITIZE_ADDRESS__)
  static constexpr int kStackUnits = 6;
#else
  static constexpr int kStackUnits = 2;
#endif
  BodyRun() noexcept : ts_(PyThreadState_Get()) {
    // While an overflow is being handled the host allows 50 frames more.
    int floor = ts_->recursion_headroom ? -50 : 0;
    if (ts_->py_recursion_remaining <= floor || ts_->c_recursion_remaining < kStackUnits + floor) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
      return;
    }
    --ts_->py_recursion_remaining;
    ts_->c_recursion_remaining -= kStackUnits;
    entered_ = true;
  }
  ~BodyRun() {
    if (!entered_) return;
    ++ts_->py_recursion_remaining;
    ts_->c_recursion_remaining += kStackUnits;
  }
  BodyRun(const BodyRun&) = delete;
  BodyRun& operator=(const BodyRun&) = delete;
  explicit operator bool() const noexcept { return entered_; }

 private:
  PyThreadState* ts_;
  bool entered_ = false;
};

PySendResult refuse_run(Coroutine* c) {
  Ref error = take_error();
  release_body(c);
  PyErr_SetRaisedException(error.release());
  return PYGEN_ERROR;
}

// The await the body waits at ends with `outcome` (empty: the pending error
// is raised there); the body runs on.
PySendResult resume(Coroutine* c, Ref outcome, PyObject** out) {
  c->state = State::running;
  deliver(c->task.handle(), std::move(outcome));
  return run_on(c, out);
}

PySendResult start(Coroutine* c, PyObject** out) {
  c->state = State::running;
  Function* f = c->func;
  if (f->body) {
    return finish(c, guard([&] { return f->body(c->args); }), out);
  }
  c->task = f->task(c->args, c->frame);
  if (!c->task.handle()) {
    PyErr_NoMemory();
    return finish(c, Ref(), out);
  }
  return run_on(c, out);
}

PySendResult send_into(Coroutine* c, PyObject* value, PyObject** out) {
  if (c->state == State::created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  if (refuse_state(c)) return PYGEN_ERROR;
  BodyRun run;
  if (!run) return refuse_run(c);
  if (c->state == State::created) return start(c, out);
  c->state = State::running;
  Ref outcome;
  if (step_delegate(c, Ref(std::exchange(c->delegate, nullptr)), value, out, outcome)) return PYGEN_NEXT;
  return resume(c, std::move(outcome), out);
}

// The await the body waits at ends with the pending error, or with the value
// of a pending StopIteration. The state is whatever the host code that ran
// since the throw began left it.
PySendResult end_await_by_throw(Coroutine* c, PyObject** out) {
  if (c->state != State::suspended) {
    if (refuse_state(c)) return PYGEN_ERROR;
  }
  BodyRun run;
  if (!run) return refuse_run(c);
  Ref outcome = thrown_outcome();
  Py_CLEAR(c->delegate);
  return resume(c, std::move(outcome), out);
}

// The exception that throw(typ[, val[, tb]]) raises, normalised as the host
// does; empty with the host error set when the arguments cannot be raised
// (nothing is thrown then).
bool raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
  if (PyExceptionClass_Check(typ)) {
    // A class whose construction fails throws the construction's error.
    PyErr_NormalizeException(&t, &v, &b);
  } else if (PyExceptionInstance_Check(typ)) {
    if (v && v != Py_None) {
      Py_DECREF(t);
      Py_DECREF(v);
      Py_XDECREF(b);
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    Py_XSETREF(v, t);
    t = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(v)));
    if (!b) b = PyException_GetTraceback(v);
  } else {
    Py_DECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(b);
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
  }
  PyErr_Restore(t, v, b);
  return true;
}

// Raises the thrown exception where the body is, as the host's throw does once
// no awaited object took it.
PySendResult throw_here(Coroutine* c, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
  if (!raise_thrown(typ, val, tb)) return PYGEN_ERROR;
  if (c->state == State::created) {
    // Raised before the body's first step: it leaves unchanged and ends it.
    Ref exc = take_error();
    release_body(c);
    PyErr_SetRaisedException(exc.release());
    return PYGEN_ERROR;
  }
  return end_await_by_throw(c, out);
}

PyObject* call_throw(PyObject* method, PyObject* typ, PyObject* val, PyObject* tb) {
  PyObject* stack[] = {typ, val, tb};
  size_t n = !val ? 1 : !tb ? 2 : 3;
  return PyObject_Vectorcall(method, stack, n, nullptr);
}

// throw(typ[, val[, tb]]): the awaited object gets the arguments as given;
// only what it does not take is checked and raised here.
PySendResult throw_into(Coroutine* c, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
  if (c->state != State::suspended || !c->delegate) return throw_here(c, typ, val, tb, out);
  if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit))
    return close_awaited(c) < 0 ? end_await_by_throw(c, out) : throw_here(c, typ, val, tb, out);
  Ref awaited = Ref::borrow(c->delegate);
  PyObject* method = nullptr;
  // Looked up while still suspended, as the host does: the lookup may drive
  // this coroutine, so the state is read again afterwards.
  if (PyObject_GetOptionalAttr(awaited.get(), throw_name.get(), &method) < 0) return PYGEN_ERROR;
  if (!method) return throw_here(c, typ, val, tb, out);
  Ref thrower(method);
  State before = c->state;
  c->state = State::running;
  PyObject* yielded = call_throw(thrower.get(), typ, val, tb);
  c->state = before;
  if (yielded) {
    *out = yielded;
    return PYGEN_NEXT;
  }
  return end_await_by_throw(c, out);
}

// ---- the coroutine's methods ------------------------------------------------------

PyObject* result_or_stop(PySendResult r, PyObject* out) {
  if (r == PYGEN_RETURN) {
    set_stop_iteration(out);
    Py_DECREF(out);
    return nullptr;
  }
  return r == PYGEN_NEXT ? out : nullptr;
}

PySendResult coro_send_slot(PyObject* self, PyObject* value, PyObject** out) noexcept {
  return guard([&] { return send_into(as_coro(self), value, out); }, PYGEN_ERROR);
}

PyObject* coro_send(PyObject* self, PyObject* value) noexcept {
  PyObject* out = nullptr;
  PySendResult r = coro_send_slot(self, value, &out);
  return result_or_stop(r, out);
}

PyObject* coro_next(PyObject* self) noexcept {
  PyObject* out = nullptr;
  PySendResult r = coro_send_slot(self, Py_None, &out);
  if (r == PYGEN_RETURN && out == Py_None) {
    Py_DECREF(out);
    return nullptr;  // a bare StopIteration, as the host's iterators signal it
  }
  return result_or_stop(r, out);
}

PyObject* throw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    return nullptr;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
  if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                "the (type, exc, tb) signature of throw() is deprecated, "
                                "use the single-arg signature instead.",
                                1) < 0)
    return nullptr;
  PyObject* val = nargs > 1 ? args[1] : nullptr;
  PyObject* tb = nargs > 2 ? args[2] : nullptr;
  PyObject* out = nullptr;
  PySendResult r = guard([&] { return throw_into(as_coro(self), args[0], val, tb, &out); }, PYGEN_ERROR);
  return result_or_stop(r, out);
}

// Raises GeneratorExit where the body waits (after closing what it awaits); a
// body that swallows it and waits again has ignored it.
PyObject* close_method(PyObject* self, PyObject*) noexcept {
  Coroutine* c = as_coro(self);
  if (c->state == State::created) {
    release_body(c);
    Py_RETURN_NONE;
  }
  if (c->state == State::finished) Py_RETURN_NONE;
  PyObject* out = nullptr;
  PySendResult r = guard([&]() -> PySendResult {
    if (c->state == State::suspended && c->delegate && close_awaited(c) < 0) return end_await_by_throw(c, &out);
    PyErr_SetNone(PyExc_GeneratorExit);
    return end_await_by_throw(c, &out);
  }, PYGEN_ERROR);
  if (r == PYGEN_NEXT) {
    Py_DECREF(out);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (r == PYGEN_RETURN) return out;
  if (error_is(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// ---- the __await__ iterator -----------------------------------------------------

// What __await__ returns: an iterator over the coroutine, as the host's own
// coroutines hand out, so the coroutine itself stays non-iterable. Every plain
// `await` of a compiled coroutine makes one, so a few are kept for reuse.
struct Wrapper {
  PyObject_HEAD
  PyObject* coro;  // null once cleared by the collector
};

Spares<Wrapper> spare_wrappers;

PyObject* new_wrapper(PyObject* coro) {
  Wrapper* w = spare_wrappers.take(the_wrapper_type);
  if (!w) w = PyObject_GC_New(Wrapper, the_wrapper_type);
  if (!w) return nullptr;
  w->coro = Py_NewRef(coro);
  PyObject_GC_Track(w);
  return reinterpret_cast<PyObject*>(w);
}

// `await coro` (the type's await slot): refused while another await drives it.
PyObject* coro_await_slot(PyObject* self) noexcept {
  if (as_coro(self)->delegate) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return new_wrapper(self);
}

// coro.__await__(), called by name, hands out an iterator whatever the state.
PyObject* coro_await_method(PyObject* self, PyObject*) noexcept { return new_wrapper(self); }

// The coroutine a wrapper drives; null with the host error set once cleared.
PyObject* wrapped(PyObject* self) {
  PyObject* coro = reinterpret_cast<Wrapper*>(self)->coro;
  if (!coro) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
  return coro;
}

PyObject* wrapper_next(PyObject* self) noexcept {
  PyObject* coro = wrapped(self);
  return coro ? coro_next(coro) : nullptr;
}
PySendResult wrapper_send_slot(PyObject* self, PyObject* value, PyObject** out) noexcept {
  PyObject* coro = wrapped(self);
  return coro ? coro_send_slot(coro, value, out) : PYGEN_ERROR;
}
PyObject* wrapper_send(PyObject* self, PyObject* value) noexcept {
  PyObject* coro = wrapped(self);
  return coro ? coro_send(coro, value) : nullptr;
}
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  PyObject* coro = wrapped(self);
  return coro ? throw_method(coro, args, nargs) : nullptr;
}
PyObject* wrapper_close(PyObject* self, PyObject*) noexcept {
  PyObject* coro = reinterpret_cast<Wrapper*>(self)->coro;
  if (!coro) Py_RETURN_NONE;
  return close_method(coro, nullptr);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<Wrapper*>(self)->coro);
  return 0;
}

int wrapper_clear(PyObject* self) noexcept {
  Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coro);
  return 0;
}

void wrapper_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coro);
  PyTypeObject* type = Py_TYPE(self);
  if (!spare_wrappers.keep(reinterpret_cast<Wrapper*>(self))) type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wrapper_next)},
    {Py_am_send, reinterpret_cast<void*>(wrapper_send_slot)},
    {Py_tp_methods, wrapper_methods},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "corlith_runtime.core.runtime.compiled_coroutine_wrapper",
    sizeof(Wrapper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

// ---- the coroutine type ------------------------------------------------------------

PyObject* coro_reduce(PyObject* self, PyObject*) noexcept {
  Ref name(PyType_GetName(Py_TYPE(self)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot pickle '%.200U' object", name.get());
  return nullptr;
}

void coro_finalize(PyObject* self) noexcept {
  Coroutine* c = as_coro(self);
  c->finalized = true;
  if (c->state == State::finished) return;
  Ref saved = take_error();
  if (c->state == State::created) {
    release_body(c);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", c->qualname) < 0)
      PyErr_WriteUnraisable(self);
  } else {
    Ref done(close_method(self, nullptr));
    if (!done) PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(saved.release());
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Coroutine* c = as_coro(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->func);
  Py_VISIT(c->name);
  Py_VISIT(c->qualname);
  Py_VISIT(c->delegate);
  if (Task::Handle h = c->task.handle(); h && !h.done()) {
    if (Task::Awaiting* waiting = h.promise().pending) Py_VISIT(waiting->awaitable.get());
  }
  if (int r = c->frame.traverse(visit, arg)) return r;
  return Binder::traverse(c->args, arg_count(c), visit, arg);
}

// Releases everything the body holds, ending it where it waits.
int coro_clear(PyObject* self) noexcept {
  Coroutine* c = as_coro(self);
  if (c->state != State::running) release_body(c);
  return 0;
}

Spares<Coroutine> spare_coroutines;

void coro_dealloc(PyObject* self) noexcept {
  Coroutine* c = as_coro(self);
  // A finished coroutine has nothing left to finalize.
  if (c->state != State::finished && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  if (c->weaklist) PyObject_ClearWeakRefs(self);
  c->state = State::finished;
  c->task.~Task();
  c->frame.~Frame();
  Py_CLEAR(c->delegate);
  c->args.~Args();
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->func);
  PyTypeObject* type = Py_TYPE(self);
  if (c->finalized || !spare_coroutines.keep(c)) type->tp_free(self);
  Py_DECREF(type);
}

PyObject* coro_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* coro_get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_coro(self)->name); }
PyObject* coro_get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_coro(self)->qualname); }
int coro_set_name(PyObject* self, PyObject* v, void*) noexcept { return set_text(as_coro(self)->name, v, "__name__"); }
int coro_set_qualname(PyObject* self, PyObject* v, void*) noexcept {
  return set_text(as_coro(self)->qualname, v, "__qualname__");
}
PyObject* get_module(PyObject* self, void*) noexcept {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(as_coro(self)->func), "__module__");
}
// Instances answer `__module__`; the type's own entry stays its module's name.
PyObject* coro_getattro(PyObject* self, PyObject* name) noexcept {
  return names_module(name) ? get_module(self, nullptr) : PyObject_GenericGetAttr(self, name);
}
PyObject* get_running(PyObject* self, void*) noexcept {
  return PyBool_FromLong(as_coro(self)->state == State::running);
}
PyObject* get_suspended(PyObject* self, void*) noexcept {
  return PyBool_FromLong(as_coro(self)->state == State::suspended);
}
PyObject* get_await(PyObject* self, void*) noexcept {
  PyObject* d = as_coro(self)->delegate;
  return Py_NewRef(d ? d : Py_None);
}
PyObject* get_frame(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* coro_get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_coro(self)->func->code); }

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, coro_set_name, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, coro_set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", coro_get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_method)), METH_FASTCALL, nullptr},
    {"close", close_method, METH_NOARGS, nullptr},
    {"__await__", coro_await_method, METH_NOARGS | METH_COEXIST, nullptr},
    {"__reduce__", coro_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", coro_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Coroutine, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_am_await, reinterpret_cast<void*>(coro_await_slot)},
    {Py_am_send, reinterpret_cast<void*>(coro_send_slot)},
    {Py_tp_getattro, reinterpret_cast<void*>(coro_getattro)},
    {Py_tp_getset, coro_getset},
    {Py_tp_methods, coro_methods},
    {Py_tp_members, coro_members},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "corlith_runtime.core.runtime.compiled_coroutine",
    sizeof(Coroutine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

}  // namespace

bool ready_coroutine_types() {
  if (!the_wrapper_type) the_wrapper_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&wrapper_spec));
  if (the_wrapper_type && !the_coroutine_type)
    the_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coro_spec));
  return the_coroutine_type != nullptr;
}

PyObject* make_coroutine(Function* f, Args& args) {
  Coroutine* c = spare_coroutines.take(the_coroutine_type);
  if (!c) c = PyObject_GC_New(Coroutine, the_coroutine_type);
  if (!c) return nullptr;
  Binder::retain(args, f->sig->count);
  c->func = reinterpret_cast<Function*>(Py_NewRef(reinterpret_cast<PyObject*>(f)));
  c->name = Py_NewRef(f->name);
  c->qualname = Py_NewRef(f->qualname);
  c->delegate = nullptr;
  c->weaklist = nullptr;
  c->state = State::created;
  c->finalized = false;
  new (&c->args) Args(std::move(args));
  new (&c->frame) Frame();
  new (&c->task) Task();
  PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
  return reinterpret_cast<PyObject*>(c);
}

}  // namespace detail
}  // namespace shell
