// Importing NumPy's C interface and checking its type objects.
#define TARVO_WRAPPER_OWNS_ARRAY_API
#include "numpy_api.hpp"

#include "numpy_c_interface.hpp"
#include "py_ref.hpp"

namespace {

// A numpy type and the smallest instance size that this build works with.
struct NumpyTypeRequirement {
  const char* name;
  size_t instance_size;
};

// The types checked, in order. Arrays are accessed through their field
// layout; the iterator types are checked like the arrays; dtype objects
// through their common head; the scalar types and ufunc only as objects
// (their fields are never touched, and they grew between NumPy releases).
const NumpyTypeRequirement NUMPY_TYPES[] = {
    {"dtype", sizeof(PyArray_Descr)},
    {"flatiter", sizeof(PyArrayIterObject)},
    {"broadcast", sizeof(PyArrayMultiIterObject)},
    {"ndarray", sizeof(PyArrayObject_fields)},
    {"generic", sizeof(PyObject)},
    {"number", sizeof(PyObject)},
    {"integer", sizeof(PyObject)},
    {"signedinteger", sizeof(PyObject)},
    {"unsignedinteger", sizeof(PyObject)},
    {"inexact", sizeof(PyObject)},
    {"floating", sizeof(PyObject)},
    {"complexfloating", sizeof(PyObject)},
    {"flexible", sizeof(PyObject)},
    {"character", sizeof(PyObject)},
    {"ufunc", sizeof(PyObject)},
};

// Module name used in the messages about the types.
constexpr const char* NUMPY_NAME = "numpy";

// Check one type object of numpy; 0, or -1 with an exception set.
int check_numpy_type(PyObject* numpy_module, const NumpyTypeRequirement& requirement) {
  PyRef type(PyObject_GetAttrString(numpy_module, requirement.name));
  if (!type) return -1;
  if (!PyType_Check(type.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", NUMPY_NAME,
                 requirement.name);
    return -1;
  }
  const Py_ssize_t basic_size = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
  if (basic_size < static_cast<Py_ssize_t>(requirement.instance_size)) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. "
                 "Expected %zd from C header, got %zd from PyObject",
                 NUMPY_NAME, requirement.name,
                 static_cast<Py_ssize_t>(requirement.instance_size), basic_size);
    return -1;
  }
  return 0;
}

}  // namespace

int check_numpy_types(PyObject* numpy_module) {
  for (const NumpyTypeRequirement& requirement : NUMPY_TYPES) {
    if (check_numpy_type(numpy_module, requirement) < 0) return -1;
  }
  return 0;
}

int import_numpy_c_interface() {
  // NumPy's own import routine: module name with its fallback, capsule,
  // ABI, feature-level and byte-order checks, each with NumPy's wording.
  if (_import_array() == 0) return 0;
  PyObject* cause = PyErr_GetRaisedException();
  if (!PyErr_GivenExceptionMatches(cause, PyExc_Exception)) {
    // KeyboardInterrupt, SystemExit and the like are not import failures.
    PyErr_SetRaisedException(cause);
    return -1;
  }
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  PyObject* import_error = PyErr_GetRaisedException();
  PyException_SetContext(import_error, cause);  // steals `cause`
  PyErr_SetRaisedException(import_error);
  return -1;
}
