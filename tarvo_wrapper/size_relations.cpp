// Size relations: the native fit reads x_data and y_data by num_x_pts *
// num_datasets, pulse_energy by num_datasets, eight spec_pars, five
// populations, and needs at least 5 points per curve and 2 time and depth
// slices. Breaking any of them would read outside the arrays.
#include "size_relations.hpp"

#include <climits>

namespace {

// Smallest number of points per curve (the curve ends are averaged over 5 points each).
constexpr int MIN_POINTS_PER_CURVE = 5;
// Smallest number of time slices and of depth slices (the grids need a step).
constexpr int MIN_SLICES = 2;
// Number of model levels whose initial populations are read.
constexpr Py_ssize_t MODEL_LEVELS = 5;
// Number of model parameters read from spec_pars.
constexpr Py_ssize_t MODEL_PARAMETERS = 8;
// Largest array length the native fit can be given (its counts are 32-bit).
constexpr Py_ssize_t MAX_NATIVE_COUNT = INT_MAX;

// "value" or "values" for `count`.
const char* values_word(long long count) { return count == 1 ? "value" : "values"; }

// Refuse `value` below `minimum` for the integer argument `name`.
bool require_at_least(const char* name, int value, int minimum) {
  if (value >= minimum) return true;
  PyErr_Format(PyExc_ValueError, "%s must be at least %d, got %d", name, minimum, value);
  return false;
}

// Refuse an array longer than the native counts allow.
bool require_native_length(const char* name, Py_ssize_t length) {
  if (length <= MAX_NATIVE_COUNT) return true;
  PyErr_Format(PyExc_ValueError, "%s has %zd values, more than the largest supported %zd", name,
               length, MAX_NATIVE_COUNT);
  return false;
}

}  // namespace

bool check_size_relations(const FitArguments& a) {
  if (!require_at_least("num_datasets", a.num_datasets, 1)) return false;
  if (!require_at_least("num_x_pts", a.num_x_pts, MIN_POINTS_PER_CURVE)) return false;

  const long long points = static_cast<long long>(a.num_x_pts) * a.num_datasets;
  const Py_ssize_t y_length = a.y_data.length();
  if (y_length != points) {
    PyErr_Format(PyExc_ValueError, "y_data has %zd %s but num_x_pts * num_datasets = %d * %d = %lld",
                 y_length, values_word(y_length), a.num_x_pts, a.num_datasets, points);
    return false;
  }
  if (!require_native_length("y_data", y_length)) return false;
  const Py_ssize_t x_length = a.x_data.length();
  if (x_length != y_length) {
    PyErr_Format(PyExc_ValueError, "x_data has %zd %s but y_data has %zd", x_length,
                 values_word(x_length), y_length);
    return false;
  }

  if (!require_at_least("t_slices", a.t_slices, MIN_SLICES)) return false;
  if (!require_at_least("z_slices", a.z_slices, MIN_SLICES)) return false;

  const Py_ssize_t n_pop = a.populations.length();
  if (n_pop < MODEL_LEVELS) {
    PyErr_Format(PyExc_ValueError,
                 "populations has %zd %s but the model needs the initial populations of %zd "
                 "levels",
                 n_pop, values_word(n_pop), MODEL_LEVELS);
    return false;
  }
  if (!require_native_length("populations", n_pop)) return false;
  const Py_ssize_t energies = a.pulse_energy.length();
  if (energies < a.num_datasets) {
    PyErr_Format(PyExc_ValueError,
                 "pulse_energy has %zd %s but num_datasets = %d needs one per curve", energies,
                 values_word(energies), a.num_datasets);
    return false;
  }
  const Py_ssize_t parameters = a.spec_pars.length();
  if (parameters < MODEL_PARAMETERS) {
    PyErr_Format(PyExc_ValueError, "spec_pars has %zd %s but the model needs %zd", parameters,
                 values_word(parameters), MODEL_PARAMETERS);
    return false;
  }
  if (!require_native_length("spec_pars", parameters)) return false;
  return require_native_length("fit_indices", a.fit_indices.length());
}
