// Grids and incident-intensity table of one fit.
#include "fit_data.hpp"

namespace {

// Millimetres to metres.
constexpr double METRES_PER_MILLIMETRE = 0.001;

}  // namespace

void prepare_fit_data(FitData& data, const double* x_mm, int t_slices, int z_slices,
                      double sample_width, double tau, double wavelength, double w0, double M2,
                      const double* pulse_energy, int num_x_pts, int num_datasets) {
  const int n = num_x_pts * num_datasets;
  data.scan_positions.resize(count_of(n));
  data.z_grid.resize(count_of(z_slices));
  data.t_grid.resize(count_of(t_slices));
  data.incident_intensity.resize(count_of(num_x_pts) * count_of(t_slices) *
                                 count_of(num_datasets));
  for (int i = 0; i < n; ++i) data.scan_positions[i] = x_mm[i] * METRES_PER_MILLIMETRE;

  const double z_r = rayleigh_range(w0, M2, wavelength);
  data.optical_frequency = SPEED_OF_LIGHT / wavelength;
  linspace(data.z_grid.data(), 0.0, sample_width, z_slices);
  // The time slices span one tau, centred on the pulse peak.
  linspace(data.t_grid.data(), -0.5 * tau, 0.5 * tau, t_slices);
  fill_incident_table(data.incident_intensity.data(), data.scan_positions.data(),
                      data.t_grid.data(), t_slices, pulse_energy, tau, w0, z_r, num_x_pts,
                      num_datasets);
}
