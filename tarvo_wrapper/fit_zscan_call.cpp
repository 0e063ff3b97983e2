// One call of fit_zscan: binding, conversion in parameter order, the checks,
// then the multi-start fit. The argument views hold the caller's buffers
// until this returns, on every path.
#include "argument_binding.hpp"
#include "fit_arguments.hpp"
#include "fit_function.hpp"
#include "multi_start.hpp"

PyObject* call_fit_zscan(PyObject* args, PyObject* kwargs) {
  BoundArguments bound;
  if (!bind_arguments(args, kwargs, bound)) return nullptr;
  FitArguments arguments;
  if (!convert_arguments(bound, arguments)) return nullptr;
  if (!check_arguments(arguments)) return nullptr;
  return run_multi_start(arguments);
}
