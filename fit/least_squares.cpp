// The least-squares driver: MINPACK's Levenberg-Marquardt LMDIF1 with a
// forward-difference Jacobian, then an unweighted final pass.
#include <minpack.h>

#include <new>
#include <utility>
#include <vector>

#include "fit_context.hpp"

namespace {

// LMDIF1's tolerance on the relative reduction of the sum of squares and of x.
constexpr double FIT_TOLERANCE = 1.0e-3;

// Holds the thread's FitContext for one fit and empties it however the fit
// ends. A thread that waits for its evaluation's position tasks may run
// another start's fit meanwhile; that fit puts back what it found.
class FitContextLease {
 public:
  explicit FitContextLease(FitContext& context) : context_(context), outer_(std::move(context)) {
    context_ = FitContext{};
  }
  ~FitContextLease() { context_ = std::move(outer_); }

 private:
  FitContext& context_;
  FitContext outer_;
};

// LMDIF1 refuses these sizes and returns without evaluating anything.
bool lmdif1_refuses(int m, int n) { return n < 1 || m < n; }

}  // namespace

FitStatus least_squares_fit(ArrayView scan_positions, ArrayView y_data, CurvesModelRoutine model,
                            ArrayView z_grid, ArrayView t_grid, ArrayView populations,
                            const double* incident_intensity, double* residual_buffer,
                            double optical_frequency, double* spec_pars, int num_x_pts,
                            int num_datasets, const int* param_indices, int n_fit, double& error,
                            FitControl* control, int* evaluations) {
  FitContext& c = thread_fit_context();
  FitContextLease lease(c);
  int m = num_x_pts * num_datasets;
  int n = n_fit;
  std::vector<double> x, work;
  std::vector<int> iwork;
  try {
    c.model = model;
    c.scan_positions = scan_positions;
    c.y_data = y_data;
    c.z_grid = z_grid;
    c.t_grid = t_grid;
    c.populations = populations;
    c.incident_intensity = incident_intensity;
    c.spec_pars = spec_pars;
    c.optical_frequency = optical_frequency;
    c.num_x_pts = num_x_pts;
    c.num_datasets = num_datasets;
    c.param_indices.assign(param_indices, param_indices + (n_fit > 0 ? n_fit : 0));
    c.model_values.assign(scan_positions.size > 0 ? scan_positions.size : 0, 0.0);
    c.control = control;
    x.resize(n_fit > 0 ? n_fit : 0);
    iwork.resize(n_fit > 0 ? n_fit : 0);
    work.resize(static_cast<size_t>(m > 0 ? m : 0) +
                static_cast<size_t>(n_fit > 0 ? n_fit : 0) * (2 * static_cast<size_t>(m) + 5));
  } catch (const std::bad_alloc&) {
    return FitStatus::out_of_memory;
  }

  // The solver varies x(i), which stands for spec_pars(param_indices(i)).
  for (int i = 0; i < n_fit; ++i) x[i] = spec_pars[param_indices[i] - 1];
  if (lmdif1_refuses(m, n)) {
    // Nothing is fitted; the error then describes the starting vector.
    int iflag = 1;
    fit_residuals(&m, &n, x.data(), residual_buffer, &iflag);
  } else {
    double tol = FIT_TOLERANCE;
    int info = 0;
    int lwa = static_cast<int>(work.size());
    lmdif1_(fit_residuals, &m, &n, x.data(), residual_buffer, &tol, &info, iwork.data(),
            work.data(), &lwa);
  }
  if (evaluations != nullptr) *evaluations = c.evaluations;
  if (c.status != FitStatus::ok) return c.status;

  error = enorm_(&m, residual_buffer);
  for (int i = 0; i < n_fit; ++i) spec_pars[param_indices[i] - 1] = x[i];

  // Final pass at the fitted parameters, without weights.
  if (!model(c.model_values.data(), num_x_pts, num_datasets, z_grid, t_grid, populations,
             incident_intensity, optical_frequency, spec_pars, StopRequest{})) {
    return FitStatus::out_of_memory;
  }
  for (int j = 0; j < m; ++j) residual_buffer[j] = y_data.data[j] - c.model_values[j];
  return FitStatus::ok;
}
