// The Fortran intrinsics that DLSODA uses, with the semantics of the
// reference build (gfortran, x86-64), so that every comparison and every
// rounding comes out as there.
#pragma once

#include <cmath>

namespace tarvo::lsoda {

// MAX of two doubles as gfortran compiles it on x86-64 (one MAXSD): b unless
// a > b, so a NaN in either argument yields b. gfortran is free to order the
// operands of each MAX; callers pass them in the order of the reference
// build (SciPy 1.14.1's LSODA), which is sometimes the reverse of the
// Fortran source. Without NaN the order makes no difference.
inline double fortran_max(double a, double b) { return a > b ? a : b; }

// MIN of two doubles as gfortran compiles it on x86-64 (one MINSD): b unless
// a < b; operand order as for fortran_max.
inline double fortran_min(double a, double b) { return a < b ? a : b; }

// SIGN(a, b): |a| with the sign bit of b.
inline double fortran_sign(double a, double b) { return std::copysign(std::fabs(a), b); }

// x**m for an integer m, by the repeated squaring of libgcc's __powidf2.
inline double fortran_integer_power(double x, int m) {
  unsigned int n = m < 0 ? -static_cast<unsigned int>(m) : static_cast<unsigned int>(m);
  double y = (n % 2) != 0 ? x : 1.0;
  while ((n >>= 1) != 0) {
    x = x * x;
    if ((n % 2) != 0) y = y * x;
  }
  return m < 0 ? 1.0 / y : y;
}

}  // namespace tarvo::lsoda
