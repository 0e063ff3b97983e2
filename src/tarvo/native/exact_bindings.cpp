// The exact engine for the toolkit: model curves with their Jacobian, and
// single exact steps and the energy model's pulse normalisation for the tests
// and benchmarks. Inputs are converted and copied while the interpreter lock
// is held; the native work runs without it.
#include <omp.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/exact.hpp"

namespace tarvo::native {

namespace {

// A float64 array copied out of any array-like object, with its shape.
struct ArrayCopy {
  std::vector<double> values;
  std::vector<Py_ssize_t> shape;
};

// numpy.<name>, or null with an exception set.
PyObject* numpy_function(const char* name) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return nullptr;
  PyObject* function = PyObject_GetAttrString(numpy, name);
  Py_DECREF(numpy);
  return function;
}

// Copy `object` as a C-contiguous float64 array; false with TypeError/ValueError set.
bool copy_array(PyObject* object, const char* name, ArrayCopy& out) {
  PyObject* convert = numpy_function("ascontiguousarray");
  if (convert == nullptr) return false;
  PyObject* dtype = PyUnicode_FromString("float64");
  PyObject* array = dtype == nullptr ? nullptr : PyObject_CallFunctionObjArgs(convert, object, dtype, nullptr);
  Py_XDECREF(dtype);
  Py_DECREF(convert);
  if (array == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be an array of numbers", name);
    }
    return false;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND) != 0) {
    Py_DECREF(array);
    return false;
  }
  out.shape.assign(view.shape, view.shape + view.ndim);
  out.values.resize(static_cast<size_t>(view.len) / sizeof(double));
  if (view.len > 0) std::memcpy(out.values.data(), view.buf, static_cast<size_t>(view.len));
  PyBuffer_Release(&view);
  Py_DECREF(array);
  return true;
}

// "(a, b)" for an error message.
std::string shape_text(const std::vector<Py_ssize_t>& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    text += std::to_string(shape[i]);
    if (shape.size() == 1 || i + 1 < shape.size()) text += shape.size() == 1 ? "," : ", ";
  }
  return text + ")";
}

// Check that `a` is one-dimensional with `count` entries (count < 0: any).
bool check_vector(const ArrayCopy& a, const char* name, Py_ssize_t count) {
  if (a.shape.size() == 1 && (count < 0 || a.shape[0] == count)) return true;
  if (count < 0) {
    PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, got shape %s", name,
                 shape_text(a.shape).c_str());
  } else {
    PyErr_Format(PyExc_ValueError, "%s must have shape (%zd,), got shape %s", name, count,
                 shape_text(a.shape).c_str());
  }
  return false;
}

// A new float64 array of the given shape, and a pointer to its data.
PyObject* new_array(std::initializer_list<Py_ssize_t> shape, double*& data) {
  PyObject* empty = numpy_function("empty");
  if (empty == nullptr) return nullptr;
  PyObject* dims = PyTuple_New(static_cast<Py_ssize_t>(shape.size()));
  Py_ssize_t i = 0;
  for (Py_ssize_t extent : shape) PyTuple_SET_ITEM(dims, i++, PyLong_FromSsize_t(extent));
  PyObject* array = PyObject_CallFunctionObjArgs(empty, dims, nullptr);
  Py_DECREF(dims);
  Py_DECREF(empty);
  if (array == nullptr) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) {
    Py_DECREF(array);
    return nullptr;
  }
  data = static_cast<double*>(view.buf);
  // The array keeps its memory; the view was only needed for the address.
  PyBuffer_Release(&view);
  return array;
}

// Whether keyword `name` was given. Keyword-only arguments without a default
// are parsed as optional (the parser cannot require them) and checked here.
bool kwargs_has(PyObject* kwargs, const char* name) {
  return kwargs != nullptr && PyDict_GetItemString(kwargs, name) != nullptr;
}

// TypeError unless every named value was given; false then.
bool require(const char* function, std::initializer_list<std::pair<const char*, bool>> given) {
  for (const auto& [name, present] : given) {
    if (!present) {
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument '%s'", function, name);
      return false;
    }
  }
  return true;
}

