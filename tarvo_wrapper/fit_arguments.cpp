// Conversion and checks of fit_zscan's arguments, strictly in parameter order.
#include "fit_arguments.hpp"

#include "scalar_conversion.hpp"

namespace {

// Lowest and highest valid entry of fit_indices (0-based into spec_pars).
constexpr int FIT_INDEX_MIN = 0;
constexpr int FIT_INDEX_MAX = 7;

// Acquire an array argument unless it is None; false with an exception set.
bool convert_array(PyObject* object, ItemType type, BufferView& view) {
  if (object == Py_None) return true;
  return view.acquire(object, type);
}

// Raise TypeError for a None array argument if `view` holds nothing.
bool require_array(const BufferView& view, FitZscanParameter parameter) {
  if (view.held()) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", PARAMETER_NAMES[parameter]);
  return false;
}

}  // namespace

bool convert_arguments(const BoundArguments& bound, FitArguments& a) {
  const auto value = [&bound](FitZscanParameter parameter) {
    return bound.values[parameter].get();
  };
  if (!convert_array(value(X_DATA), ItemType::float64, a.x_data)) return false;
  if (!convert_array(value(Y_DATA), ItemType::float64, a.y_data)) return false;
  if (!convert_array(value(POPULATIONS), ItemType::float64, a.populations)) return false;
  if (!convert_int32(value(T_SLICES), a.t_slices)) return false;
  if (!convert_int32(value(Z_SLICES), a.z_slices)) return false;
  if (!convert_double(value(SAMPLE_WIDTH), a.sample_width)) return false;
  if (!convert_double(value(TAU), a.tau)) return false;
  if (!convert_double(value(WAVELENGTH), a.wavelength)) return false;
  if (!convert_double(value(W0), a.w0)) return false;
  if (!convert_double(value(M2), a.M2)) return false;
  if (!convert_array(value(PULSE_ENERGY), ItemType::float64, a.pulse_energy)) return false;
  if (!convert_array(value(SPEC_PARS), ItemType::float64, a.spec_pars)) return false;
  if (!convert_array(value(FIT_INDICES), ItemType::int32, a.fit_indices)) return false;
  if (!convert_int32(value(NUM_X_PTS), a.num_x_pts)) return false;
  if (!convert_int32(value(NUM_DATASETS), a.num_datasets)) return false;
  a.is_sa = false;
  if (value(IS_SA) != nullptr && !convert_truth(value(IS_SA), a.is_sa)) return false;
  a.n_starts = N_STARTS_DEFAULT;
  if (value(N_STARTS) != nullptr && !convert_int32(value(N_STARTS), a.n_starts)) return false;
  return true;
}

bool check_arguments(const FitArguments& a) {
  if (!require_array(a.x_data, X_DATA) || !require_array(a.y_data, Y_DATA) ||
      !require_array(a.populations, POPULATIONS) || !require_array(a.pulse_energy, PULSE_ENERGY) ||
      !require_array(a.spec_pars, SPEC_PARS) || !require_array(a.fit_indices, FIT_INDICES)) {
    return false;
  }
  const int* indices = a.fit_indices.ints();
  for (Py_ssize_t i = 0; i < a.fit_indices.length(); ++i) {
    const int v = indices[i];
    if (v < FIT_INDEX_MIN || v > FIT_INDEX_MAX) {
      PyErr_Format(PyExc_ValueError, "fit_indices[%zd]=%d out of range [0,7]", i, v);
      return false;
    }
  }
  return true;
}
