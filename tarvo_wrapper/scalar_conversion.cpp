// Scalar conversions: ints by value or __int__, reals by the interpreter's
// float conversion, flags by truth value.
#include "scalar_conversion.hpp"

#include "py_ref.hpp"

namespace {

// A new reference to an int equal to `object`'s integer value, or nullptr with
// an exception set.
PyObject* integer_value(PyObject* object) {
  if (PyLong_Check(object)) return Py_NewRef(object);
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyRef result(number->nb_int(object));
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (PyLong_CheckExact(result.get())) return result.release();
  if (!PyLong_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return nullptr;
  }
  // A subclass of int: accepted, with the interpreter's own deprecation notice.
  if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                       "__int__ returned non-int (type %.200s).  The ability to return an "
                       "instance of a strict subclass of int is deprecated, and may be "
                       "removed in a future version of Python.",
                       Py_TYPE(result.get())->tp_name) < 0) {
    return nullptr;
  }
  return result.release();
}

}  // namespace

bool convert_int32(PyObject* object, int& out) {
  PyRef value(integer_value(object));
  if (!value) return false;
  // PyLong_AsInt raises OverflowError outside the 32-bit signed range.
  const int converted = PyLong_AsInt(value.get());
  if (converted == -1 && PyErr_Occurred()) return false;
  out = converted;
  return true;
}

bool convert_double(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double converted = PyFloat_AsDouble(object);
  if (converted == -1.0 && PyErr_Occurred()) return false;
  out = converted;
  return true;
}

bool convert_truth(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False || object == Py_None) {
    out = object == Py_True;
    return true;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}
