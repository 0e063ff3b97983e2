// The exact forward model: the populations of a slice advance by the exact
// exponential of their (constant) rate matrix over a time slice, and the light
// crosses a slice by the exact exponential attenuation, so the discretised
// model carries no solver error. Derivatives of the curves with respect to the
// parameters and the focus position come from the tangents of the same steps.
#pragma once

#include <string>
#include <vector>

namespace tarvo::exact {

// Which discretised model the engine computes.
enum class Variant {
  // The pulse, grids, incident table, march, time sums and baseline of the
  // LSODA model: on-axis intensity ratio.
  established,
  // A consistently normalised Gaussian pulse over a wide time window, slices of
  // thickness sample_width / z_slices and a radial quadrature over the beam: the
  // transmitted / incident pulse-energy ratio.
  energy,
};

// Slice counts and radial nodes of the energy variant where the caller gives 0.
struct EnergyDefaults {
  int t_slices;
  int z_slices;
  int radial_points;
};
inline constexpr EnergyDefaults ENERGY_DEFAULTS{100, 16, 10};
// Half-width of the energy variant's time window, in units of tau.
inline constexpr double ENERGY_WINDOW = 3.5;

// Index of the focus-shift derivative (after the eight parameters): d curve / d z0
// of the model at positions x - z0 (z0 in mm).
inline constexpr int FOCUS_SHIFT = 8;
// Number of parameters plus the focus shift.
inline constexpr int DERIVATIVE_COUNT = 9;

// A measurement as the caller describes it. Pointers are read while the
// problem is built and not kept.
struct ExactSetup {
  // num_datasets x num_x_pts positions in mm, relative to the focus.
  const double* positions_mm = nullptr;
  // One pulse energy (J) per curve.
  const double* pulse_energy = nullptr;
  // Initial populations of the five levels (cm^-3).
  const double* populations = nullptr;
  int num_x_pts = 0;
  int num_datasets = 0;
  // Slice counts and radial nodes; 0 selects the energy variant's defaults.
  int t_slices = 0;
  int z_slices = 0;
  int radial_points = 0;
  double sample_width = 0.0;
  double tau = 0.0;
  double wavelength = 0.0;
  double w0 = 0.0;
  double M2 = 0.0;
  Variant variant = Variant::established;
  // Shift each curve to its baseline (false: raw transmittance).
  bool normalise = true;
  // energy: half-width of the time window in units of tau (0: ENERGY_WINDOW).
  double time_window = 0.0;
};

// What is wrong with `setup`, or an empty string when the engine can use it.
std::string check_setup(const ExactSetup& setup);

// What is wrong with the eight parameters, or an empty string.
std::string check_parameters(const double* p);

// What stays fixed over the evaluations of one measurement: slice steps,
// incident intensities, radial nodes. Built once, read by every evaluation.
struct ExactProblem {
  Variant variant = Variant::established;
  bool normalise = true;
  int num_x_pts = 0;
  int num_datasets = 0;
  int t_slices = 0;
  int z_slices = 0;
  // Radial nodes (1 for the on-axis established variant).
  int radial_points = 1;
  double populations[5] = {};
  double optical_frequency = 0.0;
  // Thickness of one depth slice (cm).
  double dz = 0.0;
  // Duration of each time slice (s).
  std::vector<double> dt;
  // established: incident on-axis intensity, element (i, j, k) at
  // i + num_x_pts * (j + t_slices * k), as the LSODA model tabulates it.
  // energy: the peak on-axis intensity of every position (curve after curve).
  std::vector<double> incident;
  // energy: the slice average of the time profile exp(-(t/tau)^2) per slice.
  std::vector<double> time_profile;
  // energy: radial nodes as fractions of the on-axis fluence, and their weights.
  std::vector<double> radial_fraction;
  std::vector<double> radial_weight;
  // d ln(incident intensity) / d z0 at every position (1/mm).
  std::vector<double> focus_rate;
};

// Build the problem of a checked setup. Throws std::bad_alloc.
void build_problem(ExactProblem& problem, const ExactSetup& setup);

// Model curves of parameter vector p (8 values, checked): curves receives
// num_datasets x num_x_pts values; for n_derivatives > 0, jacobian receives
// d curve / d parameter at [(k * num_x_pts + i) * n_derivatives + d] for the
// distinct indices derivatives[0..n_derivatives) (0..7 parameters, 8 the
// focus shift). Positions run on every thread; the result does not depend on
// their number. Returns false when scratch could not be allocated.
bool evaluate(const ExactProblem& problem, const double* p, const int* derivatives,
              int n_derivatives, double* curves, double* jacobian);

}  // namespace tarvo::exact
