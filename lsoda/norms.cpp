// Error weights and the weighted norms of DLSODA (DEWSET, DMNORM, DFNORM).
#include <cmath>

#include "fortran_math.hpp"
#include "routines.hpp"

namespace lsoda {

void set_error_weights(int n, double rtol, double atol, const double* ycur, double* ewt) {
  for (int i = 0; i < n; ++i) ewt[i] = rtol * std::fabs(ycur[i]) + atol;
}

double weighted_max_norm(int n, const double* v, const double* w) {
  // The reference build vectorises the maximum over two lanes (even and
  // odd entries), then folds the lanes and the odd last entry; for values
  // without NaN this is exactly max |v(i)|*w(i).
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

double weighted_matrix_norm(int n, const double* a, const double* w) {
  double an = 0.0;
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) sum = sum + std::fabs(a[i + j * n]) / w[j];
    an = fortran_max(an, sum * w[i]);
  }
  return an;
}

}  // namespace lsoda
