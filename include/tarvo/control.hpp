// How a native run ends, and how its caller stops it early.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "tarvo/export.hpp"

namespace tarvo {

// How a fit, a start or a model evaluation ended, beyond the values it wrote.
enum class FitStatus : int {
  // Ran to the end; every output is written.
  ok,
  // Stopped early on request (FitControl); outputs are incomplete.
  interrupted,
  // A work array could not be allocated; outputs are incomplete.
  out_of_memory,
  // Refused its input or met an unexpected error; outputs are incomplete.
  failed,
  // Not started: the run ended before this start's turn came.
  not_run,
};

// True when native work started now must run on the calling thread alone,
// without the OpenMP team and without waiting for the fit queue:
//   - in a forked child: the parent's OpenMP threads did not come along,
//     and a team would wait for them for ever;
//   - while this thread polls for a stop (FitControl), that is from a signal
//     handler that the poll runs: this thread may hold the fit queue's turn
//     and be a member of a running team.
TARVO_API bool run_on_calling_thread_only();

// Marks the calling thread as polling for its lifetime (see above).
class TARVO_API PollScope {
 public:
  PollScope();
  ~PollScope();
  PollScope(const PollScope&) = delete;
  PollScope& operator=(const PollScope&) = delete;
};

// Lets a caller stop running fits, and lets one start stop the others when
// it fails. `poll` is called between residual evaluations and scan
// positions, at most every POLL_INTERVAL and only on the thread that created
// the control (the thread that may talk to the interpreter); other threads
// only see the shared stop flag.
class FitControl {
 public:
  // Shortest time between two polls: keeps polling cheap next to busy threads.
  static constexpr std::chrono::milliseconds POLL_INTERVAL{20};

  // A control that only stops on request_stop().
  FitControl() : FitControl(nullptr, nullptr) {}
  // poll(data) returns true to stop every fit that uses this control.
  FitControl(bool (*poll)(void* data), void* data)
      : poll_(poll), data_(data), owner_(std::this_thread::get_id()) {}
  FitControl(const FitControl&) = delete;
  FitControl& operator=(const FitControl&) = delete;

  // True once a stop was requested; may poll first when called on the owner thread.
  bool should_stop() {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (poll_ != nullptr && std::this_thread::get_id() == owner_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_poll_ >= POLL_INTERVAL) {
        last_poll_ = now;
        bool stop = false;
        {
          PollScope scope;
          stop = poll_(data_);
        }
        if (stop) request_stop(FitStatus::interrupted);
      }
    }
    return stop_.load(std::memory_order_relaxed);
  }

  // Ask every fit that uses this control to stop, because of `cause`:
  // interrupted for a caller's request, or the failure of one start.
  void request_stop(FitStatus cause) {
    int expected = static_cast<int>(FitStatus::ok);
    cause_.compare_exchange_strong(expected, static_cast<int>(cause));
    stop_.store(true, std::memory_order_relaxed);
  }

  // Why the first stop was requested (ok while none was).
  FitStatus stop_cause() const { return static_cast<FitStatus>(cause_.load()); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> cause_{static_cast<int>(FitStatus::ok)};
  bool (*poll_)(void*);
  void* data_;
  std::thread::id owner_;
  // Time of the last poll (only the owner thread reads or writes it).
  std::chrono::steady_clock::time_point last_poll_{};
};

}  // namespace tarvo
