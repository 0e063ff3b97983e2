// The multi-start fit of fit_zscan: centring, starting rows, one native run
// of all starts without the interpreter lock, and the choice of the best start.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arguments.hpp"

namespace tarvo::wrapper {

// Run the multi-start fit on checked arguments (their copy of x_data becomes
// the centred positions); the new tuple (residuals, error, spec_pars) of the
// best start, or nullptr with an exception set.
PyObject* run_multi_start(FitArguments& arguments);

}  // namespace tarvo::wrapper
