// Gauss-Laguerre nodes by Newton's method on the Laguerre polynomial, from
// the usual asymptotic starting guesses.
#include "radial_quadrature.hpp"

#include <cmath>

namespace tarvo::exact {

void gauss_laguerre(int n, double* nodes, double* weights) {
  double x = 0.0;
  for (int i = 0; i < n; ++i) {
    // Starting guesses for the roots in increasing order.
    if (i == 0) {
      x = 3.0 / (1.0 + 2.4 * n);
    } else if (i == 1) {
      x += 15.0 / (1.0 + 2.5 * n);
    } else {
      const double a = i - 1;
      x += ((1.0 + 2.55 * a) / (1.9 * a)) * (x - nodes[i - 2]);
    }
    double derivative = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p0 = 1.0, p1 = 1.0 - x;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0 - x) * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      derivative = n * (p1 - p0) / x;
      const double step = p1 / derivative;
      x -= step;
      if (std::fabs(step) <= 1e-15 * std::fabs(x)) break;
    }
    nodes[i] = x;
    weights[i] = 1.0 / (x * derivative * derivative);
  }
}

}  // namespace tarvo::exact
