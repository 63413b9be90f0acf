// Coroutine objects: what calling an asynchronous method returns. They behave
// like the host's own coroutines; a C++ body may await host awaitables, and while
// it waits send/throw/close are delegated to the awaited object.
#include <cstddef>
#include <new>

#include "shell/internal.hpp"

namespace shell::detail {
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
  Task task;
};

PyTypeObject* the_coroutine_type = nullptr;
PyTypeObject* the_wrapper_type = nullptr;

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
  // Keeps the memory of a finished object; false when full (then free it).
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

// The StopIteration that last carried a result out. A plain `await` takes it
// off the error indicator and drops it at once; when nothing else holds it,
// it carries the next result, instead of a new one being built.
PyObject* spare_stop = nullptr;

// The slot of the spare's argument tuple when only the spare holds that
// tuple: it is refilled in place rather than rebuilt.
PyObject** own_argument(PyStopIterationObject* stop) {
  PyObject* args = stop->args;
  if (!args || Py_REFCNT(args) != 1 || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1) return nullptr;
  return &reinterpret_cast<PyTupleObject*>(args)->ob_item[0];
}

// Makes `stop` carry `value` as StopIteration(value) does, in its argument
// tuple and as its value; false with the host error set.
bool carry(PyStopIterationObject* stop, PyObject* value) {
  if (PyObject** slot = own_argument(stop)) {
    Py_SETREF(*slot, Py_NewRef(value));
  } else {
    PyObject* args = PyTuple_Pack(1, value);
    if (!args) return false;
    Py_XSETREF(stop->args, args);
  }
  Py_XSETREF(stop->value, Py_NewRef(value));
  return true;
}

// Drops what a raise attached to the spare. The caller holds the spare, so
// code run by these releases finds it taken.
void unlink(PyStopIterationObject* spare) {
  spare->suppress_context = 0;
  Py_CLEAR(spare->dict);
  Py_CLEAR(spare->notes);
  Py_CLEAR(spare->traceback);
  Py_CLEAR(spare->context);
  Py_CLEAR(spare->cause);
}

PyStopIterationObject* free_spare() {
  bool free = spare_stop && Py_REFCNT(spare_stop) == 1;
  return free ? reinterpret_cast<PyStopIterationObject*>(spare_stop) : nullptr;
}

// Called whenever a coroutine or its iterator goes away: by then whoever
// awaited it has taken the result out of the spare, which must not keep the
// result, its traceback or its context alive. Deallocators call this, maybe
// with an error pending, so nothing here allocates.
void release_spare_stop() {
  PyStopIterationObject* spare = free_spare();
  if (!spare || spare->value == Py_None) return;
  Ref held = Ref::borrow(spare_stop);
  unlink(spare);
  if (PyObject** slot = own_argument(spare))
    Py_SETREF(*slot, Py_NewRef(Py_None));
  else
    Py_XSETREF(spare->args, PyTuple_New(0));
  Py_XSETREF(spare->value, Py_NewRef(Py_None));
}

// StopIteration(value); its constructor only stores the argument tuple and
// the first argument, so that is done here without the generic call.
Ref stop_iteration_of(PyObject* value) {
  Ref stop;
  if (PyStopIterationObject* spare = free_spare()) {
    stop = Ref::borrow(spare_stop);
    unlink(spare);
  } else {
    auto* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
    Ref no_args(PyTuple_New(0));
    stop = no_args ? Ref(type->tp_new(type, no_args.get(), nullptr)) : Ref();
    if (!stop) return {};
    Py_XSETREF(spare_stop, Py_NewRef(stop.get()));
  }
  return carry(reinterpret_cast<PyStopIterationObject*>(stop.get()), value) ? stop : Ref();
}

void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  // Wrapped first, so a tuple or an exception arrives as the value itself.
  Ref stop = stop_iteration_of(value);
  if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

bool is_iterable_coroutine(PyObject* o) {
  if (!PyGen_CheckExact(o)) return false;
  Ref code(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))));
  return code && (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE);
}

// What `await o` iterates, with the host's errors for what cannot be awaited.
Ref awaitable_iter(PyObject* o) {
  // Our own coroutines are driven directly, without an __await__ wrapper.
  if (PyCoro_CheckExact(o) || Py_IS_TYPE(o, the_coroutine_type) || is_iterable_coroutine(o)) return Ref::borrow(o);
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
  static Name close_name("close");
  PyObject* close = nullptr;
  if (PyObject_GetOptionalAttr(it, close_name, &close) < 0) return -1;
  if (!close) return 0;
  Ref closer(close);
  Ref done = call(closer.get());
  return done ? 0 : -1;
}

