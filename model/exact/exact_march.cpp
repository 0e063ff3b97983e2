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
                        const int* derivatives, int n_derivatives, const double* optics,
                        double ground, double wavenumber) {
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

  // The populations' directions first, the refractive ones after them.
  c.directions = 0;
  for (int d = 0; d < n_derivatives; ++d) {
    const int index = derivatives[d];
    if (index < OPTICS_FIRST + OPTICS_N2) {
      c.slot[c.directions] = d;
      c.index[c.directions++] = index;
    }
  }
  c.tangents = c.directions;
  for (int d = 0; d < n_derivatives; ++d) {
    const int index = derivatives[d];
    if (index >= OPTICS_FIRST + OPTICS_N2) {
      c.slot[c.tangents] = d;
      c.index[c.tangents++] = index;
    }
  }
  for (int d = 0; d < c.directions; ++d) {
    double* dr = c.decay_derivative[d];
    double* ds = c.flux_derivative[d];
    for (int e = 0; e < NN; ++e) dr[e] = ds[e] = 0.0;
    c.absorbing_level[d] = -1;
    // The focus shift acts only through the incident intensity, beta through
    // the two-photon terms.
    if (c.index[d] < 0 || c.index[d] >= PARAMETER_COUNT) continue;
    const Transition& t = transition_of(c.index[d]);
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

  c.two_photon = false;
  c.beta = c.kappa = c.kappa_per_beta = 0.0;
  c.kerr = 0.0;
  c.wavenumber = wavenumber;
  for (int v = 0; v < LEVELS; ++v) c.eta[v] = 0.0;
  // No optics: all 0 (their derivatives may still be asked for).
  static constexpr double none[OPTICAL_COUNT] = {};
  if (optics == nullptr) optics = none;
  bool beta_wanted = false;
  for (int d = 0; d < c.directions; ++d) beta_wanted = beta_wanted || c.index[d] == OPTICS_FIRST;
  c.two_photon = optics[OPTICS_BETA] != 0.0 || beta_wanted;
  c.beta = optics[OPTICS_BETA];
  if (c.two_photon && ground > 0.0) {
    c.kappa_per_beta = 1.0 / (2.0 * ground * r.photon_factor);
    c.kappa = optics[OPTICS_BETA] * c.kappa_per_beta;
  }
  c.kerr = wavenumber * optics[OPTICS_N2];
  for (int v = 1; v < LEVELS; ++v) c.eta[v] = optics[OPTICS_REFRACTION + v - 1];
}

void population_step(const StepConstants& c, double phi, const double* dphi, double dt,
                     double* n, double* dn, double* mean, double* dmean) {
  double m[NN];
  for (int e = 0; e < NN; ++e) m[e] = (c.decay[e] + phi * c.flux[e]) * dt;
  // Two-photon absorption: 1 -> 2 at kappa phi^2 per ground-state molecule.
  const double pair_rate = c.two_photon ? c.kappa * (phi * phi) : 0.0;
  if (c.two_photon) {
    m[at(0, 0)] -= pair_rate * dt;
    m[at(1, 0)] += pair_rate * dt;
  }
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
    if (c.two_photon) {
      double d_rate = c.kappa * (2.0 * phi * dphi[p]);
      if (c.index[p] == OPTICS_FIRST + OPTICS_BETA) d_rate += c.kappa_per_beta * (phi * phi);
      dm[p * NN + at(0, 0)] -= d_rate * dt;
      dm[p * NN + at(1, 0)] += d_rate * dt;
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

namespace {

// The rate scheme's energy march (no two-photon absorption, no field).
MarchSums march_energy_rates(const StepConstants& c, const ExactProblem& problem,
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

// Length over which a slice of thickness dz with attenuation coefficient
// alpha absorbs, (1 - exp(-alpha dz)) / alpha, and its derivative by alpha.
struct EffectiveLength {
  double value;
  double by_alpha;
};
EffectiveLength effective_length(double alpha, double dz, double transmitted) {
  const double a = alpha * dz;
  if (std::fabs(a) < 1e-3) {
    // Series: no cancellation.
    return {dz * (1.0 - a * (0.5 - a * (1.0 / 6.0 - a / 24.0))),
            -(dz * dz) * (0.5 - a * (1.0 / 3.0 - a / 8.0))};
  }
  const double value = -std::expm1(-a) / alpha;
  return {value, -(value - dz * transmitted) / alpha};
}

// log1p(x) / x and its derivative (1 and -1/2 at x = 0).
void log_ratio(double x, double& g, double& dg) {
  if (std::fabs(x) < 1e-4) {
    g = 1.0 - x * (0.5 - x * (1.0 / 3.0 - x * 0.25));
    dg = -0.5 + x * (2.0 / 3.0 - x * 0.75);
    return;
  }
  g = std::log1p(x) / x;
  dg = (x / (1.0 + x) - std::log1p(x)) / (x * x);
}

// Light crossing a slice of thickness dz with attenuation coefficient alpha
// and two-photon coefficient b (the populations held): dI/dz = -alpha I - b I^2,
// so I_out = I exp(-alpha dz) / (1 + b I L) with L the effective length, and
// the path integral of I over the slice, I L log1p(x) / x with x = b I L.
// Tangents: dI, dalpha and db in, dout and dpath out.
struct SliceCrossing {
  double out;
  double path;
};
SliceCrossing cross_slice(double intensity, double alpha, double b, double dz, int directions,
                          const double* di, const double* dalpha, const double* db, double* dout,
                          double* dpath) {
  const double transmitted = std::exp(-(alpha * dz));
  const EffectiveLength length = effective_length(alpha, dz, transmitted);
  const double x = b * intensity * length.value;
  const double out = intensity * transmitted / (1.0 + x);
  double g, dg;
  log_ratio(x, g, dg);
  const double path = intensity * length.value * g;
  for (int p = 0; p < directions; ++p) {
    const double dl = length.by_alpha * dalpha[p];
    const double dx = (db[p] * intensity + b * di[p]) * length.value + b * intensity * dl;
    dout[p] = (transmitted * (di[p] - intensity * (dz * dalpha[p])) - out * dx) / (1.0 + x);
    if (dpath != nullptr) {
      dpath[p] = (di[p] * length.value + intensity * dl) * g + intensity * length.value * dg * dx;
    }
  }
  return {out, path};
}

// The energy march with two-photon absorption or the exit field: the rate
// scheme's march (the same operations for the light when beta is 0 and not
// differentiated), the intensity through each slice by cross_slice, and the
// phase each slice adds, k n2 (path integral of I) + dz sum_k eta_k N_k with
// the populations averaged over the time slice.
MarchSums march_energy_optics(const StepConstants& c, const ExactProblem& problem,
                              const EnergyGrid& grid, double peak, double focus_rate,
                              MarchScratch scratch, FitControl* control, double* field) {
  const int directions = c.directions;
  const int tangents = c.tangents;
  const int stride = 1 + directions;
  reset_slices(problem, grid.z_slices, directions, scratch);
  const double pf = c.rates.photon_factor;
  const double dz = grid.dz;
  const double half_dz = 0.5 * dz;
  MarchSums sums;
  double di[MAX_TANGENTS], dphi[MAX_DIRECTIONS], dout[MAX_DIRECTIONS], dpath[MAX_DIRECTIONS];
  double dalpha_start[MAX_DIRECTIONS], dalpha_middle[MAX_DIRECTIONS], dalpha[MAX_DIRECTIONS];
  double db[MAX_DIRECTIONS];
  double phase, dphase[MAX_TANGENTS];
  long since_check = 0;
  for (int j = 0; j < grid.t_slices; ++j) {
    const double dt = grid.dt[j];
    const double extrapolation = j == 0 ? 0.0 : 0.5 * (dt / grid.dt[j - 1]);
    const double i0 = peak * grid.time_profile[j];
    double intensity = i0;
    for (int p = 0; p < directions; ++p) di[p] = c.index[p] == FOCUS_SHIFT ? focus_rate * i0 : 0.0;
    phase = 0.0;
    for (int p = 0; p < tangents; ++p) dphase[p] = 0.0;
    for (int l = 0; l < grid.z_slices; ++l) {
      if (stop_requested(control, since_check)) {
        sums.stopped = true;
        return sums;
      }
      double* n = scratch.populations + l * LEVELS;
      double* dn = scratch.tangents + l * LEVELS * directions;
      double* previous = scratch.previous_alpha + l * stride;
      // The attenuation in the middle of the time slice, extrapolated from
      // its last change, as in the rate scheme's march.
      const double alpha_start = attenuation(c.rates, n);
      const double alpha_middle =
          j == 0 ? alpha_start : alpha_start + extrapolation * (alpha_start - previous[0]);
      previous[0] = alpha_start;
      for (int p = 0; p < directions; ++p) {
        const double* dnp = dn + p * LEVELS;
        dalpha_start[p] = attenuation_tangent(c, p, n, dnp);
        dalpha_middle[p] = j == 0 ? dalpha_start[p]
                                  : dalpha_start[p] +
                                        extrapolation * (dalpha_start[p] - previous[1 + p]);
        previous[1 + p] = dalpha_start[p];
      }
      // The populations respond to the light in the middle of the slice.
      double middle;
      if (c.two_photon) {
        for (int p = 0; p < directions; ++p) {
          db[p] = c.index[p] == OPTICS_FIRST + OPTICS_BETA ? 1.0 : 0.0;
        }
        middle = cross_slice(intensity, alpha_middle, c.beta, half_dz, directions, di,
                             dalpha_middle, db, dout, nullptr)
                     .out;
        for (int p = 0; p < directions; ++p) dphi[p] = pf * dout[p];
      } else {
        const double to_middle = std::exp(-(alpha_middle * half_dz));
        middle = intensity * to_middle;
        for (int p = 0; p < directions; ++p) {
          dphi[p] = pf * (to_middle * (di[p] - intensity * (half_dz * dalpha_middle[p])));
        }
      }
      double mean[LEVELS], dmean[MAX_DIRECTIONS * LEVELS];
      population_step(c, pf * middle, dphi, dt, n, dn, mean, dmean);
      // The light crosses the slice with the populations averaged over the
      // time slice.
      const double alpha = attenuation(c.rates, mean);
      for (int p = 0; p < directions; ++p) {
        dalpha[p] = attenuation_tangent(c, p, mean, dmean + p * LEVELS);
      }
      double path = 0.0;
      if (c.two_photon) {
        const SliceCrossing crossing = cross_slice(intensity, alpha, c.beta, dz, directions, di,
                                                   dalpha, db, dout, field ? dpath : nullptr);
        for (int p = 0; p < directions; ++p) di[p] = dout[p];
        intensity = crossing.out;
        path = crossing.path;
      } else {
        const double transmitted = std::exp(-(alpha * dz));
        if (field != nullptr) {
          const EffectiveLength length = effective_length(alpha, dz, transmitted);
          path = intensity * length.value;
          for (int p = 0; p < directions; ++p) {
            dpath[p] = di[p] * length.value + intensity * (length.by_alpha * dalpha[p]);
          }
        }
        for (int p = 0; p < directions; ++p) {
          di[p] = transmitted * (di[p] - intensity * (dz * dalpha[p]));
        }
        intensity = intensity * transmitted;
      }
      if (field != nullptr) {
        // The phase this slice adds.
        double refraction = 0.0;
        for (int v = 1; v < LEVELS; ++v) refraction += c.eta[v] * mean[v];
        phase += c.kerr * path + dz * refraction;
        for (int p = 0; p < tangents; ++p) {
          const int index = c.index[p];
          double d = 0.0;
          if (p < directions) {
            d = c.kerr * dpath[p];
            for (int v = 1; v < LEVELS; ++v) d += dz * (c.eta[v] * dmean[p * LEVELS + v]);
          } else if (index == OPTICS_FIRST + OPTICS_N2) {
            d = c.wavenumber * path;
          } else {
            d = dz * mean[1 + index - (OPTICS_FIRST + OPTICS_REFRACTION)];
          }
          dphase[p] += d;
        }
      }
    }
    sums.exit += intensity * dt;
    sums.incident += i0 * dt;
    for (int p = 0; p < directions; ++p) {
      sums.exit_derivative[p] += di[p] * dt;
      if (c.index[p] == FOCUS_SHIFT) sums.incident_derivative[p] += focus_rate * i0 * dt;
    }
    if (field != nullptr) {
      // The exit field relative to the incident: amplitude sqrt(I / I0), phase.
      double* out = field + static_cast<size_t>(j) * 2 * (1 + tangents);
      const double amplitude = intensity > 0.0 ? std::sqrt(intensity / i0) : 0.0;
      const double cosine = std::cos(phase), sine = std::sin(phase);
      out[0] = amplitude * cosine;
      out[1] = amplitude * sine;
      for (int p = 0; p < tangents; ++p) {
        double da = 0.0;
        if (p < directions && intensity > 0.0) {
          const double di0 = c.index[p] == FOCUS_SHIFT ? focus_rate * i0 : 0.0;
          da = 0.5 * amplitude * (di[p] / intensity - di0 / i0);
        }
        out[2 * (1 + p)] = da * cosine - amplitude * sine * dphase[p];
        out[2 * (1 + p) + 1] = da * sine + amplitude * cosine * dphase[p];
      }
    }
  }
  return sums;
}

}  // namespace

MarchSums march_energy(const StepConstants& c, const ExactProblem& problem,
                       const EnergyGrid& grid, double peak, double focus_rate,
                       MarchScratch scratch, FitControl* control, double* field) {
  if (!c.two_photon && field == nullptr) {
    return march_energy_rates(c, problem, grid, peak, focus_rate, scratch, control);
  }
  return march_energy_optics(c, problem, grid, peak, focus_rate, scratch, control, field);
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
