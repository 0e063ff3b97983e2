// Creation of the interned strings.
#include "interned_names.hpp"

namespace {

// The one set of interned strings of the process.
InternedNames names;

// Intern `text` into `slot` unless it holds a string; 0, or -1 with an exception set.
int intern_into(PyObject*& slot, const char* text) {
  if (slot != nullptr) return 0;
  slot = PyUnicode_InternFromString(text);
  return slot == nullptr ? -1 : 0;
}

}  // namespace

const InternedNames& interned_names() { return names; }

int create_interned_names() {
  for (int i = 0; i < PARAMETER_COUNT; ++i) {
    if (intern_into(names.parameters[i], PARAMETER_NAMES[i]) < 0) return -1;
  }
  if (intern_into(names.function_name, FUNCTION_NAME) < 0) return -1;
  return intern_into(names.module_name, MODULE_NAME);
}
