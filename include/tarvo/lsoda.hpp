// Reentrant LSODA: the published DLSODA algorithm (automatic switching between
// Adams and BDF methods) with every piece of solver state in one object, so
// integrations on different threads never interfere.
#pragma once

#include "tarvo/diagnostics.hpp"
#include "tarvo/export.hpp"

namespace tarvo::lsoda {

// Right-hand side dy/dt = f(t, y). `y` is the caller's whole state array,
// which may be longer than `neq`; f writes ydot[0..neq). `context` is the
// pointer given to Solver::integrate.
using RightHandSide = void (*)(const void* context, int neq, double t, const double* y,
                               double* ydot);

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
class TARVO_API Solver {
 public:
  // Work space for systems of up to max_neq equations, allocated once here
  // (throws std::bad_alloc). Diagnostics go to `sink` (nullptr: stdout).
  explicit Solver(int max_neq, DiagnosticsSink* sink = nullptr);
  ~Solver();
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  // Integrate y[0..neq) from t to tout, starting afresh (ISTATE = 1) with
  // scalar tolerances (ITOL = 1), ITASK = 1, IOPT = 0 and a full Jacobian by
  // difference quotients (JT = 2). Entries of y beyond neq are never touched.
  // On return t is the time reached. Returns ISTATE; diagnostics go to the
  // solver's sink, one complete message at a time, in DLSODA's wording and
  // layout. Allocates nothing.
  int integrate(RightHandSide f, const void* context, int neq, double* y, double& t, double tout,
                double rtol, double atol);

  // Statistics of the last call.
  const Statistics& statistics() const;

  // Largest system this solver has work space for.
  int max_neq() const;

 private:
  SolverState* state_;
};

// A formatted numeric field with its terminating NUL (no heap involved).
struct FortranField {
  char text[32];
};

// Fortran's D21.13 edit descriptor as gfortran writes it, e.g. 1.0 ->
// "  0.1000000000000D+01" and 1e100 -> "  0.1000000000000+101": how the
// solver's messages print their real values.
TARVO_API FortranField fortran_d21_13(double value);

}  // namespace tarvo::lsoda
