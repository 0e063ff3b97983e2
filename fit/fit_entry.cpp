// The native fit entry: one complete fit from one starting vector, and the
// run of all starts of a multi-start fit.
#include <omp.h>

#include <algorithm>
#include <new>
#include <vector>

#include "fit_context.hpp"
#include "fit_data.hpp"
#include "fit_entry.hpp"
#include "fit_queue.hpp"

FitStatus fit_zscan_core(const double* centered_x, const double* y_data, const double* populations,
                         double* residuals, double* error, int t_slices, int z_slices,
                         double sample_width, double tau, double wavelength, double w0, double M2,
                         const double* pulse_energy, double* spec_pars, const int* param_indices,
                         int n_fit, int num_x_pts, int num_datasets, int n_pop, int n_res,
                         FitControl* control, int* evaluations) {
  const size_t n = count_of(num_x_pts * num_datasets);
  FitData data;
  std::vector<double> y_copy, population_copy, residual_buffer;
  try {
    prepare_fit_data(data, centered_x, t_slices, z_slices, sample_width, tau, wavelength, w0, M2,
                     pulse_energy, num_x_pts, num_datasets);
    y_copy.assign(y_data, y_data + n);
    population_copy.assign(populations, populations + count_of(n_pop));
    residual_buffer.resize(n);
  } catch (const std::bad_alloc&) {
    return FitStatus::out_of_memory;
  }
  double fit_error = 0.0;
  const FitStatus status = least_squares_fit(
      view_of(data.scan_positions), view_of(y_copy), zscan_forward_model_curves,
      view_of(data.z_grid), view_of(data.t_grid), view_of(population_copy),
      data.incident_intensity.data(), residual_buffer.data(), data.optical_frequency, spec_pars,
      num_x_pts, num_datasets, param_indices, n_fit, fit_error, control, evaluations);
  if (status != FitStatus::ok) return status;
  *error = fit_error;
  std::copy_n(residual_buffer.begin(), std::min(count_of(n_res), n), residuals);
  return FitStatus::ok;
}

namespace {

// Fit start k of `job`.
FitStatus run_start(const MultiStartJob& job, int k, FitControl* control) {
  double* row_residuals = job.all_residuals + static_cast<size_t>(k) * count_of(job.n_res);
  double* row_spec_pars =
      job.all_spec_pars + static_cast<size_t>(k) * count_of(job.spec_pars_length);
  return fit_zscan_core(job.centered_x, job.y_data, job.populations, row_residuals,
                        job.all_errors + k, job.t_slices, job.z_slices, job.sample_width, job.tau,
                        job.wavelength, job.w0, job.M2, job.pulse_energy, row_spec_pars,
                        job.param_indices, job.n_fit, job.num_x_pts, job.num_datasets, job.n_pop,
                        job.n_res, control);
}

// Every start on the calling thread, in ascending order.
FitStatus run_in_order(const MultiStartJob& job, FitControl* control) {
  for (int k = 0; k < job.n_starts; ++k) {
    const FitStatus status = run_start(job, k, control);
    if (status != FitStatus::ok) return status;
  }
  return FitStatus::ok;
}

// The starts run as tasks of one team, and so do the scan positions of every
// residual evaluation: threads freed by one start work on another's positions.
// Each start writes only its own rows, so the order in which they finish
// changes nothing.
FitStatus run_as_tasks(const MultiStartJob& job, FitControl* control) {
  std::vector<FitStatus> status;
  try {
    status.assign(count_of(job.n_starts), FitStatus::ok);
  } catch (const std::bad_alloc&) {
    return FitStatus::out_of_memory;
  }
#pragma omp parallel
#pragma omp single
  for (int k = 0; k < job.n_starts; ++k) {
#pragma omp task firstprivate(k) shared(job, status)
    {
      status[k] = run_start(job, k, control);
      // One failed start ends the others early.
      if (status[k] != FitStatus::ok && control != nullptr) control->request_stop();
    }
  }
  for (FitStatus s : status) {
    if (s != FitStatus::ok) return s;
  }
  return FitStatus::ok;
}

}  // namespace

FitStatus run_starts(const MultiStartJob& job, FitControl* control) {
  // Single-threaded fits called from several threads share the cores among themselves.
  if (omp_get_max_threads() == 1) return run_in_order(job, control);
  // A fit that may use every core waits for the one running before it.
  FitTurn turn(control);
  if (!turn.granted()) return FitStatus::interrupted;
  return job.n_starts > 1 ? run_as_tasks(job, control) : run_in_order(job, control);
}
