// The engine interface: both forward models behind one evaluate().
//
//   - the LSODA engine (Problem, model.hpp): every time and depth slice
//     integrated with LSODA; fit_zscan's model, bit for bit;
//   - the exact engine (ExactProblem, exact.hpp): the same discretised
//     scheme with exact exponential steps, and the exact derivatives of the
//     curves with respect to the parameters and the focus.
//
// Both march the populations of the rate scheme of rate_scheme.hpp through
// the slices of one scan position at a time (the per-position task frame of
// model/common/positions.hpp), and both shift each curve to its baseline
// unless asked for the raw transmittance.
#pragma once

#include <span>

#include "tarvo/control.hpp"
#include "tarvo/diagnostics.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/export.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"
#include "tarvo/rate_scheme.hpp"

namespace tarvo {

// The engines.
enum class Engine : int { lsoda, exact };

// What an evaluation may be given besides the problem and the parameters.
struct EvaluateOptions {
  // Polled between scan positions (and, on the exact engine, within long
  // marches); nullptr: never stops.
  FitControl* control = nullptr;
  // Shift each curve to its baseline (the mean of its first five and last
  // five points becomes 1); false: the raw transmittance.
  bool normalise = true;
  // Exact engine, energy variant: the optical parameters (OPTICAL_COUNT
  // values, exact.hpp); nullptr: all 0.
  const double* optics = nullptr;
  // LSODA engine only: scratch of the team (nullptr: made for the call), the
  // solver's messages (nullptr: stdout), and a counter of failed steps.
  ModelWorkspace* workspace = nullptr;
  DiagnosticsSink* diagnostics = nullptr;
  SolverFailures* failures = nullptr;
};

// Curves of `problem` for the parameter vector `parameters`
// (PARAMETER_COUNT values): `curves` receives points() values, curve after
// curve. For non-empty `derivatives` (distinct indices: 0 .. PARAMETER_COUNT
// - 1 the parameters, FOCUS_SHIFT the focus), `jacobian` receives d curve /
// d parameter at [n * derivatives.size() + d]. The LSODA engine computes no
// derivatives: it returns failed for non-empty `derivatives`. Any status
// other than ok leaves the outputs incomplete. Throws AllocationError
// (saying what and how much) when the evaluation's scratch cannot be had.
TARVO_API ModelStatus evaluate(const Problem& problem, const double* parameters,
                               std::span<const int> derivatives, double* curves,
                               double* jacobian, const EvaluateOptions& options = {});
TARVO_API ModelStatus evaluate(const ExactProblem& problem, const double* parameters,
                               std::span<const int> derivatives, double* curves,
                               double* jacobian, const EvaluateOptions& options = {});

// The rate scheme's terms for the tests that check the two engines against
// each other: the LSODA engine's population right-hand side dN/dt at the
// state (N1..N5, I) into lsoda_rates (LEVELS values), and the exact engine's
// rate matrix R + phi S at that intensity (row-major, LEVELS x LEVELS) into
// exact_matrix, for the parameter vector p at the optical frequency.
TARVO_API void rate_scheme_terms(const double* p, double optical_frequency, const double* state,
                                 double* lsoda_rates, double* exact_matrix);

}  // namespace tarvo