// Parse a variant name; false with ValueError set.
bool parse_variant(const char* name, ExactVariant& variant) {
  if (std::strcmp(name, "established") == 0) {
    variant = ExactVariant::established;
  } else if (std::strcmp(name, "energy") == 0) {
    variant = ExactVariant::energy;
  } else {
    PyErr_Format(PyExc_ValueError, "variant must be 'established' or 'energy', got '%s'", name);
    return false;
  }
  return true;
}

// Copy the derivative indices; false with an exception set.
bool read_derivatives(PyObject* object, std::vector<int>& out) {
  PyObject* seq = PySequence_Fast(object, "derivatives must be a sequence of integers");
  if (seq == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  bool ok = true;
  for (Py_ssize_t i = 0; i < n && ok; ++i) {
    const long index = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i));
    if (index == -1 && PyErr_Occurred()) {
      ok = false;
    } else if (index < 0 || index >= DERIVATIVE_COUNT) {
      PyErr_Format(PyExc_ValueError,
                   "derivatives must be indices 0..%d (parameters) or %d (focus shift), got %ld",
                   PARAMETER_COUNT - 1, FOCUS_SHIFT, index);
      ok = false;
    } else {
      for (int seen : out) {
        if (seen == index) {
          PyErr_Format(PyExc_ValueError, "derivatives must be distinct, %ld appears twice", index);
          ok = false;
        }
      }
      out.push_back(static_cast<int>(index));
    }
  }
  Py_DECREF(seq);
  return ok;
}

char* EXACT_KEYWORDS[] = {
    const_cast<char*>("positions_mm"), const_cast<char*>("pulse_energy"),
    const_cast<char*>("populations"),  const_cast<char*>("spec_pars"),
    const_cast<char*>("t_slices"),     const_cast<char*>("z_slices"),
    const_cast<char*>("sample_width"), const_cast<char*>("tau"),
    const_cast<char*>("wavelength"),   const_cast<char*>("w0"),
    const_cast<char*>("M2"),           const_cast<char*>("derivatives"),
    const_cast<char*>("variant"),      const_cast<char*>("radial_points"),
    const_cast<char*>("normalise"),    const_cast<char*>("time_window"),
    const_cast<char*>("intensity_points"), nullptr};

