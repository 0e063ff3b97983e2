// The function that MINPACK minimises: weighted differences between measured
// and modelled transmittance over all curves.
#include <cmath>

#include "fit_context.hpp"

FitContext& thread_fit_context() {
  thread_local FitContext context;
  return context;
}

double point_weight(double s) { return 1.0 + 4.0 * std::exp(-(4.0 * (s * s))); }

namespace {

// Polls the fit's control between scan positions.
bool stop_requested(void* control) { return static_cast<FitControl*>(control)->should_stop(); }

}  // namespace

extern "C" void fit_residuals(int* /*m*/, int* /*n*/, double* x, double* fvec, int* iflag) {
  // No C++ exception may cross MINPACK's Fortran frames: everything below is noexcept.
  FitContext& c = thread_fit_context();
  if (c.control != nullptr && c.control->should_stop()) {
    c.status = FitStatus::interrupted;
    *iflag = -1;
    return;
  }
  double p[8];
  for (int i = 0; i < 8; ++i) p[i] = c.spec_pars[i];
  // A parameter named twice takes its later trial value.
  const int fitted = static_cast<int>(c.param_indices.size());
  for (int i = 0; i < fitted; ++i) p[c.param_indices[i] - 1] = x[i];

  StopRequest stop;
  if (c.control != nullptr) stop = StopRequest{stop_requested, c.control};
  double* model = c.model_values.data();
  if (!c.model(model, c.num_x_pts, c.num_datasets, c.z_grid, c.t_grid, c.populations,
               c.incident_intensity, c.optical_frequency, p, stop)) {
    c.status = (c.control != nullptr && c.control->should_stop()) ? FitStatus::interrupted
                                                                  : FitStatus::out_of_memory;
    *iflag = -1;
    return;
  }
  const int total = c.num_x_pts * c.num_datasets;
  for (int j = 0; j < total; ++j) {
    const double w = point_weight(c.scan_positions.data[j]);
    fvec[j] = std::sqrt(w) * (c.y_data.data[j] - model[j]);
  }
  ++c.evaluations;
}
