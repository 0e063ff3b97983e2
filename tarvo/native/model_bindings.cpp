// Placeholder: model curves and fits for the toolkit and the tests.
#include "native_methods.hpp"

const PyMethodDef* model_methods() {
  static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
  return methods;
}
