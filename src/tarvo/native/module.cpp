// tarvo._native: native internals exposed to the toolkit and the tests.
#include <vector>

#include "native_methods.hpp"

namespace {

std::vector<PyMethodDef> all_methods;

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "tarvo._native",
    "Native internals of tarvo_wrapper for the tarvo toolkit and its tests.", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr};

void append(const PyMethodDef* table) {
  for (; table != nullptr && table->ml_name != nullptr; ++table) all_methods.push_back(*table);
}

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
  if (all_methods.empty()) {
    append(solver_methods());
    append(model_methods());
    append(exact_methods());
    all_methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  }
  native_module.m_methods = all_methods.data();
  PyObject* module = PyModule_Create(&native_module);
  if (module == nullptr) return nullptr;
  PyObject* defaults = energy_defaults();
  if (defaults == nullptr || PyModule_AddObjectRef(module, "ENERGY_DEFAULTS", defaults) != 0) {
    Py_XDECREF(defaults);
    Py_DECREF(module);
    return nullptr;
  }
  Py_DECREF(defaults);
  return module;
}
