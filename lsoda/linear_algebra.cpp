// LINPACK's DGEFA and DGESL with the BLAS routines they call, operation for
// operation.
#include "linear_algebra.hpp"

#include <cmath>

namespace tarvo::lsoda {

namespace {

// BLAS IDAMAX (unit stride): 1-based index of the first largest |x(i)|.
int index_of_max_abs(int n, const double* x) {
  if (n < 1) return 0;
  int index = 1;
  double largest = std::fabs(x[0]);
  for (int i = 2; i <= n; ++i) {
    if (std::fabs(x[i - 1]) > largest) {
      index = i;
      largest = std::fabs(x[i - 1]);
    }
  }
  return index;
}

// BLAS DAXPY (unit stride): y += da*x, skipped entirely when da = 0.
void add_scaled(int n, double da, const double* x, double* y) {
  if (n <= 0 || da == 0.0) return;
  for (int i = 0; i < n; ++i) y[i] = y[i] + da * x[i];
}

// BLAS DSCAL (unit stride): x *= da.
void scale(int n, double da, double* x) {
  for (int i = 0; i < n; ++i) x[i] = da * x[i];
}

}  // namespace

int factor_lu(double* a, int n, int* pivots) {
  // a(i,k) of the Fortran (1-based) at a[(i-1) + (k-1)*n].
  int info = 0;
  for (int k = 1; k <= n - 1; ++k) {
    double* column_k = a + (k - 1) * n;
    const int l = index_of_max_abs(n - k + 1, column_k + (k - 1)) + k - 1;
    pivots[k - 1] = l;
    // A zero pivot means the column is already triangular.
    if (column_k[l - 1] == 0.0) {
      info = k;
      continue;
    }
    if (l != k) {
      const double t = column_k[l - 1];
      column_k[l - 1] = column_k[k - 1];
      column_k[k - 1] = t;
    }
    // Multipliers, negated.
    scale(n - k, -1.0 / column_k[k - 1], column_k + k);
    // Row elimination with column indexing.
    for (int j = k + 1; j <= n; ++j) {
      double* column_j = a + (j - 1) * n;
      const double t = column_j[l - 1];
      if (l != k) {
        column_j[l - 1] = column_j[k - 1];
        column_j[k - 1] = t;
      }
      add_scaled(n - k, t, column_k + k, column_j + k);
    }
  }
  pivots[n - 1] = n;
  if (a[(n - 1) + (n - 1) * n] == 0.0) info = n;
  return info;
}

void solve_lu(const double* a, int n, const int* pivots, double* b) {
  // Forward: L y = b, interchanging as the factorisation did.
  for (int k = 1; k <= n - 1; ++k) {
    const int l = pivots[k - 1];
    const double t = b[l - 1];
    if (l != k) {
      b[l - 1] = b[k - 1];
      b[k - 1] = t;
    }
    add_scaled(n - k, t, a + k + (k - 1) * n, b + k);
  }
  // Backward: U x = y.
  for (int kb = 1; kb <= n; ++kb) {
    const int k = n + 1 - kb;
    b[k - 1] = b[k - 1] / a[(k - 1) + (k - 1) * n];
    const double t = -b[k - 1];
    add_scaled(k - 1, t, a + (k - 1) * n, b);
  }
}

}  // namespace tarvo::lsoda
