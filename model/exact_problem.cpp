// Checks of the exact engine's input and the fixed data of one measurement.
#include <cmath>
#include <string>

#include "radial_quadrature.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/model.hpp"

namespace tarvo {
namespace {

// Square metres to square centimetres.
constexpr double CM2_PER_M2 = 1e4;
// Largest slice count accepted (far beyond any useful resolution).
constexpr int MAX_SLICES = 1000000;
// Largest half-width of the energy variant's time window (units of tau).
constexpr double MAX_TIME_WINDOW = 40.0;
// Names of the parameters, for the messages.
constexpr const char* PARAMETER_NAMES[PARAMETER_COUNT] = {
    "sigma_1", "sigma_2", "sigma_4", "tau_21", "tau_24", "tau_32", "tau_41", "tau_54"};
// The first CROSS_SECTIONS parameters are cross-sections, the rest time constants.
constexpr int CROSS_SECTIONS = 3;

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
  if (points > MAX_SLICES || static_cast<long long>(s.x_mm.size()) != points) {
    return "positions_mm must hold num_x_pts * num_datasets values (at most " +
           std::to_string(MAX_SLICES) + ")";
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

ExactProblem::ExactProblem(const ExactInput& input) {
  const std::string error = exact_input_error(input);
  if (!error.empty()) throw ProblemError(error);
  const ProblemInput& s = input.measurement;
  variant = input.variant;
  normalise = input.normalise;
  num_x_pts = s.num_x_pts;
  num_datasets = s.num_datasets;
  for (int v = 0; v < LEVELS; ++v) populations[v] = s.populations[v];
  const int n = points();
  const double z_r = rayleigh_range(s.w0, s.M2, s.wavelength);
  // I ~ 1 / w(z)^2 with w^2 = w0^2 (1 + (z / z_r)^2), and z = (x - z0) / 1000.
  focus_rate.resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double z = s.x_mm[i] * METRES_PER_MILLIMETRE;
    focus_rate[i] = METRES_PER_MILLIMETRE * (2.0 * z) / (z_r * z_r + z * z);
  }

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
    return;
  }

  t_slices = s.t_slices == 0 ? ENERGY_DEFAULTS.t_slices : s.t_slices;
  z_slices = s.z_slices == 0 ? ENERGY_DEFAULTS.z_slices : s.z_slices;
  radial_points = input.radial_points == 0 ? ENERGY_DEFAULTS.radial_points : input.radial_points;
  optical_frequency = SPEED_OF_LIGHT / s.wavelength;
  // Slices of thickness sample_width / z_slices.
  dz = s.sample_width / z_slices;
  // Equal time slices over [-window, +window] tau, each carrying its exact
  // share of the pulse: the slice average of exp(-(t/tau)^2). (Slices that
  // widen into the wings resolve the slow populations there worse: equal
  // slices are as accurate for the same count.)
  const double window = input.time_window == 0.0 ? ENERGY_WINDOW : input.time_window;
  dt.resize(static_cast<std::size_t>(t_slices));
  time_profile.resize(static_cast<std::size_t>(t_slices));
  const double width = 2.0 * window / t_slices;
  for (int j = 0; j < t_slices; ++j) {
    const double a = -window + j * width;
    const double b = j + 1 == t_slices ? window : -window + (j + 1) * width;
    dt[j] = (b - a) * s.tau;
    time_profile[j] = gaussian_integral(a, b) / (b - a);
  }
  // Peak on-axis intensity 2 E / (pi^(3/2) tau w^2) in W/cm^2: the pulse
  // exp(-(t/tau)^2) exp(-2 r^2 / w^2) then carries exactly E.
  peak.resize(static_cast<std::size_t>(n));
  beam_radius.resize(static_cast<std::size_t>(n));
  for (int k = 0; k < num_datasets; ++k) {
    for (int i = 0; i < num_x_pts; ++i) {
      const int m = k * num_x_pts + i;
      const double w = tarvo::beam_radius(s.x_mm[m] * METRES_PER_MILLIMETRE, s.w0, z_r);
      beam_radius[m] = w;
      peak[m] = 2.0 * s.pulse_energy[k] /
                (MODEL_PI * std::sqrt(MODEL_PI) * s.tau * (w * w) * CM2_PER_M2);
    }
  }
  radial_fraction.resize(static_cast<std::size_t>(radial_points));
  radial_weight.resize(static_cast<std::size_t>(radial_points));
  // Nodes u_r = 2 r^2 / w^2 of the radial rule, kept as the fluence fractions exp(-u_r).
  exact::gauss_laguerre(radial_points, radial_fraction.data(), radial_weight.data());
  for (double& u : radial_fraction) u = std::exp(-u);
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
      for (int j = 0; j < problem.t_slices; ++j) {
        fluence += peak * problem.time_profile[j] * problem.dt[j];
      }
      total += problem.radial_weight[r] / problem.radial_fraction[r] * fluence;
    }
    out[n] = area * total;
  }
}

}  // namespace tarvo
