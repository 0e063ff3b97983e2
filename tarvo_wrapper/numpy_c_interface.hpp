// Importing NumPy at module initialisation: the type objects the module
// relies on and NumPy's C function table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Check that numpy's type objects are types at least as large as this build
// expects; 0, or -1 with TypeError or ValueError set.
int check_numpy_types(PyObject* numpy_module);

// Fill the C function table from numpy's `_ARRAY_API` capsule; 0, or -1
// with ImportError set (the cause attached as its context) unless the cause
// lies outside the Exception family, which then passes unchanged.
int import_numpy_c_interface();
