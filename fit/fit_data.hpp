// What stays fixed during a fit: positions in metres, the grids and the table
// of incident on-axis intensity. Shared by the fit entry and the model-curve tools.
#pragma once

#include <cstddef>
#include <vector>

#include "zscan_model.hpp"

struct FitData {
  // Scan positions of all curves in metres, curve after curve.
  std::vector<double> scan_positions;
  // Depth grid 0..sample_width and time grid -tau/2..+tau/2.
  std::vector<double> z_grid;
  std::vector<double> t_grid;
  // num_x_pts x t_slices x num_datasets, first index fastest.
  std::vector<double> incident_intensity;
  // 299792458 / wavelength (Hz).
  double optical_frequency = 0.0;
};

// Fill `data` for positions x_mm (millimetres) of num_datasets curves of
// num_x_pts points. Throws std::bad_alloc when memory runs out.
void prepare_fit_data(FitData& data, const double* x_mm, int t_slices, int z_slices,
                      double sample_width, double tau, double wavelength, double w0, double M2,
                      const double* pulse_energy, int num_x_pts, int num_datasets);

// Counts below 1 count as 0.
inline size_t count_of(int n) { return n > 0 ? static_cast<size_t>(n) : 0; }

// A read-only view of a whole vector.
inline ArrayView view_of(const std::vector<double>& v) {
  return ArrayView{v.data(), static_cast<int>(v.size())};
}
