// The exact forward model: the populations of a slice advance by the exact
// exponential of their (constant) rate matrix over a time slice, and the light
// crosses a slice by the exact exponential attenuation, so the discretised
// model carries no solver error. Derivatives of the curves with respect to the
// parameters and the focus position come from the tangents of the same steps.
//
// Two discretised models ("variants"):
//   - established: the Problem of the LSODA model (same pulse, grids,
//     incident table, march order, time sums and baseline shift), only the
//     ODE solves replaced by exact exponentials;
//   - energy: a consistently normalised Gaussian pulse over a wide time
//     window, z_slices slices of thickness sample_width / z_slices and a
//     radial quadrature over the beam; the transmittance is the transmitted /
//     incident pulse-energy ratio.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvo/constants.hpp"
#include "tarvo/control.hpp"
#include "tarvo/export.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"

namespace tarvo {

// Which discretised model the exact engine computes.
enum class ExactVariant { established, energy };

// Slice counts, radial nodes and peak-intensity nodes of the energy variant
// where the caller gives 0.
struct EnergyDefaults {
  int t_slices;
  int z_slices;
  int radial_points;
  int intensity_points;
};
inline constexpr EnergyDefaults ENERGY_DEFAULTS{32, 2, 12, 20};
// Half-width of the energy variant's time window, in units of tau.
inline constexpr double ENERGY_WINDOW = 3.5;
// One time and depth discretisation of the energy variant: time slices over
// the window (finer at the pulse peak) and equal depth slices over the sample.
struct EnergyGrid {
  int t_slices = 0;
  int z_slices = 0;
  // Thickness of one depth slice (cm).
  double dz = 0.0;
  // Duration of each time slice (s), and the slice average of the time
  // profile exp(-(t/tau)^2) over it.
  std::vector<double> dt;
  std::vector<double> time_profile;
};

// The energy variant extrapolates its march over the slice sizes: with h the
// time and k the depth slice, the errors of the march are a h^2 + b k^2 +
// c h^2 k^2 + (higher orders), so the combination of the four grids (t, z),
// (t, 2z), (2t, z), (2t, 2z) slices with these weights removes all three
// (Richardson extrapolation in both sizes; weights (1, -4, -4, 16) / 9).
inline constexpr int ENERGY_GRIDS = 4;
inline constexpr double ENERGY_GRID_WEIGHTS[ENERGY_GRIDS] = {1.0 / 9.0, -4.0 / 9.0, -4.0 / 9.0,
                                                             16.0 / 9.0};

// Largest number of radial nodes and of peak-intensity nodes of the energy variant.
inline constexpr int MAX_RADIAL_POINTS = 64;
inline constexpr int MAX_INTENSITY_POINTS = 64;

// Index of the focus-shift derivative (after the parameters): d curve / d z0
// of the model at positions x - z0 (z0 in mm).
inline constexpr int FOCUS_SHIFT = PARAMETER_COUNT;
// Number of derivative directions: the parameters and the focus shift.
inline constexpr int DERIVATIVE_COUNT = PARAMETER_COUNT + 1;

// The energy model's optical parameters beyond the rate scheme (all 0 by
// default, which is the rate scheme's model to the bit), in this order:
//   - beta: the two-photon absorption coefficient (cm/W): dI/dz = -alpha I
//     - beta I^2; the absorbed pairs move molecules from level 1 to level 2
//     at beta I^2 / (2 h nu) per unit volume from the undepleted ground
//     state (a rate per ground-state molecule in the rate matrix, so the
//     molecules are conserved and the step keeps its form);
//   - n2: the bound-electronic (Kerr) index (cm^2/W): a phase k n2 I per
//     unit length;
//   - the refractive cross-sections of levels 2, 3, 4 and 5 relative to the
//     ground state (cm^2): a phase sum_k eta_k N_k per unit length.
// They are differentiated as derivative indices OPTICS_FIRST + i.
inline constexpr int OPTICAL_COUNT = 6;
inline constexpr int OPTICS_BETA = 0;
inline constexpr int OPTICS_N2 = 1;
inline constexpr int OPTICS_REFRACTION = 2;
inline constexpr int OPTICS_FIRST = DERIVATIVE_COUNT;
// Number of derivative directions of the energy model with its optics.
inline constexpr int ALL_DERIVATIVES = DERIVATIVE_COUNT + OPTICAL_COUNT;
inline constexpr const char* OPTICAL_NAMES[OPTICAL_COUNT] = {"beta", "n2", "eta_2", "eta_3",
                                                             "eta_4", "eta_5"};

// A measurement as the caller describes it to the exact engine: the
// ProblemInput of the LSODA model (without data) and what the exact engine
// adds. Nothing is kept: the problem copies what it needs.
struct ExactInput {
  ProblemInput measurement;
  ExactVariant variant = ExactVariant::established;
  // Radial nodes of the energy variant; 0 selects its default. Slice counts
  // of 0 in `measurement` select the energy variant's defaults as well.
  int radial_points = 0;
  // Peak intensities at which the energy variant marches the pulse through
  // the sample, interpolating between them (0: its default).
  int intensity_points = 0;
  // Shift each curve to its baseline (false: raw transmittance).
  bool normalise = true;
  // energy: half-width of the time window in units of tau (0: ENERGY_WINDOW).
  double time_window = 0.0;
  // energy: per curve, the linear transmittance S of a centred circular
  // aperture in the far field (0 < S <= 1; 1 or empty: the open aperture).
  std::vector<double> aperture;
};

// What is wrong with `input`, or "" when the engine can use it.
TARVO_API std::string exact_input_error(const ExactInput& input);

// What is wrong with the parameter vector p (PARAMETER_COUNT values), or "".
TARVO_API std::string exact_parameter_error(const double* p);

// What is wrong with the optical parameters (OPTICAL_COUNT values) for
// `problem`, or "".
struct ExactProblem;
TARVO_API std::string exact_optics_error(const ExactProblem& problem, const double* optics);

// What stays fixed over the evaluations of one measurement: slice steps,
// incident intensities, radial nodes. Built once, read by every evaluation.
//
// The positions are kept as given (stage_x_mm) together with a focus: the
// model is evaluated at stage_x_mm - focus_mm. set_focus moves the focus and
// refills the tables that depend on the positions in place (nothing is
// allocated, nothing else rebuilt), to the same values as a problem built
// from the shifted positions.
struct TARVO_API ExactProblem {
  // Check the input (ProblemError) and build the grids; AllocationError
  // (saying what and how much) when they cannot fit.
  explicit ExactProblem(const ExactInput& input);

