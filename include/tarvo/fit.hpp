// The native fit: every start of a multi-start fit of one Problem, each a
// complete least-squares fit (MINPACK's LMDIF1) of the chosen entries of its
// own parameter row, and the pieces of the multi-start procedure that the
// two extension modules share.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "tarvo/control.hpp"
#include "tarvo/diagnostics.hpp"
#include "tarvo/export.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"

namespace tarvo {

// One start: its parameter row, the entries it fits and where its results go.
struct StartJob {
  // In: the starting vector (at least PARAMETER_COUNT values). Out: the
  // fitted vector; entries that are not fitted stay as they were.
  std::span<double> spec_pars;
  // 0-based indices (below PARAMETER_COUNT) of the fitted entries; an index
  // named twice takes its later trial value.
  std::span<const int> fitted;
  // Out: y - model at the fitted vector (problem.points() values).
  std::span<double> residuals;
  // Out: the norm of the weighted residuals at the fitted vector.
  double* error = nullptr;
};

// How one start went.
struct StartSummary {
  FitStatus status = FitStatus::not_run;
  // Residual evaluations made by LMDIF1 (1 when it refused the sizes and
  // only the starting vector was evaluated).
  int evaluations = 0;
  // LMDIF1's INFO: 1-4 converged, 5 too many evaluations, 6-7 tolerance too
  // small, 0 sizes refused, negative: stopped.
  int info = 0;
  // Failed integration steps during the start (its final pass included).
  SolverFailures failures;
  // For status failed: what went wrong.
  std::string failure;
};

// Settings shared by the starts of one run.
struct FitOptions {
  // Lets the caller stop the run (nullptr: runs to the end).
  FitControl* control = nullptr;
  // Where the solver's messages go (nullptr: stdout).
  DiagnosticsSink* diagnostics = nullptr;
  Propagator propagator = Propagator::lsoda;
};

// Run every start of `jobs` on `problem` (which must have data), writing
// summaries[k] for jobs[k]. The results are those of running the starts one
// after another in ascending order, whatever the number of threads. With
// more than one thread the starts run as tasks of one team, and a run waits
// for its turn behind multi-threaded runs started earlier (from any thread of
// the process). Returns ok, or the root cause of the first failure: a start
// that ran out of memory or failed is reported as such even when the other
// starts were stopped because of it; interrupted when the caller stopped the run.
TARVO_API FitStatus run_starts(const Problem& problem, std::span<const StartJob> jobs,
                               std::span<StartSummary> summaries, const FitOptions& options);

// --- the multi-start procedure --------------------------------------------

// Index of the first largest (largest = true) or first smallest value, with
// NumPy's argmax/argmin rule that a NaN counts as the extreme (the first NaN
// wins); -1 for no values.
TARVO_API std::ptrdiff_t extreme_index(std::span<const double> values, bool largest);

// Fill the n_starts rows of `rows` (each spec_pars.size() values): row k is
// spec_pars with the entries named in `fitted` (0-based, below
// spec_pars.size()) scaled by start_multiplier(k, n_starts).
TARVO_API void fill_start_rows(std::span<const double> spec_pars, std::span<const int> fitted,
                               int n_starts, double* rows);

// The start with the strictly smallest error; ties and NaN keep the earlier
// start. errors must not be empty.
TARVO_API std::size_t best_start(std::span<const double> errors);

// The tables of a multi-start run, one row per start, owned by the caller
// (an extension module makes them as it must return them).
struct StartTables {
  // n_starts rows of row_length values: the starting vectors (filled by
  // fill_start_rows), then the fitted ones.
  double* spec_rows = nullptr;
  std::size_t row_length = 0;
  // n_starts rows of problem.points() values: the residuals of each start.
  double* residual_rows = nullptr;
  // n_starts values: the error of each start.
  double* errors = nullptr;
  // n_starts summaries.
  std::span<StartSummary> summaries;
};

// The multi-start fit of fit_zscan, the one routine both extension modules
// call: every start of the rows in `tables` (each fitting the entries
// `fitted` of its row) run on `problem` by run_starts, and the best start
// chosen (best_start). Returns run_starts' status; `best` is set when it is
// ok. Throws std::bad_alloc when the list of starts cannot be made.
TARVO_API FitStatus run_multi_start(const Problem& problem, std::span<const int> fitted,
                                    const StartTables& tables, const FitOptions& options,
                                    std::size_t& best);

}  // namespace tarvo
