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
    all_methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  }
  native_module.m_methods = all_methods.data();
  return PyModule_Create(&native_module);
}
