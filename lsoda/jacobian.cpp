// DPRJA and DSOLSY for MITER = 2: the iteration matrix P = I - h*el0*J from
// difference quotients of f, its LU factors, and solves with them.
#include <cmath>

#include "fortran_math.hpp"
#include "linear_algebra.hpp"
#include "routines.hpp"

namespace tarvo::lsoda {

void prepare_jacobian(SolverState& s) {
  const int n = s.n;
  double* y = s.y;
  double* wm = s.wm.data();
  double* matrix = wm + 2;
  // FTEM is ACOR's storage, as DSTODA passes it.
  double* ftem = s.acor.data();
  const double* savf = s.savf.data();
  const double* ewt = s.ewt.data();
  s.nje = s.nje + 1;
  s.ierpj = 0;
  s.jcur = 1;
  const double hl0 = s.h * s.el0;
  // Increments: r = max(sqrt(uround)*|y(j)|, r0/ewt(j)).
  double fac = weighted_max_norm(n, savf, ewt);
  double r0 = 1000.0 * std::fabs(s.h) * s.uround * static_cast<double>(n) * fac;
  if (r0 == 0.0) r0 = 1.0;
  const double srur = wm[0];
  for (int j = 0; j < n; ++j) {
    const double yj = y[j];
    const double r = fortran_max(srur * std::fabs(yj), r0 / ewt[j]);
    y[j] = y[j] + r;
    fac = -hl0 / r;
    s.f(s.context, n, s.tn, y, ftem);
    double* column = matrix + j * n;
    for (int i = 0; i < n; ++i) column[i] = (ftem[i] - savf[i]) * fac;
    y[j] = yj;
  }
  s.nfe = s.nfe + n;
  s.pdnorm = weighted_matrix_norm(n, matrix, ewt) / std::fabs(hl0);
  for (int i = 0; i < n; ++i) matrix[i + i * n] = matrix[i + i * n] + 1.0;
  if (factor_lu(matrix, n, s.pivots.data()) != 0) s.ierpj = 1;
}

void solve_linear_system(SolverState& s, double* x) {
  s.iersl = 0;
  solve_lu(s.wm.data() + 2, s.n, s.pivots.data(), x);
}

}  // namespace tarvo::lsoda
