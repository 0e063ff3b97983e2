// Gauss-Legendre nodes by Newton's method on the Legendre polynomial.
#include "radial_quadrature.hpp"

#include <cmath>

namespace tarvo::exact {

void gauss_legendre_unit(int n, double* nodes, double* weights) {
  const double pi = 3.141592653589793;
  // The roots on (-1, 1) come in pairs +-x; find the positive ones.
  for (int i = 0; i < (n + 1) / 2; ++i) {
    double x = std::cos(pi * (i + 0.75) / (n + 0.5));
    double derivative = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      // P_n(x) and P_n'(x) by the three-term recurrence.
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      derivative = n * (x * p1 - p0) / (x * x - 1.0);
      const double step = p1 / derivative;
      x -= step;
      if (std::fabs(step) <= 1e-16 * std::fabs(x) + 1e-300) break;
    }
    // Weight on (-1, 1) is 2 / ((1 - x^2) P_n'(x)^2); halved for (0, 1).
    const double weight = 1.0 / ((1.0 - x * x) * derivative * derivative);
    nodes[i] = 0.5 * (1.0 - x);
    nodes[n - 1 - i] = 0.5 * (1.0 + x);
    weights[i] = weights[n - 1 - i] = weight;
  }
}

}  // namespace tarvo::exact
