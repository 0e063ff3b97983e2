// The problem: one immutable description of a Z-scan measurement and of the
// grids the model integrates on, built once per call and handed by const
// reference to everything below (every start of a multi-start fit, every
// residual evaluation, every scan position on every thread).
//
// What a forward model (a "propagator") takes from it, for scan position
// `point` of curve `curve`:
//   - incident_row(curve, point)[j * incident_stride()]: the on-axis
//     intensity (W/cm^2) arriving at the front face during time slice j,
//     j = 0 .. t_slices() - 1, earliest first;
//   - dt(): the duration of every time slice; dz(): the thickness of every
//     depth slice, of which the light crosses z_slices();
//   - populations(): N1..N5 (cm^-3) of every depth slice before the pulse;
//   - optical_frequency() (Hz), for the photon flux;
// and the parameters (spec_pars, eight values) it is called with. It returns
// the raw transmittance (time-summed exit over time-summed incident
// intensity) of each position; shifting the curves to a baseline of 1 is
// common to all propagators (model.hpp).
//
// What the fit takes from it: positions() (metres), y() and sqrt_weights()
// for the weighted residuals sqrt(w_j) (y_j - model_j).
//
// A Problem checks its sizes when it is built (see size_error), so every
// problem satisfies what the model relies on: at least MIN_POINTS_PER_CURVE
// points per curve, at least one curve, at least MIN_SLICES time and depth
// slices, LEVELS initial populations, a depth grid that starts at 0.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarvo/constants.hpp"
#include "tarvo/export.hpp"

namespace tarvo {

// The lengths and counts a caller was given, for the size checks below.
struct ArgumentSizes {
  // Lengths of the arrays. y_length < 0: a model-only call without data.
  long long x_length = 0;
  long long y_length = -1;
  long long populations_length = 0;
  long long pulse_energy_length = 0;
  // < 0: not part of this call (model-only calls).
  long long spec_pars_length = -1;
  long long fit_indices_length = -1;
  int num_x_pts = 0;
  int num_datasets = 0;
  int t_slices = 0;
  int z_slices = 0;
};

// The first size relation that `sizes` break, as the message to raise
// (ValueError), or "" when they hold. The relations: num_datasets >= 1,
// num_x_pts >= MIN_POINTS_PER_CURVE, y and x hold num_x_pts * num_datasets
// values, t_slices and z_slices >= MIN_SLICES, populations >= LEVELS values,
// pulse_energy one value per curve, spec_pars >= PARAMETER_COUNT values, and
// every length within the 32-bit counts of the native code.
TARVO_API std::string size_error(const ArgumentSizes& sizes);

// A refused problem: the message says which size relation is broken.
class TARVO_API ProblemError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
  ~ProblemError() override;
};

// What a caller hands over to build a Problem. Nothing is kept: the problem
// copies what it needs.
struct ProblemInput {
  // Scan positions of all curves in millimetres, already centred on the
  // focus, curve after curve: point i of curve k is element k * num_x_pts + i.
  std::span<const double> x_mm;
  // Measured normalised transmittance, same layout; empty for a model-only
  // problem (no residuals, no fit).
  std::span<const double> y;
  // Initial populations of the levels; the first LEVELS are used.
  std::span<const double> populations;
  // Pulse energy of each curve (J); the first num_datasets are used.
  std::span<const double> pulse_energy;
  int num_x_pts = 0;
  int num_datasets = 0;
  int t_slices = 0;
  int z_slices = 0;
  // Sample thickness (cm), pulse duration parameter (s), wavelength (m),
  // beam waist radius (m), beam quality factor.
  double sample_width = 0.0;
  double tau = 0.0;
  double wavelength = 0.0;
  double w0 = 0.0;
  double M2 = 0.0;
};

class TARVO_API Problem {
 public:
  // Check the sizes (ProblemError) and build the grids and the incident
  // table (AllocationError, saying how much, when they cannot fit: checked
  // before anything big is filled).
  explicit Problem(const ProblemInput& input);

  // Bytes a problem of `input` holds.
  static double bytes_needed(const ProblemInput& input);

  // Points per curve, curves, all points.
  int num_x_pts() const { return num_x_pts_; }
  int num_datasets() const { return num_datasets_; }
  std::size_t points() const { return positions_.size(); }
  // Time slices of the pulse and depth slices of the sample.
  int t_slices() const { return static_cast<int>(t_grid_.size()); }
  int z_slices() const { return static_cast<int>(z_grid_.size()); }

  // Scan positions in metres, curve after curve.
  std::span<const double> positions() const { return positions_; }
  // Measured transmittance (empty for a model-only problem).
  std::span<const double> y() const { return y_; }
  bool has_data() const { return !y_.empty(); }
  // Square roots of the point weights, sqrt(point_weight(position)).
  std::span<const double> sqrt_weights() const { return sqrt_weights_; }

  // Initial populations N1..N5.
  const std::array<double, LEVELS>& populations() const { return populations_; }

  // Time grid -tau/2 .. +tau/2 and depth grid 0 .. sample_width (linspace).
  std::span<const double> t_grid() const { return t_grid_; }
  std::span<const double> z_grid() const { return z_grid_; }
  // Duration of a time slice, t_grid[1] - t_grid[0].
  double dt() const { return dt_; }
  // Thickness of a depth slice, z_grid[1] (the grid starts at 0).
  double dz() const { return dz_; }
  // 299792458 / wavelength (Hz).
  double optical_frequency() const { return optical_frequency_; }

  // The incident intensity of point `point` of curve `curve`: time slice j
  // at [j * incident_stride()]. The table is num_x_pts x t_slices x
  // num_datasets, first index fastest.
  const double* incident_row(int curve, int point) const {
    return incident_.data() +
           static_cast<std::ptrdiff_t>(curve) * num_x_pts_ * static_cast<std::ptrdiff_t>(t_slices()) +
           point;
  }
  std::ptrdiff_t incident_stride() const { return num_x_pts_; }

  // Move the positions of a model-only problem to x_mm[n] - shift_mm (x_mm:
  // points() values, laid out as ProblemInput::x_mm), refilling the positions
  // and the incident table in place: the same values as a problem built from
  // the shifted positions, without allocating. False (nothing changed) for a
  // problem with data or x_mm of another length.
  bool place(std::span<const double> x_mm, double shift_mm);

 private:
  // Fill every array from `input` (sizes checked).
  void build(const ProblemInput& input);
  // Fill the incident table from positions_ and the pulse.
  void fill_incident();

  int num_x_pts_;
  int num_datasets_;
  std::vector<double> positions_;
  std::vector<double> y_;
  std::vector<double> sqrt_weights_;
  std::array<double, LEVELS> populations_{};
  std::vector<double> t_grid_;
  std::vector<double> z_grid_;
  std::vector<double> incident_;
  double dt_ = 0.0;
  double dz_ = 0.0;
  double optical_frequency_ = 0.0;
  // The pulse: energy of each curve (J), duration (s), waist (m), Rayleigh range (m).
  std::vector<double> pulse_energy_;
  double tau_ = 0.0;
  double w0_ = 0.0;
  double z_r_ = 0.0;
};

}  // namespace tarvo
