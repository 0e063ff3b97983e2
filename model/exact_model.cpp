// One evaluation of the exact model: every scan position (and radial node) is
// an independent march, run as one task of the shared position frame; the
// sums are combined into transmittance curves, their derivatives and the
// baseline shift afterwards, in a fixed order, so the result does not depend
// on the number of threads.
#include <memory>
#include <new>
#include <vector>

#include "exact_march.hpp"
#include "positions.hpp"
#include "tarvo/exact.hpp"

namespace tarvo {

namespace {

// Shift every curve and every Jacobian column of the curves to the baseline
// (the shift is linear, so the columns move by their own baselines).
void shift_curves(const ExactProblem& problem, int nd, double* curves, double* jacobian,
                  double* column) {
  const int nx = problem.num_x_pts;
  for (int k = 0; k < problem.num_datasets; ++k) {
    double* curve = curves + static_cast<std::ptrdiff_t>(k) * nx;
    const double baseline = internal::curve_baseline(curve, nx);
    for (int i = 0; i < nx; ++i) curve[i] = curve[i] + (1.0 - baseline);
    for (int d = 0; d < nd; ++d) {
      double* derivative = jacobian + static_cast<std::ptrdiff_t>(k) * nx * nd + d;
      for (int i = 0; i < nx; ++i) column[i] = derivative[i * nd];
      const double shift = internal::curve_baseline(column, nx);
      for (int i = 0; i < nx; ++i) derivative[i * nd] = column[i] - shift;
    }
  }
}

}  // namespace

ModelStatus exact_model_curves(const ExactProblem& problem, const double* p,
                               std::span<const int> derivatives, double* curves,
                               double* jacobian, FitControl* control) {
  using namespace exact;
  const int nd = static_cast<int>(derivatives.size());
  if (nd > MAX_DIRECTIONS) return ModelStatus::failed;
  StepConstants constants;
  set_step_constants(constants, p, problem.optical_frequency, derivatives.data(), nd);
  const int positions = problem.points();
  const int marches = positions * problem.radial_points;
  const int team = internal::position_team_size();
  const std::size_t per_thread = march_scratch_size(problem.z_slices, nd);
  const std::size_t populations = static_cast<std::size_t>(problem.z_slices) * LEVELS;
  std::vector<MarchSums> sums;
  std::vector<double> storage;
  std::vector<double> column;
  try {
    sums.resize(static_cast<std::size_t>(marches));
    storage.resize(per_thread * static_cast<std::size_t>(team));
    column.resize(static_cast<std::size_t>(problem.num_x_pts));
  } catch (const std::bad_alloc&) {
    return ModelStatus::out_of_memory;
  }

  // March n * radial_points + r: position n at radial node r.
  auto march = [&](int task, int thread) {
    double* own = storage.data() + per_thread * static_cast<std::size_t>(thread);
    const MarchScratch work{own, own + populations, own + populations * (1 + nd)};
    const int position = task / problem.radial_points;
    const int node = task - position * problem.radial_points;
    const double focus_rate = problem.focus_rate[position];
    if (problem.variant == ExactVariant::established) {
      const Problem& base = *problem.established;
      const int curve = position / problem.num_x_pts;
      const int point = position - curve * problem.num_x_pts;
      sums[task] = march_established(constants, problem, base.incident_row(curve, point),
                                     static_cast<int>(base.incident_stride()), focus_rate, work);
    } else {
      const double peak = problem.peak[position] * problem.radial_fraction[node];
      sums[task] = march_energy(constants, problem, peak, focus_rate, work);
    }
  };
  const ModelStatus status = internal::run_tasks(marches, control, march);
  if (status != ModelStatus::ok) return status;

  // Transmittance of every position: the ratio of the summed exit and incident
  // intensities (established) or of the transmitted and incident energies,
  // summed over the radial nodes with weight w_r / v_r per unit fluence.
  for (int n = 0; n < positions; ++n) {
    double exit = 0.0, incident = 0.0;
    double d_exit[MAX_DIRECTIONS] = {}, d_incident[MAX_DIRECTIONS] = {};
    for (int r = 0; r < problem.radial_points; ++r) {
      const MarchSums& s = sums[static_cast<std::size_t>(n) * problem.radial_points + r];
      const double weight = problem.radial_weight.empty()
                                ? 1.0
                                : problem.radial_weight[r] / problem.radial_fraction[r];
      exit += weight * s.exit;
      incident += weight * s.incident;
      for (int d = 0; d < nd; ++d) {
        d_exit[d] += weight * s.exit_derivative[d];
        d_incident[d] += weight * s.incident_derivative[d];
      }
    }
    const double t = exit / incident;
    curves[n] = t;
    for (int d = 0; d < nd; ++d) jacobian[n * nd + d] = (d_exit[d] - t * d_incident[d]) / incident;
  }
  if (problem.normalise) shift_curves(problem, nd, curves, jacobian, column.data());
  return ModelStatus::ok;
}

}  // namespace tarvo
