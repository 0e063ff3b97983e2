// The native fit: one complete least-squares fit from one starting vector,
// and the multi-start run that the Python module hands its starts to.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

// How a native fit ended, beyond the values it wrote.
enum class FitStatus {
  // Ran to the end; every output is written.
  ok,
  // Stopped early on request (FitControl); outputs are incomplete.
  interrupted,
  // A work array could not be allocated; outputs are incomplete.
  out_of_memory,
};

// Lets a caller stop running fits. `poll` is called between residual
// evaluations and scan positions, at most every POLL_INTERVAL and only on the
// thread that created the control (the thread that may talk to the
// interpreter); other threads only see the shared stop flag.
class FitControl {
 public:
  // Shortest time between two polls: keeps polling cheap next to busy threads.
  static constexpr std::chrono::milliseconds POLL_INTERVAL{20};

  // poll(data) returns true to stop every fit that uses this control.
  FitControl(bool (*poll)(void* data), void* data)
      : poll_(poll), data_(data), owner_(std::this_thread::get_id()) {}

  // True once a stop was requested; may poll first when called on the owner thread.
  bool should_stop() {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (poll_ != nullptr && std::this_thread::get_id() == owner_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_poll_ >= POLL_INTERVAL) {
        last_poll_ = now;
        if (poll_(data_)) stop_.store(true, std::memory_order_relaxed);
      }
    }
    return stop_.load(std::memory_order_relaxed);
  }

  // Ask every fit that uses this control to stop.
  void request_stop() { stop_.store(true, std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
  bool (*poll_)(void*);
  void* data_;
  std::thread::id owner_;
  // Time of the last poll (only the owner thread reads or writes it).
  std::chrono::steady_clock::time_point last_poll_{};
};

// One complete fit from the starting vector in spec_pars (8 values, fitted in
// place), with 1-based param_indices. Positions centred_x in millimetres.
// Writes n_res residuals and the fit error. `control` may be null;
// `evaluations`, when given, receives the number of residual evaluations.
FitStatus fit_zscan_core(const double* centered_x, const double* y_data, const double* populations,
                         double* residuals, double* error, int t_slices, int z_slices,
                         double sample_width, double tau, double wavelength, double w0, double M2,
                         const double* pulse_energy, double* spec_pars, const int* param_indices,
                         int n_fit, int num_x_pts, int num_datasets, int n_pop, int n_res,
                         FitControl* control = nullptr, int* evaluations = nullptr);

// All starts of one fit_zscan call. Start k fits row k of all_spec_pars (row
// length spec_pars_length) in place and writes row k of all_residuals (row
// length n_res) and all_errors[k]. Every other array is input only.
struct MultiStartJob {
  const double* centered_x = nullptr;
  const double* y_data = nullptr;
  const double* populations = nullptr;
  const double* pulse_energy = nullptr;
  const int* param_indices = nullptr;
  int t_slices = 0;
  int z_slices = 0;
  double sample_width = 0.0;
  double tau = 0.0;
  double wavelength = 0.0;
  double w0 = 0.0;
  double M2 = 0.0;
  int n_fit = 0;
  int num_x_pts = 0;
  int num_datasets = 0;
  int n_pop = 0;
  int n_res = 0;
  int n_starts = 0;
  int spec_pars_length = 0;
  double* all_residuals = nullptr;
  double* all_errors = nullptr;
  double* all_spec_pars = nullptr;
};

// Run every start of `job` (results identical to running them one after
// another in ascending order). Returns the first failure, or ok.
FitStatus run_starts(const MultiStartJob& job, FitControl* control);
