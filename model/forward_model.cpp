// Normalised model transmittance: every scan position sends the pulse through
// the sample time slice by time slice and depth slice by depth slice.
#include <omp.h>

#include <atomic>
#include <memory>
#include <new>

#include "rate_equations.hpp"
#include "zscan_model.hpp"

namespace {

// Number of levels in the model.
constexpr int LEVELS = 5;
// Length of the solver's state arrays (five populations and the intensity).
constexpr int STEP_STATE = 6;

// What one scan position needs besides its own incident row.
struct MarchSetup {
  const ModelContext* context;
  int time_slices;
  int depth_slices;
  // Duration of one time slice and thickness of one depth slice.
  double dt;
  double dz;
  const double* populations;
};

// The scan position's time sums of exit and incident intensity.
struct TimeSums {
  double exit = 0.0;
  double incident = 0.0;
};

// Send every time slice of one position through all depth slices. incident[j *
// stride] is the incident intensity in time slice j; slice_populations is the
// caller's scratch of depth_slices * LEVELS values.
TimeSums transmit_position(const MarchSetup& setup, const double* incident, int stride,
                           double* slice_populations, lsoda::Solver& solver) {
  for (int k = 0; k < setup.depth_slices; ++k) {
    for (int l = 0; l < LEVELS; ++l) slice_populations[k * LEVELS + l] = setup.populations[l];
  }
  TimeSums sums;
  double population_state[STEP_STATE];
  double depth_state[STEP_STATE];
  double out[STEP_STATE];
  for (int j = 0; j < setup.time_slices; ++j) {
    double intensity = incident[j * stride];
    for (int k = 0; k < setup.depth_slices; ++k) {
      double* slice = slice_populations + k * LEVELS;
      // The populations respond to the light that reaches this slice ...
      for (int l = 0; l < LEVELS; ++l) population_state[l] = slice[l];
      population_state[LEVELS] = intensity;
      integrate_populations(*setup.context, population_state, 0.0, setup.dt, solver, out);
      for (int l = 0; l < LEVELS; ++l) slice[l] = out[l];
      // ... and the light is attenuated by the new populations.
      depth_state[0] = intensity;
      for (int l = 0; l < LEVELS; ++l) depth_state[l + 1] = slice[l];
      integrate_intensity(*setup.context, depth_state, 0.0, setup.dz, solver, out);
      intensity = out[0];
    }
    sums.exit += intensity;
  }
  for (int j = 0; j < setup.time_slices; ++j) sums.incident += incident[j * stride];
  return sums;
}

// Shift one curve of raw transmittance so that its first five and last five
// points average to 1.
void normalise_curve(double* curve, const TimeSums* sums, int n) {
  for (int i = 0; i < n; ++i) curve[i] = sums[i].exit / sums[i].incident;
  const double baseline = curve_baseline(curve, n);
  for (int i = 0; i < n; ++i) curve[i] = curve[i] + (1.0 - baseline);
}

// Work space of one thread during one evaluation, created the first time the
// thread takes one of the evaluation's positions.
struct Scratch {
  std::unique_ptr<double[]> slice_populations;
  std::unique_ptr<lsoda::Solver> solver;
};

// Everything the position tasks of one evaluation share.
struct Evaluation {
  MarchSetup setup;
  const double* incident_table;
  int num_x_pts;
  int total;
  StopRequest stop;
  TimeSums* sums;
  // One entry per thread of the team that runs the positions.
  std::unique_ptr<Scratch[]> scratch;
  std::atomic<bool> failed{false};
};

// Compute position n (position i of curve k) with the scratch of this thread.
// A position task has no task scheduling point, so no other task of this
// evaluation can run on this thread meanwhile and share its scratch.
void transmit_one_position(Evaluation& e, int n) {
  if (e.failed.load(std::memory_order_relaxed)) return;
  if (e.stop.requested != nullptr && e.stop.requested(e.stop.data)) {
    e.failed.store(true);
    return;
  }
  Scratch& scratch = e.scratch[omp_get_thread_num()];
  if (!scratch.solver) {
    try {
      scratch.slice_populations.reset(new double[static_cast<size_t>(e.setup.depth_slices) * LEVELS]);
      scratch.solver.reset(new lsoda::Solver(MAX_STEP_EQUATIONS));
    } catch (...) {
      e.failed.store(true);
      return;
    }
  }
  const int k = n / e.num_x_pts;
  const int i = n - k * e.num_x_pts;
  // Row i of curve k's section of the table.
  const double* row =
      e.incident_table + static_cast<size_t>(k) * e.num_x_pts * e.setup.time_slices + i;
  e.sums[n] = transmit_position(e.setup, row, e.num_x_pts, scratch.slice_populations.get(),
                                *scratch.solver);
}

// Spread the positions over the threads of the current team, one task each
// (their costs differ a lot near and far from the focus); the calling thread
// waits for them, and works on them, before it returns.
void spread_positions(Evaluation& e) {
  e.scratch.reset(new (std::nothrow) Scratch[omp_get_num_threads()]);
  if (!e.scratch) {
    e.failed.store(true);
    return;
  }
#pragma omp taskloop grainsize(1) shared(e)
  for (int n = 0; n < e.total; ++n) transmit_one_position(e, n);
}

}  // namespace

bool zscan_forward_model_curves(double* model_out, int num_x_pts, int num_datasets,
                                ArrayView z_grid, ArrayView t_grid, ArrayView populations,
                                const double* incident_table, double optical_frequency,
                                const double* p, StopRequest stop) {
  ModelContext& context = thread_model_context();
  set_model_context(context, p, optical_frequency);
  // Position tasks read a private copy: the calling thread's record stays its own.
  const ModelContext shared_context = context;
  const int total = num_x_pts * num_datasets;
  std::unique_ptr<TimeSums[]> sums(new (std::nothrow) TimeSums[total > 0 ? total : 1]);
  if (!sums) return false;
  Evaluation e{MarchSetup{&shared_context, t_grid.size, z_grid.size,
                          t_grid.data[1] - t_grid.data[0], z_grid.data[1], populations.data},
               incident_table, num_x_pts, total, stop, sums.get()};
  if (omp_in_parallel()) {
    // Inside a team already (concurrent starts): share its threads.
    spread_positions(e);
  } else {
#pragma omp parallel
#pragma omp single
    spread_positions(e);
  }
  if (e.failed.load()) return false;
  for (int k = 0; k < num_datasets; ++k) {
    normalise_curve(model_out + k * num_x_pts, sums.get() + k * num_x_pts, num_x_pts);
  }
  return true;
}

void zscan_forward_model(double* model_out, ArrayView positions, ArrayView z_grid,
                         ArrayView t_grid, ArrayView populations, IncidentSection incident,
                         double optical_frequency, const double* p) {
  zscan_forward_model_curves(model_out, positions.size, 1, z_grid, t_grid, populations,
                             incident.data, optical_frequency, p);
}
