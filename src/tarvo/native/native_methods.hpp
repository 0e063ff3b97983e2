// The companion module tarvo._native: method tables, one per area, and the
// conversions they share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "python_support.hpp"
#include "tarvo/diagnostics.hpp"

namespace tarvo::native {

using python::PyRef;

// Solver internals: single integration steps, a general integration, the
// D21.13 format (lsoda/, model/).
const PyMethodDef* solver_methods();
// Model internals: model curves, grids, the pulse, rate constants, weights
// and start factors (model/).
const PyMethodDef* model_methods();
// Fits: one start, and the multi-start fit of the toolkit (fit/).
const PyMethodDef* fit_methods();

// Add the Diagnostics type (a counting, optionally logging sink for the
// solver's messages) to `module`; 0, or -1 with an exception set.
int add_diagnostics_type(PyObject* module);
// The sink of a Diagnostics object, or nullptr with TypeError set when
// `object` is neither one nor None (None: nullptr and no error).
DiagnosticsSink* diagnostics_sink(PyObject* object, bool& ok);

// Copy a sequence of numbers into `out`: exactly `count` values when count
// >= 0. False with TypeError or ValueError set (naming `name`).
bool read_doubles(PyObject* object, const char* name, std::vector<double>& out,
                  Py_ssize_t count = -1);
// Copy a sequence of 32-bit integers into `out`; false with an exception set.
bool read_ints(PyObject* object, const char* name, std::vector<int>& out);
// A new list holding values[0..n), or nullptr with an exception set.
PyObject* list_of(const double* values, std::size_t n);

}  // namespace tarvo::native
