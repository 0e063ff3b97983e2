// Model curves, single-start fits and the model's helpers, for the toolkit
// and the tests. Arguments are copied into vectors, checked, and the native
// work runs without the interpreter lock.
#include <new>
#include <string>
#include <vector>

#include "fit_context.hpp"
#include "fit_data.hpp"
#include "fit_entry.hpp"
#include "model_context.hpp"
#include "native_methods.hpp"
#include "zscan_model.hpp"

namespace {

// Copy a sequence of numbers into `out`; false with an exception set otherwise.
bool read_doubles(PyObject* object, const char* name, std::vector<double>& out) {
  PyObject* seq = PySequence_Fast(object, name);
  if (seq == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  out.resize(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i));
    if (out[i] == -1.0 && PyErr_Occurred()) {
      Py_DECREF(seq);
      return false;
    }
  }
  Py_DECREF(seq);
  return true;
}

// Copy a sequence of integers into `out`; false with an exception set otherwise.
bool read_ints(PyObject* object, const char* name, std::vector<int>& out) {
  PyObject* seq = PySequence_Fast(object, name);
  if (seq == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  out.resize(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const long v = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i));
    if (v == -1 && PyErr_Occurred()) {
      Py_DECREF(seq);
      return false;
    }
    out[i] = static_cast<int>(v);
  }
  Py_DECREF(seq);
  return true;
}

// A new list holding values[0..n).
PyObject* list_of(const double* values, size_t n) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// The arrays and settings shared by model curves and fits.
struct Setup {
  std::vector<double> x, populations, pulse_energy, spec_pars;
  int t_slices = 0, z_slices = 0, num_x_pts = 0, num_datasets = 0;
  double sample_width = 0, tau = 0, wavelength = 0, w0 = 0, M2 = 0;
};

// Reject sizes the model cannot work with; false with ValueError set.
bool check_setup(const Setup& s) {
  std::string problem;
  const long n = static_cast<long>(s.num_x_pts) * s.num_datasets;
  if (s.num_x_pts < 5) problem = "num_x_pts must be at least 5";
  else if (s.num_datasets < 1) problem = "num_datasets must be at least 1";
  else if (s.t_slices < 2 || s.z_slices < 2) problem = "t_slices and z_slices must be at least 2";
  else if (static_cast<long>(s.x.size()) != n) problem = "x has " + std::to_string(s.x.size()) + " values, expected num_x_pts * num_datasets = " + std::to_string(n);
  else if (s.populations.size() < 5) problem = "populations needs 5 values";
  else if (static_cast<long>(s.pulse_energy.size()) < s.num_datasets) problem = "pulse_energy needs one value per curve";
  else if (s.spec_pars.size() < 8) problem = "spec_pars needs 8 values";
  if (problem.empty()) return true;
  PyErr_SetString(PyExc_ValueError, problem.c_str());
  return false;
}

// model_curves(x_mm, populations, t_slices, z_slices, sample_width, tau,
//              wavelength, w0, M2, pulse_energy, spec_pars, num_x_pts, num_datasets)
PyObject* model_curves(PyObject*, PyObject* args) {
  PyObject *x, *populations, *energy, *pars;
  Setup s;
  if (!PyArg_ParseTuple(args, "OOiidddddOOii:model_curves", &x, &populations, &s.t_slices,
                        &s.z_slices, &s.sample_width, &s.tau, &s.wavelength, &s.w0, &s.M2,
                        &energy, &pars, &s.num_x_pts, &s.num_datasets))
    return nullptr;
  if (!read_doubles(x, "x_mm", s.x) || !read_doubles(populations, "populations", s.populations) ||
      !read_doubles(energy, "pulse_energy", s.pulse_energy) ||
      !read_doubles(pars, "spec_pars", s.spec_pars) || !check_setup(s))
    return nullptr;
  FitData data;
  std::vector<double> out;
  bool done = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    prepare_fit_data(data, s.x.data(), s.t_slices, s.z_slices, s.sample_width, s.tau,
                     s.wavelength, s.w0, s.M2, s.pulse_energy.data(), s.num_x_pts, s.num_datasets);
    out.resize(s.x.size());
    done = zscan_forward_model_curves(out.data(), s.num_x_pts, s.num_datasets, view_of(data.z_grid),
                                      view_of(data.t_grid), view_of(s.populations),
                                      data.incident_intensity.data(), data.optical_frequency,
                                      s.spec_pars.data());
  } catch (const std::bad_alloc&) {
    done = false;
  }
  Py_END_ALLOW_THREADS
  if (!done) return PyErr_NoMemory();
  return list_of(out.data(), out.size());
}

