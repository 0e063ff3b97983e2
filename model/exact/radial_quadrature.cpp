// Gauss-Legendre nodes by Newton's method on the Legendre polynomial from
// the usual cosine starting guesses, and the radial rule built on them.
#include "radial_quadrature.hpp"

#include <cmath>

namespace tarvo::exact {

void gauss_legendre(int n, double* nodes, double* weights) {
  for (int i = 0; i < n; ++i) {
    // Root i of P_n on (-1, 1), decreasing in i.
    double x = std::cos(MODEL_PI * (i + 0.75) / (n + 0.5));
    double derivative = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      // P_n'(x) = n (x P_n - P_{n-1}) / (x^2 - 1).
      derivative = n * (x * p1 - p0) / (x * x - 1.0);
      const double step = p1 / derivative;
      x -= step;
      if (std::fabs(step) <= 1e-16) break;
    }
    // Mapped to (0, 1) in increasing order; the weights halve.
    nodes[n - 1 - i] = 0.5 * (1.0 + x);
    weights[n - 1 - i] = 1.0 / ((1.0 - x * x) * derivative * derivative);
  }
}

void radial_rule(int n, double* fractions, double* weights) {
  gauss_legendre(n, fractions, weights);
  double total = 0.0;
  for (int r = 0; r < n; ++r) {
    const double s = fractions[r];
    fractions[r] = s * s * s;
    weights[r] = 3.0 * (s * s) * weights[r];
    total += weights[r];
  }
  // Exactly 1 from two nodes on (3 s^2 is a quadratic), but not for one node:
  // the rule keeps the whole beam's energy for every n.
  for (int r = 0; r < n; ++r) weights[r] /= total;
}

}  // namespace tarvo::exact
