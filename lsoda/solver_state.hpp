// Everything one DLSODA integration keeps between its internal routines: the
// contents of the common blocks LS0001 and LSA001 and of RWORK/IWORK, held in
// one object per solver instead of process-wide storage.
#pragma once

#include <vector>

#include "lsoda.hpp"

namespace lsoda {

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

class SolverState {
 public:
  // Work space for up to max_neq equations, allocated here and only here.
  explicit SolverState(int max_neq);

  // --- problem ---------------------------------------------------------
  RightHandSide f = nullptr;
  void* context = nullptr;
  // The caller's state array (all of it goes to f; entries 0..n-1 integrated).
  double* y = nullptr;
  double rtol = 0.0;
  double atol = 0.0;
  // N: equations of the current problem; NYH: leading dimension of YH.
  int n = 0;
  int nyh = 0;
  // JTYP: Jacobian type to use once stiff (2, difference quotients).
  int jtyp = 0;

  // --- work space (owned, sized once for max_neq) ------------------------
  int capacity = 0;
  // YH: Nordsieck history, column j (0-based) at yh[j * nyh].
  std::vector<double> yh;
  // EWT (reciprocal weights once set), SAVF, ACOR.
  std::vector<double> ewt;
  std::vector<double> savf;
  std::vector<double> acor;
  // WM: WM(1) = sqrt(UROUND), WM(2) unused here, WM(3..) the n x n iteration matrix.
  std::vector<double> wm;
  // IWM(21..): pivot indices of the LU factors (1-based, as in Fortran).
  std::vector<int> pivots;

  // --- step data (LS0001) ------------------------------------------------
  double conit = 0.0;
  double crate = 0.0;
  double el[13] = {};
  // ELCO(13,12) and TESCO(3,12), column-major as in Fortran.
  double elco[12][13] = {};
  double tesco[12][3] = {};
  double hold = 0.0;
  double rmax = 0.0;
  double ccmax = 0.0;
  double el0 = 0.0;
  double h = 0.0;
  double hu = 0.0;
  double rc = 0.0;
  double tn = 0.0;
  double uround = 0.0;
  int ialth = 0;
  int ipup = 0;
  int lmax = 0;
  int nqnyh = 0;
  int nslp = 0;
  int icf = 0;
  int ierpj = 0;
  int iersl = 0;
  int jcur = 0;
  int jstart = 0;
  int kflag = 0;
  int l = 0;
  int meth = 0;
  int miter = 0;
  int maxord = 0;
  int maxcor = 0;
  int msbp = 0;
  int mxncf = 0;
  int nq = 0;

  // --- method-switch data (LSA001) ---------------------------------------
  double tsw = 0.0;
  double pdnorm = 0.0;
  double pdest = 0.0;
  double pdlast = 0.0;
  double ratio = 0.0;
  double cm1[12] = {};
  double cm2[5] = {};
  int icount = 0;
  int irflag = 0;
  int mused = 0;
  int mxordn = 0;
  int mxords = 0;

  // --- limits --------------------------------------------------------------
  int mxstep = 0;
  int mxhnil = 0;
  int ixpr = 0;
  double hmin = 0.0;
  double hmxi = 0.0;

  // --- counters ------------------------------------------------------------
  int nst = 0;
  int nfe = 0;
  int nje = 0;
  int nqu = 0;
  int nhnil = 0;
  int nslast = 0;

  // Outcome of the last call, for Solver::statistics().
  Statistics statistics;
};

}  // namespace lsoda
