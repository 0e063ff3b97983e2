// LU factorisation and solve in LINPACK's and in LAPACK's elimination order.
#include "linear_algebra.hpp"

#include <cfloat>
#include <cmath>

namespace lsoda {

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

int factor_linpack(double* a, int n, int* pivots) {
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

void solve_linpack(const double* a, int n, const int* pivots, double* b) {
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

int factor_lapack(double* a, int n, int* pivots) {
  // OpenBLAS getf2: column j is first brought up to date with the columns
  // before it, then its pivot is chosen and its multipliers scaled.
  int info = 0;
  for (int j = 0; j < n; ++j) {
    double* b = a + j * n;
    for (int i = 0; i < j; ++i) {
      const int ip = pivots[i] - 1;
      if (ip != i) {
        const double t = b[i];
        b[i] = b[ip];
        b[ip] = t;
      }
    }
    // Rows above the diagonal: b(i) minus a dot product (DDOT, strided:
    // two partial sums over groups of four, then the rest into the first).
    for (int i = 1; i < j; ++i) {
      double first = 0.0;
      double second = 0.0;
      int k = 0;
      for (; k < (i & ~3); k += 4) {
        const double m1 = b[k] * a[i + k * n];
        const double m2 = b[k + 1] * a[i + (k + 1) * n];
        const double m3 = b[k + 2] * a[i + (k + 2) * n];
        const double m4 = b[k + 3] * a[i + (k + 3) * n];
        first += m1 + m3;
        second += m2 + m4;
      }
      for (; k < i; ++k) first += b[k] * a[i + k * n];
      b[i] -= first + second;
    }
    // Rows from the diagonal down (DGEMV with alpha = -1): the first
    // column alone is one product; otherwise each row subtracts the sum of
    // its products, four columns at a time in the four-row blocks.
    if (j > 0) {
      const int rows = n - j;
      const int block_rows = rows & ~3;
      for (int i = j; i < j + block_rows; ++i) {
        int k0 = 0;
        // Groups of four columns, then a pair, then a single column.
        for (; k0 + 4 <= j; k0 += 4) {
          b[i] += a[i + k0 * n] * -b[k0] + a[i + (k0 + 1) * n] * -b[k0 + 1] +
                  a[i + (k0 + 2) * n] * -b[k0 + 2] + a[i + (k0 + 3) * n] * -b[k0 + 3];
        }
        if (((j - k0) & 2) != 0) {
          b[i] += a[i + k0 * n] * -b[k0] + a[i + (k0 + 1) * n] * -b[k0 + 1];
          k0 += 2;
        }
        if (((j - k0) & 1) != 0) b[i] += a[i + k0 * n] * -b[k0];
      }
      for (int i = j + block_rows; i < n; ++i) {
        double sum = 0.0;
        for (int k = 0; k < j; ++k) sum += a[i + k * n] * b[k];
        b[i] += -1.0 * sum;
      }
    }
    const int jp = j + index_of_max_abs(n - j, b + j);
    pivots[j] = jp;
    const double pivot = b[jp - 1];
    if (pivot == 0.0) {
      if (info == 0) info = j + 1;
      continue;
    }
    if (jp - 1 != j) {
      for (int k = 0; k <= j; ++k) {
        const double t = a[j + k * n];
        a[j + k * n] = a[(jp - 1) + k * n];
        a[(jp - 1) + k * n] = t;
      }
    }
    if (std::fabs(pivot) >= DBL_MIN) {
      const double reciprocal = 1.0 / pivot;
      for (int i = j + 1; i < n; ++i) b[i] *= reciprocal;
    } else {
      for (int i = j + 1; i < n; ++i) b[i] /= pivot;
    }
  }
  return info;
}

void solve_lapack(const double* a, int n, const int* pivots, double* b) {
  // DLASWP: all interchanges first.
  for (int k = 0; k < n; ++k) {
    const int ip = pivots[k] - 1;
    if (ip != k) {
      const double t = b[k];
      b[k] = b[ip];
      b[ip] = t;
    }
  }
  // DTRSV, unit lower: column-oriented updates.
  for (int k = 0; k < n - 1; ++k) {
    const double t = -b[k];
    for (int i = k + 1; i < n; ++i) b[i] += t * a[i + k * n];
  }
  // DTRSV, upper: divide by the diagonal, then update the rows above.
  for (int k = n - 1; k >= 0; --k) {
    b[k] /= a[k + k * n];
    const double t = -b[k];
    for (int i = 0; i < k; ++i) b[i] += t * a[i + k * n];
  }
}

}  // namespace lsoda
