// The incident Gaussian pulse on the beam axis and the grid helper.
#include <cmath>

#include "tarvo/model.hpp"

namespace tarvo {

void linspace(double* x, double a, double b, int n) {
  if (n == 1) {
    x[0] = a;
    return;
  }
  if (n <= 0) return;
  // The last value comes from the same formula; it may miss b in the last bit.
  const double step = (b - a) * (1.0 / (n - 1));
  for (int i = 0; i < n; ++i) x[i] = a + static_cast<double>(i) * step;
}

double pulse_intensity(double r, double t, double z, double e, double tau, double w0, double z_r) {
  const double w = beam_radius(z, w0, z_r);
  const double tt = t / tau;
  const double time_factor = std::exp(-(tt * tt));
  const double radial_factor = std::exp(-(2.0 * (r * r)) / (w * w));
  // 1.88e-4 with the energy in J, tau in s and w in m gives W/cm^2.
  return radial_factor * ((e * 1.88e-4) * time_factor) / ((tau * MODEL_PI) * (w * w));
}

double rayleigh_range(double w0, double m2, double wavelength) {
  return (w0 * w0 * MODEL_PI) / (m2 * wavelength);
}

double beam_radius(double z, double w0, double z_r) {
  const double zr = z / z_r;
  return w0 * std::sqrt(zr * zr + 1.0);
}

}  // namespace tarvo
