// Interned string objects shared by all calls: parameter names, matched by
// identity first when binding keywords, and the names the module publishes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fit_zscan_parameters.hpp"

// The interned strings (process-wide, created once, never freed).
struct InternedNames {
  // Parameter names, indexed by FitZscanParameter.
  PyObject* parameters[PARAMETER_COUNT] = {};
  // "fit_zscan".
  PyObject* function_name = nullptr;
  // "tarvo_wrapper".
  PyObject* module_name = nullptr;
};

// The interned strings; valid after create_interned_names() succeeded.
const InternedNames& interned_names();

// Create the interned strings unless that has been done; 0, or -1 with an
// exception set.
int create_interned_names();
