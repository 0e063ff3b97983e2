// The DLSODA driver for ITASK = 1, ISTATE = 1, ITOL = 1, IOPT = 0, JT = 2:
// checks the input, starts the problem (initial step size included), steps
// until TOUT is passed, interpolates back to TOUT, and prints DLSODA's
// diagnostics on the way (each to the solver's sink in one piece). Labels
// Lnnn are those of the Fortran.
#include <algorithm>
#include <cmath>

#include <cstring>

#include "diagnostics.hpp"
#include "fortran_math.hpp"
#include "routines.hpp"

namespace tarvo::lsoda {

namespace {

// Length of RWORK that DLSODA would need for n equations with JT = 2.
int needed_real_work(int n) {
  const int len1n = 20 + (MXORDN_DEFAULT + 1) * n;
  const int len1s = 20 + (MXORDS_DEFAULT + 1) * n + (n * n + 2);
  return std::max(len1n, len1s) + 3 * n;
}

// Reject an illegal input as DLSODA does (ISTATE = -3), y and t untouched.
int illegal_input(SolverState& s, double t) {
  s.statistics = Statistics{};
  s.statistics.istate = -3;
  s.statistics.tcur = t;
  return -3;
}

// Copy the optional outputs of DLSODA into the statistics.
void record_outputs(SolverState& s, int istate) {
  Statistics& out = s.statistics;
  out.istate = istate;
  out.nst = s.nst;
  out.nfe = s.nfe;
  out.nje = s.nje;
  out.nqu = s.nqu;
  out.mused = s.mused;
  out.hu = s.hu;
  out.tcur = s.tn;
}

// Invert the error weights in place; returns the 1-based index of the
// first weight <= 0 (left uninverted, as in the Fortran), or 0.
int invert_weights(int n, double* ewt) {
  for (int i = 0; i < n; ++i) {
    if (ewt[i] <= 0.0) return i + 1;
    ewt[i] = 1.0 / ewt[i];
  }
  return 0;
}

}  // namespace

SolverState::SolverState(int max_neq, DiagnosticsSink& diagnostics)
    : sink(diagnostics),
      capacity(max_neq > 0 ? max_neq : 0),
      yh(static_cast<std::size_t>(HISTORY_COLUMNS) * capacity),
      ewt(capacity),
      savf(capacity),
      acor(capacity),
      wm(static_cast<std::size_t>(capacity) * capacity + 2),
      pivots(capacity) {
  set_method_coefficients(METHOD_ADAMS, adams_elco, adams_tesco);
  std::memcpy(bdf_elco, adams_elco, sizeof bdf_elco);
  std::memcpy(bdf_tesco, adams_tesco, sizeof bdf_tesco);
  set_method_coefficients(METHOD_BDF, bdf_elco, bdf_tesco);
  for (int k = 1; k <= 5; ++k) bdf_cm[k - 1] = bdf_tesco[k - 1][1] * bdf_elco[k - 1][k];
  for (int k = 1; k <= 12; ++k) adams_cm[k - 1] = adams_tesco[k - 1][1] * adams_elco[k - 1][k];
}

Solver::Solver(int max_neq, DiagnosticsSink* sink)
    : state_(new SolverState(max_neq, sink != nullptr ? *sink : stdout_diagnostics())) {}

Solver::~Solver() { delete state_; }

const Statistics& Solver::statistics() const { return state_->statistics; }

int Solver::max_neq() const { return state_->capacity; }

int Solver::integrate(RightHandSide f, const void* context, int neq, double* y, double& t, double tout,
                      double rtol, double atol) {
  SolverState& s = *state_;
  double* yh = s.yh.data();
  double* ewt = s.ewt.data();
  int bad = 0;
  int kgo = 0;

  // Block A: a first call with TOUT = T does nothing.
  if (tout == t) {
    s.statistics = Statistics{};
    s.statistics.istate = 1;
    s.statistics.tcur = t;
    return 1;
  }
  if (neq <= 0) {
    Message(MessageKind::illegal_input)
        .line("DLSODA-  NEQ (=I1) .lt. 1     ", 1, neq, 0, 0, 0.0, 0.0)
        .send(s.sink);
    return illegal_input(s, t);
  }
  if (neq > s.capacity) {
    const int lrw = std::max(20 + 16 * s.capacity, 22 + 9 * s.capacity + s.capacity * s.capacity);
    Message(MessageKind::illegal_input)
        .line("DLSODA-  RWORK length needed, LENRW (=I1), exceeds LRW (=I2)", 2,
              needed_real_work(neq), lrw, 0, 0.0, 0.0)
        .send(s.sink);
    return illegal_input(s, t);
  }
  if (rtol < 0.0) {
    Message(MessageKind::illegal_input)
        .line("DLSODA-  RTOL(I1) is R1 .lt. 0.0        ", 1, 1, 0, 1, rtol, 0.0)
        .send(s.sink);
    return illegal_input(s, t);
  }
  if (atol < 0.0) {
    Message(MessageKind::illegal_input)
        .line("DLSODA-  ATOL(I1) is R1 .lt. 0.0        ", 1, 1, 0, 1, atol, 0.0)
        .send(s.sink);
    return illegal_input(s, t);
  }
  s.f = f;
  s.context = context;
  s.y = y;
  s.rtol = rtol;
  s.atol = atol;
  s.n = neq;
  s.jtyp = JACOBIAN_DIFFERENCE_QUOTIENTS;
  s.ixpr = IXPR_DEFAULT;
  s.mxstep = MXSTEP_DEFAULT;
  s.mxhnil = MXHNIL_DEFAULT;
  s.hmxi = HMXI_DEFAULT;
  s.hmin = HMIN_DEFAULT;
  double h0 = 0.0;
  s.mxordn = MXORDN_DEFAULT;
  s.mxords = MXORDS_DEFAULT;
  s.meth = METHOD_ADAMS;
  s.nyh = s.n;
  const int n = s.n;
  double* f0 = yh + s.nyh;

  // Block C: initial values, f at the start, the error weights and H0.
  s.uround = UNIT_ROUNDOFF;
  s.tn = t;
  s.tsw = t;
  s.maxord = s.mxordn;
  s.jstart = 0;
  s.nhnil = 0;
  s.nst = 0;
  s.nje = 0;
  s.nslast = 0;
  s.hu = 0.0;
  s.nqu = 0;
  s.mused = 0;
  s.miter = JACOBIAN_NONE;
  s.ccmax = CCMAX_START;
  s.maxcor = MAXCOR_START;
  s.msbp = MSBP_START;
  s.mxncf = MXNCF_START;
  s.f(s.context, n, t, y, f0);
  s.nfe = 1;
  for (int i = 0; i < n; ++i) yh[i] = y[i];
  s.nq = 1;
  s.h = 1.0;
  set_error_weights(n, s.rtol, s.atol, yh, ewt);
  bad = invert_weights(n, ewt);
  if (bad != 0) {
    Message(MessageKind::illegal_input)
        .line("DLSODA-  EWT(I1) is R1 .le. 0.0         ", 1, bad, 0, 1, ewt[bad - 1], 0.0)
        .send(s.sink);
    return illegal_input(s, t);
  }
  {
    // H0 from the size of f and the tolerance (h0 = 0: not given by the caller).
    const double tdist = std::fabs(tout - t);
    const double w0 = fortran_max(std::fabs(t), std::fabs(tout));
    if (tdist < 2.0 * s.uround * w0) {
      Message(MessageKind::illegal_input)
          .line("DLSODA-  TOUT(=R1) too close to T(=R2) to start integration.", 0, 0, 0, 2,
                tout, t)
          .send(s.sink);
      return illegal_input(s, t);
    }
    double tol = s.rtol;
    if (!(tol > 0.0)) {
      const double atoli = s.atol;
      for (int i = 0; i < n; ++i) {
        const double ayi = std::fabs(y[i]);
        if (ayi != 0.0) tol = fortran_max(tol, atoli / ayi);
      }
    }
    tol = fortran_max(100.0 * s.uround, tol);
    tol = fortran_min(tol, 0.001);
    double sum = weighted_max_norm(n, f0, ewt);
    sum = 1.0 / (tol * w0 * w0) + tol * (sum * sum);
    h0 = 1.0 / std::sqrt(sum);
    h0 = fortran_min(h0, tdist);
    h0 = fortran_sign(h0, tout - t);
  }
  {
    // Adjust H0 to HMAX and scale YH(2) = h0*f.
    const double rh = std::fabs(h0) * s.hmxi;
    if (rh > 1.0) h0 = h0 / rh;
  }
  s.h = h0;
  for (int i = 0; i < n; ++i) f0[i] = h0 * f0[i];
  goto L270;

L250:
  // Block E: the loop over steps.
  if (s.nst - s.nslast >= s.mxstep) goto L500;
  set_error_weights(n, s.rtol, s.atol, yh, ewt);
  bad = invert_weights(n, ewt);
  if (bad != 0) goto L510;
L270: {
  double tolsf = s.uround * weighted_max_norm(n, yh, ewt);
  // As IF (TOLSF .LE. 0.01) GO TO 280: a NaN TOLSF is an error too.
  if (!(tolsf <= 0.01)) {
    tolsf = tolsf * 200.0;
    if (s.nst == 0) {
      Message(MessageKind::too_much_accuracy)
          .line("DLSODA-  At start of problem, too much accuracy   ")
          .line("      requested for precision of machine..  See TOLSF (=R1) ", 0, 0, 0, 1,
                tolsf, 0.0)
          .send(s.sink);
      return illegal_input(s, t);
    }
    Message(MessageKind::too_much_accuracy)
        .line("DLSODA-  At T (=R1), too much accuracy requested  ")
        .line("      for precision of machine..  See TOLSF (=R2) ", 0, 0, 0, 2, s.tn, tolsf)
        .send(s.sink);
    record_outputs(s, -2);
    goto L580;
  }
}
  if ((s.tn + s.h) == s.tn) {
    s.nhnil = s.nhnil + 1;
    if (s.nhnil <= s.mxhnil) {
      Message(MessageKind::step_size_warning)
          .line("DLSODA-  Warning..Internal T (=R1) and H (=R2) are")
          .line("      such that in the machine, T + H = T on the next step  ")
          .line("     (H = step size). Solver will continue anyway.", 0, 0, 0, 2, s.tn, s.h)
          .send(s.sink);
      if (s.nhnil == s.mxhnil) {
        Message(MessageKind::warning_limit)
            .line("DLSODA-  Above warning has been issued I1 times.  ")
            .line("     It will not be issued again for this problem.", 1, s.mxhnil, 0, 0, 0.0,
                  0.0)
            .send(s.sink);
      }
    }
  }
  take_step(s);
  // KGO = 1 - KFLAG: 1 success, 2 error test failures, 3 convergence failures.
  kgo = 1 - s.kflag;
  if (kgo == 2) goto L530;
  if (kgo == 3) goto L540;

  // Block F: the step succeeded; note a change of method.
  if (s.meth != s.mused) {
    s.tsw = s.tn;
    s.maxord = s.mxordn;
    if (s.meth == METHOD_BDF) s.maxord = s.mxords;
    if (s.meth == METHOD_BDF) s.wm[0] = std::sqrt(s.uround);
    s.jstart = -1;
    if (s.ixpr != 0) {
      Message note(MessageKind::method_switch);
      if (s.meth == METHOD_BDF) {
        note.line("DLSODA- A switch to the BDF (stiff) method has occurred     ");
      }
      if (s.meth == METHOD_ADAMS) {
        note.line("DLSODA- A switch to the Adams (nonstiff) method has occurred");
      }
      note.line("     at T = R1,  tentative step size H = R2,  step NST = I1 ", 1, s.nst, 0, 2,
                s.tn, s.h)
          .send(s.sink);
    }
  }
  // ITASK = 1: go on until TOUT is passed, then interpolate back to it.
  if ((s.tn - tout) * s.h < 0.0) goto L250;
  interpolate(s, tout, 0, y);
  t = tout;
  record_outputs(s, 2);
  return 2;

  // Block H: unsuccessful returns other than for illegal input.
L500:
  Message(MessageKind::too_many_steps)
      .line("DLSODA-  At current T (=R1), MXSTEP (=I1) steps   ")
      .line("      taken on this call before reaching TOUT     ", 1, s.mxstep, 0, 1, s.tn, 0.0)
      .send(s.sink);
  record_outputs(s, -1);
  goto L580;
L510:
  Message(MessageKind::zero_error_weight)
      .line("DLSODA-  At T (=R1), EWT(I1) has become R2 .le. 0.", 1, bad, 0, 2, s.tn,
            ewt[bad - 1])
      .send(s.sink);
  record_outputs(s, -6);
  goto L580;
L530:
  Message(MessageKind::error_test_failures)
      .line("DLSODA-  At T(=R1) and step size H(=R2), the error")
      .line("      test failed repeatedly or with abs(H) = HMIN", 0, 0, 0, 2, s.tn, s.h)
      .send(s.sink);
  record_outputs(s, -4);
  goto L580;
L540:
  Message(MessageKind::convergence_failures)
      .line("DLSODA-  At T (=R1) and step size H (=R2), the    ")
      .line("      corrector convergence failed repeatedly     ")
      .line("      or with abs(H) = HMIN   ", 0, 0, 0, 2, s.tn, s.h)
      .send(s.sink);
  record_outputs(s, -5);
L580:
  // Return the last values reached.
  for (int i = 0; i < n; ++i) y[i] = yh[i];
  t = s.tn;
  return s.statistics.istate;
}

}  // namespace tarvo::lsoda
