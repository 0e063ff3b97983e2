// Owned references to Python objects, released on every exit path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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