  // Bytes the tables of a problem of `input` take.
  static double bytes_needed(const ExactInput& input);

  // Evaluate at stage_x_mm - focus from now on.
  void set_focus(double focus);

  ExactVariant variant = ExactVariant::established;
  bool normalise = true;
  int num_x_pts = 0;
  int num_datasets = 0;
  int t_slices = 0;
  int z_slices = 0;
  // Radial nodes (1 for the on-axis established variant).
  int radial_points = 1;
  // energy: peak intensities marched (0 for the established variant).
  int intensity_points = 0;
  std::array<double, LEVELS> populations{};
  double optical_frequency = 0.0;
  // established: thickness of one depth slice (cm).
  double dz = 0.0;
  // established: the LSODA model's problem (grids and incident table).
  std::optional<Problem> established;
  // established: duration of a time slice (s), one value.
  std::vector<double> dt;
  // energy: the grids of t_slices x z_slices, t_slices x 2 z_slices,
  // 2 t_slices x z_slices and 2 t_slices x 2 z_slices slices, in this order.
  std::array<EnergyGrid, ENERGY_GRIDS> grids;
  // energy: the peak on-axis intensity (W/cm^2) of every position, curve
  // after curve, and the beam radius there (m).
  std::vector<double> peak;
  std::vector<double> beam_radius;
  // energy: radial nodes as fractions of the on-axis fluence, and their weights.
  std::vector<double> radial_fraction;
  std::vector<double> radial_weight;
  // energy: the peak intensities (W/cm^2) that are marched, and the weights
  // that turn their local transmittances into the energy transmittance of
  // each position (interpolation and radial rule in one): element
  // [n * intensity_points + j] for position n and node j.
  std::vector<double> node_peak;
  std::vector<double> position_weights;
  // d ln(incident intensity) / d z0 at every position (1/mm).
  std::vector<double> focus_rate;
  // The positions as given (mm, curve after curve) and the focus they are
  // taken from.
  std::vector<double> stage_x_mm;
  double focus_mm = 0.0;
  // The pulse and the beam: energy of each curve (J), duration (s), waist
  // (m), Rayleigh range (m); energy: the largest peak intensity (W/cm^2).
  std::vector<double> pulse_energy;
  double tau = 0.0;
  double w0 = 0.0;
  double z_r = 0.0;
  double peak_max = 0.0;
  // energy: scratch of one row of interpolation weights.
  std::vector<double> weight_row;
  // energy: the far-field aperture of every curve (1: open), and the index of
  // every position among the positions of closed curves (-1: open curve).
  std::vector<double> aperture;
  std::vector<int> closed_index;
  int closed_points = 0;
  // Far-field nodes of the aperture integral of every closed curve.
  int far_nodes = 0;
  // Per closed position c: the far field at node q is F_q = sum_j
  // K[(c * far_nodes + q) * intensity_points + j] t_j, t_j the exit field
  // (relative to the incident) of peak-intensity node j, K complex (re, im);
  // K_x its derivative by x = z / z_R; the aperture energy is sum_q
  // far_weight[c * far_nodes + q] |F_q|^2 (far_weight_x its x derivative),
  // relative to S times the incident energy; x_rate = dx / d focus (1/mm).
  std::vector<double> kernel_re, kernel_im, kernel_x_re, kernel_x_im;
  std::vector<double> far_weight, far_weight_x;
  double x_rate = 0.0;
  // The optical frequency's wavenumber (1/cm), for the Kerr phase.
  double wavenumber = 0.0;

