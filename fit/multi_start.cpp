// The multi-start procedure that both extension modules run: where to
// centre, the starting rows, the run of every start and the choice of the
// best one.
#include <cmath>
#include <cstring>
#include <vector>

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

FitStatus run_multi_start(const Problem& problem, std::span<const int> fitted,
                          const StartTables& tables, const FitOptions& options,
                          std::size_t& best) {
  const std::size_t starts = tables.summaries.size();
  const std::size_t points = problem.points();
  std::vector<StartJob> jobs(starts);
  for (std::size_t k = 0; k < starts; ++k) {
    jobs[k] = StartJob{std::span<double>(tables.spec_rows + k * tables.row_length,
                                         tables.row_length),
                       fitted, std::span<double>(tables.residual_rows + k * points, points),
                       tables.errors + k};
  }
  const FitStatus status = run_starts(problem, jobs, tables.summaries, options);
  if (status == FitStatus::ok) {
    best = best_start(std::span<const double>(tables.errors, starts));
  }
  return status;
}

}  // namespace tarvo
