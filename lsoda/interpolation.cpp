// DINTDY: derivatives of the interpolating polynomial within the last step.
#include <cmath>

#include "diagnostics.hpp"
#include "fortran_math.hpp"
#include "routines.hpp"

namespace tarvo::lsoda {

int interpolate(const SolverState& s, double t, int k, double* dky) {
  const int n = s.n;
  const int nq = s.nq;
  const int l = s.l;
  const int nyh = s.nyh;
  // yh(i,j) of the Fortran at yh[(i-1) + (j-1)*nyh].
  const double* yh = s.yh.data();
  if (k < 0 || k > nq) {
    Message(MessageKind::interpolation_error)
        .line("DINTDY-  K (=I1) illegal      ", 1, k, 0, 0, 0.0, 0.0)
        .send(s.sink);
    return -1;
  }
  const double tp = s.tn - s.hu - 100.0 * s.uround * (s.tn + s.hu);
  if ((t - tp) * (t - s.tn) > 0.0) {
    Message(MessageKind::interpolation_error)
        .line("DINTDY-  T (=R1) illegal      ", 0, 0, 0, 1, t, 0.0)
        .line("      T not in interval TCUR - HU (= R1) to TCUR (=R2)      ", 0, 0, 0, 2, tp,
              s.tn)
        .send(s.sink);
    return -2;
  }
  const double step_fraction = (t - s.tn) / s.h;
  int ic = 1;
  if (k != 0) {
    for (int jj = l - k; jj <= nq; ++jj) ic = ic * jj;
  }
  double c = static_cast<double>(ic);
  for (int i = 0; i < n; ++i) dky[i] = c * yh[i + (l - 1) * nyh];
  if (k != nq) {
    for (int jb = 1; jb <= nq - k; ++jb) {
      const int j = nq - jb;
      const int jp1 = j + 1;
      ic = 1;
      if (k != 0) {
        for (int jj = jp1 - k; jj <= j; ++jj) ic = ic * jj;
      }
      c = static_cast<double>(ic);
      for (int i = 0; i < n; ++i) dky[i] = c * yh[i + (jp1 - 1) * nyh] + step_fraction * dky[i];
    }
    if (k == 0) return 0;
  }
  const double r = fortran_integer_power(s.h, -k);
  for (int i = 0; i < n; ++i) dky[i] = r * dky[i];
  return 0;
}

}  // namespace tarvo::lsoda
