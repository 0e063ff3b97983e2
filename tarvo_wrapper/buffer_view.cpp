// Acquiring and checking array arguments: one dimension, the item format,
// the item size, then contiguity, in that order.
#include "buffer_view.hpp"

#include "buffer_format.hpp"
#include "py_ref.hpp"

namespace {

// What every array argument is asked for: writable, C-contiguous, with format.
constexpr int BUFFER_REQUEST = PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;

// Number of dimensions an array argument must have.
constexpr int EXPECTED_DIMENSIONS = 1;

// Raise the dtype-mismatch ValueError for `match`.
void raise_dtype_mismatch(const FormatMatch& match, ItemType type) {
  PyRef got;
  if (match.count > 1) {
    got.reset(PyUnicode_FromFormat("%ld x %s%s", match.count, match.qualifier, match.description));
  } else {
    got.reset(PyUnicode_FromFormat("%s%s", match.qualifier, match.description));
  }
  if (!got) return;
  PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %U", "'",
               item_type_name(type), "'", got.get());
}

// Check the acquired `buffer` against `type`; false with ValueError set.
bool check_buffer(const Py_buffer& buffer, ItemType type) {
  if (buffer.ndim != EXPECTED_DIMENSIONS) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                 EXPECTED_DIMENSIONS, buffer.ndim);
    return false;
  }
  const FormatMatch match = match_format(buffer.format, type);
  if (!match.matches) {
    raise_dtype_mismatch(match, type);
    return false;
  }
  const size_t item_size = static_cast<size_t>(buffer.itemsize);
  const size_t wanted_size = item_type_size(type);
  if (item_size != wanted_size) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 item_size, item_size > 1 ? "s" : "", item_type_name(type), wanted_size,
                 wanted_size > 1 ? "s" : "");
    return false;
  }
  if (buffer.shape == nullptr ||
      (buffer.shape[0] > 1 && buffer.strides != nullptr && buffer.strides[0] != buffer.itemsize)) {
    PyErr_SetString(PyExc_ValueError,
                    "Buffer and memoryview are not contiguous in the same dimension.");
    return false;
  }
  return true;
}

}  // namespace

bool BufferView::acquire(PyObject* object, ItemType type) {
  if (PyObject_GetBuffer(object, &buffer_, BUFFER_REQUEST) < 0) return false;
  if (!check_buffer(buffer_, type)) {
    PyBuffer_Release(&buffer_);
    return false;
  }
  held_ = true;
  return true;
}
