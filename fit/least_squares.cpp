// The least-squares driver and the residual function that LMDIF1 minimises:
// weighted differences between measured and modelled transmittance over all
// curves.
#include "least_squares.hpp"

#include <minpack.h>

#include <cstddef>

namespace tarvo::internal {

namespace {

// LMDIF1's tolerance on the relative reduction of the sum of squares and of x.
constexpr double FIT_TOLERANCE = 1.0e-3;

// The residual function of one start.
class StartResiduals {
 public:
  StartResiduals(const Problem& problem, const StartJob& job, StartWorkspace& workspace,
                 const ModelRun& run)
      : problem_(problem), job_(job), workspace_(workspace), run_(run) {}

  // sqrt(w_j) (y_j - model_j) at the trial vector x into fvec; false when the
  // fit has to stop (status() says why).
  bool evaluate(const double* x, double* fvec) noexcept {
    if (run_.control->should_stop()) {
      status_ = FitStatus::interrupted;
      return false;
    }
    double p[PARAMETER_COUNT];
    for (int i = 0; i < PARAMETER_COUNT; ++i) p[i] = job_.spec_pars[i];
    // A parameter named twice takes its later trial value.
    for (std::size_t i = 0; i < job_.fitted.size(); ++i) p[job_.fitted[i]] = x[i];
    double* model = workspace_.model_values.data();
    const ModelStatus model_status = model_curves(problem_, p, model, run_);
    if (model_status != ModelStatus::ok) {
      status_ = model_status == ModelStatus::stopped         ? FitStatus::interrupted
                : model_status == ModelStatus::out_of_memory ? FitStatus::out_of_memory
                                                             : FitStatus::failed;
      return false;
    }
    const double* y = problem_.y().data();
    const double* sqrt_weights = problem_.sqrt_weights().data();
    const std::size_t points = problem_.points();
    for (std::size_t j = 0; j < points; ++j) fvec[j] = sqrt_weights[j] * (y[j] - model[j]);
    ++evaluations_;
    return true;
  }

  FitStatus status() const { return status_; }
  int evaluations() const { return evaluations_; }

 private:
  const Problem& problem_;
  const StartJob& job_;
  StartWorkspace& workspace_;
  const ModelRun& run_;
  FitStatus status_ = FitStatus::ok;
  int evaluations_ = 0;
};

// LMDIF1 calls its function with (m, n, x, fvec, iflag) and nothing else:
// Fortran has no user pointer to hand through. The start being fitted on a
// thread is therefore published here, for the duration of its LMDIF1 call,
// and residual_trampoline forwards to it. A thread that waits for the
// position tasks of its evaluation may run another start's fit meanwhile
// (a task scheduling point); ActiveStart restores the outer start when the
// inner one ends, so the published start is always the innermost running.
thread_local StartResiduals* active_start = nullptr;

// Publishes one start's residual function on this thread for its lifetime.
class ActiveStart {
 public:
  explicit ActiveStart(StartResiduals& residuals) : outer_(active_start) {
    active_start = &residuals;
  }
  ~ActiveStart() { active_start = outer_; }
  ActiveStart(const ActiveStart&) = delete;
  ActiveStart& operator=(const ActiveStart&) = delete;

 private:
  StartResiduals* outer_;
};

// The function LMDIF1 calls: the active start's residuals; iflag < 0 stops
// the fit. No C++ exception may cross MINPACK's Fortran frames, and none can:
// evaluate() is noexcept.
extern "C" void residual_trampoline(int* /*m*/, int* /*n*/, double* x, double* fvec,
                                    int* iflag) noexcept {
  if (!active_start->evaluate(x, fvec)) *iflag = -1;
}

}  // namespace

std::size_t StartWorkspace::work_length(std::size_t m, std::size_t n) {
  // LMDIF1 needs m n + 5 n + m; it is not called when n < 1 or m < n.
  return n >= 1 && m >= n ? m * n + 5 * n + m : 0;
}

double StartWorkspace::bytes_needed(const Problem& problem, const StartJob& job) {
  const std::size_t m = problem.points();
  const std::size_t n = job.fitted.size();
  return sizeof(double) * (static_cast<double>(work_length(m, n)) + static_cast<double>(n) +
                           static_cast<double>(m)) +
         sizeof(int) * static_cast<double>(n);
}

StartWorkspace::StartWorkspace(const Problem& problem, const StartJob& job)
    : x(job.fitted.size()),
      iwork(job.fitted.size()),
      work(work_length(problem.points(), job.fitted.size())),
      model_values(problem.points()) {}

void fit_start(const Problem& problem, const StartJob& job, StartWorkspace& workspace,
               ModelWorkspace& models, FitControl& control, Propagator propagator,
               StartSummary& summary) noexcept {
  summary = StartSummary{};
  const ModelRun run{propagator, &models, nullptr, &control, &summary.failures};
  StartResiduals residuals(problem, job, workspace, run);
  int m = static_cast<int>(problem.points());
  int n = static_cast<int>(job.fitted.size());
  double* x = workspace.x.data();
  double* fvec = job.residuals.data();
  // The solver varies x(i), which stands for spec_pars(fitted(i)).
  for (int i = 0; i < n; ++i) x[i] = job.spec_pars[job.fitted[i]];
  {
    ActiveStart active(residuals);
    if (n < 1 || m < n) {
      // LMDIF1 would refuse these sizes (INFO = 0) and evaluate nothing:
      // nothing is fitted, and the error describes the starting vector.
      int iflag = 1;
      residual_trampoline(&m, &n, x, fvec, &iflag);
    } else {
      double tol = FIT_TOLERANCE;
      int lwa = static_cast<int>(workspace.work.size());
      lmdif1_(residual_trampoline, &m, &n, x, fvec, &tol, &summary.info, workspace.iwork.data(),
              workspace.work.data(), &lwa);
    }
  }
  summary.evaluations = residuals.evaluations();
  if (residuals.status() != FitStatus::ok) {
    summary.status = residuals.status();
    return;
  }

  *job.error = enorm_(&m, fvec);
  for (int i = 0; i < n; ++i) job.spec_pars[job.fitted[i]] = x[i];

  // Final pass at the fitted parameters, without weights (and not stopped:
  // it is one evaluation).
  const ModelRun final_run{propagator, &models, nullptr, nullptr, &summary.failures};
  double* model = workspace.model_values.data();
  const ModelStatus final_status = model_curves(problem, job.spec_pars.data(), model, final_run);
  if (final_status != ModelStatus::ok) {
    summary.status =
        final_status == ModelStatus::out_of_memory ? FitStatus::out_of_memory : FitStatus::failed;
    return;
  }
  const double* y = problem.y().data();
  for (int j = 0; j < m; ++j) fvec[j] = y[j] - model[j];
  summary.status = FitStatus::ok;
}

}  // namespace tarvo::internal
