// Dense LU factorisation with partial pivoting and the solve with its
// factors, in the two elimination orders of Factorization. Matrices are
// column-major n x n; pivots are 1-based row indices, as in Fortran.
#pragma once

namespace lsoda {

// LINPACK DGEFA: factor a in place. Returns INFO (0, or k if U(k,k) = 0).
// Stores the multipliers negated, as LINPACK does.
int factor_linpack(double* a, int n, int* pivots);

// LINPACK DGESL with JOB = 0: solve A x = b in place with DGEFA's factors.
void solve_linpack(const double* a, int n, const int* pivots, double* b);

// LAPACK DGETRF as OpenBLAS computes it for small matrices (unblocked,
// left-looking, no fused multiply-add). Returns INFO.
int factor_lapack(double* a, int n, int* pivots);

// LAPACK DGETRS ('N', one right-hand side): row interchanges, then the unit
// lower and the upper triangular solve.
void solve_lapack(const double* a, int n, const int* pivots, double* b);

}  // namespace lsoda
