// Gauss-Laguerre quadrature, the radial rule of the energy model: with
// u = 2 r^2 / w^2 the beam area element is (pi w^2 / 4) du and the fluence
// F0 exp(-u), so the transmitted / incident energy ratio is the integral over
// u in (0, inf) of exp(-u) T(F0 exp(-u)), T the local fluence transmittance.
// T tends to its linear value exponentially as u grows and is analytic in a
// strip around the real u axis, which the rule resolves with a handful of
// nodes (a Gauss-Legendre rule in the fluence fraction exp(-u) needs three
// times as many for a strongly nonlinear absorber).
#pragma once

namespace tarvo::exact {

// Largest number of nodes the rule is computed for.
inline constexpr int MAX_RADIAL_POINTS = 64;

// n nodes (increasing) and weights (summing to 1) of the n-point
// Gauss-Laguerre rule (weight exp(-u) on (0, inf)), 1 <= n <= MAX_RADIAL_POINTS.
void gauss_laguerre(int n, double* nodes, double* weights);

}  // namespace tarvo::exact
