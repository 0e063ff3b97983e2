// Single solver steps for the tests and benchmarks: the model's population
// and intensity steps with a fresh Solver, and a general integration with a
// Python right-hand side.
#include <cmath>
#include <string_view>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/lsoda.hpp"
#include "tarvo/model.hpp"

namespace tarvo::native {

namespace {

// Entries of a step state.
constexpr Py_ssize_t STATE_COUNT = STEP_STATE_LENGTH;
// Largest system the general integration accepts.
constexpr int MAX_GENERAL_EQUATIONS = 64;

// (state list, istate, nst, nfe, nje, nqu, mused) for the last call of solver.
PyObject* step_result(const double* state, Py_ssize_t count, const lsoda::Solver& solver) {
  PyObject* values = PyList_New(count);
  if (values == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyFloat_FromDouble(state[i]);
    if (item == nullptr) {
      Py_DECREF(values);
      return nullptr;
    }
    PyList_SET_ITEM(values, i, item);
  }
  const lsoda::Statistics& st = solver.statistics();
  return Py_BuildValue("(Niiiiii)", values, st.istate, st.nst, st.nfe, st.nje, st.nqu, st.mused);
}

// The model's step functions share one signature.
using ModelStep = int (*)(const RateConstants&, const double*, double, double, lsoda::Solver&,
                          double*);

// population_step / intensity_step: parse, build the context, integrate
// `repeat` times from the same start (for timing) and report the last.
PyObject* model_step(PyObject* args, PyObject* kwargs, ModelStep step, const char* format,
                     char** keywords) {
  PyObject* params_object = nullptr;
  PyObject* state_object = nullptr;
  double optical_frequency = 0.0;
  double t_end = 0.0;
  double t_start = 0.0;
  int repeat = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &params_object,
                                   &optical_frequency, &state_object, &t_end, &t_start,
                                   &repeat)) {
    return nullptr;
  }
  std::vector<double> params;
  std::vector<double> state;
  if (!read_doubles(params_object, "params", params, PARAMETER_COUNT)) return nullptr;
  if (!read_doubles(state_object, "state", state, STATE_COUNT)) return nullptr;
  if (repeat < 1) {
    PyErr_SetString(PyExc_ValueError, "repeat must be at least 1");
    return nullptr;
  }
  const RateConstants constants = rate_constants(params.data(), optical_frequency);
  lsoda::Solver solver(MAX_STEP_EQUATIONS);
  double out[STATE_COUNT];
  Py_BEGIN_ALLOW_THREADS;
  for (int r = 0; r < repeat; ++r) step(constants, state.data(), t_start, t_end, solver, out);
  Py_END_ALLOW_THREADS;
  return step_result(out, STATE_COUNT, solver);
}

char* POPULATION_KEYWORDS[] = {const_cast<char*>("params"), const_cast<char*>("optical_frequency"),
                               const_cast<char*>("state"), const_cast<char*>("t_end"),
                               const_cast<char*>("t_start"), const_cast<char*>("repeat"), nullptr};
char* INTENSITY_KEYWORDS[] = {const_cast<char*>("params"), const_cast<char*>("optical_frequency"),
                              const_cast<char*>("state"), const_cast<char*>("z_end"),
                              const_cast<char*>("z_start"), const_cast<char*>("repeat"), nullptr};

PyObject* population_step(PyObject*, PyObject* args, PyObject* kwargs) {
  return model_step(args, kwargs, integrate_populations, "OdOd|d$i:population_step",
                    POPULATION_KEYWORDS);
}

PyObject* intensity_step(PyObject*, PyObject* args, PyObject* kwargs) {
  return model_step(args, kwargs, integrate_intensity, "OdOd|d$i:intensity_step",
                    INTENSITY_KEYWORDS);
}

// A Python right-hand side f(t, y) -> sequence of neq floats. The first
// exception raised is kept; after it every derivative is NaN.
struct PythonRightHandSide {
  PyObject* callable = nullptr;
  int state_length = 0;
  PyObject* error_type = nullptr;
  PyObject* error_value = nullptr;
  PyObject* error_traceback = nullptr;
  std::vector<double> values;
};

void call_python_rhs(const void* context, int neq, double t, const double* y, double* ydot) {
  // The solver hands the context through as const; this one keeps the first error.
  auto& rhs = *static_cast<PythonRightHandSide*>(const_cast<void*>(context));
  for (int i = 0; i < neq; ++i) ydot[i] = std::nan("");
  if (rhs.error_type != nullptr) return;
  PyObject* y_list = PyList_New(rhs.state_length);
  PyObject* result = nullptr;
  if (y_list != nullptr) {
    for (int i = 0; i < rhs.state_length; ++i) PyList_SET_ITEM(y_list, i, PyFloat_FromDouble(y[i]));
    result = PyObject_CallFunction(rhs.callable, "dO", t, y_list);
    Py_DECREF(y_list);
  }
  if (result != nullptr && read_doubles(result, "f(t, y)", rhs.values, neq)) {
    for (int i = 0; i < neq; ++i) ydot[i] = rhs.values[static_cast<std::size_t>(i)];
  }
  Py_XDECREF(result);
  if (PyErr_Occurred()) PyErr_Fetch(&rhs.error_type, &rhs.error_value, &rhs.error_traceback);
}

