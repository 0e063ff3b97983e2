// The one reader of arrays for the extension modules: every array of numbers
// a binding takes is copied here, while the interpreter lock is held, before
// any native work starts. An object that exports a C-contiguous float64
// buffer (a NumPy array) is copied straight from its memory; anything else
// is first snapshotted: its items (and the items of nested sequences, rows
// of a table) are taken into tuples, which nothing can change, so that
// converting an item (__float__, __index__) may run Python code that clears
// or refills the caller's list without the reader ever touching freed items.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "python_support.hpp"

namespace tarvo::python {

// Values of an array and its shape.
struct FloatArray {
  std::vector<double> values;
  std::vector<Py_ssize_t> shape;
};

// Copy a C-contiguous float64 buffer of `object` into `out`: true when the
// object has one (and it was copied), false without an exception otherwise.
// Sets an exception (and `failed`) only when the copy cannot be allocated.
inline bool copy_float64_buffer(PyObject* object, FloatArray& out, bool& failed) {
  failed = false;
  if (!PyObject_CheckBuffer(object)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool float64 = view.itemsize == sizeof(double) && view.format != nullptr &&
                       (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "<d") == 0 ||
                        std::strcmp(view.format, "=d") == 0 || std::strcmp(view.format, "@d") == 0);
  if (!float64) {
    PyBuffer_Release(&view);
    return false;
  }
  try {
    out.shape.assign(view.shape, view.shape + view.ndim);
    out.values.resize(static_cast<std::size_t>(view.len) / sizeof(double));
  } catch (const std::bad_alloc&) {
    PyBuffer_Release(&view);
    PyErr_NoMemory();
    failed = true;
    return false;
  }
  if (view.len > 0) std::memcpy(out.values.data(), view.buf, static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return true;
}

// A snapshot of `object`: buffers and non-sequences as they are, strings as
// they are, any other sequence as a tuple of the snapshots of its items (to
// `depth` levels). New reference, or nullptr with an exception set.
inline PyObject* snapshot(PyObject* object, int depth) {
  if (depth <= 0 || PyObject_CheckBuffer(object) || PyUnicode_Check(object) ||
      PyBytes_Check(object) || PyByteArray_Check(object) || !PySequence_Check(object)) {
    return Py_NewRef(object);
  }
  PyRef items(PySequence_Tuple(object));
  if (!items) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  PyRef copy(PyTuple_New(n));
  if (!copy) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = snapshot(PyTuple_GET_ITEM(items.get(), i), depth - 1);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(copy.get(), i, item);
  }
  return copy.release();
}

// Copy `object` as a C-contiguous float64 array of at most `max_dims`
// dimensions (nested sequences, any array-like); false with TypeError
// ("<name> must be an array of numbers") or NumPy's error set.
inline bool read_float_array(PyObject* object, const char* name, int max_dims, FloatArray& out) {
  bool failed = false;
  if (copy_float64_buffer(object, out, failed)) return true;
  if (failed) return false;
  PyRef frozen(snapshot(object, max_dims));
  if (!frozen) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be an array of numbers", name);
    }
    return false;
  }
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  PyRef convert(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
  if (!convert) return false;
  PyRef dtype(PyObject_GetAttrString(numpy.get(), "float64"));
  if (!dtype) return false;
  PyRef array(PyObject_CallFunctionObjArgs(convert.get(), frozen.get(), dtype.get(), nullptr));
  if (!array) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be an array of numbers", name);
    }
    return false;
  }
  if (copy_float64_buffer(array.get(), out, failed)) return true;
  if (!failed) PyErr_Format(PyExc_TypeError, "%s must be an array of numbers", name);
  return false;
}

// Convert every item of the tuple `items` with `convert` (PyFloat_AsDouble,
// PyLong_AsInt: -1 with an exception set when an item is refused) into `out`;
// false with the exception set (MemoryError when `out` cannot hold them).
template <typename T>
bool convert_items(PyObject* items, T (*convert)(PyObject*), std::vector<T>& out) {
  const Py_ssize_t length = PyTuple_GET_SIZE(items);
  try {
    out.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < length; ++i) {
    const T value = convert(PyTuple_GET_ITEM(items, i));
    if (value == T(-1) && PyErr_Occurred()) return false;
    out[static_cast<std::size_t>(i)] = value;
  }
  return true;
}

// Copy a one-dimensional sequence of numbers into `out`: exactly `count`
// values when count >= 0. Items are converted with __float__ (or
// __index__). False with TypeError or ValueError set (naming `name`).
inline bool read_doubles(PyObject* object, const char* name, std::vector<double>& out,
                         Py_ssize_t count = -1) {
  FloatArray array;
  bool failed = false;
  const bool buffered = copy_float64_buffer(object, array, failed) && array.shape.size() == 1;
  if (failed) return false;
  PyRef items;
  Py_ssize_t length = 0;
  if (buffered) {
    length = static_cast<Py_ssize_t>(array.values.size());
  } else {
    // A tuple of the items as they are now: converting an item may run Python
    // code (__float__) that changes the caller's sequence, never this tuple.
    items.reset(PySequence_Tuple(object));
    if (!items) {
      PyErr_Format(PyExc_TypeError, "%s must be a sequence of floats", name);
      return false;
    }
    length = PyTuple_GET_SIZE(items.get());
  }
  if (count >= 0 && length != count) {
    PyErr_Format(PyExc_ValueError, "%s must have %zd entries, not %zd", name, count, length);
    return false;
  }
  if (buffered) {
    out.swap(array.values);
    return true;
  }
  return convert_items(items.get(), PyFloat_AsDouble, out);
}

// Copy a sequence of 32-bit integers (items converted with __index__) into
// `out`, from a snapshot of the items; false with an exception set.
inline bool read_ints(PyObject* object, const char* name, std::vector<int>& out) {
  PyRef items(PySequence_Tuple(object));
  if (!items) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of integers", name);
    return false;
  }
  return convert_items(items.get(), PyLong_AsInt, out);
}

}  // namespace tarvo::python
