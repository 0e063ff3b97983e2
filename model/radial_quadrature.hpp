// Gauss-Legendre quadrature on (0, 1), the radial rule of the energy model:
// with v = exp(-2 r^2 / w^2) the fraction of the on-axis fluence at radius r,
// the beam area element is (pi w^2 / 2) dv / v, so the transmitted energy is
// (pi w^2 / 2) F0 times the integral over v in (0, 1) of the local
// transmittance, a smooth function of the local fluence F0 v.
#pragma once

namespace tarvo::exact {

// Largest number of nodes the rule is computed for.
inline constexpr int MAX_RADIAL_POINTS = 64;

// n nodes (increasing) and weights (summing to 1) of the n-point
// Gauss-Legendre rule on (0, 1), 1 <= n <= MAX_RADIAL_POINTS.
void gauss_legendre_unit(int n, double* nodes, double* weights);

}  // namespace tarvo::exact