char* SOLVE_KEYWORDS[] = {const_cast<char*>("f"),    const_cast<char*>("y"),
                          const_cast<char*>("t"),    const_cast<char*>("tout"),
                          const_cast<char*>("neq"),  const_cast<char*>("rtol"),
                          const_cast<char*>("atol"), nullptr};

// solve(f, y, t, tout, *, neq=len(y), rtol=1e-6, atol=1e-6)
// -> (y list, t reached, istate, nst, nfe, nje, nqu, mused, hu, tcur).
PyObject* solve(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* callable = nullptr;
  PyObject* y_object = nullptr;
  double t = 0.0;
  double tout = 0.0;
  int neq = -1;
  double rtol = STEP_RTOL;
  double atol = STEP_ATOL;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdd|$idd:solve", SOLVE_KEYWORDS, &callable,
                                   &y_object, &t, &tout, &neq, &rtol, &atol)) {
    return nullptr;
  }
  if (!PyCallable_Check(callable)) {
    PyErr_SetString(PyExc_TypeError, "f must be callable");
    return nullptr;
  }
  std::vector<double> y;
  if (!read_doubles(y_object, "y", y)) return nullptr;
  if (neq < 0) neq = static_cast<int>(y.size());
  if (neq > static_cast<int>(y.size()) || y.size() > static_cast<std::size_t>(MAX_GENERAL_EQUATIONS)) {
    PyErr_Format(PyExc_ValueError, "need neq <= len(y) <= %d", MAX_GENERAL_EQUATIONS);
    return nullptr;
  }
  PythonRightHandSide rhs;
  rhs.callable = callable;
  rhs.state_length = static_cast<int>(y.size());
  lsoda::Solver solver(MAX_GENERAL_EQUATIONS);
  solver.integrate(call_python_rhs, &rhs, neq, y.data(), t, tout, rtol, atol);
  if (rhs.error_type != nullptr) {
    PyErr_Restore(rhs.error_type, rhs.error_value, rhs.error_traceback);
    return nullptr;
  }
  PyObject* values = PyList_New(static_cast<Py_ssize_t>(y.size()));
  if (values == nullptr) return nullptr;
  for (std::size_t i = 0; i < y.size(); ++i) {
    PyList_SET_ITEM(values, static_cast<Py_ssize_t>(i), PyFloat_FromDouble(y[i]));
  }
  const lsoda::Statistics& st = solver.statistics();
  return Py_BuildValue("(Ndiiiiiidd)", values, t, st.istate, st.nst, st.nfe, st.nje, st.nqu,
                       st.mused, st.hu, st.tcur);
}

// format_d21_13(value) -> the value as DLSODA's messages print it (D21.13).
PyObject* format_d21_13(PyObject*, PyObject* arg) {
  const double value = PyFloat_AsDouble(arg);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  return PyUnicode_FromString(lsoda::fortran_d21_13(value).text);
}

}  // namespace

const PyMethodDef* solver_methods() {
  static PyMethodDef methods[] = {
      {"population_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(population_step)),
       METH_VARARGS | METH_KEYWORDS,
       "population_step(params, optical_frequency, state, t_end, t_start=0.0, *, repeat=1)\n"
       "--\n\n"
       "Advance state = (N1..N5, I) with the population rate equations; returns\n"
       "(state_out, istate, nst, nfe, nje, nqu, mused)."},
      {"intensity_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(intensity_step)),
       METH_VARARGS | METH_KEYWORDS,
       "intensity_step(params, optical_frequency, state, z_end, z_start=0.0, *, repeat=1)\n"
       "--\n\n"
       "Carry the intensity of state = (I, N1..N5) across a slice; returns\n"
       "(state_out, istate, nst, nfe, nje, nqu, mused)."},
      {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve)),
       METH_VARARGS | METH_KEYWORDS,
       "solve(f, y, t, tout, *, neq=len(y), rtol=1e-6, atol=1e-6)\n--\n\n"
       "Integrate y' = f(t, y) with the reentrant LSODA; returns\n"
       "(y, t, istate, nst, nfe, nje, nqu, mused, hu, tcur)."},
      {"format_d21_13", format_d21_13, METH_O,
       "format_d21_13(value)\n--\n\nThe value in Fortran's D21.13 edit descriptor, as the solver's "
       "diagnostics print it."},
      {nullptr, nullptr, 0, nullptr}};
  return methods;
}

}  // namespace tarvo::native
