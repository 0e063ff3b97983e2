// Argument binding: positional arguments first, then every keyword matched
// against the parameters not filled by position, by identity of the name
// object and then by string equality; missing required parameters last.
#include "argument_binding.hpp"

#include "interned_names.hpp"

namespace {

// The "takes at least/at most N positional arguments" refusal.
void raise_positional_count_error(const char* bound_word, Py_ssize_t bound, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               FUNCTION_NAME, bound_word, bound, bound == 1 ? "" : "s", given);
}

// Index of the parameter at or after `first` whose name object is `key`, or -1.
int find_by_identity(PyObject* key, int first) {
  const InternedNames& names = interned_names();
  for (int i = first; i < PARAMETER_COUNT; ++i) {
    if (names.parameters[i] == key) return i;
  }
  return -1;
}

// Index of the parameter in [first, end) whose name equals the string `key`,
// -1 if none, -2 with an exception set if a comparison failed.
int find_by_equality(PyObject* key, int first, int end) {
  const InternedNames& names = interned_names();
  for (int i = first; i < end; ++i) {
    PyObject* name = names.parameters[i];
    if (name == key) return i;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) continue;
    const int order = PyUnicode_Compare(name, key);
    if (order == 0) return i;
    if (order == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

// Bind one keyword argument; false with TypeError set if it fits no parameter.
bool bind_keyword(PyObject* key, PyObject* value, Py_ssize_t positional, BoundArguments& bound) {
  const int first_keyword = static_cast<int>(positional);
  int index = find_by_identity(key, first_keyword);
  if (index < 0) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", FUNCTION_NAME);
      return false;
    }
    index = find_by_equality(key, first_keyword, PARAMETER_COUNT);
    if (index == -2) return false;
  }
  if (index < 0) {
    // Not a free parameter: either already given by position, or no parameter at all.
    const int taken = find_by_equality(key, 0, first_keyword);
    if (taken == -2) return false;
    if (taken >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   FUNCTION_NAME, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   FUNCTION_NAME, key);
    }
    return false;
  }
  if (bound.values[index]) {
    // Only reachable from native callers that pass one name twice.
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 FUNCTION_NAME, key);
    return false;
  }
  bound.values[index].reset(Py_NewRef(value));
  return true;
}

}  // namespace

bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArguments& bound) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  const bool has_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
  if (positional > PARAMETER_COUNT) {
    raise_positional_count_error("at most", PARAMETER_COUNT, positional);
    return false;
  }
  if (!has_keywords && positional < REQUIRED_PARAMETER_COUNT) {
    raise_positional_count_error("at least", REQUIRED_PARAMETER_COUNT, positional);
    return false;
  }
  for (Py_ssize_t i = 0; i < positional; ++i) {
    bound.values[i].reset(Py_NewRef(PyTuple_GET_ITEM(args, i)));
  }
  if (!has_keywords) return true;

  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!bind_keyword(key, value, positional, bound)) return false;
  }
  for (int i = 0; i < REQUIRED_PARAMETER_COUNT; ++i) {
    if (!bound.values[i]) {
      // The count reported is the missing parameter's position.
      raise_positional_count_error("at least", REQUIRED_PARAMETER_COUNT, i);
      return false;
    }
  }
  return true;
}
