// DFNORM: the weighted norm of the iteration matrix.
#include <cmath>

#include "fortran_math.hpp"
#include "routines.hpp"

namespace tarvo::lsoda {

double weighted_matrix_norm(int n, const double* a, const double* w) {
  double an = 0.0;
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) sum = sum + std::fabs(a[i + j * n]) / w[j];
    an = fortran_max(an, sum * w[i]);
  }
  return an;
}

}  // namespace tarvo::lsoda
