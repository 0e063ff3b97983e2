// Placeholder: single solver steps for the tests.
#include "native_methods.hpp"

const PyMethodDef* solver_methods() {
  static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
  return methods;
}
