// Refusing memory before it is taken, and the process-wide facts about how
// native work may run (forked child, polling thread).
#include "tarvo/memory.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "tarvo/control.hpp"

namespace tarvo {

AllocationError::AllocationError(const char* message) noexcept {
  std::snprintf(message_, sizeof message_, "%s", message);
}

double available_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  double limit = pages > 0 && page_size > 0 ? static_cast<double>(pages) * page_size : 1e300;
  rlimit address_space{};
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    limit = std::min(limit, static_cast<double>(address_space.rlim_cur));
  }
  return limit;
}

void format_bytes(double bytes, char* text, int size) {
  if (bytes >= 1e9) {
    std::snprintf(text, static_cast<std::size_t>(size), "%.1f GB", bytes / 1e9);
  } else {
    std::snprintf(text, static_cast<std::size_t>(size), "%.1f MB", bytes / 1e6);
  }
}

namespace {

// Set in the child of a fork: the OpenMP runtime's threads did not come
// along, and a team would wait for them for ever.
std::atomic<bool> forked_child{false};

// Depth of FitControl polls on this thread: a poll runs Python signal
// handlers, which may start native work of their own.
thread_local int poll_depth = 0;

void mark_forked_child() { forked_child.store(true); }

// Registered when the library is loaded.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, mark_forked_child);

}  // namespace

bool run_on_calling_thread_only() {
  (void)fork_handler_registered;
  return poll_depth > 0 || forked_child.load(std::memory_order_relaxed);
}

PollScope::PollScope() { ++poll_depth; }

PollScope::~PollScope() { --poll_depth; }

}  // namespace tarvo
