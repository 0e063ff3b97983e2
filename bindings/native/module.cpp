// tarvo._native: native internals for the toolkit and the tests, and the
// shared constants (one definition, tarvo/constants.hpp, for the native
// code, the toolkit and the tests).
#include <new>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/diagnostics.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/model.hpp"
#include "tarvo/rate_scheme.hpp"

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
      PyModule_AddIntConstant(module, "CROSS_SECTIONS", CROSS_SECTIONS) < 0 ||
      PyModule_AddIntConstant(module, "MAX_POINTS", MAX_POINTS) < 0 ||
      PyModule_AddIntConstant(module, "MAX_SLICES", MAX_SLICES) < 0 ||
      PyModule_AddIntConstant(module, "MAX_RADIAL_POINTS", MAX_RADIAL_POINTS) < 0 ||
      PyModule_AddIntConstant(module, "MIN_POINTS_PER_CURVE", MIN_POINTS_PER_CURVE) < 0 ||
      PyModule_AddIntConstant(module, "MIN_SLICES", MIN_SLICES) < 0 ||
      PyModule_AddIntConstant(module, "N_STARTS_DEFAULT", N_STARTS_DEFAULT) < 0 ||
      PyModule_AddIntConstant(module, "OPTICAL_COUNT", OPTICAL_COUNT) < 0 ||
      PyModule_AddIntConstant(module, "OPTICS_FIRST", OPTICS_FIRST) < 0 ||
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
  if (PyModule_Add(module, "SOLVER_FAILURE_KINDS",
                   names_tuple(solver_failure_name, SolverFailures::KINDS)) < 0) {
    return -1;
  }
  PyRef names(PyTuple_New(PARAMETER_COUNT));
  if (!names) return -1;
  for (int i = 0; i < PARAMETER_COUNT; ++i) {
    PyObject* name = PyUnicode_FromString(PARAMETER_NAMES[i]);
    if (name == nullptr) return -1;
    PyTuple_SET_ITEM(names.get(), i, name);
  }
  if (PyModule_Add(module, "PARAMETER_NAMES", names.release()) < 0) return -1;
  return PyModule_Add(module, "ENERGY_DEFAULTS", energy_defaults());
}

}  // namespace

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
    append(exact_methods());
    all_methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  }
  native_module.m_methods = all_methods.data();
  PyRef module(PyModule_Create(&native_module));
  if (!module || add_constants(module.get()) < 0 || add_diagnostics_type(module.get()) < 0 ||
      add_exact_model_type(module.get()) < 0) {
    return nullptr;
  }
  return module.release();
}
