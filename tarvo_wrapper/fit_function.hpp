// The function object `fit_zscan`: a callable with the attributes of a
// Python function (__name__, __qualname__, __module__, __doc__,
// __defaults__, __text_signature__), so that introspection and help() show
// its real signature.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Create the function object (new reference), or nullptr with an exception
// set. Its type is created on first use and kept for the process.
PyObject* new_fit_zscan_function();

// The body of fit_zscan: bind, convert and check the arguments, then run the
// multi-start fit.
PyObject* call_fit_zscan(PyObject* args, PyObject* kwargs);
