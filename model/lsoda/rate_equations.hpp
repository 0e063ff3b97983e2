// The LSODA engine's population right-hand side, for the check against the
// exact engine's rate matrices (rate_scheme_terms).
#pragma once

#include "tarvo/model.hpp"

namespace tarvo::internal {

// dN/dt (five values) at y = (N1..N5, I) under the constants c, with the
// arithmetic of the integration steps.
void population_rates(const RateConstants& c, const double* y, double* ydot);

}  // namespace tarvo::internal
