// Checks of the exact engine's input and the fixed data of one measurement.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "far_field.hpp"
#include "peak_interpolation.hpp"
#include "radial_quadrature.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/memory.hpp"
#include "tarvo/model.hpp"
#include "tarvo/rate_scheme.hpp"

namespace tarvo {
namespace {

// Square metres to square centimetres.
constexpr double CM2_PER_M2 = 1e4;
// Largest half-width of the energy variant's time window (units of tau).
constexpr double MAX_TIME_WINDOW = 40.0;

bool all_finite(std::span<const double> values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// "name must be positive" unless value > 0 and finite.
std::string positive(const char* name, double value) {
  if (std::isfinite(value) && value > 0.0) return {};
  return std::string(name) + " must be a positive finite number, got " + std::to_string(value);
}

// Integral of exp(-s^2) from a to b, without cancellation in the wings.
double gaussian_integral(double a, double b) {
  const double half_sqrt_pi = 0.88622692545275801;
  if (a >= 0.0) return half_sqrt_pi * (std::erfc(a) - std::erfc(b));
  if (b <= 0.0) return half_sqrt_pi * (std::erfc(-b) - std::erfc(-a));
  return half_sqrt_pi * (std::erf(b) - std::erf(a));
}

// Time slices over [-window, +window] tau, bounded at t_j = window
// sinh(TIME_MAP_RATE u_j) / sinh(TIME_MAP_RATE) for equally spaced u_j in
// [-1, 1]: cosh(2) = 3.8 times finer at the peak than in the wings, where
// little of the pulse passes. Each slice carries its exact share of the
// pulse: the slice average of exp(-(t/tau)^2). The map is smooth and fixed,
// so the march's errors still go with the square of the slice size and
// halving every slice (the extrapolation) keeps it. On the benchmark case
// and on a saturable absorber it halves the error of equal slices.
constexpr double TIME_MAP_RATE = 2.0;

void fill_time_slices(EnergyGrid& grid, double window, double tau) {
  const int n = grid.t_slices;
  grid.dt.resize(static_cast<std::size_t>(n));
  grid.time_profile.resize(static_cast<std::size_t>(n));
  auto bound = [&](int j) {
    const double u = -1.0 + 2.0 * j / n;
    return window * (std::sinh(TIME_MAP_RATE * u) / std::sinh(TIME_MAP_RATE));
  };
  for (int j = 0; j < n; ++j) {
    const double a = j == 0 ? -window : bound(j);
    const double b = j + 1 == n ? window : bound(j + 1);
    grid.dt[j] = (b - a) * tau;
    grid.time_profile[j] = gaussian_integral(a, b) / (b - a);
  }
}

// The slice count `given`, or the energy variant's default for 0.
int slices_or_default(const ExactInput& input, int given, int energy_default) {
  return input.variant == ExactVariant::energy && given == 0 ? energy_default : given;
}

}  // namespace

std::string exact_input_error(const ExactInput& input) {
  const ProblemInput& s = input.measurement;
  const bool energy = input.variant == ExactVariant::energy;
  // Raw energy curves may be shorter than the baseline needs.
  const int min_points = input.normalise || !energy ? MIN_POINTS_PER_CURVE : 1;
  if (s.num_x_pts < min_points) {
    return "each curve needs at least " + std::to_string(min_points) + " positions, got " +
           std::to_string(s.num_x_pts);
  }
  if (s.num_datasets < 1) return "need at least one curve (one pulse energy)";
  const long long points = static_cast<long long>(s.num_x_pts) * s.num_datasets;
  if (points > MAX_POINTS || static_cast<long long>(s.x_mm.size()) != points) {
    return "positions_mm must hold num_x_pts * num_datasets values (at most " +
           std::to_string(MAX_POINTS) + ")";
  }
  if (static_cast<long long>(s.pulse_energy.size()) < s.num_datasets) {
    return "pulse_energy needs one value per curve";
  }
  if (static_cast<int>(s.populations.size()) < LEVELS) {
    return "populations needs " + std::to_string(LEVELS) + " values";
  }
  const int t_slices = slices_or_default(input, s.t_slices, ENERGY_DEFAULTS.t_slices);
  const int z_slices = slices_or_default(input, s.z_slices, ENERGY_DEFAULTS.z_slices);
  const int min_z = energy ? 1 : MIN_SLICES;
  if (t_slices < MIN_SLICES || t_slices > MAX_SLICES) {
    return "t_slices must lie in " + std::to_string(MIN_SLICES) + ".." +
           std::to_string(MAX_SLICES) + ", got " + std::to_string(s.t_slices);
  }
  if (z_slices < min_z || z_slices > MAX_SLICES) {
    return "z_slices must lie in " + std::to_string(min_z) + ".." + std::to_string(MAX_SLICES) +
           ", got " + std::to_string(s.z_slices);
  }
  if (energy && (input.radial_points < 0 || input.radial_points > MAX_RADIAL_POINTS)) {
    return "radial_points must lie in 0.." + std::to_string(MAX_RADIAL_POINTS) + ", got " +
           std::to_string(input.radial_points);
  }
  if (energy && (input.intensity_points < 0 || input.intensity_points == 1 ||
                 input.intensity_points > MAX_INTENSITY_POINTS)) {
    return "intensity_points must be 0 or lie in 2.." + std::to_string(MAX_INTENSITY_POINTS) +
           ", got " + std::to_string(input.intensity_points);
  }
  if (!all_finite(s.x_mm)) return "positions_mm must be finite numbers";
  for (int k = 0; k < s.num_datasets; ++k) {
    std::string problem = positive("pulse_energy", s.pulse_energy[k]);
    if (!problem.empty()) return problem;
  }
  for (int v = 0; v < LEVELS; ++v) {
    if (!std::isfinite(s.populations[v]) || s.populations[v] < 0.0) {
      return "populations must be finite and >= 0, got " + std::to_string(s.populations[v]) +
             " for level " + std::to_string(v + 1);
    }
  }
  if (!std::isfinite(s.sample_width) || s.sample_width < 0.0) {
    return "sample_width must be finite and >= 0, got " + std::to_string(s.sample_width);
  }
  for (const std::string& problem :
       {positive("tau", s.tau), positive("wavelength", s.wavelength), positive("w0", s.w0),
        positive("M2", s.M2)}) {
    if (!problem.empty()) return problem;
  }
  if (!input.aperture.empty()) {
    if (static_cast<long long>(input.aperture.size()) != s.num_datasets) {
      return "aperture needs one value per curve, got " + std::to_string(input.aperture.size()) +
             " for " + std::to_string(s.num_datasets) + " curves";
    }
    for (double a : input.aperture) {
      if (!(a > 0.0 && a <= 1.0)) {
        return "aperture (the linear transmittance S of the far-field aperture) must lie in "
               "(0, 1], got " + std::to_string(a);
      }
      if (a < 1.0 && !energy) return "closed-aperture curves need the energy model";
    }
  }
  if (energy && input.time_window != 0.0 &&
      !(input.time_window > 0.0 && input.time_window <= MAX_TIME_WINDOW)) {
    return "time_window must lie in (0, 40] (units of tau), got " +
           std::to_string(input.time_window);
  }
  return {};
}

std::string exact_parameter_error(const double* p) {
  for (int i = 0; i < CROSS_SECTIONS; ++i) {
    if (!std::isfinite(p[i]) || p[i] < 0.0) {
      return std::string("cross-section ") + PARAMETER_NAMES[i] +
             " must be finite and >= 0, got " + std::to_string(p[i]);
    }
  }
  for (int i = CROSS_SECTIONS; i < PARAMETER_COUNT; ++i) {
    if (!std::isfinite(p[i]) || p[i] <= 0.0) {
      return std::string("time constant ") + PARAMETER_NAMES[i] +
             " must be positive and finite, got " + std::to_string(p[i]);
    }
  }
  return {};
}

std::string exact_optics_error(const ExactProblem& problem, const double* optics) {
  for (int i = 0; i < OPTICAL_COUNT; ++i) {
    if (!std::isfinite(optics[i])) {
      return std::string(OPTICAL_NAMES[i]) + " must be a finite number, got " +
             std::to_string(optics[i]);
    }
  }
  if (optics[OPTICS_BETA] < 0.0) {
    return "beta must be >= 0, got " + std::to_string(optics[OPTICS_BETA]);
  }
  bool any = false;
  for (int i = 0; i < OPTICAL_COUNT; ++i) any = any || optics[i] != 0.0;
  if (any && problem.variant != ExactVariant::energy) {
    return "two-photon absorption and refraction need the energy model";
  }
  return {};
}

double ExactProblem::bytes_needed(const ExactInput& input) {
  const ProblemInput& s = input.measurement;
  const double points = static_cast<double>(s.num_x_pts) * s.num_datasets;
  if (input.variant == ExactVariant::established) {
    // Stage positions and focus rates, and the LSODA model's problem.
    ProblemInput model_only = s;
    model_only.y = {};
    return sizeof(double) * 2.0 * points + Problem::bytes_needed(model_only);
  }
  const double t = s.t_slices == 0 ? ENERGY_DEFAULTS.t_slices : s.t_slices;
  const double m =
      input.intensity_points == 0 ? ENERGY_DEFAULTS.intensity_points : input.intensity_points;
  // Stage positions, focus rates, peaks and beam radii; the weights of every
  // position and node; the time slices of the four grids (two values each);
  // the far-field kernels of the positions of closed curves.
  double closed = 0.0;
  for (double a : input.aperture) closed += a < 1.0 ? s.num_x_pts : 0.0;
  return sizeof(double) * (4.0 * points + points * m + 2.0 * (2.0 * t + 2.0 * 2.0 * t) +
                           closed * exact::MAX_FAR_NODES * (4.0 * m + 2.0));
}

ExactProblem::ExactProblem(const ExactInput& input) {
  const std::string error = exact_input_error(input);
  if (!error.empty()) throw ProblemError(error);
  const ProblemInput& s = input.measurement;
  // Refuse what cannot fit before filling anything big.
  const double needed = bytes_needed(input);
  const double available = available_memory();
  if (needed > available) {
    char wanted[32], limit[32], message[320];
    format_bytes(needed, wanted, sizeof wanted);
    format_bytes(available, limit, sizeof limit);
    std::snprintf(message, sizeof message,
                  "the exact model needs %s for the tables of %d points x %d time slices and "
                  "%d depth slices, more than the %s this process may use",
                  wanted, s.num_x_pts * s.num_datasets, s.t_slices, s.z_slices, limit);
    throw AllocationError(message);
  }
  try {
    build(input);
  } catch (const AllocationError&) {
    throw;
  } catch (const std::bad_alloc&) {
    char wanted[32], message[320];
    format_bytes(needed, wanted, sizeof wanted);
    std::snprintf(message, sizeof message,
                  "could not allocate %s for the exact model's tables of %d points x %d time "
                  "slices and %d depth slices",
                  wanted, s.num_x_pts * s.num_datasets, s.t_slices, s.z_slices);
    throw AllocationError(message);
  }
}

void ExactProblem::build(const ExactInput& input) {
  const ProblemInput& s = input.measurement;
  variant = input.variant;
  normalise = input.normalise;
  num_x_pts = s.num_x_pts;
  num_datasets = s.num_datasets;
  for (int v = 0; v < LEVELS; ++v) populations[v] = s.populations[v];
  const int n = points();
  stage_x_mm.assign(s.x_mm.begin(), s.x_mm.begin() + n);
  pulse_energy.assign(s.pulse_energy.begin(), s.pulse_energy.begin() + num_datasets);
  tau = s.tau;
  w0 = s.w0;
  z_r = rayleigh_range(s.w0, s.M2, s.wavelength);
  focus_rate.resize(static_cast<std::size_t>(n));

  if (variant == ExactVariant::established) {
    // The grids and incident table of the LSODA model.
    ProblemInput model_only = s;
    model_only.y = {};
    const Problem& base = established.emplace(model_only);
    t_slices = base.t_slices();
    z_slices = base.z_slices();
    optical_frequency = base.optical_frequency();
    dz = base.dz();
    dt.assign(1, base.dt());
    place(0.0);
    return;
  }

  t_slices = s.t_slices == 0 ? ENERGY_DEFAULTS.t_slices : s.t_slices;
  z_slices = s.z_slices == 0 ? ENERGY_DEFAULTS.z_slices : s.z_slices;
  radial_points = input.radial_points == 0 ? ENERGY_DEFAULTS.radial_points : input.radial_points;
  optical_frequency = SPEED_OF_LIGHT / s.wavelength;
  // Slices of thickness sample_width / z_slices (and their halves).
  const double window = input.time_window == 0.0 ? ENERGY_WINDOW : input.time_window;
  for (int g = 0; g < ENERGY_GRIDS; ++g) {
    EnergyGrid& grid = grids[g];
    grid.t_slices = g < 2 ? t_slices : 2 * t_slices;
    grid.z_slices = g % 2 == 0 ? z_slices : 2 * z_slices;
    grid.dz = s.sample_width / grid.z_slices;
    fill_time_slices(grid, window, s.tau);
  }
  wavenumber = 2.0 * MODEL_PI / (s.wavelength * 100.0);
  aperture.assign(static_cast<std::size_t>(num_datasets), 1.0);
  if (!input.aperture.empty()) aperture.assign(input.aperture.begin(), input.aperture.end());
  closed_index.assign(static_cast<std::size_t>(n), -1);
  closed_points = 0;
  far_nodes = 0;
  for (int k = 0; k < num_datasets; ++k) {
    if (aperture[k] >= 1.0) continue;
    far_nodes = std::max(far_nodes, exact::far_field_nodes(aperture[k]));
    for (int i = 0; i < num_x_pts; ++i) closed_index[k * num_x_pts + i] = closed_points++;
  }
  peak.resize(static_cast<std::size_t>(n));
  beam_radius.resize(static_cast<std::size_t>(n));
  radial_fraction.resize(static_cast<std::size_t>(radial_points));
  radial_weight.resize(static_cast<std::size_t>(radial_points));
  exact::radial_rule(radial_points, radial_fraction.data(), radial_weight.data());

  // The marched peak intensities span 0 .. the largest peak of any curve (at
  // the focus, whatever the positions), so the nodes do not depend on the
  // positions asked for, nor on the focus.
  intensity_points =
      input.intensity_points == 0 ? ENERGY_DEFAULTS.intensity_points : input.intensity_points;
  const int m = intensity_points;
  peak_max = 0.0;
  for (int k = 0; k < num_datasets; ++k) {
    const double w = tarvo::beam_radius(0.0, s.w0, z_r);
    peak_max = std::max(peak_max, 2.0 * s.pulse_energy[k] /
                                      (MODEL_PI * std::sqrt(MODEL_PI) * s.tau * (w * w) *
                                       CM2_PER_M2));
  }
  node_peak.resize(static_cast<std::size_t>(m));
  exact::peak_nodes(m, peak_max, node_peak.data());
  position_weights.resize(static_cast<std::size_t>(n) * m);
  weight_row.resize(static_cast<std::size_t>(m));
  const std::size_t kernel = static_cast<std::size_t>(closed_points) * far_nodes * m;
  kernel_re.resize(kernel);
  kernel_im.resize(kernel);
  kernel_x_re.resize(kernel);
  kernel_x_im.resize(kernel);
  far_weight.resize(static_cast<std::size_t>(closed_points) * far_nodes);
  far_weight_x.resize(static_cast<std::size_t>(closed_points) * far_nodes);
  place(0.0);
}

void ExactProblem::place(double focus) {
  focus_mm = focus;
  const int n = points();
  // I ~ 1 / w(z)^2 with w^2 = w0^2 (1 + (z / z_r)^2), and z = (x - z0) / 1000.
  for (int i = 0; i < n; ++i) {
    const double z = (stage_x_mm[i] - focus) * METRES_PER_MILLIMETRE;
    focus_rate[i] = METRES_PER_MILLIMETRE * (2.0 * z) / (z_r * z_r + z * z);
  }
  if (variant == ExactVariant::established) {
    established->place(stage_x_mm, focus);
    return;
  }
  // Peak on-axis intensity 2 E / (pi^(3/2) tau w^2) in W/cm^2: the pulse
  // exp(-(t/tau)^2) exp(-2 r^2 / w^2) then carries exactly E.
  for (int k = 0; k < num_datasets; ++k) {
    for (int i = 0; i < num_x_pts; ++i) {
      const int m = k * num_x_pts + i;
      const double w =
          tarvo::beam_radius((stage_x_mm[m] - focus) * METRES_PER_MILLIMETRE, w0, z_r);
      beam_radius[m] = w;
      peak[m] = 2.0 * pulse_energy[k] /
                (MODEL_PI * std::sqrt(MODEL_PI) * tau * (w * w) * CM2_PER_M2);
    }
  }
  // Position n: sum_r w_r T(peak_n v_r) / sum_r w_r, each T interpolated.
  const int m = intensity_points;
  std::fill(position_weights.begin(), position_weights.end(), 0.0);
  double weight_sum = 0.0;
  for (double w : radial_weight) weight_sum += w;
  for (int p = 0; p < n; ++p) {
    double* out = position_weights.data() + static_cast<std::size_t>(p) * m;
    for (int r = 0; r < radial_points; ++r) {
      exact::peak_weights(m, peak_max, std::min(peak[p] * radial_fraction[r], peak_max),
                          weight_row.data());
      for (int j = 0; j < m; ++j) out[j] += (radial_weight[r] / weight_sum) * weight_row[j];
    }
  }
  // The far-field kernels of the positions of closed curves.
  x_rate = -METRES_PER_MILLIMETRE / z_r;
  for (int p = 0; p < n; ++p) {
    const int c = closed_index[p];
    if (c < 0) continue;
    const double x = (stage_x_mm[p] - focus) * METRES_PER_MILLIMETRE / z_r;
    const std::size_t at = static_cast<std::size_t>(c) * far_nodes;
    exact::FarFieldKernel out{kernel_re.data() + at * m, kernel_im.data() + at * m,
                              kernel_x_re.data() + at * m, kernel_x_im.data() + at * m,
                              far_weight.data() + at, far_weight_x.data() + at};
    exact::far_field_kernel(aperture[p / num_x_pts], far_nodes, x, peak[p], peak_max, m, out,
                            weight_row.data());
  }
}

void ExactProblem::set_focus(double focus) {
  // Unchanged bits: nothing to do (a new focus refills the position tables).
  if (std::memcmp(&focus, &focus_mm, sizeof focus) == 0) return;
  place(focus);
}

void exact_incident_energy(const ExactProblem& problem, double* out) {
  // Energy = (pi w^2 / 2) sum_r (w_r / v_r) F_r, F_r the fluence at radial node
  // r (the beam area element is (pi w^2 / 2) dv / v, v the fluence fraction).
  for (int n = 0; n < problem.points(); ++n) {
    const double w = problem.beam_radius[n];
    const double area = 0.5 * MODEL_PI * (w * w) * CM2_PER_M2;
    double total = 0.0;
    for (int r = 0; r < problem.radial_points; ++r) {
      double fluence = 0.0;
      const double peak = problem.peak[n] * problem.radial_fraction[r];
      const EnergyGrid& grid = problem.grids[0];
      for (int j = 0; j < grid.t_slices; ++j) {
        fluence += peak * grid.time_profile[j] * grid.dt[j];
      }
      total += problem.radial_weight[r] / problem.radial_fraction[r] * fluence;
    }
    out[n] = area * total;
  }
}

}  // namespace tarvo
