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

  const double rayleigh_range = (w0 * w0 * MODEL_PI) / (M2 * wavelength);
  data.optical_frequency = SPEED_OF_LIGHT / wavelength;
  linspace(data.z_grid.data(), 0.0, sample_width, z_slices);
  // The time slices span one tau, centred on the pulse peak.
  linspace(data.t_grid.data(), -0.5 * tau, 0.5 * tau, t_slices);
  for (int k = 0; k < num_datasets; ++k) {
    for (int j = 0; j < t_slices; ++j) {
      for (int i = 0; i < num_x_pts; ++i) {
        const size_t element = i + count_of(num_x_pts) * (j + count_of(t_slices) * k);
        data.incident_intensity[element] =
            pulse_intensity(0.0, data.t_grid[j], data.scan_positions[k * num_x_pts + i],
                            pulse_energy[k], tau, w0, rayleigh_range);
      }
    }
  }
}
