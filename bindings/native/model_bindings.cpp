// Model curves and the model's helpers, for the toolkit and the tests.
// Arguments are copied into vectors and checked; the native work runs
// without the interpreter lock (model curves: through the engine interface,
// answering Ctrl-C).
#include <new>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/engine.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"

namespace tarvo::native {

namespace {

// Keywords of model_curves.
char* MODEL_CURVES_KEYWORDS[] = {
    const_cast<char*>("x_mm"),        const_cast<char*>("populations"),
    const_cast<char*>("t_slices"),    const_cast<char*>("z_slices"),
    const_cast<char*>("sample_width"), const_cast<char*>("tau"),
    const_cast<char*>("wavelength"),  const_cast<char*>("w0"),
    const_cast<char*>("M2"),          const_cast<char*>("pulse_energy"),
    const_cast<char*>("spec_pars"),   const_cast<char*>("num_x_pts"),
    const_cast<char*>("num_datasets"), const_cast<char*>("diagnostics"),
    nullptr};

// model_curves(x_mm, populations, t_slices, z_slices, sample_width, tau,
//              wavelength, w0, M2, pulse_energy, spec_pars, num_x_pts, num_datasets,
//              *, diagnostics=None)
PyObject* model_curves_values(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *x_object, *populations_object, *energy_object, *pars_object;
  PyObject* diagnostics_object = Py_None;
  ProblemInput input;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOiidddddOOii|$O:model_curves",
                                   MODEL_CURVES_KEYWORDS, &x_object, &populations_object,
                                   &input.t_slices, &input.z_slices, &input.sample_width,
                                   &input.tau, &input.wavelength, &input.w0, &input.M2,
                                   &energy_object, &pars_object, &input.num_x_pts,
                                   &input.num_datasets, &diagnostics_object)) {
    return nullptr;
  }
  bool sink_ok = true;
  DiagnosticsSink* sink = diagnostics_sink(diagnostics_object, sink_ok);
  if (!sink_ok) return nullptr;
  std::vector<double> x, populations, energies, pars;
  if (!read_doubles(x_object, "x_mm", x) ||
      !read_doubles(populations_object, "populations", populations) ||
      !read_doubles(energy_object, "pulse_energy", energies) ||
      !read_doubles(pars_object, "spec_pars", pars)) {
    return nullptr;
  }
  if (pars.size() < static_cast<std::size_t>(PARAMETER_COUNT)) {
    PyErr_Format(PyExc_ValueError, "spec_pars has %zd values but the model needs %d",
                 static_cast<Py_ssize_t>(pars.size()), PARAMETER_COUNT);
    return nullptr;
  }
  input.x_mm = x;
  input.populations = populations;
  input.pulse_energy = energies;
  std::vector<double> out;
  ModelStatus status = ModelStatus::ok;
  try {
    const Problem problem(input);
    out.resize(problem.points());
    // Without the interpreter lock, answering Ctrl-C; the scratch the
    // evaluation makes may be refused (AllocationError), which is raised
    // once the lock is back.
    python::InterruptibleSection section;
    try {
      EvaluateOptions options;
      options.control = section.control();
      options.diagnostics = sink;
      status = evaluate(problem, pars.data(), {}, out.data(), nullptr, options);
    } catch (const std::bad_alloc& error) {
      section.reacquire_lock();
      return python::raise_memory_error(error);
    }
    section.reacquire_lock();
    if (section.interrupted()) {
      section.restore();
      return nullptr;
    }
  } catch (const ProblemError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
    return nullptr;
  } catch (const std::bad_alloc& error) {
    return python::raise_memory_error(error);
  }
  if (status == ModelStatus::out_of_memory) return PyErr_NoMemory();
  if (status != ModelStatus::ok) {
    PyErr_SetString(PyExc_RuntimeError, "model evaluation failed");
    return nullptr;
  }
  return list_of(out.data(), out.size());
}

// Largest n linspace_values builds a list of.
constexpr int MAX_LINSPACE_VALUES = 10000000;

// linspace(a, b, n) -> list of n values (empty for n <= 0).
PyObject* linspace_values(PyObject*, PyObject* args) {
  double a, b;
  int n;
  if (!PyArg_ParseTuple(args, "ddi:linspace", &a, &b, &n)) return nullptr;
  if (n > MAX_LINSPACE_VALUES) {
    PyErr_SetString(PyExc_ValueError, "n too large");
    return nullptr;
  }
  std::vector<double> x(n > 0 ? static_cast<std::size_t>(n) : 0);
  linspace(x.data(), a, b, n);
  return list_of(x.data(), x.size());
}

