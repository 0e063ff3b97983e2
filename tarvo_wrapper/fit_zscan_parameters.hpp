// The parameters of fit_zscan: their positions, names and counts.
#pragma once

// Positions of the parameters, in calling order.
enum FitZscanParameter : int {
  X_DATA,
  Y_DATA,
  POPULATIONS,
  T_SLICES,
  Z_SLICES,
  SAMPLE_WIDTH,
  TAU,
  WAVELENGTH,
  W0,
  M2,
  PULSE_ENERGY,
  SPEC_PARS,
  FIT_INDICES,
  NUM_X_PTS,
  NUM_DATASETS,
  IS_SA,
  N_STARTS,
};

// Number of parameters.
inline constexpr int PARAMETER_COUNT = 17;
// Number of leading parameters without a default.
inline constexpr int REQUIRED_PARAMETER_COUNT = 15;
// Default of `n_starts`.
inline constexpr int N_STARTS_DEFAULT = 3;

// Parameter names, indexed by FitZscanParameter.
inline constexpr const char* PARAMETER_NAMES[PARAMETER_COUNT] = {
    "x_data",       "y_data",    "populations", "t_slices",     "z_slices",    "sample_width",
    "tau",          "wavelength", "w0",         "M2",           "pulse_energy", "spec_pars",
    "fit_indices",  "num_x_pts", "num_datasets", "is_sa",       "n_starts",
};

// The function's name, as callers and messages see it.
inline constexpr const char* FUNCTION_NAME = "fit_zscan";
// The module's name.
inline constexpr const char* MODULE_NAME = "tarvo_wrapper";
