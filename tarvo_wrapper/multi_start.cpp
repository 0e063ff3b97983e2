// The multi-start fit. Working tables are NumPy arrays (so NumPy reports
// impossible shapes such as a negative n_starts); each start owns one row of
// them, and the starts run through run_starts with the interpreter lock
// released.
#include "numpy_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "fit_entry.hpp"
#include "interrupt_poll.hpp"
#include "multi_start.hpp"
#include "py_ref.hpp"
#include "size_relations.hpp"

namespace {

// Spread of the start exponents: from -0.52 to +0.52 in decades.
constexpr double START_EXPONENT_SPAN = 1.04;
constexpr double START_EXPONENT_OFFSET = 0.52;

// Axis reported when a one-dimensional array (or the rows of a table) is empty.
constexpr int ROW_AXIS = 0;
// Axis reported when the rows of all_spec_pars are empty.
constexpr int COLUMN_AXIS = 1;

// Raise the IndexError for an element that does not exist along `axis`.
void raise_out_of_bounds(int axis) {
  PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

// The data of an array created here (always C-contiguous).
template <typename T>
T* array_data(const PyRef& array) {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// A new uninitialised C-contiguous array, or nullptr with NumPy's error set.
PyRef new_array(int dimensions, npy_intp* shape, int type) {
  return PyRef(PyArray_SimpleNew(dimensions, shape, type));
}

// A new zero-filled C-contiguous array, or nullptr with NumPy's error set.
PyRef new_zeros(int dimensions, npy_intp* shape, int type) {
  return PyRef(PyArray_ZEROS(dimensions, shape, type, 0));
}

// Index of the first largest (is_sa) or first smallest value of `values`,
// with NumPy's argmax/argmin (a NaN counts as the extreme; an empty
// sequence is NumPy's ValueError); false with an exception set.
bool extreme_index(const BufferView& values, bool is_sa, Py_ssize_t& index) {
  npy_intp length = values.length();
  PyRef wrapper(PyArray_SimpleNewFromData(1, &length, NPY_DOUBLE,
                                          const_cast<double*>(values.doubles())));
  if (!wrapper) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(wrapper.get());
  PyArray_CLEARFLAGS(array, NPY_ARRAY_WRITEABLE);
  PyRef found(is_sa ? PyArray_ArgMax(array, 0, nullptr) : PyArray_ArgMin(array, 0, nullptr));
  if (!found) return false;
  index = PyNumber_AsSsize_t(found.get(), PyExc_OverflowError);
  return !(index == -1 && PyErr_Occurred());
}

// First-element checks: every array whose first element a start receives
// must have one; false with IndexError set for the first that has none.
bool check_first_elements(const FitArguments& a, npy_intp centered_length,
                          npy_intp parameter_count, npy_intp n_fit) {
  const npy_intp lengths[] = {centered_length, a.y_data.length(), a.populations.length(),
                              a.pulse_energy.length()};
  for (const npy_intp length : lengths) {
    if (length < 1) {
      raise_out_of_bounds(ROW_AXIS);
      return false;
    }
  }
  if (parameter_count < 1) {
    raise_out_of_bounds(COLUMN_AXIS);
    return false;
  }
  if (n_fit < 1) {
    raise_out_of_bounds(ROW_AXIS);
    return false;
  }
  return true;
}

// A new one-dimensional float64 array holding values[0..length).
PyObject* copy_of_row(const double* values, npy_intp length) {
  PyRef row = new_array(1, &length, NPY_DOUBLE);
  if (!row) return nullptr;
  if (length > 0) std::memcpy(array_data<double>(row), values, sizeof(double) * length);
  return row.release();
}

// Run every start with the interpreter lock released; false with an
// exception set when the fit was interrupted or failed.
bool run_all_starts(const MultiStartJob& job) {
  FitStatus status = FitStatus::ok;
  // Copied: the exception, and with it what() points to, ends with its handler.
  std::string failure;
  InterruptibleSection section;
  try {
    status = run_starts(job, section.control());
  } catch (const std::bad_alloc&) {
    status = FitStatus::out_of_memory;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown error";
  }
  section.reacquire_lock();
  if (section.interrupted()) {
    // A signal handler raised (KeyboardInterrupt for Ctrl-C): pass it on.
    section.restore();
    return false;
  }
  if (!failure.empty()) {
    PyErr_Format(PyExc_RuntimeError, "native fit failed: %s", failure.c_str());
    return false;
  }
  switch (status) {
    case FitStatus::ok:
      return true;
    case FitStatus::out_of_memory:
      PyErr_NoMemory();
      return false;
    case FitStatus::interrupted:
      PyErr_SetString(PyExc_SystemError, "fit interrupted without a pending exception");
      return false;
  }
  return true;
}

}  // namespace

double start_multiplier(int k, int n_starts) {
  const double divisor = static_cast<double>(std::max(n_starts - 1, 1));
  const double exponent =
      (static_cast<double>(k) * START_EXPONENT_SPAN) / divisor - START_EXPONENT_OFFSET;
  return std::pow(10.0, exponent);
}

PyObject* run_multi_start(const FitArguments& a) {
  npy_intp n_fit = a.fit_indices.length();
  npy_intp x_length = a.x_data.length();
  npy_intp n_starts = a.n_starts;
  const npy_intp parameter_count = a.spec_pars.length();
  const npy_intp n_res = a.y_data.length();
  const int* fit_indices = a.fit_indices.ints();
  const double* spec_pars = a.spec_pars.doubles();

  // 1-based indices for the native fit.
  PyRef param_indices = new_array(1, &n_fit, NPY_INT32);
  if (!param_indices) return nullptr;
  int* param_index_data = array_data<int>(param_indices);
  for (npy_intp j = 0; j < n_fit; ++j) param_index_data[j] = fit_indices[j] + 1;

  // Centre the positions on the first extreme of all curves together.
  Py_ssize_t extreme = 0;
  if (!extreme_index(a.y_data, a.is_sa, extreme)) return nullptr;
  if (extreme < 0 || extreme >= x_length) {
    raise_out_of_bounds(ROW_AXIS);
    return nullptr;
  }
  const double center_x = a.x_data.doubles()[extreme];
  PyRef centered_x = new_array(1, &x_length, NPY_DOUBLE);
  if (!centered_x) return nullptr;
  double* centered = array_data<double>(centered_x);
  for (npy_intp n = 0; n < x_length; ++n) centered[n] = a.x_data.doubles()[n] - center_x;

  // One row per start: the starting vectors, then the results.
  npy_intp spec_shape[2] = {n_starts, parameter_count};
  PyRef all_spec_pars = new_array(2, spec_shape, NPY_DOUBLE);
  if (!all_spec_pars) return nullptr;
  double* spec_rows = array_data<double>(all_spec_pars);
  for (npy_intp k = 0; k < n_starts; ++k) {
    if (parameter_count > 0) {
      std::memcpy(spec_rows + k * parameter_count, spec_pars, sizeof(double) * parameter_count);
    }
  }
  npy_intp residual_shape[2] = {n_starts, n_res};
  PyRef all_residuals = new_zeros(2, residual_shape, NPY_DOUBLE);
  if (!all_residuals) return nullptr;
  PyRef all_errors = new_zeros(1, &n_starts, NPY_DOUBLE);
  if (!all_errors) return nullptr;
  PyRef start_multipliers = new_array(1, &n_starts, NPY_DOUBLE);
  if (!start_multipliers) return nullptr;
  double* multipliers = array_data<double>(start_multipliers);
  for (npy_intp k = 0; k < n_starts; ++k) {
    multipliers[k] = start_multiplier(static_cast<int>(k), a.n_starts);
  }

  // Scale the fitted entries of each start (0-based indices).
  for (npy_intp k = 0; k < n_starts; ++k) {
    double* row = spec_rows + k * parameter_count;
    for (npy_intp j = 0; j < n_fit; ++j) {
      const npy_intp index = fit_indices[j];
      if (index >= parameter_count) {
        raise_out_of_bounds(ROW_AXIS);
        return nullptr;
      }
      row[index] = multipliers[k] * spec_pars[index];
    }
  }

  // Every start needs a first element of each array it is handed; with no
  // start at all, the best start's error does not exist.
  if (n_starts > 0 && !check_first_elements(a, x_length, parameter_count, n_fit)) return nullptr;
  if (n_starts == 0) {
    raise_out_of_bounds(ROW_AXIS);
    return nullptr;
  }
  if (!check_size_relations(a)) return nullptr;

  double* residual_rows = array_data<double>(all_residuals);
  double* errors = array_data<double>(all_errors);
  MultiStartJob job;
  job.centered_x = centered;
  job.y_data = a.y_data.doubles();
  job.populations = a.populations.doubles();
  job.pulse_energy = a.pulse_energy.doubles();
  job.param_indices = param_index_data;
  job.t_slices = a.t_slices;
  job.z_slices = a.z_slices;
  job.sample_width = a.sample_width;
  job.tau = a.tau;
  job.wavelength = a.wavelength;
  job.w0 = a.w0;
  job.M2 = a.M2;
  job.n_fit = static_cast<int>(n_fit);
  job.num_x_pts = a.num_x_pts;
  job.num_datasets = a.num_datasets;
  job.n_pop = static_cast<int>(a.populations.length());
  job.n_res = static_cast<int>(n_res);
  job.n_starts = a.n_starts;
  job.spec_pars_length = static_cast<int>(parameter_count);
  job.all_residuals = residual_rows;
  job.all_errors = errors;
  job.all_spec_pars = spec_rows;
  if (!run_all_starts(job)) return nullptr;

  // The strictly smallest error wins; ties (and NaN) keep the earlier start.
  npy_intp best_idx = 0;
  double best_error = errors[0];
  for (npy_intp k = 1; k < n_starts; ++k) {
    if (errors[k] < best_error) {
      best_idx = k;
      best_error = errors[k];
    }
  }
  PyRef residuals(copy_of_row(residual_rows + best_idx * n_res, n_res));
  if (!residuals) return nullptr;
  PyRef error(PyFloat_FromDouble(best_error));
  if (!error) return nullptr;
  PyRef fitted(copy_of_row(spec_rows + best_idx * parameter_count, parameter_count));
  if (!fitted) return nullptr;
  return PyTuple_Pack(3, residuals.get(), error.get(), fitted.get());
}
