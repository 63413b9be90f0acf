// Method lookup as the host's own method calls do it, so a body can tell when
// a call by name would only reach one of our own bodies.
#define Py_BUILD_CORE 1
#include "shell/internal.hpp"

#include "internal/pycore_object.h"

namespace shell {

bool Method::find(PyObject* obj, PyObject* name) {
  PyObject* found = nullptr;
  unbound_ = _PyObject_GetMethod(obj, name, &found) == 1;
  callable_ = Ref(found);
  return found != nullptr;
}

bool Method::runs(Body body) const noexcept { return unbound_ && detail::runs_body(callable_.get(), body); }

}  // namespace shell
