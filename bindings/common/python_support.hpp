// Small helpers that both extension modules (tarvo_wrapper and
// tarvo._native) use: owned references, a section that runs native work
// without the interpreter lock while letting Ctrl-C stop it, and the run of
// a fit's starts in such a section.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <span>
#include <string>

#include "tarvo/control.hpp"
#include "tarvo/fit.hpp"
#include "tarvo/memory.hpp"

namespace tarvo::python {

// One strong reference (or none); dropped when the holder goes out of scope.
class PyRef {
 public:
  // Hold nothing.
  PyRef() = default;
  // Take over a new reference (nullptr allowed: holds nothing).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  // Moving hands the reference over.
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  // Moving hands the reference over; drops the one held before.
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  // Drops the reference.
  ~PyRef() { Py_XDECREF(object_); }

  // The object (borrowed), or nullptr.
  PyObject* get() const { return object_; }
  // True when an object is held.
  explicit operator bool() const { return object_ != nullptr; }
  // Give up ownership: the caller now owns the reference.
  PyObject* release() {
    PyObject* owned = object_;
    object_ = nullptr;
    return owned;
  }
  // Replace the held reference by `owned` (a new reference or nullptr).
  void reset(PyObject* owned = nullptr) {
    PyObject* old = object_;
    object_ = owned;
    Py_XDECREF(old);
  }

 private:
  PyObject* object_ = nullptr;
};

// Raise MemoryError for `error`: with its message when the native code said
// what could not be allocated. Returns nullptr.
inline PyObject* raise_memory_error(const std::bad_alloc& error) {
  if (dynamic_cast<const AllocationError*>(&error) != nullptr) {
    PyErr_SetString(PyExc_MemoryError, error.what());
    return nullptr;
  }
  return PyErr_NoMemory();
}

// Raise MemoryError for a run of starts that ran out of memory: with the
// message of the first start that said what could not be allocated.
inline void raise_starts_memory_error(std::span<const StartSummary> summaries) {
  for (const StartSummary& summary : summaries) {
    if (summary.status == FitStatus::out_of_memory && !summary.failure.empty()) {
      PyErr_SetString(PyExc_MemoryError, summary.failure.c_str());
      return;
    }
  }
  PyErr_NoMemory();
}

// Releases the interpreter lock for the lifetime of the object and lets the
// native fit poll for signals through control(): each poll re-takes the lock,
// runs pending signal handlers and keeps the first exception one raised.
class InterruptibleSection {
 public:
  // Releases the interpreter lock (the calling thread holds it).
  InterruptibleSection() : control_(&InterruptibleSection::poll, this) {
    saved_state_ = PyEval_SaveThread();
  }
  InterruptibleSection(const InterruptibleSection&) = delete;
  InterruptibleSection& operator=(const InterruptibleSection&) = delete;
  // Takes the lock back and drops a kept exception that was not taken.
  ~InterruptibleSection() {
    reacquire_lock();
    Py_CLEAR(raised_);
  }

  // The control to hand to the native fit; it polls only on this thread.
  FitControl* control() { return &control_; }

  // Take the lock back now (idempotent).
  void reacquire_lock() {
    if (saved_state_ == nullptr) return;
    PyEval_RestoreThread(saved_state_);
    saved_state_ = nullptr;
  }

  // True when a signal handler raised; after reacquire_lock(), restore() sets
  // that exception as the current one.
  bool interrupted() const { return raised_ != nullptr; }
  void restore() {
    if (raised_ == nullptr) return;
    PyErr_SetRaisedException(raised_);  // steals the reference
    raised_ = nullptr;
  }

 private:
  // FitControl's poll: run pending signal handlers under the lock.
  static bool poll(void* data) {
    auto* section = static_cast<InterruptibleSection*>(data);
    if (section->raised_ != nullptr) return true;
    PyEval_RestoreThread(section->saved_state_);
    if (PyErr_CheckSignals() < 0) section->raised_ = PyErr_GetRaisedException();
    section->saved_state_ = PyEval_SaveThread();
    return section->raised_ != nullptr;
  }

  PyThreadState* saved_state_ = nullptr;
  PyObject* raised_ = nullptr;
  FitControl control_;
};

// Run the starts of a fit with the interpreter lock released, answering
// Ctrl-C: `run(options)` runs them (run_starts or run_multi_start of fit/,
// which fill `summaries`) with the section's control and `diagnostics`
// (nullptr: stdout) in `options`, and returns the run's status. True when the
// run ended well; otherwise false with the exception set: what a signal
// handler raised (KeyboardInterrupt for Ctrl-C), MemoryError (saying what
// could not be allocated, when a start said so), RuntimeError "native fit
// failed: <why>" for a failed start or an exception, SystemError for a run
// stopped without one.
template <typename Run>
bool run_fit_released(std::span<const StartSummary> summaries, DiagnosticsSink* diagnostics,
                      Run&& run) {
  FitStatus status = FitStatus::ok;
  // Copied: the exception, and with it what() points to, ends with its handler.
  std::string failure;
  InterruptibleSection section;
  try {
    FitOptions options;
    options.control = section.control();
    options.diagnostics = diagnostics;
    status = run(static_cast<const FitOptions&>(options));
  } catch (const std::bad_alloc&) {
    status = FitStatus::out_of_memory;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown error";
  }
  section.reacquire_lock();
  if (section.interrupted()) {
    // A signal handler raised (KeyboardInterrupt for Ctrl-C): pass it on.
    section.restore();
    return false;
  }
  if (failure.empty() && status == FitStatus::failed) {
    for (const StartSummary& summary : summaries) {
      if (summary.status == FitStatus::failed) {
        failure = summary.failure.empty() ? "unknown error" : summary.failure;
        break;
      }
    }
  }
  if (!failure.empty()) {
    PyErr_Format(PyExc_RuntimeError, "native fit failed: %s", failure.c_str());
    return false;
  }
  switch (status) {
    case FitStatus::ok:
      return true;
    case FitStatus::out_of_memory:
      raise_starts_memory_error(summaries);
      return false;
    default:
      PyErr_SetString(PyExc_SystemError, "fit interrupted without a pending exception");
      return false;
  }
}

}  // namespace tarvo::python
