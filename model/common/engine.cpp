// The LSODA engine behind the engine interface (the exact engine's evaluate
// is in model/exact/exact_model.cpp), and the rate scheme's terms of both.
#include "tarvo/engine.hpp"

#include "exact_march.hpp"
#include "rate_equations.hpp"

namespace tarvo {

ModelStatus evaluate(const Problem& problem, const double* parameters,
                     std::span<const int> derivatives, double* curves, double* /*jacobian*/,
                     const EvaluateOptions& options) {
  if (!derivatives.empty()) return ModelStatus::failed;
  ModelRun run;
  run.propagator = Propagator::lsoda;
  run.workspace = options.workspace;
  run.diagnostics = options.diagnostics;
  run.control = options.control;
  run.failures = options.failures;
  run.normalise = options.normalise;
  return model_curves(problem, parameters, curves, run);
}

void rate_scheme_terms(const double* p, double optical_frequency, const double* state,
                       double* lsoda_rates, double* exact_matrix) {
  exact::StepConstants constants;
  exact::set_step_constants(constants, p, optical_frequency, nullptr, 0);
  internal::population_rates(constants.rates, state, lsoda_rates);
  const double phi = constants.rates.photon_factor * state[LEVELS];
  for (int e = 0; e < LEVELS * LEVELS; ++e) {
    exact_matrix[e] = constants.decay[e] + phi * constants.flux[e];
  }
}

}  // namespace tarvo
