// tarvo._native: native internals for the toolkit and the tests, and the
// shared constants (one definition, tarvo/constants.hpp, for the native
// code, the toolkit and the tests).
#include <new>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/diagnostics.hpp"
#include "tarvo/model.hpp"

namespace tarvo::native {

namespace {

// Every method of the module, gathered once.
std::vector<PyMethodDef> all_methods;

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "tarvo._native",
    "Native internals of tarvo for the toolkit and its tests, and the constants they share.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr};

void append(const PyMethodDef* table) {
  for (; table != nullptr && table->ml_name != nullptr; ++table) all_methods.push_back(*table);
}

// A tuple of the names given by name(i) for i < count, or nullptr.
PyObject* names_tuple(const char* (*name)(int), int count) {
  PyRef names(PyTuple_New(count));
  if (!names) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject* text = PyUnicode_FromString(name(i));
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i, text);
  }
  return names.release();
}

const char* message_kind_at(int i) { return message_kind_name(static_cast<MessageKind>(i)); }

// The shared constants as module attributes; 0, or -1 with an exception set.
int add_constants(PyObject* module) {
  if (PyModule_AddIntConstant(module, "PARAMETER_COUNT", PARAMETER_COUNT) < 0 ||
      PyModule_AddIntConstant(module, "LEVELS", LEVELS) < 0 ||
      PyModule_AddIntConstant(module, "MIN_POINTS_PER_CURVE", MIN_POINTS_PER_CURVE) < 0 ||
      PyModule_AddIntConstant(module, "MIN_SLICES", MIN_SLICES) < 0 ||
      PyModule_AddIntConstant(module, "N_STARTS_DEFAULT", N_STARTS_DEFAULT) < 0 ||
      PyModule_Add(module, "START_EXPONENT_SPAN",
                         PyFloat_FromDouble(START_EXPONENT_SPAN)) < 0 ||
      PyModule_Add(module, "START_EXPONENT_OFFSET",
                         PyFloat_FromDouble(START_EXPONENT_OFFSET)) < 0 ||
      PyModule_Add(module, "METRES_PER_MILLIMETRE",
                         PyFloat_FromDouble(METRES_PER_MILLIMETRE)) < 0) {
    return -1;
  }
  if (PyModule_Add(module, "MESSAGE_KINDS", names_tuple(message_kind_at, MESSAGE_KIND_COUNT)) <
      0) {
    return -1;
  }
  return PyModule_Add(module, "SOLVER_FAILURE_KINDS",
                      names_tuple(solver_failure_name, SolverFailures::KINDS));
}

}  // namespace

bool read_doubles(PyObject* object, const char* name, std::vector<double>& out,
                  Py_ssize_t count) {
  // A tuple of the items as they are now: converting an item may run Python
  // code (__float__) that changes the caller's sequence, never this tuple.
  PyRef items(PySequence_Tuple(object));
  if (!items) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of floats", name);
    return false;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(items.get());
  if (count >= 0 && length != count) {
    PyErr_Format(PyExc_ValueError, "%s must have %zd entries, not %zd", name, count, length);
    return false;
  }
  try {
    out.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < length; ++i) {
    const double value = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
    if (value == -1.0 && PyErr_Occurred()) return false;
    out[static_cast<std::size_t>(i)] = value;
  }
  return true;
}

bool read_ints(PyObject* object, const char* name, std::vector<int>& out) {
  PyRef items(PySequence_Tuple(object));
  if (!items) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of integers", name);
    return false;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(items.get());
  try {
    out.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < length; ++i) {
    const int value = PyLong_AsInt(PyTuple_GET_ITEM(items.get(), i));
    if (value == -1 && PyErr_Occurred()) return false;
    out[static_cast<std::size_t>(i)] = value;
  }
  return true;
}

PyObject* list_of(const double* values, std::size_t n) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace tarvo::native

PyMODINIT_FUNC PyInit__native(void) {
  using namespace tarvo::native;
  if (all_methods.empty()) {
    append(solver_methods());
    append(model_methods());
    append(fit_methods());
    all_methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  }
  native_module.m_methods = all_methods.data();
  PyRef module(PyModule_Create(&native_module));
  if (!module || add_constants(module.get()) < 0 || add_diagnostics_type(module.get()) < 0) {
    return nullptr;
  }
  return module.release();
}
