// Views of the caller's array arguments through the buffer protocol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The item type an array argument must hold.
enum class ItemType {
  // A native C double (format 'd', 8 bytes).
  float64,
  // A native C int (format 'i', 4 bytes).
  int32,
};

// A writable, C-contiguous, one-dimensional view of one argument's buffer,
// held until the view goes out of scope. An empty view stands for None.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  // Releases the buffer.
  ~BufferView() {
    if (held_) PyBuffer_Release(&buffer_);
  }

  // Take the buffer of `object` and check it holds one dimension of `type`
  // items, contiguously; false with an exception set (the view stays empty).
  bool acquire(PyObject* object, ItemType type);

  // True while a buffer is held (false for a None argument).
  bool held() const { return held_; }
  // Number of items.
  Py_ssize_t length() const { return held_ ? buffer_.shape[0] : 0; }
  // The items of a float64 view.
  const double* doubles() const { return static_cast<const double*>(buffer_.buf); }
  // The items of an int32 view.
  const int* ints() const { return static_cast<const int*>(buffer_.buf); }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
};
