// The internal routines of DLSODA, each a port of its Fortran namesake
// operation for operation.
#pragma once

#include "norms.hpp"
#include "solver_state.hpp"

namespace tarvo::lsoda {

// DFNORM: the matrix norm consistent with the weighted max-norm.
double weighted_matrix_norm(int n, const double* a, const double* w);

// DCFODE: method coefficients ELCO and test constants TESCO of method meth.
void set_method_coefficients(int meth, double elco[12][13], double tesco[12][3]);

// DSTODA: one step of the integration, or an attempt at it (sets KFLAG).
void take_step(SolverState& s);

// DPRJA with MITER = 2: form and factor P = I - h*el0*J by difference quotients.
void prepare_jacobian(SolverState& s);

// DSOLSY with MITER = 2: solve P x = b in place with the LU factors.
void solve_linear_system(SolverState& s, double* x);

// DINTDY: the k-th derivative of the interpolating polynomial at t into dky.
// Returns IFLAG (0, -1 for an illegal k, -2 for an illegal t).
int interpolate(const SolverState& s, double t, int k, double* dky);

}  // namespace tarvo::lsoda
