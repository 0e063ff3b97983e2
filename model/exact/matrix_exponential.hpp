// Exponential of a 5x5 rate matrix and its Frechet derivatives, for the
// exact population step. Fixed size, no heap: called once per depth slice,
// time slice and scan position.
#pragma once

#include "tarvo/constants.hpp"
#include "tarvo/exact.hpp"

namespace tarvo::exact {

// Order of the matrices (one row per level) and their number of entries (row-major).
inline constexpr int MATRIX_ORDER = LEVELS;
inline constexpr int MATRIX_ENTRIES = MATRIX_ORDER * MATRIX_ORDER;
// Most directions one call differentiates along (the parameters, the focus
// and the two-photon coefficient: what moves the populations).
inline constexpr int MAX_DIRECTIONS = DERIVATIVE_COUNT + 1;
// Most directions of a march: all of them, the refractive ones included.
inline constexpr int MAX_TANGENTS = ALL_DERIVATIVES;

// Optional request for the mean of exp(s m) v over s in [0, 1], phi_1(m) v =
// sum_k m^k v / (k + 1)!, the populations averaged over a step, and its
// tangents: v and avg hold 5 values, dv and davg 5 per direction (dv may be
// null with no directions).
struct StepAverage {
  const double* v = nullptr;
  const double* dv = nullptr;
  double* avg = nullptr;
  double* davg = nullptr;
};

// x = exp(m) for a row-major 5x5 rate matrix m: off-diagonal entries >= 0 for
// physical rates, every column summing to zero (what leaves a level arrives in
// another), so exp(m) has unit column sums and conserves the total population.
// Scaling and squaring with a degree-15 Taylor polynomial of the diagonally
// shifted matrix, whose terms are all non-negative for physical rates. Every
// column is divided by its sum after the polynomial and after every squaring,
// so that the squarings do not double the rounding error of the total
// population each time; at the end each column's sum is restored to exactly 1
// in its largest entry.
// A non-finite m gives NaN everywhere.
void rate_matrix_exponential(const double* m, double* x, StepAverage* average = nullptr);

// As rate_matrix_exponential, and dx[p * 25 ..] = L(m, dm[p * 25 ..]), the
// Frechet derivative of exp at m in direction dm_p (columns summing to zero as
// well), for p < directions <= MAX_DIRECTIONS: the tangent of exactly the
// operations that give x.
void rate_matrix_exponential_derivatives(const double* m, const double* dm, int directions,
                                         double* x, double* dx, StepAverage* average = nullptr);

// The population step with these exponentials: n <- exp(m) n (LEVELS values)
// and, for p < directions, dn_p <- L(m, dm_p) n + exp(m) dn_p with the old n
// (dn: directions x LEVELS; may be null with no directions), the same values
// as applying the matrices of rate_matrix_exponential(_derivatives) to them.
void rate_matrix_step(const double* m, const double* dm, int directions, double* n, double* dn,
                      StepAverage* average = nullptr);

}  // namespace tarvo::exact
