// Conversion of fit_zscan's scalar arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// A 32-bit signed integer from an int, or from any object through its
// __int__ (floats truncate toward zero); false with an exception set.
bool convert_int32(PyObject* object, int& out);

// A double from a float, or through the interpreter's float conversion
// (__float__ or __index__); false with an exception set.
bool convert_double(PyObject* object, double& out);

// A truth value: True, False and None directly (None is false), anything
// else by its truth value; false with an exception set.
bool convert_truth(PyObject* object, bool& out);
