// The far-field kernels of the closed aperture (see far_field.hpp).
#include "far_field.hpp"

#include <algorithm>
#include <cmath>

#include "peak_interpolation.hpp"
#include "radial_quadrature.hpp"
#include "tarvo/exact.hpp"

namespace tarvo::exact {
namespace {

// The radial integral runs over u in [0, U]: t(u) - t(0) falls as exp(-2u),
// the beam as exp(-u), so the integrand is below exp(-24) beyond.
constexpr double RADIAL_EXTENT = 8.0;
// Gauss-Legendre nodes per panel, and the phase (rad) one panel resolves.
constexpr int PANEL_NODES = 16;
constexpr double PANEL_PHASE = 6.0;

}  // namespace

int far_field_nodes(double S) {
  const double psi_a = -0.5 * std::log1p(-S);
  return std::clamp(static_cast<int>(std::ceil(2.0 + 4.0 * psi_a)), 2, MAX_FAR_NODES);
}

void far_field_kernel(double S, int nodes, double x, double peak, double peak_max, int m,
                      const FarFieldKernel& out, double* row) {
  const double psi_a = -0.5 * std::log1p(-S);
  double psi_node[MAX_FAR_NODES], psi_weight[MAX_FAR_NODES];
  gauss_legendre(nodes, psi_node, psi_weight);
  const double spread = 1.0 + x * x;
  for (int q = 0; q < nodes; ++q) {
    psi_node[q] *= psi_a;
    out.weight[q] = psi_a * psi_weight[q] * (2.0 * spread / S);
    out.weight_x[q] = psi_a * psi_weight[q] * (4.0 * x / S);
  }
  // The linear part: t(0) times the transform of the beam.
  double at_zero[MAX_INTENSITY_POINTS];
  peak_weights(m, peak_max, 0.0, at_zero);
  for (int q = 0; q < nodes; ++q) {
    const double psi = psi_node[q];
    // exp(-(1 + i x) psi) / (1 - i x) and its x derivative: times (-i psi + i / (1 - i x)).
    const double magnitude = std::exp(-psi) / spread;
    const double c = std::cos(x * psi), s = -std::sin(x * psi);
    // (c + i s) (1 + i x) / (1 + x^2)
    const double f_re = magnitude * (c - s * x), f_im = magnitude * (s + c * x);
    // 1 / (1 - i x) = (1 + i x) / spread: i / (1 - i x) = (-x + i) / spread
    const double g_re = -x / spread, g_im = 1.0 / spread - psi;
    const double fx_re = f_re * g_re - f_im * g_im, fx_im = f_re * g_im + f_im * g_re;
    for (int j = 0; j < m; ++j) {
      out.re[q * m + j] = f_re * at_zero[j];
      out.im[q * m + j] = f_im * at_zero[j];
      out.x_re[q * m + j] = fx_re * at_zero[j];
      out.x_im[q * m + j] = fx_im * at_zero[j];
    }
  }
  // The rest, t(u) - t(0), by composite Gauss-Legendre in u.
  double unit_node[PANEL_NODES], unit_weight[PANEL_NODES];
  gauss_legendre(PANEL_NODES, unit_node, unit_weight);
  const double bessel_scale = 2.0 * std::sqrt(spread);
  const double phase = std::fabs(x) * RADIAL_EXTENT + bessel_scale * std::sqrt(psi_a * RADIAL_EXTENT);
  const int panels = 2 + static_cast<int>(std::ceil(phase / PANEL_PHASE));
  const double width = RADIAL_EXTENT / panels;
  for (int panel = 0; panel < panels; ++panel) {
    for (int k = 0; k < PANEL_NODES; ++k) {
      const double u = width * (panel + unit_node[k]);
      const double weight = width * unit_weight[k] * std::exp(-u);
      peak_weights(m, peak_max, std::min(peak * std::exp(-2.0 * u), peak_max), row);
      for (int j = 0; j < m; ++j) row[j] -= at_zero[j];
      const double c = std::cos(x * u), s = std::sin(x * u);
      for (int q = 0; q < nodes; ++q) {
        const double argument = bessel_scale * std::sqrt(psi_node[q] * u);
        const double j0 = std::cyl_bessel_j(0.0, argument);
        const double j1 = std::cyl_bessel_j(1.0, argument);
        // f = weight exp(i x u) J0; df/dx = weight exp(i x u) (i u J0 - J1 A x / spread).
        const double f_re = weight * c * j0, f_im = weight * s * j0;
        const double radial = -j1 * argument * x / spread;
        const double fx_re = weight * (c * radial - s * u * j0);
        const double fx_im = weight * (s * radial + c * u * j0);
        double* re = out.re + q * m;
        double* im = out.im + q * m;
        double* x_re = out.x_re + q * m;
        double* x_im = out.x_im + q * m;
        for (int j = 0; j < m; ++j) {
          re[j] += f_re * row[j];
          im[j] += f_im * row[j];
          x_re[j] += fx_re * row[j];
          x_im[j] += fx_im * row[j];
        }
      }
    }
  }
}

}  // namespace tarvo::exact
