// Error weights and the weighted max-norm (DEWSET with ITOL = 1, DMNORM),
// inline because every step calls them several times.
#pragma once

#include <cmath>

#include "fortran_math.hpp"

namespace tarvo::lsoda {

// DEWSET with ITOL = 1: ewt(i) = rtol*|ycur(i)| + atol.
inline void set_error_weights(int n, double rtol, double atol, const double* ycur, double* ewt) {
  for (int i = 0; i < n; ++i) ewt[i] = rtol * std::fabs(ycur[i]) + atol;
}

// DMNORM: max |v(i)|*w(i). The reference build vectorises this maximum over
// two lanes (even and odd entries), folds the lanes, then takes the odd last
// entry; for values without NaN that is exactly the plain maximum, and with
// a NaN it keeps or drops it just as that build does.
inline double weighted_max_norm(int n, const double* v, const double* w) {
  double even = 0.0;
  double odd = 0.0;
  const int pairs = n / 2;
  for (int k = 0; k < pairs; ++k) {
    even = fortran_max(even, std::fabs(v[2 * k]) * w[2 * k]);
    odd = fortran_max(odd, std::fabs(v[2 * k + 1]) * w[2 * k + 1]);
  }
  double vm = pairs > 0 ? fortran_max(odd, even) : 0.0;
  if (n % 2 != 0) vm = fortran_max(vm, std::fabs(v[n - 1]) * w[n - 1]);
  return vm;
}

}  // namespace tarvo::lsoda
