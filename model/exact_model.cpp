// One evaluation of the exact model: every scan position (and radial node) is
// an independent march, spread over the threads; the sums are combined into
// transmittance curves, their derivatives and the baseline shift afterwards,
// in a fixed order, so the result does not depend on the number of threads.
#include <omp.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "exact_march.hpp"
#include "exact_model.hpp"
#include "zscan_model.hpp"

namespace tarvo::exact {
namespace {

// Work space of one thread, made the first time it takes a march.
struct ThreadScratch {
  std::unique_ptr<double[]> storage;
};

// Everything the march tasks of one evaluation share.
struct Evaluation {
  const ExactProblem* problem;
  const StepConstants* constants;
  // One entry per march: position n, radial node r at n * radial_points + r.
  MarchSums* sums;
  int marches;
  std::unique_ptr<ThreadScratch[]> scratch;
  std::atomic<bool> failed{false};
};

// Run march `task` with this thread's scratch. A task has no scheduling point,
// so no other task of this evaluation shares the thread's scratch meanwhile.
void run_march(Evaluation& e, int task) {
  if (e.failed.load(std::memory_order_relaxed)) return;
  const ExactProblem& problem = *e.problem;
  const StepConstants& c = *e.constants;
  const size_t populations = static_cast<size_t>(problem.z_slices) * LEVELS;
  ThreadScratch& scratch = e.scratch[omp_get_thread_num()];
  if (!scratch.storage) {
    scratch.storage.reset(new (std::nothrow)
                              double[march_scratch_size(problem.z_slices, c.directions)]);
    if (!scratch.storage) {
      e.failed.store(true);
      return;
    }
  }
  double* storage = scratch.storage.get();
  const MarchScratch work{storage, storage + populations,
                          storage + populations * (1 + c.directions)};
  const int position = task / problem.radial_points;
  const int node = task - position * problem.radial_points;
  const double focus_rate = problem.focus_rate[position];
  if (problem.variant == Variant::established) {
    const int k = position / problem.num_x_pts;
    const int i = position - k * problem.num_x_pts;
    const double* row =
        problem.incident.data() + static_cast<size_t>(k) * problem.num_x_pts * problem.t_slices + i;
    e.sums[task] = march_established(c, problem, row, problem.num_x_pts, focus_rate, work);
  } else {
    const double peak = problem.incident[position] * problem.radial_fraction[node];
    e.sums[task] = march_energy(c, problem, peak, focus_rate, work);
  }
}

// Spread the marches over the threads of the current team, one task each.
void spread_marches(Evaluation& e) {
  e.scratch.reset(new (std::nothrow) ThreadScratch[omp_get_num_threads()]);
  if (!e.scratch) {
    e.failed.store(true);
    return;
  }
#pragma omp taskloop grainsize(1) shared(e)
  for (int task = 0; task < e.marches; ++task) run_march(e, task);
}

}  // namespace

bool evaluate(const ExactProblem& problem, const double* p, const int* derivatives,
              int n_derivatives, double* curves, double* jacobian) {
  StepConstants constants;
  set_step_constants(constants, p, problem.optical_frequency, derivatives, n_derivatives);
  const int positions = problem.num_x_pts * problem.num_datasets;
  const int marches = positions * problem.radial_points;
  std::unique_ptr<MarchSums[]> sums(new (std::nothrow) MarchSums[marches]);
  if (!sums) return false;
  Evaluation e{&problem, &constants, sums.get(), marches, nullptr};
  if (omp_in_parallel()) {
    spread_marches(e);
  } else {
#pragma omp parallel
#pragma omp single
    spread_marches(e);
  }
  if (e.failed.load()) return false;

  // Transmittance of every position: the ratio of the summed exit and incident
  // intensities (established) or of the transmitted and incident energies,
  // summed over the radial nodes with weight w_r / v_r per unit fluence.
  const int nd = n_derivatives;
  for (int n = 0; n < positions; ++n) {
    double exit = 0.0, incident = 0.0;
    double d_exit[MAX_DIRECTIONS] = {}, d_incident[MAX_DIRECTIONS] = {};
    for (int r = 0; r < problem.radial_points; ++r) {
      const MarchSums& s = sums[n * problem.radial_points + r];
      const double weight = problem.radial_weight[r] / problem.radial_fraction[r];
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
  if (!problem.normalise) return true;

  const int nx = problem.num_x_pts;
  std::vector<double> column;
  try {
    column.resize(static_cast<size_t>(nx));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (int k = 0; k < problem.num_datasets; ++k) {
    double* curve = curves + static_cast<size_t>(k) * nx;
    const double baseline = curve_baseline(curve, nx);
    for (int i = 0; i < nx; ++i) curve[i] = curve[i] + (1.0 - baseline);
    for (int d = 0; d < nd; ++d) {
      double* derivative = jacobian + static_cast<size_t>(k) * nx * nd + d;
      for (int i = 0; i < nx; ++i) column[i] = derivative[i * nd];
      const double shift = curve_baseline(column.data(), nx);
      for (int i = 0; i < nx; ++i) derivative[i * nd] = column[i] - shift;
    }
  }
  return true;
}

}  // namespace tarvo::exact
