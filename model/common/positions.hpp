// The frame that every propagator shares: the scan positions of a problem
// are independent (each starts from a relaxed sample), so each becomes one
// task (run_tasks; the exact engine's energy model makes one per position
// and radial node); a propagator supplies the march that computes one position's raw
// transmittance, and the curves are then shifted to their baseline.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstddef>
#include <new>

#include "tarvo/control.hpp"
#include "tarvo/model.hpp"
#include "tarvo/problem.hpp"

namespace tarvo::internal {

// What the tasks of one evaluation share.
template <class Task>
struct TaskRun {
  FitControl* control;
  Task& task;
  // ok until a task stops or fails; later tasks then return at once.
  std::atomic<int> outcome{static_cast<int>(ModelStatus::ok)};
  // The next task index not yet taken by a thread.
  std::atomic<int> next{0};

  void end(ModelStatus status) {
    int expected = static_cast<int>(ModelStatus::ok);
    outcome.compare_exchange_strong(expected, static_cast<int>(status));
  }
};

// Task n. A task has no task scheduling point, so no other task of any
// evaluation runs on this thread meanwhile: the thread's scratch is this
// task's alone. No exception leaves the task.
template <class Task>
void run_task(TaskRun<Task>& run, int n, int thread) {
  if (run.outcome.load(std::memory_order_relaxed) != static_cast<int>(ModelStatus::ok)) return;
  if (run.control != nullptr && run.control->should_stop()) {
    run.end(ModelStatus::stopped);
    return;
  }
  try {
    run.task(n, thread);
  } catch (const std::bad_alloc&) {
    run.end(ModelStatus::out_of_memory);
  } catch (...) {
    run.end(ModelStatus::failed);
  }
}

// Take task indices from the shared counter, one at a time (their costs
// differ a lot near and far from the focus), until none is left.
template <class Task>
void pull_tasks(TaskRun<Task>& run, int count, int thread) {
  for (int n = run.next.fetch_add(1); n < count; n = run.next.fetch_add(1)) {
    run_task(run, n, thread);
  }
}

// True when the tasks of an evaluation started here run one after another on
// the calling thread: one thread only, or no team may be used (a forked
// child, a nested call).
inline bool positions_in_order() {
  return run_on_calling_thread_only() || (!omp_in_parallel() && omp_get_max_threads() == 1);
}

// Run task(n, thread) for n = 0 .. count - 1: in order on the calling thread
// (thread 0) when positions_in_order(), else on the threads of the current
// team, or of a new team when called outside one. `thread` is the number of
// the thread in its team. Polls `control` (may be null) between tasks.
//
// The calling thread always takes tasks itself until none is left: a control
// polls only on the thread that made it, so that thread must keep running
// tasks for a Ctrl-C to be seen. (An OpenMP taskloop does not promise this:
// with more tasks than its runtime queues, one thread of the team, not always
// the calling one, runs them all.)
template <class Task>
ModelStatus run_tasks(int count, FitControl* control, Task& task) {
  TaskRun<Task> run{control, task};
  if (positions_in_order()) {
    for (int n = 0; n < count; ++n) run_task(run, n, 0);
  } else if (omp_in_parallel()) {
    // Inside a team already (concurrent starts): the other threads join as
    // tasks when they are free; this one pulls at once.
    const int helpers = omp_get_num_threads() - 1;
    for (int k = 0; k < helpers; ++k) {
#pragma omp task shared(run)
      pull_tasks(run, count, omp_get_thread_num());
    }
    pull_tasks(run, count, omp_get_thread_num());
#pragma omp taskwait
  } else {
    // A new team: its first thread is the calling one.
#pragma omp parallel shared(run)
    pull_tasks(run, count, omp_get_thread_num());
  }
  return static_cast<ModelStatus>(run.outcome.load());
}

// Run march(curve, point, thread) -> raw transmittance for every position of
// `problem` into raw[curve * num_x_pts + point]: one task per position.
template <class March>
ModelStatus transmit_positions(const Problem& problem, FitControl* control, double* raw,
                               March& march) {
  const int num_x_pts = problem.num_x_pts();
  auto task = [&](int n, int thread) {
    const int curve = n / num_x_pts;
    const int point = n - curve * num_x_pts;
    raw[n] = march(curve, point, thread);
  };
  return run_tasks(static_cast<int>(problem.points()), control, task);
}

// Threads the position tasks of an evaluation started here will run on.
inline int position_team_size() {
  if (positions_in_order()) return 1;
  return omp_in_parallel() ? omp_get_num_threads() : omp_get_max_threads();
}

// The mean of the first five and last five of n >= 5 values (they overlap,
// and count twice, below ten): what a curve is shifted to 1 by.
inline double curve_baseline(const double* t, std::ptrdiff_t n) {
  return (t[0] + t[1] + t[2] + t[3] + t[4] + t[n - 5] + t[n - 4] + t[n - 3] + t[n - 2] +
          t[n - 1]) *
         0.1;
}

// Shift each curve of raw transmittance (in place) so that its first five
// and last five points average to 1 (they overlap, and count twice, below
// ten points): every point moves by the same amount.
void shift_to_baseline(const Problem& problem, double* curves);

}  // namespace tarvo::internal
