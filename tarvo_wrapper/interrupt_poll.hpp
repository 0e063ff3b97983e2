// Letting signal handlers (Ctrl-C) stop a fit that runs without the
// interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fit_entry.hpp"

// Releases the interpreter lock for the lifetime of the object and lets the
// native fit poll for signals through control(): each poll re-takes the lock,
// runs pending signal handlers and keeps the first exception one raised.
class InterruptibleSection {
 public:
  // Releases the interpreter lock (the calling thread holds it).
  InterruptibleSection();
  InterruptibleSection(const InterruptibleSection&) = delete;
  InterruptibleSection& operator=(const InterruptibleSection&) = delete;
  // Takes the lock back and drops a kept exception that was not taken.
  ~InterruptibleSection();

  // The control to hand to the native fit; usable only on this thread.
  FitControl* control() { return &control_; }

  // Take the lock back now (idempotent).
  void reacquire_lock();

  // True when a signal handler raised; after reacquire_lock(), restore() sets
  // that exception as the current one.
  bool interrupted() const { return raised_ != nullptr; }
  void restore();

 private:
  // FitControl's poll: run pending signal handlers under the lock.
  static bool poll(void* data);

  PyThreadState* saved_state_ = nullptr;
  PyObject* raised_ = nullptr;
  FitControl control_;
};
