// The numbers and small formulas that the native core, the two extension
// modules, the Python toolkit and the tests share. The toolkit and the tests
// read them from tarvo._native, which exports this header's values.
#pragma once

#include <algorithm>
#include <cmath>

namespace tarvo {

// Entries of the parameter vector spec_pars: three cross-sections, then five
// time constants.
inline constexpr int PARAMETER_COUNT = 8;

// Levels of the model, hence initial populations read.
inline constexpr int LEVELS = 5;

// Smallest number of points per curve: each curve is shifted by the mean of
// its first five and its last five points.
inline constexpr int MIN_POINTS_PER_CURVE = 5;

// Smallest number of time slices and of depth slices: each grid needs a step.
inline constexpr int MIN_SLICES = 2;

// Largest number of positions (all curves together) and of time or depth
// slices the exact engine accepts: far beyond any useful resolution, and
// within its 32-bit counts.
inline constexpr int MAX_POINTS = 1000000;
inline constexpr int MAX_SLICES = 1000000;

// Starts of a multi-start fit unless the caller says otherwise.
inline constexpr int N_STARTS_DEFAULT = 3;

// The start factors spread from 10^-OFFSET to 10^(SPAN - OFFSET) in decades.
inline constexpr double START_EXPONENT_SPAN = 1.04;
inline constexpr double START_EXPONENT_OFFSET = 0.52;

// Scan positions arrive in millimetres; the model and the weights use metres.
inline constexpr double METRES_PER_MILLIMETRE = 0.001;

// Factor by which start k of n_starts scales the fitted entries of the
// starting vector: 10^((k * 1.04) / max(n_starts - 1, 1) - 0.52), so about
// 0.302, 1.0 and 3.311 for three starts (a single start uses 10^-0.52).
inline double start_multiplier(int k, int n_starts) {
  const double divisor = static_cast<double>(std::max(n_starts - 1, 1));
  const double exponent =
      (static_cast<double>(k) * START_EXPONENT_SPAN) / divisor - START_EXPONENT_OFFSET;
  return std::pow(10.0, exponent);
}

// Weight of a point at centred scan position s (metres) in the sum of
// squares: 1 + 4 exp(-4 s^2), 5 at the focus, tending to 1 far from it.
inline double point_weight(double s) { return 1.0 + 4.0 * std::exp(-(4.0 * (s * s))); }

}  // namespace tarvo
