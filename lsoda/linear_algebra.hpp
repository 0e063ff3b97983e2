// Dense LU factorisation with partial pivoting (LINPACK DGEFA) and the solve
// with its factors (DGESL). Matrices are column-major n x n; pivots are
// 1-based row indices, as in Fortran.
//
// SciPy's LSODA calls LAPACK's DGETRF/DGETRS from OpenBLAS instead; with
// OpenBLAS kernels without fused multiply-adds those round exactly as the
// LINPACK order does for the systems integrated here (checked bit for bit
// by tests/test_lsoda.py and bench/lsoda_sweep.py).
#pragma once

namespace tarvo::lsoda {

// DGEFA: factor a in place. Returns INFO (0, or k if U(k,k) = 0). Stores
// the multipliers negated, as LINPACK does.
int factor_lu(double* a, int n, int* pivots);

// DGESL with JOB = 0: solve A x = b in place with DGEFA's factors.
void solve_lu(const double* a, int n, const int* pivots, double* b);

}  // namespace tarvo::lsoda