// exact_model(positions_mm, pulse_energy, populations, spec_pars, *, t_slices, z_slices,
//             sample_width, tau, wavelength, w0, M2, derivatives=(), variant="established",
//             radial_points=0, normalise=True, time_window=0.0, intensity_points=0) -> (curves, jacobian or None)
PyObject* exact_model(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *positions_object, *energy_object, *populations_object, *pars_object;
  PyObject* derivatives_object = nullptr;
  const char* variant_name = "established";
  int normalise = 1;
  ExactInput input;
  ProblemInput& m = input.measurement;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OOOO|$iidddddOsipdi:exact_model", EXACT_KEYWORDS, &positions_object,
          &energy_object, &populations_object, &pars_object, &m.t_slices, &m.z_slices,
          &m.sample_width, &m.tau, &m.wavelength, &m.w0, &m.M2, &derivatives_object,
          &variant_name, &input.radial_points, &normalise, &input.time_window,
          &input.intensity_points)) {
    return nullptr;
  }
  if (!require("exact_model", {{"t_slices", kwargs_has(kwargs, "t_slices")},
                               {"z_slices", kwargs_has(kwargs, "z_slices")},
                               {"sample_width", kwargs_has(kwargs, "sample_width")},
                               {"tau", kwargs_has(kwargs, "tau")},
                               {"wavelength", kwargs_has(kwargs, "wavelength")},
                               {"w0", kwargs_has(kwargs, "w0")},
                               {"M2", kwargs_has(kwargs, "M2")}})) {
    return nullptr;
  }
  ArrayCopy positions, energy, populations, pars;
  std::vector<int> derivatives;
  if (!copy_array(positions_object, "positions_mm", positions) ||
      !copy_array(energy_object, "pulse_energy", energy) ||
      !copy_array(populations_object, "populations", populations) ||
      !copy_array(pars_object, "spec_pars", pars) ||
      !parse_variant(variant_name, input.variant) ||
      (derivatives_object != nullptr && !read_derivatives(derivatives_object, derivatives))) {
    return nullptr;
  }
  if (positions.shape.size() != 2) {
    PyErr_Format(PyExc_ValueError,
                 "positions_mm must be a 2-D array (num_datasets, num_x_pts), got shape %s",
                 shape_text(positions.shape).c_str());
    return nullptr;
  }
  if (!check_vector(energy, "pulse_energy", positions.shape[0]) ||
      !check_vector(populations, "populations", LEVELS) ||
      !check_vector(pars, "spec_pars", PARAMETER_COUNT)) {
    return nullptr;
  }
  if (positions.shape[0] > 1000000 || positions.shape[1] > 1000000) {
    PyErr_SetString(PyExc_ValueError, "positions_mm is too large");
    return nullptr;
  }
  m.num_datasets = static_cast<int>(positions.shape[0]);
  m.num_x_pts = static_cast<int>(positions.shape[1]);
  m.x_mm = positions.values;
  m.pulse_energy = energy.values;
  m.populations = populations.values;
  input.normalise = normalise != 0;
  std::string problem_text = exact_input_error(input);
  if (problem_text.empty()) problem_text = exact_parameter_error(pars.values.data());
  if (!problem_text.empty()) {
    PyErr_SetString(PyExc_ValueError, problem_text.c_str());
    return nullptr;
  }

  const Py_ssize_t nd = static_cast<Py_ssize_t>(derivatives.size());
  double* curves_data = nullptr;
  double* jacobian_data = nullptr;
  PyRef curves(new_array({positions.shape[0], positions.shape[1]}, curves_data));
  if (!curves) return nullptr;
  PyRef jacobian;
  if (nd > 0) {
    jacobian.reset(new_array({positions.shape[0], positions.shape[1], nd}, jacobian_data));
    if (!jacobian) return nullptr;
  } else {
    Py_INCREF(Py_None);
    jacobian.reset(Py_None);
  }
  // The outputs are written natively into fresh arrays nobody else holds yet.
  ModelStatus status = ModelStatus::ok;
  std::string refused;
  Py_BEGIN_ALLOW_THREADS
  try {
    const ExactProblem problem(input);
    status = exact_model_curves(problem, pars.values.data(), derivatives, curves_data,
                                jacobian_data);
  } catch (const ProblemError& error) {
    refused = error.what();
  } catch (const std::bad_alloc&) {
    status = ModelStatus::out_of_memory;
  }
  Py_END_ALLOW_THREADS
  if (!refused.empty()) {
    PyErr_SetString(PyExc_ValueError, refused.c_str());
    return nullptr;
  }
  if (status == ModelStatus::out_of_memory) return PyErr_NoMemory();
  if (status != ModelStatus::ok) {
    PyErr_SetString(PyExc_RuntimeError, "exact model evaluation failed");
    return nullptr;
  }
  return Py_BuildValue("(NN)", curves.release(), jacobian.release());
}

char* STEP_KEYWORDS[] = {const_cast<char*>("params"), const_cast<char*>("optical_frequency"),
                         const_cast<char*>("state"),  const_cast<char*>("t_end"),
                         const_cast<char*>("repeat"), nullptr};

// exact_population_step(params, optical_frequency, state, t_end, *, repeat=1) -> populations
PyObject* exact_population_step(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *params_object, *state_object;
  double optical_frequency = 0.0, t_end = 0.0;
  int repeat = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OdOd|$i:exact_population_step", STEP_KEYWORDS,
                                   &params_object, &optical_frequency, &state_object, &t_end,
                                   &repeat)) {
    return nullptr;
  }
  ArrayCopy params, state;
  if (!copy_array(params_object, "params", params) || !copy_array(state_object, "state", state) ||
      !check_vector(params, "params", PARAMETER_COUNT) ||
      !check_vector(state, "state", LEVELS + 1)) {
    return nullptr;
  }
  if (repeat < 1) {
    PyErr_SetString(PyExc_ValueError, "repeat must be at least 1");
    return nullptr;
  }
  double n[LEVELS];
  Py_BEGIN_ALLOW_THREADS
  for (int r = 0; r < repeat; ++r) {
    tarvo::exact_population_step(params.values.data(), optical_frequency, state.values.data(),
                          state.values[LEVELS], t_end, n);
  }
  Py_END_ALLOW_THREADS
  return Py_BuildValue("[ddddd]", n[0], n[1], n[2], n[3], n[4]);
}