  // All positions of all curves.
  int points() const { return num_x_pts * num_datasets; }

 private:
  void build(const ExactInput& input);
  // Fill the tables that depend on the positions for focus `focus`.
  void place(double focus);
};

// Model curves and their derivatives: evaluate() of engine.hpp (the one
// interface of both engines). Positions (and radial nodes) run as tasks on the
// current OpenMP team or a new one; the result does not depend on the number
// of threads; the stop request is looked at between tasks and within long
// marches.

// energy variant: the incident pulse energy (J) at every position, the
// incident fluence summed over the time slices and radial nodes (a check of
// the pulse normalisation); out receives points() values.
TARVO_API void exact_incident_energy(const ExactProblem& problem, double* out);

// One exact population step: populations (LEVELS) under the constant
// intensity (W/cm^2) for dt seconds with parameter vector p; out receives
// the LEVELS populations after the step.
TARVO_API void exact_population_step(const double* p, double optical_frequency,
                                     const double* populations, double intensity, double dt,
                                     double* out);

// The compiled copies of the exponential kernel: the processor's best (what
// the engine uses), or one named, for tests that every copy gives the same bits.
enum class ExponentialKernel { best, sse2, avx, avx512 };

// exp(m) of a row-major 5x5 rate matrix into x (25 values), its Frechet
// derivatives along dm (directions x 25) into dx, and the step average of the
// populations v (LEVELS values, tangents zero) into avg and davg (LEVELS and
// directions x LEVELS), computed by `kernel`. False, with nothing written,
// when this build or processor has no such copy.
TARVO_API bool exact_exponential(ExponentialKernel kernel, const double* m, const double* dm,
                                 int directions, const double* v, double* x, double* dx,
                                 double* avg, double* davg);

}  // namespace tarvo
