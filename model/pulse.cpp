// The incident Gaussian pulse on the beam axis, its table over a scan and the
// grid helper.
#include <cmath>
#include <cstddef>

#include "zscan_model.hpp"

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
  const double zr = z / z_r;
  const double w = w0 * std::sqrt(zr * zr + 1.0);
  const double tt = t / tau;
  const double time_factor = std::exp(-(tt * tt));
  const double radial_factor = std::exp(-(2.0 * (r * r)) / (w * w));
  // 1.88e-4 with the energy in J, tau in s and w in m gives W/cm^2.
  return radial_factor * ((e * 1.88e-4) * time_factor) / ((tau * MODEL_PI) * (w * w));
}

double rayleigh_range(double w0, double m2, double wavelength) {
  return (w0 * w0 * MODEL_PI) / (m2 * wavelength);
}

void fill_incident_table(double* table, const double* positions_m, const double* t_grid,
                         int t_slices, const double* pulse_energy, double tau, double w0,
                         double z_r, int num_x_pts, int num_datasets) {
  const size_t points = num_x_pts > 0 ? static_cast<size_t>(num_x_pts) : 0;
  const size_t slices = t_slices > 0 ? static_cast<size_t>(t_slices) : 0;
  for (int k = 0; k < num_datasets; ++k) {
    for (int j = 0; j < t_slices; ++j) {
      for (int i = 0; i < num_x_pts; ++i) {
        table[i + points * (j + slices * k)] =
            pulse_intensity(0.0, t_grid[j], positions_m[k * num_x_pts + i], pulse_energy[k], tau,
                            w0, z_r);
      }
    }
  }
}
