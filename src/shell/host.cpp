#include "shell/host.hpp"

namespace shell {

Ref global(PyObject* globals, PyObject* name) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(globals, name, &value) == 0)
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref(value);
}

int compare(PyObject* a, PyObject* b, int op) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
    double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
    switch (op) {
      case Py_LT: return x < y;
      case Py_LE: return x <= y;
      case Py_EQ: return x == y;
      case Py_NE: return x != y;
      case Py_GT: return x > y;
      case Py_GE: return x >= y;
    }
  }
  return PyObject_RichCompareBool(a, b, op);
}

int positive(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) > 0.0;
  if (PyLong_CheckExact(value)) return _PyLong_Sign(value) > 0;
  Ref zero(PyLong_FromLong(0));
  return zero ? PyObject_RichCompareBool(value, zero.get(), Py_GT) : -1;
}

Ref add(PyObject* a, PyObject* b) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
    return real(PyFloat_AS_DOUBLE(a) + PyFloat_AS_DOUBLE(b));
  return Ref(PyNumber_Add(a, b));
}

Ref subtract(PyObject* a, PyObject* b) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
    return real(PyFloat_AS_DOUBLE(a) - PyFloat_AS_DOUBLE(b));
  return Ref(PyNumber_Subtract(a, b));
}

Ref as_int(PyObject* value) {
  if (PyLong_CheckExact(value)) return Ref::borrow(value);
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  if (nb && (nb->nb_int || nb->nb_index || nb->nb_float)) return Ref(PyNumber_Long(value));
  PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(value)->tp_name);
  return {};
}

Ref fixed4(PyObject* value) {
  if (PyFloat_CheckExact(value)) {
    char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'f', 4, 0, nullptr);
    if (!text) return {};
    Ref out(PyUnicode_FromString(text));
    PyMem_Free(text);
    return out;
  }
  static Name spec(".4f");
  return Ref(PyObject_Format(value, spec));
}

Ref round6(PyObject* value) {
  static PyObject* builtin_round = nullptr;  // looked up once, kept for the process
  if (!builtin_round) {
    builtin_round = PyDict_GetItemString(PyEval_GetBuiltins(), "round");
    if (!builtin_round) return raise(PyExc_NameError, "name 'round' is not defined");
    Py_INCREF(builtin_round);
  }
  Ref digits(PyLong_FromLong(6));
  return digits ? call(builtin_round, value, digits.get()) : Ref();
}

Ref raise(PyObject* type, PyObject* message) {
  PyErr_SetObject(type, message);
  return {};
}

Ref raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return {};
}

}  // namespace shell