PySendResult finish(Coroutine* c, Ref result, PyObject** out) {
  c->state = State::finished;
  Ref error = result ? Ref() : take_error();
  c->task = Task();  // the frame's destructors may run host code; keep the error aside
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

// Hands the body the outcome of its await (empty: the pending host error is
// raised there) and lets it run to its next await or its end.
void deliver(Task::Handle h, Ref outcome) {
  Task::Awaiting* waiting = std::exchange(h.promise().pending, nullptr);
  waiting->value = std::move(outcome);
  h.resume();
}

// The body has just stopped, at its end or at the await of a new awaitable;
// the new awaitable is started at once, as the host's await does.
PySendResult settle(Coroutine* c, PyObject** out) {
  Task::Handle h = c->task.handle();
  while (!h.done()) {
    Ref outcome;
    Ref it = awaitable_iter(h.promise().pending->awaitable);
    if (it && step_delegate(c, std::move(it), Py_None, out, outcome)) return PYGEN_NEXT;
    deliver(h, std::move(outcome));
  }
  return finish(c, std::move(h.promise().result), out);
}

PySendResult resume(Coroutine* c, Ref outcome, PyObject** out) {
  deliver(c->task.handle(), std::move(outcome));
  return settle(c, out);
}

PySendResult start(Coroutine* c, PyObject** out) {
  c->state = State::running;
  Function* f = c->func;
  if (f->body) return finish(c, f->body(c->args), out);
  c->task = f->task(c->args);
  if (!c->task.handle()) {
    PyErr_NoMemory();
    return finish(c, Ref(), out);
  }
  return settle(c, out);
}

// One step of a suspended body: `value` goes to the awaited object.
PySendResult step_suspended(Coroutine* c, PyObject* value, PyObject** out) {
  c->state = State::running;
  Ref outcome;
  if (step_delegate(c, Ref(std::exchange(c->delegate, nullptr)), value, out, outcome)) return PYGEN_NEXT;
  return resume(c, std::move(outcome), out);
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

PySendResult coro_send_slot(PyObject* self, PyObject* value, PyObject** out) {
  Coroutine* c = as_coro(self);
  if (c->state == State::created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  if (refuse_state(c)) return PYGEN_ERROR;
  if (c->state == State::created) return start(c, out);
  return step_suspended(c, value, out);
}

PyObject* result_or_stop(PySendResult r, PyObject* out) {
  if (r == PYGEN_RETURN) {
    set_stop_iteration(out);
    Py_DECREF(out);
    return nullptr;
  }
  return r == PYGEN_NEXT ? out : nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* value) {
  PyObject* out = nullptr;
  PySendResult r = coro_send_slot(self, value, &out);
  return result_or_stop(r, out);
}

PyObject* coro_next(PyObject* self) {
  PyObject* out = nullptr;
  PySendResult r = coro_send_slot(self, Py_None, &out);
  if (r == PYGEN_RETURN && out == Py_None) {
    Py_DECREF(out);
    return nullptr;  // a bare StopIteration, as the host's iterators signal it
  }
  return result_or_stop(r, out);
}

// Raises `exc` inside the body where it waits, as the host's throw() does.
PySendResult throw_into(Coroutine* c, Ref exc, PyObject** out) {
  if (c->state == State::created) {
    c->state = State::finished;
    PyErr_SetRaisedException(exc.release());
    return PYGEN_ERROR;
  }
  if (refuse_state(c)) return PYGEN_ERROR;
  if (c->delegate) {
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
      Ref delegate(std::exchange(c->delegate, nullptr));
      c->state = State::running;
      if (close_iter(delegate.get()) < 0) exc = take_error();
    } else {
      static Name throw_name("throw"), value_name("value");
      PyObject* method = nullptr;
      if (PyObject_GetOptionalAttr(c->delegate, throw_name, &method) < 0) return PYGEN_ERROR;
      if (method) {
        Ref thrower(method);
        c->state = State::running;
        Ref yielded = call(thrower.get(), exc.get());
        if (yielded) {
          c->state = State::suspended;
          *out = yielded.release();
          return PYGEN_NEXT;
        }
        Py_CLEAR(c->delegate);
        if (error_is(PyExc_StopIteration)) {
          Ref stop = take_error();
          Ref value = getattr(stop.get(), value_name);
          return resume(c, std::move(value), out);
        }
        return resume(c, Ref(), out);
      }
      Py_CLEAR(c->delegate);
    }
  }
  c->state = State::running;
  PyErr_SetRaisedException(exc.release());
  return resume(c, Ref(), out);
}

// throw(value) or the deprecated throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
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
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  if (tb != Py_None && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  Ref exc;
  if (PyExceptionClass_Check(type)) {
    PyObject *t = Py_NewRef(type), *v = Py_NewRef(value), *b = nullptr;
    PyErr_NormalizeException(&t, &v, &b);
    Py_XDECREF(t);
    Py_XDECREF(b);
    exc = Ref(v);
    if (!exc || !PyExceptionInstance_Check(exc.get())) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %s", type,
                     Py_TYPE(exc.get())->tp_name);
      return nullptr;
    }
  } else if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Ref::borrow(type);
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (tb != Py_None && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
  PyObject* out = nullptr;
  PySendResult r = throw_into(as_coro(self), std::move(exc), &out);
  return result_or_stop(r, out);
}

// Raises GeneratorExit where the body waits (after closing what it awaits); a
// body that swallows it and waits again has ignored it.
PyObject* coro_close(PyObject* self, PyObject*) {
  Coroutine* c = as_coro(self);
  if (c->state == State::created || c->state == State::finished) {
    c->state = State::finished;
    Py_RETURN_NONE;
  }
  PyErr_SetNone(PyExc_GeneratorExit);
  PyObject* out = nullptr;
  PySendResult r = throw_into(c, take_error(), &out);
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

// What __await__ returns: an iterator over the coroutine, as the host's own
// coroutines hand out, so the coroutine itself stays non-iterable. It holds
// nothing but its coroutine, so it needs no cycle collection; every plain
// `await` makes one, so a few are kept for reuse.
struct Wrapper {
  PyObject_HEAD
  PyObject* coro;
};

Spares<Wrapper> spare_wrappers;

PyObject* coro_await(PyObject* self) {
  Wrapper* w = spare_wrappers.take(the_wrapper_type);
  if (!w) w = PyObject_New(Wrapper, the_wrapper_type);
  if (!w) return nullptr;
  w->coro = Py_NewRef(self);
  return reinterpret_cast<PyObject*>(w);
}

PyObject* wrapped(PyObject* self) { return reinterpret_cast<Wrapper*>(self)->coro; }
PyObject* wrapper_next(PyObject* self) { return coro_next(wrapped(self)); }
PySendResult wrapper_send_slot(PyObject* self, PyObject* value, PyObject** out) {
  return coro_send_slot(wrapped(self), value, out);
}
PyObject* wrapper_send(PyObject* self, PyObject* value) { return coro_send(wrapped(self), value); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coro_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coro_close(wrapped(self), nullptr); }

void wrapper_dealloc(PyObject* self) {
  Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coro);
  release_spare_stop();
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

PyObject* coro_reduce(PyObject* self, PyObject*) {
  Ref name(PyType_GetName(Py_TYPE(self)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot pickle '%.200U' object", name.get());
  return nullptr;
}

void coro_finalize(PyObject* self) {
  Coroutine* c = as_coro(self);
  c->finalized = true;
  if (c->state == State::finished) return;
  Ref saved = take_error();
  if (c->state == State::created) {
    c->state = State::finished;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", c->qualname) < 0)
      PyErr_WriteUnraisable(self);
  } else if (c->state == State::suspended) {
    Ref done(coro_close(self, nullptr));
    if (!done) PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(saved.release());
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  Coroutine* c = as_coro(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->func);
  Py_VISIT(c->delegate);
  return Binder::traverse(c->args, arg_count(c), visit, arg);
}

int coro_clear(PyObject* self) {
  Coroutine* c = as_coro(self);
  Py_CLEAR(c->delegate);
  Binder::clear(c->args, arg_count(c));
  return 0;
}

Spares<Coroutine> spare_coroutines;

void coro_dealloc(PyObject* self) {
  Coroutine* c = as_coro(self);
  // A finished coroutine has nothing left to finalize.
  if (c->state != State::finished && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  if (c->weaklist) PyObject_ClearWeakRefs(self);
  c->task.~Task();
  Py_CLEAR(c->delegate);
  c->args.~Args();
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->func);
  PyTypeObject* type = Py_TYPE(self);
  if (c->finalized || !spare_coroutines.keep(c)) type->tp_free(self);
  Py_DECREF(type);
  release_spare_stop();
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text(as_coro(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_text(as_coro(self)->qualname, v, "__qualname__");
}
PyObject* get_module(PyObject* self, void*) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(as_coro(self)->func), "__module__");
}
// Instances answer `__module__`; the type's own entry stays its module's name.
PyObject* coro_getattro(PyObject* self, PyObject* name) {
  return names_module(name) ? get_module(self, nullptr) : PyObject_GenericGetAttr(self, name);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::running); }
PyObject* get_suspended(PyObject* self, void*) {
  return PyBool_FromLong(as_coro(self)->state == State::suspended);
}
PyObject* get_await(PyObject* self, void*) {
  PyObject* d = as_coro(self)->delegate;
  return Py_NewRef(d ? d : Py_None);
}
PyObject* get_frame(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_coro(self)->func->code); }

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
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
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
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
  new (&c->task) Task();
  PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
  return reinterpret_cast<PyObject*>(c);
}

}  // namespace shell::detail