// fit_core(centered_x_mm, y, populations, t_slices, z_slices, sample_width, tau,
//          wavelength, w0, M2, pulse_energy, spec_pars, param_indices (1-based),
//          num_x_pts, num_datasets) -> (residuals, error, spec_pars, evaluations)
PyObject* fit_core(PyObject*, PyObject* args) {
  PyObject *x, *y, *populations, *energy, *pars, *indices;
  Setup s;
  if (!PyArg_ParseTuple(args, "OOOiidddddOOOii:fit_core", &x, &y, &populations, &s.t_slices,
                        &s.z_slices, &s.sample_width, &s.tau, &s.wavelength, &s.w0, &s.M2,
                        &energy, &pars, &indices, &s.num_x_pts, &s.num_datasets))
    return nullptr;
  std::vector<double> y_data;
  std::vector<int> param_indices;
  if (!read_doubles(x, "x", s.x) || !read_doubles(y, "y", y_data) ||
      !read_doubles(populations, "populations", s.populations) ||
      !read_doubles(energy, "pulse_energy", s.pulse_energy) ||
      !read_doubles(pars, "spec_pars", s.spec_pars) ||
      !read_ints(indices, "param_indices", param_indices) || !check_setup(s))
    return nullptr;
  if (y_data.size() != s.x.size()) {
    PyErr_SetString(PyExc_ValueError, "y must have as many values as x");
    return nullptr;
  }
  for (int index : param_indices) {
    if (index < 1 || index > 8) {
      PyErr_SetString(PyExc_ValueError, "param_indices must lie in 1..8");
      return nullptr;
    }
  }
  std::vector<double> residuals(y_data.size());
  double error = 0.0;
  int evaluations = 0;
  FitStatus status;
  Py_BEGIN_ALLOW_THREADS
  status = fit_zscan_core(s.x.data(), y_data.data(), s.populations.data(), residuals.data(),
                          &error, s.t_slices, s.z_slices, s.sample_width, s.tau, s.wavelength,
                          s.w0, s.M2, s.pulse_energy.data(), s.spec_pars.data(),
                          param_indices.data(), static_cast<int>(param_indices.size()),
                          s.num_x_pts, s.num_datasets, static_cast<int>(s.populations.size()),
                          static_cast<int>(y_data.size()), nullptr, &evaluations);
  Py_END_ALLOW_THREADS
  if (status != FitStatus::ok) return PyErr_NoMemory();
  PyObject* r = list_of(residuals.data(), residuals.size());
  PyObject* p = list_of(s.spec_pars.data(), s.spec_pars.size());
  if (r == nullptr || p == nullptr) {
    Py_XDECREF(r);
    Py_XDECREF(p);
    return nullptr;
  }
  return Py_BuildValue("(NdNi)", r, error, p, evaluations);
}

// linspace(a, b, n) -> list of n values (empty for n <= 0).
PyObject* linspace_values(PyObject*, PyObject* args) {
  double a, b;
  int n;
  if (!PyArg_ParseTuple(args, "ddi:linspace", &a, &b, &n)) return nullptr;
  if (n > 10000000) {
    PyErr_SetString(PyExc_ValueError, "n too large");
    return nullptr;
  }
  std::vector<double> x(count_of(n));
  linspace(x.data(), a, b, n);
  return list_of(x.data(), x.size());
}

// pulse_intensity(r, t, z, e, tau, w0, z_r) -> float.
PyObject* pulse_intensity_value(PyObject*, PyObject* args) {
  double r, t, z, e, tau, w0, z_r;
  if (!PyArg_ParseTuple(args, "ddddddd:pulse_intensity", &r, &t, &z, &e, &tau, &w0, &z_r))
    return nullptr;
  return PyFloat_FromDouble(pulse_intensity(r, t, z, e, tau, w0, z_r));
}

// point_weight(s) -> float.
PyObject* point_weight_value(PyObject*, PyObject* arg) {
  const double s = PyFloat_AsDouble(arg);
  if (s == -1.0 && PyErr_Occurred()) return nullptr;
  return PyFloat_FromDouble(point_weight(s));
}

// model_context() -> the calling thread's nine rate constants, as a dict.
PyObject* model_context(PyObject*, PyObject*) {
  const ModelContext& c = thread_model_context();
  return Py_BuildValue("{sdsdsdsdsdsdsdsdsd}", "photon_factor", c.photon_factor, "sigma_1",
                       c.sigma_1, "sigma_2", c.sigma_2, "sigma_4", c.sigma_4, "rate_21",
                       c.rate_21, "rate_24", c.rate_24, "rate_32", c.rate_32, "rate_41",
                       c.rate_41, "rate_54", c.rate_54);
}

}  // namespace

const PyMethodDef* model_methods() {
  static PyMethodDef methods[] = {
      {"model_curves", model_curves, METH_VARARGS,
       "model_curves(x_mm, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, "
       "M2, pulse_energy, spec_pars, num_x_pts, num_datasets) -> list: model transmittance of "
       "every curve, as the fit computes it."},
      {"fit_core", fit_core, METH_VARARGS,
       "fit_core(centered_x_mm, y, populations, t_slices, z_slices, sample_width, tau, "
       "wavelength, w0, M2, pulse_energy, spec_pars, param_indices, num_x_pts, num_datasets) -> "
       "(residuals, error, spec_pars, evaluations): one start, 1-based indices."},
      {"linspace", linspace_values, METH_VARARGS, "linspace(a, b, n) -> list"},
      {"pulse_intensity", pulse_intensity_value, METH_VARARGS,
       "pulse_intensity(r, t, z, e, tau, w0, z_r) -> float"},
      {"point_weight", point_weight_value, METH_O, "point_weight(s) -> float"},
      {"model_context", model_context, METH_NOARGS,
       "model_context() -> dict: the calling thread's rate constants of its last evaluation"},
      {nullptr, nullptr, 0, nullptr}};
  return methods;
}
