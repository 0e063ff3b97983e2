// The multi-start fit. Working tables are NumPy arrays (so NumPy reports
// impossible shapes such as a negative n_starts); each start owns one row of
// them. The measurement becomes one tarvo::Problem, shared by every start,
// and the starts run through tarvo::run_starts with the interpreter lock
// released.
#include "multi_start.hpp"

#include <cstring>
#include <new>
#include <vector>

#include "numpy_api.hpp"
#include "tarvo/fit.hpp"

namespace tarvo::wrapper {

namespace {

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
bool extreme_index(const std::vector<double>& values, bool is_sa, Py_ssize_t& index) {
  npy_intp length = static_cast<npy_intp>(values.size());
  PyRef wrapper(PyArray_SimpleNewFromData(1, &length, NPY_DOUBLE,
                                          const_cast<double*>(values.data())));
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
bool check_first_elements(const ArgumentValues& v) {
  const std::size_t lengths[] = {v.x_data.size(), v.y_data.size(), v.populations.size(),
                                 v.pulse_energy.size()};
  for (const std::size_t length : lengths) {
    if (length < 1) {
      raise_out_of_bounds(ROW_AXIS);
      return false;
    }
  }
  const std::size_t parameter_count = v.spec_pars.size();
  const std::size_t n_fit = v.fit_indices.size();
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

// Run every start of `tables` (the multi-start routine of fit/) with the
// interpreter lock released, the best start into `best`; false with an
// exception set when the fit was interrupted or failed.
bool run_all_starts(const Problem& problem, std::span<const int> fitted, StartTables tables,
                    npy_intp n_starts, std::size_t& best) {
  std::vector<StartSummary> summaries;
  try {
    summaries.resize(static_cast<std::size_t>(n_starts));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  tables.summaries = summaries;
  return python::run_fit_released(summaries, nullptr, [&](const FitOptions& options) {
    return run_multi_start(problem, fitted, tables, options, best);
  });
}

}  // namespace

PyObject* run_multi_start(FitArguments& a) {
  // Only the copies of the arrays are read from here on (see ArgumentValues).
  const ArgumentValues& v = a.values;
  const npy_intp n_fit = static_cast<npy_intp>(v.fit_indices.size());
  npy_intp x_length = static_cast<npy_intp>(v.x_data.size());
  npy_intp n_starts = a.n_starts;
  const npy_intp parameter_count = static_cast<npy_intp>(v.spec_pars.size());
  const npy_intp n_res = static_cast<npy_intp>(v.y_data.size());

  // Centre the positions on the first extreme of all curves together.
  Py_ssize_t extreme = 0;
  if (!extreme_index(v.y_data, a.is_sa, extreme)) return nullptr;
  if (extreme < 0 || extreme >= x_length) {
    raise_out_of_bounds(ROW_AXIS);
    return nullptr;
  }
  // The copy of x_data becomes the centred positions.
  std::vector<double>& centered_x = a.values.x_data;
  const double center_x = centered_x[static_cast<std::size_t>(extreme)];
  for (double& x : centered_x) x = x - center_x;

  // One row per start: the starting vectors, then the results.
  npy_intp spec_shape[2] = {n_starts, parameter_count};
  PyRef all_spec_pars = new_array(2, spec_shape, NPY_DOUBLE);
  if (!all_spec_pars) return nullptr;
  npy_intp residual_shape[2] = {n_starts, n_res};
  PyRef all_residuals = new_zeros(2, residual_shape, NPY_DOUBLE);
  if (!all_residuals) return nullptr;
  PyRef all_errors = new_zeros(1, &n_starts, NPY_DOUBLE);
  if (!all_errors) return nullptr;

  // Each start scales the fitted entries (0-based indices) of its row.
  for (npy_intp j = 0; n_starts > 0 && j < n_fit; ++j) {
    if (v.fit_indices[static_cast<std::size_t>(j)] >= parameter_count) {
      raise_out_of_bounds(ROW_AXIS);
      return nullptr;
    }
  }
  const std::span<const int> fitted(v.fit_indices);
  double* spec_rows = array_data<double>(all_spec_pars);
  fill_start_rows(v.spec_pars, fitted, a.n_starts, spec_rows);

  // Every start needs a first element of each array it is handed; with no
  // start at all, the best start's error does not exist.
  if (n_starts > 0 && !check_first_elements(v)) return nullptr;
  if (n_starts == 0) {
    raise_out_of_bounds(ROW_AXIS);
    return nullptr;
  }
  if (!check_size_relations(a)) return nullptr;

  double* residual_rows = array_data<double>(all_residuals);
  double* errors = array_data<double>(all_errors);
  std::size_t best = 0;
  try {
    ProblemInput input;
    input.x_mm = centered_x;
    input.y = v.y_data;
    input.populations = v.populations;
    input.pulse_energy = v.pulse_energy;
    input.num_x_pts = a.num_x_pts;
    input.num_datasets = a.num_datasets;
    input.t_slices = a.t_slices;
    input.z_slices = a.z_slices;
    input.sample_width = a.sample_width;
    input.tau = a.tau;
    input.wavelength = a.wavelength;
    input.w0 = a.w0;
    input.M2 = a.M2;
    const Problem problem(input);
    StartTables tables;
    tables.spec_rows = spec_rows;
    tables.row_length = static_cast<std::size_t>(parameter_count);
    tables.residual_rows = residual_rows;
    tables.errors = errors;
    if (!run_all_starts(problem, fitted, tables, n_starts, best)) return nullptr;
  } catch (const ProblemError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
    return nullptr;
  } catch (const std::bad_alloc& error) {
    return python::raise_memory_error(error);
  }

  // The strictly smallest error won; ties (and NaN) keep the earlier start.
  const npy_intp best_idx = static_cast<npy_intp>(best);
  PyRef residuals(copy_of_row(residual_rows + best_idx * n_res, n_res));
  if (!residuals) return nullptr;
  PyRef error(PyFloat_FromDouble(errors[best_idx]));
  if (!error) return nullptr;
  PyRef fitted_row(copy_of_row(spec_rows + best_idx * parameter_count, parameter_count));
  if (!fitted_row) return nullptr;
  return PyTuple_Pack(3, residuals.get(), error.get(), fitted_row.get());
}

}  // namespace tarvo::wrapper