// exponential_kernel(name, m, dm, v) -> (x, dx, avg, davg) or None: the
// exponential of the rate matrix m (25 values), its derivatives along the
// rows of dm (directions x 25) and the step average of v (5 values), by the
// kernel copy `name` ("best", "sse2" or "avx"); None when this build or
// processor has no such copy. For tests that the copies agree to the bit.
PyObject* exponential_kernel(PyObject*, PyObject* args) {
  const char* name = nullptr;
  PyObject *m_object, *dm_object, *v_object;
  if (!PyArg_ParseTuple(args, "sOOO:exponential_kernel", &name, &m_object, &dm_object,
                        &v_object)) {
    return nullptr;
  }
  const std::string kernel_name(name);
  ExponentialKernel kernel;
  if (kernel_name == "best") {
    kernel = ExponentialKernel::best;
  } else if (kernel_name == "sse2") {
    kernel = ExponentialKernel::sse2;
  } else if (kernel_name == "avx") {
    kernel = ExponentialKernel::avx;
  } else {
    PyErr_Format(PyExc_ValueError, "kernel must be \"best\", \"sse2\" or \"avx\", not %R",
                 PyTuple_GET_ITEM(args, 0));
    return nullptr;
  }
  ArrayCopy m, dm, v;
  if (!copy_array(m_object, "m", m) || !copy_array(dm_object, "dm", dm) ||
      !copy_array(v_object, "v", v) || !check_vector(m, "m", LEVELS * LEVELS) ||
      !check_vector(v, "v", LEVELS)) {
    return nullptr;
  }
  const size_t entries = LEVELS * LEVELS;
  if (dm.values.size() % entries != 0 || dm.values.size() / entries > DERIVATIVE_COUNT) {
    PyErr_Format(PyExc_ValueError, "dm must hold 0 to %d matrices of %zu values, got %zu values",
                 DERIVATIVE_COUNT, entries, dm.values.size());
    return nullptr;
  }
  const int directions = static_cast<int>(dm.values.size() / entries);
  double x[LEVELS * LEVELS], dx[DERIVATIVE_COUNT * LEVELS * LEVELS];
  double avg[LEVELS], davg[DERIVATIVE_COUNT * LEVELS];
  if (!exact_exponential(kernel, m.values.data(), dm.values.data(), directions, v.values.data(),
                         x, dx, avg, davg)) {
    Py_RETURN_NONE;
  }
  PyRef x_list(list_of(x, entries));
  PyRef dx_list(list_of(dx, entries * directions));
  PyRef avg_list(list_of(avg, LEVELS));
  PyRef davg_list(list_of(davg, static_cast<size_t>(LEVELS) * directions));
  if (!x_list || !dx_list || !avg_list || !davg_list) return nullptr;
  return PyTuple_Pack(4, x_list.get(), dx_list.get(), avg_list.get(), davg_list.get());
}

char* ENERGY_KEYWORDS[] = {
    const_cast<char*>("positions_mm"), const_cast<char*>("pulse_energy"),
    const_cast<char*>("tau"),          const_cast<char*>("wavelength"),
    const_cast<char*>("w0"),           const_cast<char*>("M2"),
    const_cast<char*>("t_slices"),     const_cast<char*>("radial_points"),
    const_cast<char*>("time_window"),  nullptr};

