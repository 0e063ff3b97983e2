// Everything one DLSODA integration keeps between its internal routines: the
// contents of the common blocks LS0001 and LSA001 and of RWORK/IWORK, held in
// one object per solver instead of process-wide storage.
#pragma once

#include <vector>

#include "tarvo/lsoda.hpp"

namespace tarvo::lsoda {

// Optional inputs at their IOPT = 0 defaults.
inline constexpr int MXSTEP_DEFAULT = 500;
inline constexpr int MXHNIL_DEFAULT = 10;
inline constexpr int MXORDN_DEFAULT = 12;
inline constexpr int MXORDS_DEFAULT = 5;
inline constexpr double HMIN_DEFAULT = 0.0;
// 1/HMAX: zero for an unbounded step size.
inline constexpr double HMXI_DEFAULT = 0.0;
// No notes about method switches.
inline constexpr int IXPR_DEFAULT = 0;

// Highest orders of the two methods; the Nordsieck history holds one column
// more than the highest order.
inline constexpr int ADAMS_MAX_ORDER = 12;
inline constexpr int BDF_MAX_ORDER = 5;
inline constexpr int HISTORY_COLUMNS = ADAMS_MAX_ORDER + 1;

// Corrector controls that DLSODA fixes at the start of a problem.
inline constexpr double CCMAX_START = 0.3;
inline constexpr int MAXCOR_START = 3;
inline constexpr int MSBP_START = 20;
inline constexpr int MXNCF_START = 10;

// DUMACH: the unit roundoff of IEEE double precision.
inline constexpr double UNIT_ROUNDOFF = 2.220446049250313e-16;

// Method codes (METH) and iteration codes (MITER) used here.
inline constexpr int METHOD_ADAMS = 1;
inline constexpr int METHOD_BDF = 2;
inline constexpr int JACOBIAN_NONE = 0;
// JT = 2 (MITER = 2 once stiff): full Jacobian by difference quotients.
inline constexpr int JACOBIAN_DIFFERENCE_QUOTIENTS = 2;

class SolverState {
 public:
  // Work space for up to max_neq equations, allocated here and only here;
  // messages go to `diagnostics`.
  SolverState(int max_neq, DiagnosticsSink& diagnostics);

  // Where the messages of this solver go.
  DiagnosticsSink& sink;

  // --- problem ---------------------------------------------------------
  // Right-hand side and its context pointer.
  RightHandSide f = nullptr;
  const void* context = nullptr;
  // The caller's state array (all of it goes to f; entries 0..n-1 integrated).
  double* y = nullptr;
  // Scalar relative and absolute tolerances (ITOL = 1).
  double rtol = 0.0;
  double atol = 0.0;
  // N: equations of the current problem.
  int n = 0;
  // NYH: leading dimension of YH (= N).
  int nyh = 0;
  // JTYP: Jacobian type used once stiff (2, difference quotients).
  int jtyp = 0;

  // --- work space (owned, sized once for max_neq) ------------------------
  // Largest N the arrays below hold.
  int capacity = 0;
  // YH: Nordsieck history, column j (0-based) at yh[j * nyh].
  std::vector<double> yh;
  // EWT: error weights, held as their reciprocals during the steps.
  std::vector<double> ewt;
  // SAVF: f at the predicted y, then scratch.
  std::vector<double> savf;
  // ACOR: accumulated corrections of the step (also FTEM of DPRJA).
  std::vector<double> acor;
  // WM: WM(1) = sqrt(UROUND), WM(2) unused here, WM(3..) the n x n matrix P.
  std::vector<double> wm;
  // IWM(21..): pivot indices of the LU factors of P (1-based).
  std::vector<int> pivots;

  // --- method coefficients, computed once (DCFODE) ------------------------
  // The tables as DCFODE leaves them: the Adams ones written over zeros, the
  // BDF ones written over the Adams ones (as the Fortran's ELCO and TESCO are
  // whenever BDF takes over); every later load is a copy of one of them.
  double adams_elco[12][13] = {};
  double adams_tesco[12][3] = {};
  double bdf_elco[12][13] = {};
  double bdf_tesco[12][3] = {};
  // CM1, CM2 of the two methods, from those tables.
  double adams_cm[12] = {};
  double bdf_cm[5] = {};

