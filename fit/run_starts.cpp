// The run of all starts of a multi-start fit: the work arrays of every start
// and of every thread allocated first, a turn in the process's fit queue,
// then the starts one after another or as tasks of one team, and the root
// cause of a failure.
#include <omp.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "fit_queue.hpp"
#include "least_squares.hpp"
#include "tarvo/fit.hpp"
#include "tarvo/memory.hpp"

namespace tarvo {

namespace {

using internal::StartWorkspace;

// What every start of the run shares.
struct Run {
  const Problem& problem;
  std::span<const StartJob> jobs;
  std::span<StartSummary> summaries;
  std::vector<StartWorkspace>& workspaces;
  ModelWorkspace& models;
  FitControl& control;
  Propagator propagator;
};

// Why `jobs` cannot run on `problem`, or "".
std::string job_error(const Problem& problem, std::span<const StartJob> jobs,
                      std::span<StartSummary> summaries) {
  if (!problem.has_data()) return "the problem has no measured values to fit";
  if (summaries.size() != jobs.size()) return "one summary per start is needed";
  for (const StartJob& job : jobs) {
    if (job.spec_pars.size() < static_cast<std::size_t>(PARAMETER_COUNT)) {
      return "a start's parameter row is shorter than the parameter vector";
    }
    if (job.residuals.size() < problem.points() || job.error == nullptr) {
      return "a start has no room for its residuals or its error";
    }
    if (StartWorkspace::work_length(problem.points(), job.fitted.size()) > INT_MAX) {
      return "a start's least-squares work array exceeds the largest LMDIF1 takes";
    }
    for (int index : job.fitted) {
      if (index < 0 || index >= PARAMETER_COUNT) return "a fitted index lies outside 0-7";
    }
  }
  return {};
}

// Why the work arrays of `jobs` and the model's scratch for `threads`
// threads cannot fit in what the process may use, or "".
std::string memory_refusal(const Problem& problem, std::span<const StartJob> jobs,
                           Propagator propagator, int threads) {
  double work = 0.0;
  for (const StartJob& job : jobs) work += StartWorkspace::bytes_needed(problem, job);
  const double scratch = ModelWorkspace::bytes_needed(problem, propagator, threads);
  const double available = available_memory();
  if (work + scratch <= available) return {};
  char wanted[32], limit[32], message[320];
  format_bytes(work + scratch, wanted, sizeof wanted);
  format_bytes(available, limit, sizeof limit);
  if (work >= scratch) {
    std::snprintf(message, sizeof message,
                  "the fit needs %s for the least-squares work arrays of %zu start%s (%zu points, "
                  "%zu fitted entries), more than the %s this process may use",
                  wanted, jobs.size(), jobs.size() == 1 ? "" : "s", problem.points(),
                  jobs.empty() ? std::size_t{0} : jobs[0].fitted.size(), limit);
  } else {
    std::snprintf(message, sizeof message,
                  "the fit needs %s for the model's scratch of %d thread%s (%d depth slices), "
                  "more than the %s this process may use",
                  wanted, threads, threads == 1 ? "" : "s", problem.z_slices(), limit);
  }
  return message;
}

// Mark start k as refused for want of memory, with the message to report.
void out_of_memory(std::span<StartSummary> summaries, std::size_t k, const char* message) {
  if (k >= summaries.size()) return;
  summaries[k].status = FitStatus::out_of_memory;
  summaries[k].failure = message;
}

// Fit start k; whatever happens, no exception leaves (it may run as a task).
void run_start(const Run& run, std::size_t k) noexcept {
  StartSummary& summary = run.summaries[k];
  try {
    internal::fit_start(run.problem, run.jobs[k], run.workspaces[k], run.models, run.control,
                        run.propagator, summary);
  } catch (const std::bad_alloc&) {
    summary.status = FitStatus::out_of_memory;
  } catch (const std::exception& error) {
    summary.status = FitStatus::failed;
    try {
      summary.failure = error.what();
    } catch (...) {
    }
  } catch (...) {
    summary.status = FitStatus::failed;
  }
}

// Every start on the calling thread, in ascending order, until one fails.
void run_in_order(const Run& run) {
  for (std::size_t k = 0; k < run.jobs.size(); ++k) {
    run_start(run, k);
    if (run.summaries[k].status != FitStatus::ok) return;
  }
}

// The starts run as tasks of one team, and so do the scan positions of every
// residual evaluation: threads freed by one start work on another's positions.
// Each start writes only its own rows, so the order in which they finish
// changes nothing. One failed start ends the others early, recording itself
// as the cause.
void run_as_tasks(const Run& run) {
  const std::size_t starts = run.jobs.size();
#pragma omp parallel
#pragma omp single
  for (std::size_t k = 0; k < starts; ++k) {
#pragma omp task firstprivate(k) shared(run)
    {
      run_start(run, k);
      const FitStatus status = run.summaries[k].status;
      if (status != FitStatus::ok) run.control.request_stop(status);
    }
  }
}

// The status of the run: the failure that ended it, not the consequences.
// Starts stopped because another start ran out of memory or failed report
// `interrupted`; the control remembers the first cause.
FitStatus root_cause(std::span<const StartSummary> summaries, const FitControl& control) {
  const FitStatus cause = control.stop_cause();
  if (cause == FitStatus::out_of_memory || cause == FitStatus::failed) return cause;
  bool interrupted = false;
  for (const StartSummary& summary : summaries) {
    if (summary.status == FitStatus::out_of_memory || summary.status == FitStatus::failed) {
      return summary.status;
    }
    if (summary.status != FitStatus::ok) interrupted = true;
  }
  return interrupted ? FitStatus::interrupted : FitStatus::ok;
}

}  // namespace

FitStatus run_starts(const Problem& problem, std::span<const StartJob> jobs,
                     std::span<StartSummary> summaries, const FitOptions& options) {
  for (StartSummary& summary : summaries) summary = StartSummary{};
  const std::string refusal = job_error(problem, jobs, summaries);
  if (!refusal.empty()) {
    for (StartSummary& summary : summaries) {
      summary.status = FitStatus::failed;
      summary.failure = refusal;
    }
    return FitStatus::failed;
  }
  FitControl own_control;
  FitControl& control = options.control != nullptr ? *options.control : own_control;
  // From a signal handler during a fit, or in a forked child: this thread alone.
  const int threads = run_on_calling_thread_only() ? 1 : omp_get_max_threads();

  // Everything the starts need, before any of them runs: sized first, so
  // that what cannot fit is refused before anything is filled.
  const std::string too_large = memory_refusal(problem, jobs, options.propagator, threads);
  if (!too_large.empty()) {
    out_of_memory(summaries, 0, too_large.c_str());
    return FitStatus::out_of_memory;
  }
  std::unique_ptr<ModelWorkspace> models;
  std::vector<StartWorkspace> workspaces;
  try {
    models = std::make_unique<ModelWorkspace>(problem, options.propagator, threads,
                                              options.diagnostics);
    workspaces.reserve(jobs.size());
    for (const StartJob& job : jobs) workspaces.emplace_back(problem, job);
  } catch (const AllocationError& error) {
    out_of_memory(summaries, 0, error.what());
    return FitStatus::out_of_memory;
  } catch (const std::bad_alloc&) {
    const std::size_t k = workspaces.size();
    char wanted[32], message[320];
    format_bytes(k < jobs.size() ? StartWorkspace::bytes_needed(problem, jobs[k]) : 0.0, wanted,
                 sizeof wanted);
    std::snprintf(message, sizeof message,
                  "could not allocate %s for the least-squares work arrays of start %zu", wanted,
                  k + 1);
    out_of_memory(summaries, k, message);
    return FitStatus::out_of_memory;
  }
  const Run run{problem, jobs, summaries, workspaces, *models, control, options.propagator};

  // Single-threaded fits called from several threads share the cores among themselves.
  if (threads == 1) {
    run_in_order(run);
    return root_cause(summaries, control);
  }
  // A fit that may use every core waits for the one running before it.
  internal::FitTurn turn(&control);
  if (!turn.granted()) return FitStatus::interrupted;
  if (jobs.size() > 1) {
    run_as_tasks(run);
  } else {
    run_in_order(run);
  }
  return root_cause(summaries, control);
}

}  // namespace tarvo
