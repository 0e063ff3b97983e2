// DSTODA: one step of the integration with the Nordsieck history, the
// corrector iteration (functional for Adams, Newton for BDF), the local
// error test, the choice of the next step size and order, and the tests for
// switching between the Adams and the BDF method.
//
// The control flow follows the Fortran statement labels (Lnnn) one for one,
// so that every branch can be checked against the published routine. Each
// MAX/MIN takes its operands in the order the reference build evaluates
// them (see fortran_math.hpp); that order only matters for NaN.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "fortran_math.hpp"
#include "routines.hpp"

namespace tarvo::lsoda {

namespace {

// SM1: the stability limits of the Adams methods of orders 1 to 12.
constexpr double SM1[12] = {0.5,  0.575, 0.55, 0.45, 0.35,  0.25,
                            0.20, 0.15,  0.10, 0.075, 0.050, 0.025};

// Numbers of the step-size and order heuristics.
constexpr double RMAX_START = 10000.0;
constexpr double RMAX_AFTER_FAILURE = 2.0;
constexpr double RMAX_AFTER_SUCCESS = 10.0;
constexpr double CRATE_START = 0.7;
constexpr double RATIO_START = 5.0;
constexpr int ICOUNT_START = 20;

// YH1(i) += YH1(i+NYH) for the columns of the prediction (the Pascal
// triangle product), or -= to undo it.
// ELCO and TESCO of method `meth`, as DCFODE would leave them.
void load_method_coefficients(SolverState& s, int meth) {
  if (meth == METHOD_ADAMS) {
    std::memcpy(s.elco, s.adams_elco, sizeof s.elco);
    std::memcpy(s.tesco, s.adams_tesco, sizeof s.tesco);
  } else {
    std::memcpy(s.elco, s.bdf_elco, sizeof s.elco);
    std::memcpy(s.tesco, s.bdf_tesco, sizeof s.tesco);
  }
}

void predict(SolverState& s) {
  double* yh = s.yh.data();
  int i1 = s.nqnyh;
  for (int jb = 1; jb <= s.nq; ++jb) {
    i1 = i1 - s.nyh;
    for (int i = i1; i < s.nqnyh; ++i) yh[i] = yh[i] + yh[i + s.nyh];
  }
}

void retract(SolverState& s) {
  double* yh = s.yh.data();
  int i1 = s.nqnyh;
  for (int jb = 1; jb <= s.nq; ++jb) {
    i1 = i1 - s.nyh;
    for (int i = i1; i < s.nqnyh; ++i) yh[i] = yh[i] - yh[i + s.nyh];
  }
}

}  // namespace

void take_step(SolverState& s) {
  const int n = s.n;
  const int nyh = s.nyh;
  double* y = s.y;
  double* yh = s.yh.data();
  double* ewt = s.ewt.data();
  double* savf = s.savf.data();
  double* acor = s.acor.data();
  // Column j (1-based) of YH.
  auto column = [yh, nyh](int j) { return yh + (j - 1) * nyh; };

  int iredo = 0, iret = 0, j = 0, m = 0, ncf = 0, newq = 0;
  int lm1 = 0, lm1p1 = 0, lm2 = 0, lm2p1 = 0, nqm1 = 0, nqm2 = 0;
  double dcon = 0.0, ddn = 0.0, del = 0.0, delp = 0.0, dsm = 0.0, dup = 0.0;
  double exdn = 0.0, exsm = 0.0, exup = 0.0, r = 0.0, rh = 0.0, rhdn = 0.0;
  double rhsm = 0.0, rhup = 0.0, told = 0.0;
  double alpha = 0.0, dm1 = 0.0, dm2 = 0.0, exm1 = 0.0, exm2 = 0.0, pdh = 0.0;
  double pnorm = 0.0, rate = 0.0, rh1 = 0.0, rh1it = 0.0, rh2 = 0.0, rm = 0.0;

  s.kflag = 0;
  told = s.tn;
  ncf = 0;
  s.ierpj = 0;
  s.iersl = 0;
  s.jcur = 0;
  s.icf = 0;
  delp = 0.0;
  if (s.jstart > 0) goto L200;
  if (s.jstart == -1) goto L100;
  if (s.jstart == -2) goto L160;

  // First call: initialise and set the coefficients of both methods.
  s.lmax = s.maxord + 1;
  s.nq = 1;
  s.l = 2;
  s.ialth = 2;
  s.rmax = RMAX_START;
  s.rc = 0.0;
  s.el0 = 1.0;
  s.crate = CRATE_START;
  s.hold = s.h;
  s.nslp = 0;
  s.ipup = s.miter;
  iret = 3;
  s.icount = ICOUNT_START;
  s.irflag = 0;
  s.pdest = 0.0;
  s.pdlast = 0.0;
  s.ratio = RATIO_START;
  std::memcpy(s.cm2, s.bdf_cm, sizeof s.cm2);
  std::memcpy(s.cm1, s.adams_cm, sizeof s.cm1);
  load_method_coefficients(s, METHOD_ADAMS);
  goto L150;

L100:
  // Continuation after a change of method or of the caller's parameters.
  s.ipup = s.miter;
  s.lmax = s.maxord + 1;
  if (s.ialth == 1) s.ialth = 2;
  if (s.meth == s.mused) goto L160;
  load_method_coefficients(s, s.meth);
  s.ialth = s.l;
  iret = 1;

L150:
  // EL and the test constants of the current order.
  for (int k = 1; k <= s.l; ++k) s.el[k - 1] = s.elco[s.nq - 1][k - 1];
  s.nqnyh = s.nq * nyh;
  s.rc = s.rc * s.el[0] / s.el0;
  s.el0 = s.el[0];
  s.conit = 0.5 / static_cast<double>(s.nq + 2);
  switch (iret) {
    case 1: goto L160;
    case 2: goto L170;
    default: goto L200;
  }

L160:
  // Rescale the history if H was changed since the last step.
  if (s.h == s.hold) goto L200;
  rh = s.h / s.hold;
  s.h = s.hold;
  iredo = 3;
  goto L175;

L170:
  rh = fortran_max(rh, s.hmin / std::fabs(s.h));
L175:
  rh = fortran_min(rh, s.rmax);
  rh = rh / fortran_max(std::fabs(s.h) * s.hmxi * rh, 1.0);
  // For Adams, keep the step within the stability region.
  if (s.meth == METHOD_BDF) goto L178;
  s.irflag = 0;
  pdh = fortran_max(std::fabs(s.h) * s.pdlast, 0.000001);
  if (rh * pdh * 1.00001 < SM1[s.nq - 1]) goto L178;
  rh = SM1[s.nq - 1] / pdh;
  s.irflag = 1;
L178:
  r = 1.0;
  for (j = 2; j <= s.l; ++j) {
    r = r * rh;
    double* yj = column(j);
    for (int k = 0; k < n; ++k) yj[k] = yj[k] * r;
  }
  s.h = s.h * rh;
  s.rc = s.rc * rh;
  s.ialth = s.l;
  if (iredo == 0) goto L690;

L200:
  // Predict: multiply YH by the Pascal triangle matrix.
  if (std::fabs(s.rc - 1.0) > s.ccmax) s.ipup = s.miter;
  if (s.nst >= s.nslp + s.msbp) s.ipup = s.miter;
  s.tn = s.tn + s.h;
  predict(s);
  pnorm = weighted_max_norm(n, yh, ewt);

L220:
  // Corrector loop: y = predicted y, ACOR = 0.
  m = 0;
  rate = 0.0;
  del = 0.0;
  for (int k = 0; k < n; ++k) y[k] = yh[k];
  s.f(s.context, n, s.tn, y, savf);
  s.nfe = s.nfe + 1;
  if (s.ipup <= 0) goto L250;
  // Re-evaluate the Jacobian and factor P before iterating.
  prepare_jacobian(s);
  s.ipup = 0;
  s.rc = 1.0;
  s.nslp = s.nst;
  s.crate = CRATE_START;
  if (s.ierpj != 0) goto L430;
L250:
  for (int k = 0; k < n; ++k) acor[k] = 0.0;
L270:
  if (s.miter != JACOBIAN_NONE) goto L350;
  // Functional iteration.
  for (int k = 0; k < n; ++k) {
    savf[k] = s.h * savf[k] - column(2)[k];
    y[k] = savf[k] - acor[k];
  }
  del = weighted_max_norm(n, y, ewt);
  for (int k = 0; k < n; ++k) {
    y[k] = yh[k] + s.el[0] * savf[k];
    acor[k] = savf[k];
  }
  goto L400;

L350:
  // Chord (Newton) iteration: solve P x = h*f - (YH(2) + ACOR).
  for (int k = 0; k < n; ++k) y[k] = s.h * savf[k] - (column(2)[k] + acor[k]);
  solve_linear_system(s, y);
  if (s.iersl < 0) goto L430;
  if (s.iersl > 0) goto L410;
  del = weighted_max_norm(n, y, ewt);
  for (int k = 0; k < n; ++k) {
    acor[k] = acor[k] + y[k];
    y[k] = yh[k] + s.el[0] * acor[k];
  }

L400:
  // Convergence test, with the rate estimate and the Lipschitz estimate PDEST.
  if (del <= 100.0 * pnorm * s.uround) goto L450;
  if (m == 0 && s.meth == METHOD_ADAMS) goto L405;
  if (m == 0) goto L402;
  rm = 1024.0;
  if (del <= 1024.0 * delp) rm = del / delp;
  rate = fortran_max(rate, rm);
  s.crate = fortran_max(0.2 * s.crate, rm);
L402:
  dcon = del * fortran_min(1.5 * s.crate, 1.0) / (s.tesco[s.nq - 1][1] * s.conit);
  if (dcon > 1.0) goto L405;
  s.pdest = fortran_max(rate / std::fabs(s.h * s.el[0]), s.pdest);
  if (s.pdest != 0.0) s.pdlast = s.pdest;
  goto L450;
L405:
  m = m + 1;
  if (m == s.maxcor) goto L410;
  if (m >= 2 && del > 2.0 * delp) goto L410;
  delp = del;
  s.f(s.context, n, s.tn, y, savf);
  s.nfe = s.nfe + 1;
  goto L270;

L410:
  // No convergence: with a stale Jacobian, update it and try again.
  if (s.miter == JACOBIAN_NONE || s.jcur == 1) goto L430;
  s.icf = 1;
  s.ipup = s.miter;
  goto L220;

L430:
  // Convergence failure: retract YH and retry with a quarter of the step.
  s.icf = 2;
  ncf = ncf + 1;
  s.rmax = RMAX_AFTER_FAILURE;
  s.tn = told;
  retract(s);
  if (s.ierpj < 0 || s.iersl < 0) goto L680;
  if (std::fabs(s.h) <= s.hmin * 1.00001) goto L670;
  if (ncf == s.mxncf) goto L670;
  rh = 0.25;
  s.ipup = s.miter;
  iredo = 1;
  goto L170;

L450:
  // Converged: the local error test.
  s.jcur = 0;
  if (m == 0) dsm = del / s.tesco[s.nq - 1][1];
  if (m > 0) dsm = weighted_max_norm(n, acor, ewt) / s.tesco[s.nq - 1][1];
  if (dsm > 1.0) goto L500;
  // The step succeeded: correct YH and count it.
  s.kflag = 0;
  iredo = 0;
  s.nst = s.nst + 1;
  s.hu = s.h;
  s.nqu = s.nq;
  s.mused = s.meth;
  for (j = 1; j <= s.l; ++j) {
    double* yj = column(j);
    const double elj = s.el[j - 1];
    for (int k = 0; k < n; ++k) yj[k] = yj[k] + elj * acor[k];
  }
  s.icount = s.icount - 1;
  if (s.icount >= 0) goto L488;
  if (s.meth == METHOD_BDF) goto L480;
  // Adams now: consider a switch to BDF.
  if (s.nq > 5) goto L488;
  if (dsm > 100.0 * pnorm * s.uround && s.pdest != 0.0) goto L470;
  if (s.irflag == 0) goto L488;
  rh2 = 2.0;
  nqm2 = std::min(s.nq, s.mxords);
  goto L478;
L470:
  exsm = 1.0 / static_cast<double>(s.l);
  rh1 = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
  rh1it = 2.0 * rh1;
  pdh = s.pdlast * std::fabs(s.h);
  if (pdh * rh1 > 0.00001) rh1it = SM1[s.nq - 1] / pdh;
  rh1 = fortran_min(rh1it, rh1);
  if (s.nq <= s.mxords) goto L474;
  nqm2 = s.mxords;
  lm2 = s.mxords + 1;
  exm2 = 1.0 / static_cast<double>(lm2);
  lm2p1 = lm2 + 1;
  dm2 = weighted_max_norm(n, column(lm2p1), ewt) / s.cm2[s.mxords - 1];
  rh2 = 1.0 / (1.2 * std::pow(dm2, exm2) + 0.0000012);
  goto L476;
L474:
  dm2 = dsm * (s.cm1[s.nq - 1] / s.cm2[s.nq - 1]);
  rh2 = 1.0 / (1.2 * std::pow(dm2, exsm) + 0.0000012);
  nqm2 = s.nq;
L476:
  if (rh2 < s.ratio * rh1) goto L488;
L478:
  // Switch to BDF.
  rh = rh2;
  s.icount = ICOUNT_START;
  s.meth = METHOD_BDF;
  s.miter = s.jtyp;
  s.pdlast = 0.0;
  s.nq = nqm2;
  s.l = s.nq + 1;
  goto L170;

L480:
  // BDF now: consider a switch to Adams.
  exsm = 1.0 / static_cast<double>(s.l);
  if (s.mxordn >= s.nq) goto L484;
  nqm1 = s.mxordn;
  lm1 = s.mxordn + 1;
  exm1 = 1.0 / static_cast<double>(lm1);
  lm1p1 = lm1 + 1;
  dm1 = weighted_max_norm(n, column(lm1p1), ewt) / s.cm1[s.mxordn - 1];
  rh1 = 1.0 / (1.2 * std::pow(dm1, exm1) + 0.0000012);
  goto L486;
L484:
  dm1 = dsm * (s.cm2[s.nq - 1] / s.cm1[s.nq - 1]);
  rh1 = 1.0 / (1.2 * std::pow(dm1, exsm) + 0.0000012);
  nqm1 = s.nq;
  exm1 = exsm;
L486:
  rh1it = 2.0 * rh1;
  pdh = s.pdnorm * std::fabs(s.h);
  if (pdh * rh1 > 0.00001) rh1it = SM1[nqm1 - 1] / pdh;
  rh1 = fortran_min(rh1, rh1it);
  rh2 = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
  if (rh1 * s.ratio < 5.0 * rh2) goto L488;
  alpha = fortran_max(rh1, 0.001);
  dm1 = std::pow(alpha, exm1) * dm1;
  if (dm1 <= 1000.0 * s.uround * pnorm) goto L488;
  // Switch to Adams.
  rh = rh1;
  s.icount = ICOUNT_START;
  s.meth = METHOD_ADAMS;
  s.miter = JACOBIAN_NONE;
  s.pdlast = 0.0;
  s.nq = nqm1;
  s.l = s.nq + 1;
  goto L170;

L488:
  // No switch: after ialth steps at this order, consider a change of order.
  s.ialth = s.ialth - 1;
  if (s.ialth == 0) goto L520;
  if (s.ialth > 1) goto L700;
  if (s.l == s.lmax) goto L700;
  {
    double* ylmax = column(s.lmax);
    for (int k = 0; k < n; ++k) ylmax[k] = acor[k];
  }
  goto L700;

L500:
  // The error test failed: retract YH and reduce the step (or the order).
  s.kflag = s.kflag - 1;
  s.tn = told;
  retract(s);
  s.rmax = RMAX_AFTER_FAILURE;
  if (std::fabs(s.h) <= s.hmin * 1.00001) goto L660;
  if (s.kflag <= -3) goto L640;
  iredo = 2;
  rhup = 0.0;
  goto L540;

L520:
  // Step-size ratios for order nq+1 (rhup), nq (rhsm) and nq-1 (rhdn).
  rhup = 0.0;
  if (s.l == s.lmax) goto L540;
  {
    const double* ylmax = column(s.lmax);
    for (int k = 0; k < n; ++k) savf[k] = acor[k] - ylmax[k];
  }
  dup = weighted_max_norm(n, savf, ewt) / s.tesco[s.nq - 1][2];
  exup = 1.0 / static_cast<double>(s.l + 1);
  rhup = 1.0 / (1.4 * std::pow(dup, exup) + 0.0000014);
L540:
  exsm = 1.0 / static_cast<double>(s.l);
  rhsm = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
  rhdn = 0.0;
  if (s.nq == 1) goto L550;
  ddn = weighted_max_norm(n, column(s.l), ewt) / s.tesco[s.nq - 1][0];
  exdn = 1.0 / static_cast<double>(s.nq);
  rhdn = 1.0 / (1.3 * std::pow(ddn, exdn) + 0.0000013);
L550:
  // For Adams, limit the ratios by the stability region.
  if (s.meth == METHOD_BDF) goto L560;
  pdh = fortran_max(std::fabs(s.h) * s.pdlast, 0.000001);
  if (s.l < s.lmax) rhup = fortran_min(rhup, SM1[s.l - 1] / pdh);
  rhsm = fortran_min(SM1[s.nq - 1] / pdh, rhsm);
  if (s.nq > 1) rhdn = fortran_min(rhdn, SM1[s.nq - 2] / pdh);
  s.pdest = 0.0;
L560:
  if (rhsm >= rhup) goto L570;
  if (rhup > rhdn) goto L590;
  goto L580;
L570:
  if (rhsm < rhdn) goto L580;
  newq = s.nq;
  rh = rhsm;
  goto L620;
L580:
  newq = s.nq - 1;
  rh = rhdn;
  if (s.kflag < 0 && rh > 1.0) rh = 1.0;
  goto L620;
L590:
  newq = s.l;
  rh = rhup;
  if (rh < 1.1) goto L610;
  r = s.el[s.l - 1] / static_cast<double>(s.l);
  {
    double* ynew = column(newq + 1);
    for (int k = 0; k < n; ++k) ynew[k] = acor[k] * r;
  }
  goto L630;
L610:
  s.ialth = 3;
  goto L700;
L620:
  if (s.meth == METHOD_BDF) goto L622;
  if (rh * pdh * 1.00001 >= SM1[newq - 1]) goto L625;
L622:
  if (s.kflag == 0 && rh < 1.1) goto L610;
L625:
  if (s.kflag <= -2) rh = fortran_min(rh, 0.2);
  if (newq == s.nq) goto L170;
L630:
  s.nq = newq;
  s.l = s.nq + 1;
  iret = 2;
  goto L150;

L640:
  // Three or more error test failures: restart at order 1 from f(y).
  if (s.kflag == -10) goto L660;
  rh = 0.1;
  rh = fortran_max(s.hmin / std::fabs(s.h), rh);
  s.h = s.h * rh;
  for (int k = 0; k < n; ++k) y[k] = yh[k];
  s.f(s.context, n, s.tn, y, savf);
  s.nfe = s.nfe + 1;
  {
    double* y2 = column(2);
    for (int k = 0; k < n; ++k) y2[k] = s.h * savf[k];
  }
  s.ipup = s.miter;
  s.ialth = 5;
  if (s.nq == 1) goto L200;
  s.nq = 1;
  s.l = 2;
  iret = 3;
  goto L150;

L660:
  s.kflag = -1;
  goto L720;
L670:
  s.kflag = -2;
  goto L720;
L680:
  s.kflag = -3;
  goto L720;
L690:
  s.rmax = RMAX_AFTER_SUCCESS;
L700:
  r = 1.0 / s.tesco[s.nqu - 1][1];
  for (int k = 0; k < n; ++k) acor[k] = acor[k] * r;
L720:
  s.hold = s.h;
  s.jstart = 1;
}

}  // namespace tarvo::lsoda
