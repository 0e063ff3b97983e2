// The pieces of the multi-start procedure that both extension modules use:
// where to centre, the starting rows, and the choice of the best start.
#include <cmath>
#include <cstring>

#include "tarvo/constants.hpp"
#include "tarvo/fit.hpp"

namespace tarvo {

std::ptrdiff_t extreme_index(std::span<const double> values, bool largest) {
  if (values.empty()) return -1;
  std::ptrdiff_t best = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    if (std::isnan(v)) return static_cast<std::ptrdiff_t>(i);
    const double current = values[static_cast<std::size_t>(best)];
    if (largest ? v > current : v < current) best = static_cast<std::ptrdiff_t>(i);
  }
  return best;
}

void fill_start_rows(std::span<const double> spec_pars, std::span<const int> fitted, int n_starts,
                     double* rows) {
  const std::size_t length = spec_pars.size();
  for (int k = 0; k < n_starts; ++k) {
    double* row = rows + static_cast<std::size_t>(k) * length;
    if (length > 0) std::memcpy(row, spec_pars.data(), sizeof(double) * length);
    const double multiplier = start_multiplier(k, n_starts);
    for (int index : fitted) row[index] = multiplier * spec_pars[static_cast<std::size_t>(index)];
  }
}

std::size_t best_start(std::span<const double> errors) {
  std::size_t best = 0;
  for (std::size_t k = 1; k < errors.size(); ++k) {
    if (errors[k] < errors[best]) best = k;
  }
  return best;
}

}  // namespace tarvo
