// Small helpers that both extension modules (tarvo_wrapper and
// tarvo._native) use: owned references, and a section that runs native work
// without the interpreter lock while letting Ctrl-C stop it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <span>

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

}  // namespace tarvo::python
