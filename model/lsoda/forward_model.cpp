// The LSODA propagator: every scan position sends the pulse through the
// sample time slice by time slice and depth slice by depth slice, each slice
// integrated with LSODA; and the shift of the curves to their baseline.
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "positions.hpp"
#include "tarvo/memory.hpp"
#include "tarvo/model.hpp"

namespace tarvo {

namespace internal {

// Scratch of one thread for the LSODA march.
struct ThreadScratch {
  ThreadScratch(int z_slices, DiagnosticsSink* diagnostics)
      : slice_populations(new double[static_cast<std::size_t>(z_slices) * LEVELS]),
        solver(MAX_STEP_EQUATIONS, diagnostics) {}
  // N1..N5 of every depth slice.
  std::unique_ptr<double[]> slice_populations;
  lsoda::Solver solver;
};

void shift_to_baseline(const Problem& problem, double* curves) {
  const std::ptrdiff_t n = problem.num_x_pts();
  for (int k = 0; k < problem.num_datasets(); ++k) {
    double* t = curves + k * n;
    const double baseline = curve_baseline(t, n);
    for (std::ptrdiff_t i = 0; i < n; ++i) t[i] = t[i] + (1.0 - baseline);
  }
}

}  // namespace internal

namespace {

// Send every time slice of one scan position through all depth slices and
// return its raw transmittance: the time-summed exit intensity over the
// time-summed incident intensity. Every depth slice starts from the initial
// populations; within a time slice the populations of slice k respond to the
// light that slices 1..k-1 let through, and the light is then attenuated by
// the new populations. Looks at `control` (may be null) every
// SLICES_PER_STOP_CHECK slices; when it says stop, sets `stopped` and returns
// at once (the value is then meaningless).
constexpr int SLICES_PER_STOP_CHECK = 64;

double march_position(const Problem& problem, const RateConstants& constants, int curve,
                      int point, internal::ThreadScratch& scratch, SolverFailures& failures,
                      FitControl* control, bool& stopped) {
  const double* incident = problem.incident_row(curve, point);
  const std::ptrdiff_t stride = problem.incident_stride();
  const int time_slices = problem.t_slices();
  const int depth_slices = problem.z_slices();
  const double dt = problem.dt();
  const double dz = problem.dz();
  double* slice_populations = scratch.slice_populations.get();
  const auto& initial = problem.populations();
  for (int k = 0; k < depth_slices; ++k) {
    for (int l = 0; l < LEVELS; ++l) {
      slice_populations[static_cast<std::ptrdiff_t>(k) * LEVELS + l] = initial[l];
    }
  }
  double population_state[STEP_STATE_LENGTH];
  double depth_state[STEP_STATE_LENGTH];
  double out[STEP_STATE_LENGTH];
  double exit_sum = 0.0;
  int since_check = 0;
  for (int j = 0; j < time_slices; ++j) {
    double intensity = incident[j * stride];
    for (int k = 0; k < depth_slices; ++k) {
      if (control != nullptr && ++since_check >= SLICES_PER_STOP_CHECK) {
        since_check = 0;
        if (control->should_stop()) {
          stopped = true;
          return 0.0;
        }
      }
      double* slice = slice_populations + static_cast<std::ptrdiff_t>(k) * LEVELS;
      // The populations respond to the light that reaches this slice ...
      for (int l = 0; l < LEVELS; ++l) population_state[l] = slice[l];
      population_state[LEVELS] = intensity;
      failures.record(
          integrate_populations(constants, population_state, 0.0, dt, scratch.solver, out));
      for (int l = 0; l < LEVELS; ++l) slice[l] = out[l];
      // ... and the light is attenuated by the new populations.
      depth_state[0] = intensity;
      for (int l = 0; l < LEVELS; ++l) depth_state[l + 1] = slice[l];
      failures.record(integrate_intensity(constants, depth_state, 0.0, dz, scratch.solver, out));
      intensity = out[0];
    }
    exit_sum += intensity;
  }
  double incident_sum = 0.0;
  for (int j = 0; j < time_slices; ++j) incident_sum += incident[j * stride];
  return exit_sum / incident_sum;
}

// model_curves with the LSODA propagator.
ModelStatus lsoda_model_curves(const Problem& problem, const double* p, double* out,
                               const ModelRun& run) {
  const RateConstants constants = rate_constants(p, problem.optical_frequency());
  const int team = internal::position_team_size();
  std::unique_ptr<ModelWorkspace> own_workspace;
  ModelWorkspace* workspace = run.workspace;
  if (workspace == nullptr) {
    // May throw AllocationError: only evaluations without a workspace get here.
    own_workspace = std::make_unique<ModelWorkspace>(problem, Propagator::lsoda, team,
                                                     run.diagnostics);
    workspace = own_workspace.get();
  }
  if (workspace->threads() < team || workspace->propagator() != Propagator::lsoda) {
    return ModelStatus::failed;
  }
  // Failures of all positions, added only by positions that had any.
  std::array<std::atomic<long>, SolverFailures::KINDS> failures{};
  // A march stopped inside a position (the evaluation then reports stopped).
  std::atomic<bool> stopped{false};
  auto march = [&](int curve, int point, int thread) {
    SolverFailures position_failures;
    bool position_stopped = false;
    const double raw = march_position(problem, constants, curve, point,
                                      workspace->scratch(thread), position_failures, run.control,
                                      position_stopped);
    if (position_stopped) stopped.store(true, std::memory_order_relaxed);
    if (position_failures.total() != 0) {
      for (int i = 0; i < SolverFailures::KINDS; ++i) {
        failures[i].fetch_add(position_failures.counts[i], std::memory_order_relaxed);
      }
    }
    return raw;
  };
  const ModelStatus status = internal::transmit_positions(problem, run.control, out, march);
  if (run.failures != nullptr) {
    for (int i = 0; i < SolverFailures::KINDS; ++i) run.failures->counts[i] += failures[i].load();
  }
  if (status != ModelStatus::ok) return status;
  if (stopped.load()) return ModelStatus::stopped;
  if (run.normalise) internal::shift_to_baseline(problem, out);
  return ModelStatus::ok;
}

}  // namespace

namespace {

// Bytes of one solver's work space, generously (a few hundred doubles).
constexpr double SOLVER_BYTES = 8192.0;

}  // namespace

double ModelWorkspace::bytes_needed(const Problem& problem, Propagator, int threads) {
  const double slices = static_cast<double>(problem.z_slices()) * LEVELS * sizeof(double);
  return (threads > 0 ? threads : 1) * (slices + SOLVER_BYTES);
}

ModelWorkspace::ModelWorkspace(const Problem& problem, Propagator propagator, int threads,
                               DiagnosticsSink* diagnostics)
    : propagator_(propagator), threads_(threads > 0 ? threads : 1) {
  const double needed = bytes_needed(problem, propagator, threads_);
  char wanted[32];
  format_bytes(needed, wanted, sizeof wanted);
  char message[320];
  const double available = available_memory();
  if (needed > available) {
    char limit[32];
    format_bytes(available, limit, sizeof limit);
    std::snprintf(message, sizeof message,
                  "the model needs %s for the scratch of %d thread%s (%d depth slices), more "
                  "than the %s this process may use",
                  wanted, threads_, threads_ == 1 ? "" : "s", problem.z_slices(), limit);
    throw AllocationError(message);
  }
  try {
    scratch_.reset(new std::unique_ptr<internal::ThreadScratch>[static_cast<std::size_t>(threads_)]);
    for (int t = 0; t < threads_; ++t) {
      scratch_[t] = std::make_unique<internal::ThreadScratch>(problem.z_slices(), diagnostics);
    }
  } catch (const std::bad_alloc&) {
    std::snprintf(message, sizeof message,
                  "could not allocate %s for the model's scratch of %d thread%s (%d depth slices)",
                  wanted, threads_, threads_ == 1 ? "" : "s", problem.z_slices());
    throw AllocationError(message);
  }
}

ModelWorkspace::~ModelWorkspace() = default;

ModelStatus model_curves(const Problem& problem, const double* p, double* out,
                         const ModelRun& run) {
  switch (run.propagator) {
    case Propagator::lsoda:
      return lsoda_model_curves(problem, p, out, run);
  }
  return ModelStatus::failed;
}

}  // namespace tarvo