  // --- step data (LS0001) ------------------------------------------------
  // CONIT: convergence test constant 0.5/(nq+2).
  double conit = 0.0;
  // CRATE: estimated corrector convergence rate.
  double crate = 0.0;
  // EL: coefficients of the current method and order.
  double el[13] = {};
  // ELCO(13,12): EL for every order, column-major as in Fortran.
  double elco[12][13] = {};
  // TESCO(3,12): error test constants for orders nq-1, nq, nq+1.
  double tesco[12][3] = {};
  // HOLD: step size before the last change; RMAX: largest ratio allowed next.
  double hold = 0.0;
  double rmax = 0.0;
  // CCMAX: relative change of h*el0 that forces a new Jacobian.
  double ccmax = 0.0;
  // EL0: el(1) of the last Jacobian evaluation.
  double el0 = 0.0;
  // H: step size to try next; HU: last successful step size.
  double h = 0.0;
  double hu = 0.0;
  // RC: ratio of h*el(1) now to its value at the last Jacobian.
  double rc = 0.0;
  // TN: the internal time TCUR.
  double tn = 0.0;
  // UROUND: unit roundoff.
  double uround = 0.0;
  // IALTH: steps until an order change is considered.
  int ialth = 0;
  // IPUP: nonzero when the Jacobian must be re-evaluated.
  int ipup = 0;
  // LMAX: maxord + 1.
  int lmax = 0;
  // NQNYH: nq * nyh.
  int nqnyh = 0;
  // NSLP: step count at the last Jacobian evaluation.
  int nslp = 0;
  // ICF: corrector failure flag of the last step (0, 1, 2).
  int icf = 0;
  // IERPJ: singular P; IERSL: solve failure.
  int ierpj = 0;
  int iersl = 0;
  // JCUR: 1 while the Jacobian is current.
  int jcur = 0;
  // JSTART: 0 first step, -1 after a change of method, > 0 continuing.
  int jstart = 0;
  // KFLAG: outcome of the last step (0, -1 error test, -2 convergence).
  int kflag = 0;
  // L: nq + 1.
  int l = 0;
  // METH: current method (1 Adams, 2 BDF); MITER: iteration (0 or 2).
  int meth = 0;
  int miter = 0;
  // MAXORD: highest order of the current method.
  int maxord = 0;
  // MAXCOR: corrector iterations per attempt; MSBP: steps between Jacobians;
  // MXNCF: convergence failures allowed per step.
  int maxcor = 0;
  int msbp = 0;
  int mxncf = 0;
  // NQ: current order.
  int nq = 0;

  // --- method-switch data (LSA001) ---------------------------------------
  // TSW: time of the last method switch.
  double tsw = 0.0;
  // PDNORM: norm of the Jacobian at its last evaluation.
  double pdnorm = 0.0;
  // PDEST: Lipschitz estimate of this step; PDLAST: its last nonzero value.
  double pdest = 0.0;
  double pdlast = 0.0;
  // RATIO: step-size advantage required before switching.
  double ratio = 0.0;
  // CM1, CM2: error constants of the Adams and BDF orders.
  double cm1[12] = {};
  double cm2[5] = {};
  // ICOUNT: steps before a switch is considered again.
  int icount = 0;
  // IRFLAG: 1 if the step size was limited by Adams stability.
  int irflag = 0;
  // MUSED: method of the last successful step.
  int mused = 0;
  // MXORDN, MXORDS: highest Adams and BDF orders allowed.
  int mxordn = 0;
  int mxords = 0;

  // --- limits --------------------------------------------------------------
  // MXSTEP: steps allowed per call; MXHNIL: T + H = T warnings printed.
  int mxstep = 0;
  int mxhnil = 0;
  // IXPR: print a note at each method switch.
  int ixpr = 0;
  // HMIN: smallest step size; HMXI: 1/HMAX.
  double hmin = 0.0;
  double hmxi = 0.0;

  // --- counters ------------------------------------------------------------
  // NST, NFE, NJE: steps, f evaluations, Jacobians; NQU: order of the last step.
  int nst = 0;
  int nfe = 0;
  int nje = 0;
  int nqu = 0;
  // NHNIL: T + H = T occurrences; NSLAST: NST at the start of the call.
  int nhnil = 0;
  int nslast = 0;

  // Outcome of the last call, for Solver::statistics().
  Statistics statistics;
};

}  // namespace tarvo::lsoda
