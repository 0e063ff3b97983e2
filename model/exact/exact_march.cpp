// Exact population and attenuation steps and the two marches built on them.
#include "exact_march.hpp"

#include <cmath>

#include "tarvo/rate_scheme.hpp"

namespace tarvo::exact {
namespace {

constexpr int NN = MATRIX_ENTRIES;

// Row-major index of entry (row, column).
constexpr int at(int row, int column) { return row * LEVELS + column; }

// Attenuation coefficient of populations n: the cross-section of every
// absorbing transition of RATE_SCHEME times the population it starts from
// (levels 3 and 5 do not absorb), in the order of the LSODA right-hand side.
inline double attenuation(const RateConstants& r, const double* n) {
  return n[3] * r.sigma_4 + (n[1] * r.sigma_2 + n[0] * r.sigma_1);
}

// Tangent of the attenuation coefficient in direction p.
inline double attenuation_tangent(const StepConstants& c, int p, const double* n,
                                  const double* dn) {
  const int level = c.absorbing_level[p];
  return attenuation(c.rates, dn) + (level >= 0 ? n[level] : 0.0);
}

// Reset every slice to the initial populations and every tangent to zero.
// Count one more population step; true when the caller asks to stop
// (looked at every STEPS_PER_STOP_CHECK steps).
inline bool stop_requested(FitControl* control, long& since_check) {
  if (control == nullptr || ++since_check < STEPS_PER_STOP_CHECK) return false;
  since_check = 0;
  return control->should_stop();
}

void reset_slices(const ExactProblem& problem, int z_slices, int directions,
                  MarchScratch scratch) {
  for (int l = 0; l < z_slices; ++l) {
    for (int v = 0; v < LEVELS; ++v) scratch.populations[l * LEVELS + v] = problem.populations[v];
  }
  const int tangents = z_slices * LEVELS * directions;
  for (int e = 0; e < tangents; ++e) scratch.tangents[e] = 0.0;
}

// The rate of transition t under the constants r: its cross-section (times
// the flux, in the flux part) or the reciprocal of its time constant.
double transition_rate(const RateConstants& r, const Transition& t) {
  switch (t.parameter) {
    case 0: return r.sigma_1;
    case 1: return r.sigma_2;
    case 2: return r.sigma_4;
    case 3: return r.rate_21;
    case 4: return r.rate_24;
    case 5: return r.rate_32;
    case 6: return r.rate_41;
    default: return r.rate_54;
  }
}

}  // namespace

void set_step_constants(StepConstants& c, const double* p, double optical_frequency,
                        const int* derivatives, int n_derivatives) {
  c.rates = rate_constants(p, optical_frequency);
  const RateConstants& r = c.rates;
  for (int e = 0; e < NN; ++e) c.decay[e] = c.flux[e] = 0.0;
  // Column v holds what leaves level v+1 (negative, on the diagonal) and
  // where it goes: one entry pair per transition of the scheme.
  for (const Transition& t : RATE_SCHEME) {
    double* part = t.absorption ? c.flux : c.decay;
    const double rate = transition_rate(r, t);
    part[at(t.to, t.from)] += rate;
    part[at(t.from, t.from)] -= rate;
  }

  c.directions = n_derivatives;
  for (int d = 0; d < n_derivatives; ++d) {
    double* dr = c.decay_derivative[d];
    double* ds = c.flux_derivative[d];
    for (int e = 0; e < NN; ++e) dr[e] = ds[e] = 0.0;
    c.index[d] = derivatives[d];
    c.absorbing_level[d] = -1;
    // The focus shift acts only through the incident intensity.
    if (derivatives[d] < 0 || derivatives[d] >= PARAMETER_COUNT) continue;
    const Transition& t = transition_of(derivatives[d]);
    if (t.absorption) {
      // d (sigma phi) / d sigma = phi: the flux part of the transition alone.
      ds[at(t.from, t.from)] = -1.0;
      ds[at(t.to, t.from)] = 1.0;
      c.absorbing_level[d] = t.from;
    } else {
      // A rate k = 1/tau changes by -k^2 per unit of its time constant.
      const double k = transition_rate(r, t);
      dr[at(t.to, t.from)] = -(k * k);
      dr[at(t.from, t.from)] = k * k;
    }
  }
}

void population_step(const StepConstants& c, double phi, const double* dphi, double dt,
                     double* n, double* dn, double* mean, double* dmean) {
  double m[NN];
  for (int e = 0; e < NN; ++e) m[e] = (c.decay[e] + phi * c.flux[e]) * dt;
  const int directions = c.directions;
  StepAverage average{n, dn, mean, dmean};
  StepAverage* wanted = mean != nullptr ? &average : nullptr;
  if (directions == 0) {
    rate_matrix_step(m, nullptr, 0, n, dn, wanted);
    return;
  }
  double dm[MAX_DIRECTIONS * NN];
  for (int p = 0; p < directions; ++p) {
    for (int e = 0; e < NN; ++e) {
      dm[p * NN + e] =
          ((c.decay_derivative[p][e] + phi * c.flux_derivative[p][e]) + dphi[p] * c.flux[e]) * dt;
    }
  }
  // n <- X n and dn <- dX n + X dn (with the old n), in the kernel.
  rate_matrix_step(m, dm, directions, n, dn, wanted);
}

MarchSums march_established(const StepConstants& c, const ExactProblem& problem,
                            const double* incident, int stride, double focus_rate,
                            MarchScratch scratch, FitControl* control) {
  const int directions = c.directions;
  reset_slices(problem, problem.z_slices, directions, scratch);
  const double pf = c.rates.photon_factor;
  const double dt = problem.dt[0];
  const double dz = problem.dz;
  MarchSums sums;
  long since_check = 0;
  double di[MAX_DIRECTIONS], dphi[MAX_DIRECTIONS];
  for (int j = 0; j < problem.t_slices; ++j) {
    const double i0 = incident[j * stride];
    double intensity = i0;
    for (int p = 0; p < directions; ++p) di[p] = c.index[p] == FOCUS_SHIFT ? focus_rate * i0 : 0.0;
    for (int l = 0; l < problem.z_slices; ++l) {
      if (stop_requested(control, since_check)) {
        sums.stopped = true;
        return sums;
      }
      double* n = scratch.populations + l * LEVELS;
      double* dn = scratch.tangents + l * LEVELS * directions;
      // The populations respond to the light that reaches this slice ...
      for (int p = 0; p < directions; ++p) dphi[p] = pf * di[p];
      population_step(c, pf * intensity, dphi, dt, n, dn);
      // ... and the light is attenuated by the new populations.
      const double transmitted = std::exp(-(attenuation(c.rates, n) * dz));
      for (int p = 0; p < directions; ++p) {
        const double dalpha = attenuation_tangent(c, p, n, dn + p * LEVELS);
        di[p] = transmitted * (di[p] - intensity * (dz * dalpha));
      }
      intensity = intensity * transmitted;
    }
    sums.exit += intensity;
    for (int p = 0; p < directions; ++p) sums.exit_derivative[p] += di[p];
  }
  for (int j = 0; j < problem.t_slices; ++j) sums.incident += incident[j * stride];
  for (int p = 0; p < directions; ++p) {
    sums.incident_derivative[p] = c.index[p] == FOCUS_SHIFT ? focus_rate * sums.incident : 0.0;
  }
  return sums;
}

MarchSums march_energy(const StepConstants& c, const ExactProblem& problem,
                       const EnergyGrid& grid, double peak, double focus_rate,
                       MarchScratch scratch, FitControl* control) {
  const int directions = c.directions;
  const int stride = 1 + directions;
  reset_slices(problem, grid.z_slices, directions, scratch);
  const double pf = c.rates.photon_factor;
  const double dz = grid.dz;
  const double half_dz = 0.5 * dz;
  MarchSums sums;
  double di[MAX_DIRECTIONS], dphi[MAX_DIRECTIONS];
  double dalpha_start[MAX_DIRECTIONS], dalpha_middle[MAX_DIRECTIONS];
  long since_check = 0;
  for (int j = 0; j < grid.t_slices; ++j) {
    const double dt = grid.dt[j];
    // Weight of the last change of a slice's attenuation in the estimate of
    // its value in the middle of this time slice (none in the first).
    const double extrapolation = j == 0 ? 0.0 : 0.5 * (dt / grid.dt[j - 1]);
    const double i0 = peak * grid.time_profile[j];
    double intensity = i0;
    for (int p = 0; p < directions; ++p) di[p] = c.index[p] == FOCUS_SHIFT ? focus_rate * i0 : 0.0;
    for (int l = 0; l < grid.z_slices; ++l) {
      if (stop_requested(control, since_check)) {
        sums.stopped = true;
        return sums;
      }
      double* n = scratch.populations + l * LEVELS;
      double* dn = scratch.tangents + l * LEVELS * directions;
      double* previous = scratch.previous_alpha + l * stride;
      // The populations respond to the light in the middle of the slice,
      // attenuated over the first half by the slice's attenuation coefficient
      // in the middle of the time slice, extrapolated from its last change ...
      const double alpha_start = attenuation(c.rates, n);
      const double alpha_middle =
          j == 0 ? alpha_start : alpha_start + extrapolation * (alpha_start - previous[0]);
      previous[0] = alpha_start;
      for (int p = 0; p < directions; ++p) {
        dalpha_start[p] = attenuation_tangent(c, p, n, dn + p * LEVELS);
        dalpha_middle[p] = j == 0 ? dalpha_start[p]
                                  : dalpha_start[p] +
                                        extrapolation * (dalpha_start[p] - previous[1 + p]);
        previous[1 + p] = dalpha_start[p];
      }
      const double to_middle = std::exp(-(alpha_middle * half_dz));
      const double middle = intensity * to_middle;
      for (int p = 0; p < directions; ++p) {
        dphi[p] = pf * (to_middle * (di[p] - intensity * (half_dz * dalpha_middle[p])));
      }
      double mean[LEVELS], dmean[MAX_DIRECTIONS * LEVELS];
      population_step(c, pf * middle, dphi, dt, n, dn, mean, dmean);
      // ... and the light crosses the slice with the attenuation coefficient
      // of the populations averaged over the time slice.
      const double alpha = attenuation(c.rates, mean);
      const double transmitted = std::exp(-(alpha * dz));
      for (int p = 0; p < directions; ++p) {
        const double dalpha = attenuation_tangent(c, p, mean, dmean + p * LEVELS);
        di[p] = transmitted * (di[p] - intensity * (dz * dalpha));
      }
      intensity = intensity * transmitted;
    }
    sums.exit += intensity * dt;
    sums.incident += i0 * dt;
    for (int p = 0; p < directions; ++p) {
      sums.exit_derivative[p] += di[p] * dt;
      if (c.index[p] == FOCUS_SHIFT) sums.incident_derivative[p] += focus_rate * i0 * dt;
    }
  }
  return sums;
}

}  // namespace tarvo::exact

namespace tarvo {

void exact_population_step(const double* p, double optical_frequency, const double* populations,
                           double intensity, double dt, double* out) {
  exact::StepConstants constants;
  exact::set_step_constants(constants, p, optical_frequency, nullptr, 0);
  for (int v = 0; v < LEVELS; ++v) out[v] = populations[v];
  exact::population_step(constants, constants.rates.photon_factor * intensity, nullptr, dt, out,
                         nullptr);
}

}  // namespace tarvo