// incident_pulse_energy(positions_mm, pulse_energy, *, tau, wavelength, w0, M2, t_slices=0,
//                       radial_points=0, time_window=0.0) -> array (num_datasets, num_x_pts):
// the energy model's incident fluence summed over its time slices and radial nodes (J).
PyObject* incident_pulse_energy(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *positions_object, *energy_object;
  ExactInput input;
  ProblemInput& m = input.measurement;
  input.variant = ExactVariant::energy;
  input.normalise = false;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$ddddiid:incident_pulse_energy",
                                   ENERGY_KEYWORDS, &positions_object, &energy_object, &m.tau,
                                   &m.wavelength, &m.w0, &m.M2, &m.t_slices,
                                   &input.radial_points, &input.time_window)) {
    return nullptr;
  }
  if (!require("incident_pulse_energy", {{"tau", kwargs_has(kwargs, "tau")},
                                         {"wavelength", kwargs_has(kwargs, "wavelength")},
                                         {"w0", kwargs_has(kwargs, "w0")},
                                         {"M2", kwargs_has(kwargs, "M2")}})) {
    return nullptr;
  }
  ArrayCopy positions, energy;
  if (!copy_array(positions_object, "positions_mm", positions) ||
      !copy_array(energy_object, "pulse_energy", energy)) {
    return nullptr;
  }
  if (positions.shape.size() != 2) {
    PyErr_SetString(PyExc_ValueError, "positions_mm must be a 2-D array (num_datasets, num_x_pts)");
    return nullptr;
  }
  if (!check_vector(energy, "pulse_energy", positions.shape[0])) return nullptr;
  const double populations[LEVELS] = {};
  m.num_datasets = static_cast<int>(positions.shape[0]);
  m.num_x_pts = static_cast<int>(positions.shape[1]);
  m.x_mm = positions.values;
  m.pulse_energy = energy.values;
  m.populations = populations;
  m.z_slices = 1;
  const std::string problem_text = exact_input_error(input);
  if (!problem_text.empty()) {
    PyErr_SetString(PyExc_ValueError, problem_text.c_str());
    return nullptr;
  }
  double* out = nullptr;
  PyRef result(new_array({positions.shape[0], positions.shape[1]}, out));
  if (!result) return nullptr;
  try {
    const ExactProblem problem(input);
    exact_incident_energy(problem, out);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return result.release();
}

// set_thread_count(count): native work started from this thread runs on at
// most `count` OpenMP threads (this thread's own setting; others keep theirs).
PyObject* set_thread_count(PyObject*, PyObject* arg) {
  const long count = PyLong_AsLong(arg);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  if (count < 1 || count > 4096) {
    PyErr_Format(PyExc_ValueError, "thread count must lie in 1..4096, got %ld", count);
    return nullptr;
  }
  omp_set_num_threads(static_cast<int>(count));
  Py_RETURN_NONE;
}

}  // namespace

const PyMethodDef* exact_methods() {
  static PyMethodDef methods[] = {
      {"exact_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exact_model)),
       METH_VARARGS | METH_KEYWORDS,
       "exact_model(positions_mm, pulse_energy, populations, spec_pars, *, t_slices, z_slices, "
       "sample_width, tau, wavelength, w0, M2, derivatives=(), variant='established', "
       "radial_points=0, normalise=True, time_window=0.0, intensity_points=0)\n--\n\n"
       "Model curves (num_datasets, num_x_pts) of the exact engine and their Jacobian\n"
       "(num_datasets, num_x_pts, len(derivatives)) with respect to the parameters of the\n"
       "given indices (0..7) and the focus shift (8), or None without derivatives."},
      {"exact_population_step",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exact_population_step)),
       METH_VARARGS | METH_KEYWORDS,
       "exact_population_step(params, optical_frequency, state, t_end, *, repeat=1)\n--\n\n"
       "Advance the populations of state = (N1..N5, I) over t_end with the exact exponential;\n"
       "returns the five populations."},
      {"incident_pulse_energy",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(incident_pulse_energy)),
       METH_VARARGS | METH_KEYWORDS,
       "incident_pulse_energy(positions_mm, pulse_energy, *, tau, wavelength, w0, M2, "
       "t_slices=0, radial_points=0, time_window=0.0)\n--\n\n"
       "The energy model's incident pulse energy (J) at every position: its incident fluence\n"
       "summed over the time slices of the window and the radial nodes."},
      {"exponential_kernel", exponential_kernel, METH_VARARGS,
       "exponential_kernel(name, m, dm, v)\n--\n\n"
       "exp(m), its derivatives along dm and the step average of v by one compiled copy of\n"
       "the kernel (\"best\", \"sse2\", \"avx\"); None where that copy is not available."},
      {"set_thread_count", set_thread_count, METH_O,
       "set_thread_count(count)\n--\n\n"
       "Native work started from the calling thread runs on at most `count` OpenMP threads\n"
       "(the calling thread's own setting; other threads keep theirs)."},
      {nullptr, nullptr, 0, nullptr}};
  return methods;
}

// ENERGY_DEFAULTS: the energy model's slice counts and radial nodes.
PyObject* energy_defaults() {
  const auto& d = ENERGY_DEFAULTS;
  return Py_BuildValue("{sisisisi}", "t_slices", d.t_slices, "z_slices", d.z_slices,
                       "radial_points", d.radial_points, "intensity_points", d.intensity_points);
}

}  // namespace tarvo::native
