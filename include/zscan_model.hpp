// The forward model: normalised Z-scan transmittance of one curve for one
// parameter vector, and the pulse and grid helpers it is built on.
#pragma once

// Read-only view of a one-dimensional array of doubles.
struct ArrayView {
  const double* data = nullptr;
  int size = 0;
};

// One curve's section of the incident-intensity table: element (i, j) is the
// intensity at position i during time slice j, stored at data[i + j * positions].
struct IncidentSection {
  const double* data = nullptr;
  int positions = 0;
  int time_slices = 0;
};

// The model routine's argument list: model curve (out, positions.size values),
// the curve's positions (only their number is used), depth grid, time grid,
// initial populations, incident section, optical frequency, parameter vector (8).
using ModelRoutine = void (*)(double* model_out, ArrayView positions, ArrayView z_grid,
                              ArrayView t_grid, ArrayView populations, IncidentSection incident,
                              double optical_frequency, const double* p);

// Lets a long evaluation stop early: requested(data) is polled between scan
// positions. A stopped evaluation leaves its output incomplete.
struct StopRequest {
  bool (*requested)(void* data) = nullptr;
  void* data = nullptr;
};

// The forward model of all curves at once (the scan positions of all curves
// are independent, so they are spread over the available threads). Curve k's
// incident section starts at incident_table + k * num_x_pts * t_grid.size;
// model_out receives num_x_pts * num_datasets values, curve after curve.
// Returns false when stopped early or when scratch could not be allocated.
bool zscan_forward_model_curves(double* model_out, int num_x_pts, int num_datasets,
                                ArrayView z_grid, ArrayView t_grid, ArrayView populations,
                                const double* incident_table, double optical_frequency,
                                const double* p, StopRequest stop = {});

// The forward model of one curve; also leaves the constants of p in the
// calling thread's ModelContext.
void zscan_forward_model(double* model_out, ArrayView positions, ArrayView z_grid,
                         ArrayView t_grid, ArrayView populations, IncidentSection incident,
                         double optical_frequency, const double* p);

// n evenly spaced values from a to b into x (nothing for n <= 0, a for n == 1).
void linspace(double* x, double a, double b, int n);

// On-axis-capable Gaussian beam with Gaussian pulse: intensity (W/cm^2) at
// radius r, time t, position z, for pulse energy e, duration tau, waist w0
// and Rayleigh range z_r.
double pulse_intensity(double r, double t, double z, double e, double tau, double w0, double z_r);

// Rayleigh range (m) of a beam with waist w0 (m), beam quality m2 and wavelength (m).
double rayleigh_range(double w0, double m2, double wavelength);

// The incident on-axis intensity of num_datasets curves of num_x_pts points in
// each of the t_slices time slices at times t_grid: element (i, j, k) at
// table[i + num_x_pts * (j + t_slices * k)] is pulse_intensity at position
// positions_m[k * num_x_pts + i] (metres) and time t_grid[j] for pulse_energy[k].
void fill_incident_table(double* table, const double* positions_m, const double* t_grid,
                         int t_slices, const double* pulse_energy, double tau, double w0,
                         double z_r, int num_x_pts, int num_datasets);

// The value that shifts a curve of n >= 5 raw values to its baseline: the mean
// of its first five and last five values (which overlap, and count twice,
// below ten points).
double curve_baseline(const double* raw, int n);

// pi as the model uses it.
inline constexpr double MODEL_PI = 3.141592653589793;
// Speed of light (m/s).
inline constexpr double SPEED_OF_LIGHT = 299792458.0;
