// First-come-first-served turns for concurrent multi-threaded fits.
#include "fit_queue.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace tarvo::internal {

namespace {

// How often a waiting fit polls for an interrupt.
constexpr std::chrono::milliseconds WAIT_POLL_INTERVAL{20};

// The process's queue of fits: tickets are served in the order they were drawn.
struct FitQueue {
  std::mutex mutex;
  std::condition_variable turn_changed;
  unsigned long next_ticket = 0;
  unsigned long serving = 0;
  // Tickets whose fits stopped waiting: their turns are skipped.
  std::set<unsigned long> abandoned;

  // Serve the next ticket that still waits.
  void advance() {
    ++serving;
    while (abandoned.erase(serving) > 0) ++serving;
  }
};

FitQueue& fit_queue() {
  static FitQueue queue;
  return queue;
}

}  // namespace

FitTurn::FitTurn(FitControl* control) {
  FitQueue& q = fit_queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  ticket_ = q.next_ticket++;
  while (q.serving != ticket_) {
    q.turn_changed.wait_for(lock, WAIT_POLL_INTERVAL);
    if (q.serving == ticket_ || control == nullptr) continue;
    lock.unlock();
    const bool stop = control->should_stop();
    lock.lock();
    if (stop) return;
  }
  granted_ = true;
}

FitTurn::~FitTurn() {
  FitQueue& q = fit_queue();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (granted_ || q.serving == ticket_) {
      q.advance();
    } else {
      q.abandoned.insert(ticket_);
    }
  }
  q.turn_changed.notify_all();
}

}  // namespace tarvo::internal
