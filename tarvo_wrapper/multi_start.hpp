// The multi-start fit: centring, starting vectors, one native fit per start
// without the interpreter lock, and the choice of the best start.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fit_arguments.hpp"

// Factor by which start k of n_starts scales the fitted entries:
// 10^((k * 1.04) / max(n_starts - 1, 1) - 0.52).
double start_multiplier(int k, int n_starts);

// Run the multi-start fit on checked arguments; the new tuple (residuals,
// error, spec_pars) of the best start, or nullptr with an exception set.
PyObject* run_multi_start(const FitArguments& arguments);
