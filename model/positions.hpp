// The frame that every propagator shares: the scan positions of a problem
// are independent (each starts from a relaxed sample), so each becomes one
// task; a propagator supplies the march that computes one position's raw
// transmittance, and the curves are then shifted to their baseline.
#pragma once

#include <omp.h>

#include <atomic>

#include "tarvo/control.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"

namespace tarvo::internal {

// What the position tasks of one evaluation share.
template <class March>
struct PositionTasks {
  const Problem& problem;
  FitControl* control;
  double* raw;
  March& march;
  // ok until a task stops or fails; later tasks then return at once.
  std::atomic<int> outcome{static_cast<int>(ModelStatus::ok)};

  void end(ModelStatus status) {
    int expected = static_cast<int>(ModelStatus::ok);
    outcome.compare_exchange_strong(expected, static_cast<int>(status));
  }
};

// Position n: point n % num_x_pts of curve n / num_x_pts. A position task
// has no task scheduling point, so no other task of any evaluation runs on
// this thread meanwhile: the thread's scratch is this task's alone. No
// exception leaves the task.
template <class March>
void transmit_position(PositionTasks<March>& tasks, int n, int thread) {
  if (tasks.outcome.load(std::memory_order_relaxed) != static_cast<int>(ModelStatus::ok)) return;
  if (tasks.control != nullptr && tasks.control->should_stop()) {
    tasks.end(ModelStatus::stopped);
    return;
  }
  const int curve = n / tasks.problem.num_x_pts();
  const int point = n - curve * tasks.problem.num_x_pts();
  try {
    tasks.raw[n] = tasks.march(curve, point, thread);
  } catch (...) {
    tasks.end(ModelStatus::failed);
  }
}

// One task per position (their costs differ a lot near and far from the
// focus) on the current team; the calling thread waits for them, and works
// on them, before it returns.
template <class March>
void spread_positions(PositionTasks<March>& tasks) {
  const int total = static_cast<int>(tasks.problem.points());
#pragma omp taskloop grainsize(1) shared(tasks)
  for (int n = 0; n < total; ++n) transmit_position(tasks, n, omp_get_thread_num());
}

// True when the positions of an evaluation started here run one after
// another on the calling thread: one thread only, or no team may be used.
inline bool positions_in_order() {
  return run_on_calling_thread_only() || (!omp_in_parallel() && omp_get_max_threads() == 1);
}

// Threads the position tasks of an evaluation started here will run on.
inline int position_team_size() {
  if (positions_in_order()) return 1;
  return omp_in_parallel() ? omp_get_num_threads() : omp_get_max_threads();
}

// Run march(curve, point, thread) -> raw transmittance for every position of
// `problem` into raw[curve * num_x_pts + point]: in order on the calling
// thread (thread 0) when positions_in_order(), else as tasks of the current
// team, or of a new team when called outside one (thread: the number of the
// thread in its team). Polls `control` (may be null) between positions.
template <class March>
ModelStatus transmit_positions(const Problem& problem, FitControl* control, double* raw,
                               March& march) {
  PositionTasks<March> tasks{problem, control, raw, march};
  if (positions_in_order()) {
    const int total = static_cast<int>(problem.points());
    for (int n = 0; n < total; ++n) transmit_position(tasks, n, 0);
  } else if (omp_in_parallel()) {
    // Inside a team already (concurrent starts): share its threads.
    spread_positions(tasks);
  } else {
#pragma omp parallel
#pragma omp single
    spread_positions(tasks);
  }
  return static_cast<ModelStatus>(tasks.outcome.load());
}

// Shift each curve of raw transmittance (in place) so that its first five
// and last five points average to 1 (they overlap, and count twice, below
// ten points): every point moves by the same amount.
void shift_to_baseline(const Problem& problem, double* curves);

}  // namespace tarvo::internal
