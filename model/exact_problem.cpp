// Checks of the exact engine's input and the fixed data of one measurement.
#include <cmath>
#include <string>

#include "exact_model.hpp"
#include "radial_quadrature.hpp"
#include "zscan_model.hpp"

namespace tarvo::exact {
namespace {

// Millimetres to metres.
constexpr double METRES_PER_MILLIMETRE = 0.001;
// Square metres to square centimetres.
constexpr double CM2_PER_M2 = 1e4;
// Largest slice count accepted (far beyond any useful resolution).
constexpr int MAX_SLICES = 1000000;
// Points per curve the baseline needs.
constexpr int BASELINE_POINTS = 5;

bool all_finite(const double* values, int n) {
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(values[i])) return false;
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


}  // namespace

std::string check_setup(const ExactSetup& s) {
  const bool energy = s.variant == Variant::energy;
  const int min_points = s.normalise ? BASELINE_POINTS : 1;
  if (s.num_x_pts < min_points) {
    return "each curve needs at least " + std::to_string(min_points) + " positions, got " +
           std::to_string(s.num_x_pts);
  }
  if (s.num_datasets < 1) return "need at least one curve (one pulse energy)";
  const int t_slices = energy && s.t_slices == 0 ? ENERGY_DEFAULTS.t_slices : s.t_slices;
  const int z_slices = energy && s.z_slices == 0 ? ENERGY_DEFAULTS.z_slices : s.z_slices;
  const int min_z = energy ? 1 : 2;
  if (t_slices < 2 || t_slices > MAX_SLICES) {
    return "t_slices must lie in 2.." + std::to_string(MAX_SLICES) + ", got " +
           std::to_string(s.t_slices);
  }
  if (z_slices < min_z || z_slices > MAX_SLICES) {
    return "z_slices must lie in " + std::to_string(min_z) + ".." + std::to_string(MAX_SLICES) +
           ", got " + std::to_string(s.z_slices);
  }
  if (energy && (s.radial_points < 0 || s.radial_points > MAX_RADIAL_POINTS)) {
    return "radial_points must lie in 0.." + std::to_string(MAX_RADIAL_POINTS) + ", got " +
           std::to_string(s.radial_points);
  }
  const int n = s.num_x_pts * s.num_datasets;
  if (!all_finite(s.positions_mm, n)) return "positions_mm must be finite numbers";
  for (int k = 0; k < s.num_datasets; ++k) {
    std::string problem = positive("pulse_energy", s.pulse_energy[k]);
    if (!problem.empty()) return problem;
  }
  for (int v = 0; v < 5; ++v) {
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
  if (energy && s.time_window != 0.0 && !(s.time_window > 0.0 && s.time_window <= 40.0)) {
    return "time_window must lie in (0, 40] (units of tau), got " + std::to_string(s.time_window);
  }
  return {};
}

std::string check_parameters(const double* p) {
  static const char* const names[8] = {"sigma_1", "sigma_2", "sigma_4", "tau_21",
                                       "tau_24",  "tau_32",  "tau_41",  "tau_54"};
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(p[i]) || p[i] < 0.0) {
      return std::string("cross-section ") + names[i] + " must be finite and >= 0, got " +
             std::to_string(p[i]);
    }
  }
  for (int i = 3; i < 8; ++i) {
    if (!std::isfinite(p[i]) || p[i] <= 0.0) {
      return std::string("time constant ") + names[i] + " must be positive and finite, got " +
             std::to_string(p[i]);
    }
  }
  return {};
}

