// Binding one call's positional and keyword arguments to the parameters of
// fit_zscan.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fit_zscan_parameters.hpp"
#include "py_ref.hpp"

// The object given for each parameter (strong references); empty where the
// caller left the parameter out.
struct BoundArguments {
  PyRef values[PARAMETER_COUNT];
};

// Bind the tuple `args` and the dict `kwargs` (nullptr: no keywords) to the
// parameters; false with TypeError set when the call does not fit the
// signature.
bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArguments& bound);
