// Chebyshev interpolation in the mapped peak intensity.
#include "peak_interpolation.hpp"

#include <cmath>

#include "tarvo/model.hpp"

namespace tarvo::exact {
namespace {

// Chebyshev point j of n of the first kind, mapped to [0, 1] (increasing).
double chebyshev_point(int j, int n) {
  return 0.5 * (1.0 - std::cos(MODEL_PI * (2.0 * j + 1.0) / (2.0 * n)));
}

// Barycentric weight of that point (up to a common factor).
double chebyshev_weight(int j, int n) {
  const double w = std::sin(MODEL_PI * (2.0 * j + 1.0) / (2.0 * n));
  return j % 2 == 0 ? w : -w;
}

}  // namespace

void peak_nodes(int n, double peak_max, double* nodes) {
  const double scale = peak_max / std::expm1(PEAK_MAP_RATE);
  for (int j = 0; j < n; ++j) nodes[j] = scale * std::expm1(PEAK_MAP_RATE * chebyshev_point(j, n));
}

void peak_weights(int n, double peak_max, double peak, double* row) {
  const double s =
      peak_max > 0.0 ? std::log1p((peak / peak_max) * std::expm1(PEAK_MAP_RATE)) / PEAK_MAP_RATE
                     : 0.0;
  double total = 0.0;
  for (int j = 0; j < n; ++j) {
    const double d = s - chebyshev_point(j, n);
    if (d == 0.0) {
      // On a node: its value.
      for (int k = 0; k < n; ++k) row[k] = k == j ? 1.0 : 0.0;
      return;
    }
    row[j] = chebyshev_weight(j, n) / d;
    total += row[j];
  }
  for (int j = 0; j < n; ++j) row[j] /= total;
}

}  // namespace tarvo::exact
