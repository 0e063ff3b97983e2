// NumPy's C interface as every source of the module sees it: one table of
// NumPy's functions for the whole module, filled once at import
// (tarvo_wrapper.cpp owns it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The module's own name for NumPy's function table.
#define PY_ARRAY_UNIQUE_SYMBOL tarvo_wrapper_ARRAY_API
#ifndef TARVO_WRAPPER_OWNS_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