// pulse_intensity(r, t, z, e, tau, w0, z_r) -> float.
PyObject* pulse_intensity_value(PyObject*, PyObject* args) {
  double r, t, z, e, tau, w0, z_r;
  if (!PyArg_ParseTuple(args, "ddddddd:pulse_intensity", &r, &t, &z, &e, &tau, &w0, &z_r)) {
    return nullptr;
  }
  return PyFloat_FromDouble(pulse_intensity(r, t, z, e, tau, w0, z_r));
}

// point_weight(s) -> float.
PyObject* point_weight_value(PyObject*, PyObject* arg) {
  const double s = PyFloat_AsDouble(arg);
  if (s == -1.0 && PyErr_Occurred()) return nullptr;
  return PyFloat_FromDouble(point_weight(s));
}

// point_weights(positions) -> list of point_weight(s) for each s.
PyObject* point_weight_values(PyObject*, PyObject* arg) {
  std::vector<double> s;
  if (!read_doubles(arg, "positions", s)) return nullptr;
  for (double& value : s) value = point_weight(value);
  return list_of(s.data(), s.size());
}

// start_multipliers(n_starts) -> list of start_multiplier(k, n_starts), k < n_starts.
PyObject* start_multiplier_values(PyObject*, PyObject* arg) {
  const int n_starts = PyLong_AsInt(arg);
  if (n_starts == -1 && PyErr_Occurred()) return nullptr;
  if (n_starts < 0) {
    PyErr_Format(PyExc_ValueError, "n_starts must be at least 0, got %d", n_starts);
    return nullptr;
  }
  std::vector<double> factors;
  try {
    factors.resize(static_cast<std::size_t>(n_starts));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (int k = 0; k < n_starts; ++k) factors[static_cast<std::size_t>(k)] = start_multiplier(k, n_starts);
  return list_of(factors.data(), factors.size());
}

// rate_constants(spec_pars, optical_frequency) -> dict of the nine constants.
PyObject* rate_constant_values(PyObject*, PyObject* args) {
  PyObject* pars_object;
  double optical_frequency;
  if (!PyArg_ParseTuple(args, "Od:rate_constants", &pars_object, &optical_frequency)) {
    return nullptr;
  }
  std::vector<double> pars;
  if (!read_doubles(pars_object, "spec_pars", pars, PARAMETER_COUNT)) return nullptr;
  const RateConstants c = rate_constants(pars.data(), optical_frequency);
  return Py_BuildValue("{sdsdsdsdsdsdsdsdsd}", "photon_factor", c.photon_factor, "sigma_1",
                       c.sigma_1, "sigma_2", c.sigma_2, "sigma_4", c.sigma_4, "rate_21",
                       c.rate_21, "rate_24", c.rate_24, "rate_32", c.rate_32, "rate_41",
                       c.rate_41, "rate_54", c.rate_54);
}

}  // namespace

const PyMethodDef* model_methods() {
  static PyMethodDef methods[] = {
      {"model_curves", reinterpret_cast<PyCFunction>(model_curves_values),
       METH_VARARGS | METH_KEYWORDS,
       "model_curves(x_mm, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, "
       "M2, pulse_energy, spec_pars, num_x_pts, num_datasets, *, diagnostics=None) -> list: "
       "model transmittance of every curve, as the fit computes it (x_mm centred on the "
       "focus); the solver's messages go to `diagnostics` (a Diagnostics; None: stdout)."},
      {"linspace", linspace_values, METH_VARARGS, "linspace(a, b, n) -> list"},
      {"pulse_intensity", pulse_intensity_value, METH_VARARGS,
       "pulse_intensity(r, t, z, e, tau, w0, z_r) -> float"},
      {"point_weight", point_weight_value, METH_O,
       "point_weight(s) -> float: weight of a point at centred position s (m) in the fit"},
      {"point_weights", point_weight_values, METH_O,
       "point_weights(positions) -> list: point_weight of each centred position (m)"},
      {"start_multipliers", start_multiplier_values, METH_O,
       "start_multipliers(n_starts) -> list: the factor by which each start scales the fitted "
       "start values"},
      {"rate_constants", rate_constant_values, METH_VARARGS,
       "rate_constants(spec_pars, optical_frequency) -> dict: the rate constants the model "
       "derives from a parameter vector"},
      {nullptr, nullptr, 0, nullptr}};
  return methods;
}

}  // namespace tarvo::native
