// The radial rule of the energy model. With v = exp(-2 r^2 / w^2) the
// fraction of the on-axis fluence at radius r, the beam area element is
// (pi w^2 / 2) dv / v, so the transmitted / incident energy ratio is the
// integral over v in (0, 1] of T(v F0), T the local fluence transmittance.
// T is analytic in the fluence but, for a strongly nonlinear absorber,
// changes fastest at small v (its complex singularities lie within a few
// saturation fluences of v = 0): the rule is Gauss-Legendre in s with
// v = s^3, which crowds the nodes there (on the benchmark case 7 nodes reach
// 5e-6 of the dip, Gauss-Legendre in v needs 20 and Gauss-Laguerre in
// -ln v 12).
#pragma once

#include "tarvo/exact.hpp"

namespace tarvo::exact {

// n nodes (increasing) and weights (summing to 1) of the n-point
// Gauss-Legendre rule on (0, 1), 1 <= n <= MAX_RADIAL_POINTS.
void gauss_legendre(int n, double* nodes, double* weights);

// The radial rule of n nodes: fluence fractions v_r = s_r^3 (increasing) and
// weights 3 s_r^2 w_r from the Gauss-Legendre rule (s_r, w_r), scaled to sum
// to 1 (which they do for n >= 2).
void radial_rule(int n, double* fractions, double* weights);

}  // namespace tarvo::exact
