// The companion module tarvo._native: method tables, one per area, and the
// conversions they share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "buffers.hpp"
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
// The exact engine: model curves with their Jacobian, exact steps, the
// energy model's pulse energy (model/exact_*).
const PyMethodDef* exact_methods();
// Add the ExactModel type (the exact engine's handle: a problem built once,
// evaluated for any parameters and focus); 0, or -1 with an exception set.
int add_exact_model_type(PyObject* module);
// The energy model's default slice counts and radial nodes, as a new dict.
PyObject* energy_defaults();

// Add the Diagnostics type (a counting, optionally logging sink for the
// solver's messages) to `module`; 0, or -1 with an exception set.
int add_diagnostics_type(PyObject* module);
// The sink of a Diagnostics object, or nullptr with TypeError set when
// `object` is neither one nor None (None: nullptr and no error).
DiagnosticsSink* diagnostics_sink(PyObject* object, bool& ok);

// Arrays are read by the one reader of bindings/common/buffers.hpp.
using python::FloatArray;
using python::read_doubles;
using python::read_float_array;
using python::read_ints;
// A new list holding values[0..n), or nullptr with an exception set.
PyObject* list_of(const double* values, std::size_t n);

}  // namespace tarvo::native
