// One start's least-squares fit: MINPACK's Levenberg-Marquardt LMDIF1 with a
// forward-difference Jacobian on the weighted residuals, then an unweighted
// final pass at the fitted vector.
#pragma once

#include <cstddef>
#include <vector>

#include "tarvo/fit.hpp"

namespace tarvo::internal {

// The work arrays of one start, allocated before any start runs so that a
// running fit never allocates.
struct StartWorkspace {
  // Throws std::bad_alloc.
  StartWorkspace(const Problem& problem, const StartJob& job);

  // Length of LMDIF1's double work array for m points and n fitted entries.
  static std::size_t work_length(std::size_t m, std::size_t n);
  // Bytes a start's work arrays take.
  static double bytes_needed(const Problem& problem, const StartJob& job);
  // The fitted entries, as LMDIF1 varies them.
  std::vector<double> x;
  // LMDIF1's integer and double work arrays.
  std::vector<int> iwork;
  std::vector<double> work;
  // Model values of all curves at the last evaluation.
  std::vector<double> model_values;
};

// Fit `job` on `problem`; never throws. Polls `control` between residual
// evaluations and scan positions; model evaluations use `models`.
void fit_start(const Problem& problem, const StartJob& job, StartWorkspace& workspace,
               ModelWorkspace& models, FitControl& control, Propagator propagator,
               StartSummary& summary) noexcept;

}  // namespace tarvo::internal
