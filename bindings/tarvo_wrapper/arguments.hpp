// fit_zscan's parameters and the steps that turn one call's arguments into
// checked native values: binding positional and keyword arguments, viewing
// array arguments through the buffer protocol, converting scalars, and the
// checks (None arrays, fit-index range, size relations).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "python_support.hpp"
#include "tarvo/constants.hpp"

namespace tarvo::wrapper {

using python::PyRef;

// Positions of the parameters, in calling order.
enum FitZscanParameter : int {
  X_DATA,
  Y_DATA,
  POPULATIONS,
  T_SLICES,
  Z_SLICES,
  SAMPLE_WIDTH,
  TAU,
  WAVELENGTH,
  W0,
  M2,
  PULSE_ENERGY,
  SPEC_PARS,
  FIT_INDICES,
  NUM_X_PTS,
  NUM_DATASETS,
  IS_SA,
  N_STARTS,
};

// Number of parameters of fit_zscan.
inline constexpr int ARGUMENT_COUNT = 17;
// Number of leading parameters without a default.
inline constexpr int REQUIRED_ARGUMENT_COUNT = 15;

// Parameter names, indexed by FitZscanParameter.
inline constexpr const char* PARAMETER_NAMES[ARGUMENT_COUNT] = {
    "x_data",       "y_data",    "populations", "t_slices",     "z_slices",    "sample_width",
    "tau",          "wavelength", "w0",         "M2",           "pulse_energy", "spec_pars",
    "fit_indices",  "num_x_pts", "num_datasets", "is_sa",       "n_starts",
};

// The function's name, as callers and messages see it.
inline constexpr const char* FUNCTION_NAME = "fit_zscan";
// The module's name.
inline constexpr const char* MODULE_NAME = "tarvo_wrapper";

// Interned string objects shared by all calls: parameter names, matched by
// identity first when binding keywords, and the names the module publishes
// (process-wide, created once, never freed).
struct InternedNames {
  // Parameter names, indexed by FitZscanParameter.
  PyObject* parameters[ARGUMENT_COUNT] = {};
  // "fit_zscan".
  PyObject* function_name = nullptr;
  // "tarvo_wrapper".
  PyObject* module_name = nullptr;
};

// The interned strings; valid after create_interned_names() succeeded.
const InternedNames& interned_names();

// Create the interned strings unless that has been done; 0, or -1 with an
// exception set.
int create_interned_names();

// The object given for each parameter (strong references); empty where the
// caller left the parameter out.
struct BoundArguments {
  PyRef values[ARGUMENT_COUNT];
};

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

// Copies of the array arguments' contents. Another thread may change the
// caller's arrays while the interpreter lock is released (NumPy releases it,
// the fit releases it): everything after the checks reads these copies only,
// and the fit-index range is checked on them.
struct ArgumentValues {
  std::vector<double> x_data;
  std::vector<double> y_data;
  std::vector<double> populations;
  std::vector<double> pulse_energy;
  std::vector<double> spec_pars;
  std::vector<int> fit_indices;
};

// The converted arguments of one call. The views hold the caller's buffers
// until the call ends; nothing here is written by the fit.
struct FitArguments {
  BufferView x_data;
  BufferView y_data;
  BufferView populations;
  int t_slices = 0;
  int z_slices = 0;
  double sample_width = 0.0;
  double tau = 0.0;
  double wavelength = 0.0;
  double w0 = 0.0;
  double M2 = 0.0;
  BufferView pulse_energy;
  BufferView spec_pars;
  BufferView fit_indices;
  int num_x_pts = 0;
  int num_datasets = 0;
  bool is_sa = false;
  int n_starts = 0;
  // Taken by check_arguments.
  ArgumentValues values;
};

// Bind the tuple `args` and the dict `kwargs` (nullptr: no keywords) to the
// parameters; false with TypeError set when the call does not fit the
// signature.
bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArguments& bound);

// Convert every bound argument in parameter order; the first failure stops
// with its exception (false). None is let through for the arrays here.
bool convert_arguments(const BoundArguments& bound, FitArguments& arguments);

// Refuse None arrays (in a fixed order), copy the arrays' contents into
// arguments.values, and refuse fit indices outside 0-7; false with
// TypeError, ValueError or MemoryError set.
bool check_arguments(FitArguments& arguments);

// Refuse arguments that break a size relation the native fit relies on;
// false with ValueError set, naming the argument and the sizes.
bool check_size_relations(const FitArguments& arguments);

}  // namespace tarvo::wrapper
