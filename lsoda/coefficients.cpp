// DCFODE: the coefficients of the Adams (orders 1-12) and BDF (orders 1-5)
// methods, computed as the Fortran does rather than tabulated, so that they
// round identically.
#include "routines.hpp"

namespace tarvo::lsoda {

void set_method_coefficients(int meth, double elco[12][13], double tesco[12][3]) {
  // pc(1..12) of the Fortran at pc[0..11]; elco(i,nq) at elco[nq-1][i-1].
  double pc[12];
  if (meth == METHOD_ADAMS) {
    elco[0][0] = 1.0;
    elco[0][1] = 1.0;
    tesco[0][0] = 0.0;
    tesco[0][1] = 2.0;
    tesco[1][0] = 1.0;
    tesco[11][2] = 0.0;
    pc[0] = 1.0;
    double rqfac = 1.0;
    for (int nq = 2; nq <= 12; ++nq) {
      // The coefficients of the polynomial (x+1)(x+2)...(x+nq-1), in pc.
      const double rq1fac = rqfac;
      rqfac = rqfac / static_cast<double>(nq);
      const int nqm1 = nq - 1;
      const double fnqm1 = static_cast<double>(nqm1);
      const int nqp1 = nq + 1;
      pc[nq - 1] = 0.0;
      for (int ib = 1; ib <= nqm1; ++ib) {
        const int i = nqp1 - ib;
        pc[i - 1] = pc[i - 2] + fnqm1 * pc[i - 1];
      }
      pc[0] = fnqm1 * pc[0];
      // Integrals of the polynomial from -1 to 0 and of x times it.
      double pint = pc[0];
      double xpin = pc[0] / 2.0;
      double tsign = 1.0;
      for (int i = 2; i <= nq; ++i) {
        tsign = -tsign;
        pint = pint + tsign * pc[i - 1] / static_cast<double>(i);
        xpin = xpin + tsign * pc[i - 1] / static_cast<double>(i + 1);
      }
      elco[nq - 1][0] = pint * rq1fac;
      elco[nq - 1][1] = 1.0;
      for (int i = 2; i <= nq; ++i) elco[nq - 1][i] = rq1fac * pc[i - 1] / static_cast<double>(i);
      const double agamq = rqfac * xpin;
      const double ragq = 1.0 / agamq;
      tesco[nq - 1][1] = ragq;
      if (nq < 12) tesco[nqp1 - 1][0] = ragq * rqfac / static_cast<double>(nqp1);
      tesco[nqm1 - 1][2] = ragq;
    }
    return;
  }
  // BDF: the coefficients of x(x+1)...(x+nq-1), in pc.
  pc[0] = 1.0;
  double rq1fac = 1.0;
  for (int nq = 1; nq <= 5; ++nq) {
    const double fnq = static_cast<double>(nq);
    const int nqp1 = nq + 1;
    pc[nqp1 - 1] = 0.0;
    for (int ib = 1; ib <= nq; ++ib) {
      const int i = nq + 2 - ib;
      pc[i - 1] = pc[i - 2] + fnq * pc[i - 1];
    }
    pc[0] = fnq * pc[0];
    for (int i = 1; i <= nqp1; ++i) elco[nq - 1][i - 1] = pc[i - 1] / pc[1];
    elco[nq - 1][1] = 1.0;
    tesco[nq - 1][0] = rq1fac;
    tesco[nq - 1][1] = static_cast<double>(nqp1) / elco[nq - 1][0];
    tesco[nq - 1][2] = static_cast<double>(nq + 2) / elco[nq - 1][0];
    rq1fac = rq1fac / fnq;
  }
}

}  // namespace tarvo::lsoda
