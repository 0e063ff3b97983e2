// Reentrant LSODA: the published DLSODA algorithm (automatic switching between
// Adams and BDF methods) with every piece of solver state in one object, so
// integrations on different threads never interfere.
#pragma once

namespace lsoda {

// Right-hand side dy/dt = f(t, y). `y` is the caller's whole state array,
// which may be longer than `neq`; f writes ydot[0..neq).
using RightHandSide = void (*)(void* context, int neq, double t, const double* y, double* ydot);

// Outcome and step statistics of the last call of Solver::integrate.
struct Statistics {
  // ISTATE as DLSODA returns it: 2 success, 1 nothing done (TOUT = T),
  // -1 MXSTEP exceeded, -2 too much accuracy, -3 illegal input, -4 repeated
  // error test failures, -5 repeated convergence failures, -6 EWT(i) <= 0.
  int istate = 0;
  // Steps taken (NST), right-hand-side calls (NFE), Jacobians formed (NJE).
  int nst = 0;
  int nfe = 0;
  int nje = 0;
  // Order (NQU) and method (1 Adams, 2 BDF) of the last successful step.
  int nqu = 0;
  int mused = 0;
  // Size of the last successful step (HU) and current internal time (TCUR).
  double hu = 0.0;
  double tcur = 0.0;
};

class SolverState;

// One solver: owns its work space, reused by every call of integrate().
class Solver {
 public:
  // Work space for systems of up to max_neq equations, allocated once here.
  explicit Solver(int max_neq);
  ~Solver();
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  // Integrate y[0..neq) from t to tout, starting afresh (ISTATE = 1) with
  // scalar tolerances (ITOL = 1), ITASK = 1, IOPT = 0 and a full Jacobian by
  // difference quotients (JT = 2). Entries of y beyond neq are never touched.
  // On return t is the time reached. Returns ISTATE; diagnostics go to stdout
  // exactly as DLSODA prints them. Allocates nothing.
  int integrate(RightHandSide f, void* context, int neq, double* y, double& t, double tout,
                double rtol, double atol);

  // Statistics of the last call.
  const Statistics& statistics() const;

  // Largest system this solver has work space for.
  int max_neq() const;

 private:
  SolverState* state_;
};

}  // namespace lsoda
