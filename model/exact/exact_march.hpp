// The exact steps and the marches of one scan position (and one radial node)
// through all time and depth slices, with the tangents of every derivative
// direction carried alongside.
#pragma once

#include <cstddef>

#include "matrix_exponential.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/model.hpp"

namespace tarvo::exact {

// The constants of one evaluation: the rate matrix split as R + phi S (+
// phi^2 B with two-photon absorption), and per derivative direction the
// direct derivative of R + phi S.
struct StepConstants {
  RateConstants rates;
  // Decay part R and cross-section part S of the rate matrix (row-major).
  double decay[MATRIX_ENTRIES] = {};
  double flux[MATRIX_ENTRIES] = {};
  // The directions that move the populations (the rate scheme's parameters,
  // the focus, beta) come first: `directions` of them; the refractive ones
  // (n2, eta_k) follow, `tangents` directions in all.
  int directions = 0;
  int tangents = 0;
  // Derivative index (0..8, OPTICS_FIRST + i) of each direction, and the
  // caller's position of it in its list of derivatives.
  int index[MAX_TANGENTS] = {};
  int slot[MAX_TANGENTS] = {};
  // Two-photon absorption: beta (cm/W) in the light's equation, and the
  // rate kappa phi^2 of 1 -> 2 per ground-state molecule that takes one
  // molecule per absorbed pair from an undepleted ground state (kappa =
  // beta / (2 N1(0) photon_factor)), and kappa per unit beta; `two_photon`
  // when beta acts or is differentiated (otherwise the march is the rate
  // scheme's, to the bit).
  bool two_photon = false;
  double beta = 0.0;
  double kappa = 0.0;
  double kappa_per_beta = 0.0;
  // Refraction: k n2 (1/W) and the refractive cross-sections of levels 2..5
  // (cm^2; index 0 for level 1 is 0).
  double kerr = 0.0;
  double wavenumber = 0.0;
  double eta[LEVELS] = {};
  // d R / d parameter and d S / d parameter of each direction.
  double decay_derivative[MAX_DIRECTIONS][MATRIX_ENTRIES] = {};
  double flux_derivative[MAX_DIRECTIONS][MATRIX_ENTRIES] = {};
  // Level whose population multiplies the direction's cross-section in the
  // attenuation coefficient (-1: none).
  int absorbing_level[MAX_DIRECTIONS] = {};
};

// Fill `constants` for parameter vector p and the derivative indices (the
// rate scheme's alone: optics null). With `optics` (OPTICAL_COUNT values),
// the ground population before the pulse and the wavenumber (1/cm) for the
// energy model's optics.
void set_step_constants(StepConstants& constants, const double* p, double optical_frequency,
                        const int* derivatives, int n_derivatives, const double* optics = nullptr,
                        double ground = 0.0, double wavenumber = 0.0);

// Work space of one march: populations (z_slices x 5) and their tangents
// (z_slices x 5 x directions); for the energy march also the attenuation
// coefficient of every slice at the start of the previous time slice and its
// tangents (z_slices x (1 + directions)).
struct MarchScratch {
  double* populations = nullptr;
  double* tangents = nullptr;
  double* previous_alpha = nullptr;
};

// Doubles of scratch one march needs.
inline size_t march_scratch_size(int z_slices, int directions) {
  return static_cast<size_t>(z_slices) * (LEVELS + 1) * (1 + directions);
}

// Time sums of one march (established: intensities; energy: fluences) and
// their tangents.
struct MarchSums {
  double exit = 0.0;
  double incident = 0.0;
  double exit_derivative[MAX_TANGENTS] = {};
  double incident_derivative[MAX_TANGENTS] = {};
  // True when the march stopped early on request (the sums are incomplete).
  bool stopped = false;
};

// Population steps between two looks at the caller's stop request inside a
// march (a few milliseconds of work): a march of a huge grid stops within
// about a poll interval of Ctrl-C instead of running to its end.
inline constexpr long STEPS_PER_STOP_CHECK = 4096;

// Advance populations n (5) and their tangents dn (directions x 5) over dt
// under photon flux phi with tangents dphi: n <- exp((R + phi S) dt) n. When
// `mean` is given it receives the populations averaged over the step (5) and
// `dmean` their tangents (directions x 5).
void population_step(const StepConstants& c, double phi, const double* dphi, double dt,
                     double* n, double* dn, double* mean = nullptr, double* dmean = nullptr);

// The established march of one position: incident[j * stride] is the on-axis
// incident intensity in time slice j, focus_rate its d ln / d z0. Looks at
// control (may be null) every STEPS_PER_STOP_CHECK steps and returns early
// (sums.stopped) when it says stop; so does the energy march.
MarchSums march_established(const StepConstants& c, const ExactProblem& problem,
                            const double* incident, int stride, double focus_rate,
                            MarchScratch scratch, FitControl* control);

// The energy march on `grid` of a pulse whose peak incident intensity is
// `peak`: fluence sums over the time window. With `field`, also the exit
// field relative to the incident one in every time slice j, (re, im) at
// field[j * 2 (1 + tangents)] and the tangents of each after it.
MarchSums march_energy(const StepConstants& c, const ExactProblem& problem,
                       const EnergyGrid& grid, double peak, double focus_rate,
                       MarchScratch scratch, FitControl* control, double* field = nullptr);

// Doubles of `field` a march on `grid` writes.
inline size_t field_size(const EnergyGrid& grid, int tangents) {
  return static_cast<size_t>(grid.t_slices) * 2 * (1 + tangents);
}

}  // namespace tarvo::exact