void build_problem(ExactProblem& problem, const ExactSetup& s) {
  const bool energy = s.variant == Variant::energy;
  problem.variant = s.variant;
  problem.normalise = s.normalise;
  problem.num_x_pts = s.num_x_pts;
  problem.num_datasets = s.num_datasets;
  problem.t_slices = energy && s.t_slices == 0 ? ENERGY_DEFAULTS.t_slices : s.t_slices;
  problem.z_slices = energy && s.z_slices == 0 ? ENERGY_DEFAULTS.z_slices : s.z_slices;
  problem.radial_points =
      !energy ? 1 : (s.radial_points == 0 ? ENERGY_DEFAULTS.radial_points : s.radial_points);
  for (int v = 0; v < 5; ++v) problem.populations[v] = s.populations[v];
  problem.optical_frequency = SPEED_OF_LIGHT / s.wavelength;

  const int n = s.num_x_pts * s.num_datasets;
  std::vector<double> positions(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) positions[i] = s.positions_mm[i] * METRES_PER_MILLIMETRE;
  const double z_r = rayleigh_range(s.w0, s.M2, s.wavelength);
  // I ~ 1 / w(z)^2 with w^2 = w0^2 (1 + (z / z_r)^2), and z = (x - z0) / 1000.
  problem.focus_rate.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double z = positions[i];
    problem.focus_rate[i] = METRES_PER_MILLIMETRE * (2.0 * z) / (z_r * z_r + z * z);
  }

  if (!energy) {
    // The grids and table of the LSODA model.
    std::vector<double> z_grid(static_cast<size_t>(problem.z_slices));
    std::vector<double> t_grid(static_cast<size_t>(problem.t_slices));
    linspace(z_grid.data(), 0.0, s.sample_width, problem.z_slices);
    linspace(t_grid.data(), -0.5 * s.tau, 0.5 * s.tau, problem.t_slices);
    problem.dz = z_grid[1];
    problem.dt.assign(1, t_grid[1] - t_grid[0]);
    problem.incident.resize(static_cast<size_t>(n) * problem.t_slices);
    fill_incident_table(problem.incident.data(), positions.data(), t_grid.data(),
                        problem.t_slices, s.pulse_energy, s.tau, s.w0, z_r, s.num_x_pts,
                        s.num_datasets);
    problem.radial_fraction.assign(1, 1.0);
    problem.radial_weight.assign(1, 1.0);
    return;
  }

  // Slices of thickness sample_width / z_slices.
  problem.dz = s.sample_width / problem.z_slices;
  // Equal time slices over [-window, +window] tau, each carrying its exact
  // share of the pulse: the slice average of exp(-(t/tau)^2). (Slices that
  // widen into the wings resolve the slow populations there worse: equal
  // slices are as accurate for the same count.)
  const double window = s.time_window == 0.0 ? ENERGY_WINDOW : s.time_window;
  const int nt = problem.t_slices;
  problem.dt.resize(static_cast<size_t>(nt));
  problem.time_profile.resize(static_cast<size_t>(nt));
  const double width = 2.0 * window / nt;
  for (int j = 0; j < nt; ++j) {
    const double a = -window + j * width;
    const double b = j + 1 == nt ? window : -window + (j + 1) * width;
    problem.dt[j] = (b - a) * s.tau;
    problem.time_profile[j] = gaussian_integral(a, b) / (b - a);
  }
  // Peak on-axis intensity 2 E / (pi^(3/2) tau w^2) in W/cm^2: the pulse
  // exp(-(t/tau)^2) exp(-2 r^2 / w^2) then carries exactly E.
  const double pi = MODEL_PI;
  problem.incident.resize(static_cast<size_t>(n));
  for (int k = 0; k < s.num_datasets; ++k) {
    for (int i = 0; i < s.num_x_pts; ++i) {
      const double zr = positions[k * s.num_x_pts + i] / z_r;
      const double w2 = s.w0 * s.w0 * (zr * zr + 1.0);
      problem.incident[k * s.num_x_pts + i] =
          2.0 * s.pulse_energy[k] / (pi * std::sqrt(pi) * s.tau * w2 * CM2_PER_M2);
    }
  }
  problem.radial_fraction.resize(static_cast<size_t>(problem.radial_points));
  problem.radial_weight.resize(static_cast<size_t>(problem.radial_points));
  // Nodes u_r = 2 r^2 / w^2 of the radial rule, kept as the fluence fractions exp(-u_r).
  gauss_laguerre(problem.radial_points, problem.radial_fraction.data(),
                 problem.radial_weight.data());
  for (double& u : problem.radial_fraction) u = std::exp(-u);
}

}  // namespace tarvo::exact
