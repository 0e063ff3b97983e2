// Method tables of the companion module tarvo._native, one per area.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Solver internals: single integration steps (lsoda/).
const PyMethodDef* solver_methods();
// Model and fit internals: model curves, grids, single-start fits (model/, fit/).
const PyMethodDef* model_methods();
// The exact engine: model curves with their Jacobian, exact steps (model/exact_*).
const PyMethodDef* exact_methods();
// The energy model's default slice counts and radial nodes, as a new dict.
PyObject* energy_defaults();
