// The exact engine for the toolkit: model curves with their Jacobian, and
// single exact steps and the energy model's pulse normalisation for the tests
// and benchmarks. Inputs are converted and copied while the interpreter lock
// is held; the native work runs without it.
#include <omp.h>

#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/engine.hpp"
#include "tarvo/exact.hpp"
#include "tarvo/memory.hpp"

namespace tarvo::native {

namespace {

// numpy.<name>, or null with an exception set.
PyObject* numpy_function(const char* name) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return nullptr;
  PyObject* function = PyObject_GetAttrString(numpy, name);
  Py_DECREF(numpy);
  return function;
}

// The arrays are read by the one reader (buffers.hpp), at most two-dimensional.
using ArrayCopy = FloatArray;
bool copy_array(PyObject* object, const char* name, ArrayCopy& out) {
  return read_float_array(object, name, 2, out);
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

// TypeError unless every named keyword was given; false then.
bool require(const char* function, PyObject* kwargs, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!kwargs_has(kwargs, name)) {
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

// Read the derivative indices (from a snapshot of the sequence, see
// buffers.hpp) and check them; false with an exception set.
bool read_derivatives(PyObject* object, std::vector<int>& out, bool optics = false) {
  std::vector<int> indices;
  if (!read_ints(object, "derivatives", indices)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "derivatives must be indices 0..%d (parameters) or %d "
                   "(focus shift)", PARAMETER_COUNT - 1, FOCUS_SHIFT);
    }
    return false;
  }
  for (const int index : indices) {
    if (index < 0 || index >= (optics ? ALL_DERIVATIVES : DERIVATIVE_COUNT)) {
      if (optics) {
        PyErr_Format(PyExc_ValueError,
                     "derivatives must be indices 0..%d (parameters), %d (focus shift) or "
                     "%d..%d (optics), got %d",
                     PARAMETER_COUNT - 1, FOCUS_SHIFT, OPTICS_FIRST, ALL_DERIVATIVES - 1, index);
      } else {
        PyErr_Format(PyExc_ValueError,
                     "derivatives must be indices 0..%d (parameters) or %d (focus shift), got %d",
                     PARAMETER_COUNT - 1, FOCUS_SHIFT, index);
      }
      return false;
    }
    for (const int seen : out) {
      if (seen == index) {
        PyErr_Format(PyExc_ValueError, "derivatives must be distinct, %d appears twice", index);
        return false;
      }
    }
    out.push_back(index);
  }
  return true;
}

// The measurement of an exact_model call or an ExactModel: the copies of the
// arrays and the input built on them (its spans point into the copies).
struct MeasurementCopy {
  ArrayCopy positions, energy, populations;
  ExactInput input;
};

// Read and check the measurement arrays of `m` (the scalars are parsed); false
// with an exception set.
bool read_measurement(PyObject* positions_object, PyObject* energy_object,
                      PyObject* populations_object, const char* variant_name, bool normalise,
                      MeasurementCopy& m);

// Run one evaluation of `problem` (its focus moved to `focus`) without the
// interpreter lock, answering Ctrl-C: the new tuple (curves, jacobian or
// None), or nullptr with an exception set (MemoryError saying what and how
// much, KeyboardInterrupt, RuntimeError).
PyObject* run_evaluation(ExactProblem& problem, const double* pars, double focus,
                         const std::vector<int>& derivatives, bool normalise,
                         const double* optics = nullptr);

// The keywords of exact_model, in the order of its format; the ExactModel
// constructor takes the same without spec_pars and derivatives.
char* EXACT_KEYWORDS[] = {
    const_cast<char*>("positions_mm"), const_cast<char*>("pulse_energy"),
    const_cast<char*>("populations"),  const_cast<char*>("spec_pars"),
    const_cast<char*>("derivatives"),  const_cast<char*>("t_slices"),
    const_cast<char*>("z_slices"),     const_cast<char*>("sample_width"),
    const_cast<char*>("tau"),          const_cast<char*>("wavelength"),
    const_cast<char*>("w0"),           const_cast<char*>("M2"),
    const_cast<char*>("variant"),      const_cast<char*>("radial_points"),
    const_cast<char*>("normalise"),    const_cast<char*>("time_window"),
    const_cast<char*>("intensity_points"), const_cast<char*>("aperture"), nullptr};
// Where spec_pars and derivatives stand in EXACT_KEYWORDS.
constexpr std::size_t EVALUATION_KEYWORDS = 3, EVALUATION_KEYWORD_COUNT = 2;

// The keywords of the ExactModel constructor: EXACT_KEYWORDS without spec_pars
// and derivatives (null-terminated).
char** handle_keywords() {
  static auto keywords = [] {
    std::array<char*, std::size(EXACT_KEYWORDS) - EVALUATION_KEYWORD_COUNT> kept{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < std::size(EXACT_KEYWORDS); ++i) {
      if (i < EVALUATION_KEYWORDS || i >= EVALUATION_KEYWORDS + EVALUATION_KEYWORD_COUNT) {
        kept[n++] = EXACT_KEYWORDS[i];
      }
    }
    return kept;
  }();
  return keywords.data();
}

// The arguments of an exact_model call or of an ExactModel, read and checked.
struct ExactCall {
  MeasurementCopy measurement;
  bool normalise = true;
  // exact_model's alone: the parameters and the derivative indices.
  ArrayCopy pars;
  std::vector<int> derivatives;
};

// Read the arguments of exact_model (`evaluates`: spec_pars the fourth
// positional argument, derivatives a keyword) or of the ExactModel
// constructor: the keywords without a default must be given, the arrays are
// copied and checked (spec_pars first, then the measurement, then the shape
// of spec_pars and the derivatives). False with an exception set.
bool read_exact_call(PyObject* args, PyObject* kwargs, bool evaluates, ExactCall& call) {
  PyObject *positions_object, *energy_object, *populations_object;
  PyObject* pars_object = nullptr;
  PyObject* derivatives_object = nullptr;
  PyObject* aperture_object = Py_None;
  const char* variant_name = "established";
  int normalise = 1;
  ExactInput& input = call.measurement.input;
  ProblemInput& m = input.measurement;
  // The arrays, exact_model's spec_pars and derivatives (`evaluation`), then
  // the scalars: one order for both formats.
  const auto parse = [&](const char* format, char** keywords, auto*... evaluation) {
    return PyArg_ParseTupleAndKeywords(
               args, kwargs, format, keywords, &positions_object, &energy_object,
               &populations_object, evaluation..., &m.t_slices, &m.z_slices, &m.sample_width,
               &m.tau, &m.wavelength, &m.w0, &m.M2, &variant_name, &input.radial_points,
               &normalise, &input.time_window, &input.intensity_points,
               &aperture_object) != 0;
  };
  const bool parsed =
      evaluates ? parse("OOOO|$OiidddddsipdiO:exact_model", EXACT_KEYWORDS, &pars_object,
                        &derivatives_object)
                : parse("OOO|$iidddddsipdiO:ExactModel", handle_keywords());
  if (!parsed || !require(evaluates ? "exact_model" : "ExactModel", kwargs,
                          {"t_slices", "z_slices", "sample_width", "tau", "wavelength", "w0",
                           "M2"})) {
    return false;
  }
  call.normalise = normalise != 0;
  if (evaluates && !copy_array(pars_object, "spec_pars", call.pars)) return false;
  if (aperture_object != Py_None) {
    ArrayCopy aperture;
    if (!copy_array(aperture_object, "aperture", aperture) ||
        !check_vector(aperture, "aperture", -1)) {
      return false;
    }
    input.aperture = aperture.values;
  }
  if (!read_measurement(positions_object, energy_object, populations_object, variant_name,
                        call.normalise, call.measurement)) {
    return false;
  }
  return !evaluates ||
         (check_vector(call.pars, "spec_pars", PARAMETER_COUNT) &&
          (derivatives_object == nullptr || read_derivatives(derivatives_object, call.derivatives)));
}

// exact_model(positions_mm, pulse_energy, populations, spec_pars, *, t_slices, z_slices,
//             sample_width, tau, wavelength, w0, M2, derivatives=(), variant="established",
//             radial_points=0, normalise=True, time_window=0.0, intensity_points=0) -> (curves, jacobian or None)
PyObject* exact_model(PyObject*, PyObject* args, PyObject* kwargs) {
  ExactCall call;
  if (!read_exact_call(args, kwargs, true, call)) return nullptr;
  const std::string refused = exact_parameter_error(call.pars.values.data());
  if (!refused.empty()) {
    PyErr_SetString(PyExc_ValueError, refused.c_str());
    return nullptr;
  }
  std::optional<ExactProblem> problem;
  try {
    problem.emplace(call.measurement.input);
  } catch (const ProblemError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
    return nullptr;
  } catch (const std::bad_alloc& error) {
    return python::raise_memory_error(error);
  }
  return run_evaluation(*problem, call.pars.values.data(), 0.0, call.derivatives, call.normalise);
}

bool read_measurement(PyObject* positions_object, PyObject* energy_object,
                      PyObject* populations_object, const char* variant_name, bool normalise,
                      MeasurementCopy& m) {
  ProblemInput& in = m.input.measurement;
  if (!copy_array(positions_object, "positions_mm", m.positions) ||
      !copy_array(energy_object, "pulse_energy", m.energy) ||
      !copy_array(populations_object, "populations", m.populations) ||
      !parse_variant(variant_name, m.input.variant)) {
    return false;
  }
  if (m.positions.shape.size() != 2) {
    PyErr_Format(PyExc_ValueError,
                 "positions_mm must be a 2-D array (num_datasets, num_x_pts), got shape %s",
                 shape_text(m.positions.shape).c_str());
    return false;
  }
  if (!check_vector(m.energy, "pulse_energy", m.positions.shape[0]) ||
      !check_vector(m.populations, "populations", LEVELS)) {
    return false;
  }
  if (m.positions.shape[0] > MAX_POINTS || m.positions.shape[1] > MAX_POINTS) {
    PyErr_Format(PyExc_ValueError, "positions_mm is too large: shape %s, at most %d positions",
                 shape_text(m.positions.shape).c_str(), MAX_POINTS);
    return false;
  }
  in.num_datasets = static_cast<int>(m.positions.shape[0]);
  in.num_x_pts = static_cast<int>(m.positions.shape[1]);
  in.x_mm = m.positions.values;
  in.pulse_energy = m.energy.values;
  in.populations = m.populations.values;
  m.input.normalise = normalise;
  const std::string refused = exact_input_error(m.input);
  if (!refused.empty()) {
    PyErr_SetString(PyExc_ValueError, refused.c_str());
    return false;
  }
  return true;
}

PyObject* run_evaluation(ExactProblem& problem, const double* pars, double focus,
                         const std::vector<int>& derivatives, bool normalise,
                         const double* optics) {
  const Py_ssize_t nd = static_cast<Py_ssize_t>(derivatives.size());
  const Py_ssize_t curves_count = problem.num_datasets, points = problem.num_x_pts;
  double* curves_data = nullptr;
  double* jacobian_data = nullptr;
  PyRef curves(new_array({curves_count, points}, curves_data));
  if (!curves) return nullptr;
  PyRef jacobian;
  if (nd > 0) {
    jacobian.reset(new_array({curves_count, points, nd}, jacobian_data));
    if (!jacobian) return nullptr;
  } else {
    jacobian.reset(Py_NewRef(Py_None));
  }
  // The outputs are written natively into fresh arrays nobody else holds yet.
  ModelStatus status = ModelStatus::ok;
  std::string refused;
  bool allocation_failed = false;
  {
    python::InterruptibleSection section;
    try {
      problem.set_focus(focus);
      EvaluateOptions options;
      options.control = section.control();
      options.normalise = normalise;
      options.optics = optics;
      status = evaluate(problem, pars, derivatives, curves_data, jacobian_data, options);
    } catch (const AllocationError& error) {
      refused = error.what();
      allocation_failed = true;
    } catch (const std::bad_alloc&) {
      status = ModelStatus::out_of_memory;
    }
    section.reacquire_lock();
    if (section.interrupted()) {
      // A signal handler raised (KeyboardInterrupt for Ctrl-C): pass it on.
      section.restore();
      return nullptr;
    }
  }
  if (allocation_failed) {
    PyErr_SetString(PyExc_MemoryError, refused.c_str());
    return nullptr;
  }
  switch (status) {
    case ModelStatus::ok:
      return Py_BuildValue("(NN)", curves.release(), jacobian.release());
    case ModelStatus::out_of_memory:
      PyErr_Format(PyExc_MemoryError,
                   "out of memory during an exact model evaluation of %d points x %d time "
                   "slices and %d depth slices",
                   problem.points(), problem.t_slices, problem.z_slices);
      return nullptr;
    case ModelStatus::stopped:
      PyErr_SetString(PyExc_SystemError,
                      "exact model evaluation stopped without a pending exception");
      return nullptr;
    default:
      PyErr_SetString(PyExc_RuntimeError, "exact model evaluation failed");
      return nullptr;
  }
}

// --- the ExactModel type: an engine handle ---------------------------------

// An ExactModel: the problem of one measurement, built once, evaluated for
// any parameters and focus. `busy` is set (under the interpreter lock) while
// an evaluation uses the problem (and may move its focus without the lock);
// an evaluation that finds it set (another thread, or a signal handler run by
// the poll) builds a problem of its own from the measurement kept in `input`,
// which nothing changes.
struct ExactModelObject {
  PyObject_HEAD
  ExactProblem* problem;
  MeasurementCopy* input;
  bool busy;
};

PyTypeObject* exact_model_type = nullptr;

ExactModelObject* as_model(PyObject* self) { return reinterpret_cast<ExactModelObject*>(self); }

// ExactModel(positions_mm, pulse_energy, populations, *, t_slices, z_slices, sample_width,
//            tau, wavelength, w0, M2, variant="established", radial_points=0,
//            normalise=True, time_window=0.0, intensity_points=0)
PyObject* exact_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ExactCall call;
  if (!read_exact_call(args, kwargs, false, call)) return nullptr;
  MeasurementCopy& m = call.measurement;
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    ExactModelObject* model = as_model(self.get());
    model->problem = new ExactProblem(m.input);
    // The measurement, kept for evaluations that need a problem of their own
    // (its spans point into its own arrays, which keep their memory).
    model->input = new MeasurementCopy(std::move(m));
  } catch (const ProblemError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
    return nullptr;
  } catch (const std::bad_alloc& error) {
    return python::raise_memory_error(error);
  }
  return self.release();
}

void exact_model_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_model(self)->problem;
  delete as_model(self)->input;
  type->tp_free(self);
  Py_DECREF(type);
}

char* EVALUATE_KEYWORDS[] = {const_cast<char*>("spec_pars"), const_cast<char*>("focus"),
                             const_cast<char*>("derivatives"), const_cast<char*>("normalise"),
                             const_cast<char*>("optics"), nullptr};

// evaluate(spec_pars, focus=0.0, derivatives=(), normalise=None) -> (curves, jacobian or None)
PyObject* exact_model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* pars_object;
  PyObject* derivatives_object = nullptr;
  PyObject* normalise_object = Py_None;
  PyObject* optics_object = Py_None;
  double focus = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|dOOO:evaluate", EVALUATE_KEYWORDS,
                                   &pars_object, &focus, &derivatives_object,
                                   &normalise_object, &optics_object)) {
    return nullptr;
  }
  ExactModelObject* model = as_model(self);
  bool normalise = model->problem->normalise;
  if (normalise_object != Py_None) {
    const int truth = PyObject_IsTrue(normalise_object);
    if (truth < 0) return nullptr;
    normalise = truth != 0;
  }
  ArrayCopy pars;
  std::vector<int> derivatives;
  ArrayCopy optics;
  const bool energy = model->problem->variant == ExactVariant::energy;
  if (!copy_array(pars_object, "spec_pars", pars) ||
      !check_vector(pars, "spec_pars", PARAMETER_COUNT) ||
      (optics_object != Py_None && (!copy_array(optics_object, "optics", optics) ||
                                    !check_vector(optics, "optics", OPTICAL_COUNT))) ||
      (derivatives_object != nullptr &&
       !read_derivatives(derivatives_object, derivatives, energy))) {
    return nullptr;
  }
  const double* optics_values = optics_object != Py_None ? optics.values.data() : nullptr;
  if (optics_values != nullptr) {
    const std::string wrong = exact_optics_error(*model->problem, optics_values);
    if (!wrong.empty()) {
      PyErr_SetString(PyExc_ValueError, wrong.c_str());
      return nullptr;
    }
  }
  if (!std::isfinite(focus)) {
    PyErr_Format(PyExc_ValueError, "focus must be a finite number (mm), got %R",
                 PyTuple_Size(args) > 1 ? PyTuple_GET_ITEM(args, 1)
                                        : PyDict_GetItemString(kwargs, "focus"));
    return nullptr;
  }
  if (normalise && model->problem->num_x_pts < MIN_POINTS_PER_CURVE) {
    PyErr_Format(PyExc_ValueError,
                 "normalised curves need at least %d positions per curve, this model has %d",
                 MIN_POINTS_PER_CURVE, model->problem->num_x_pts);
    return nullptr;
  }
  const std::string refused = exact_parameter_error(pars.values.data());
  if (!refused.empty()) {
    PyErr_SetString(PyExc_ValueError, refused.c_str());
    return nullptr;
  }
  if (model->busy) {
    // In use by an evaluation that released the interpreter lock: a problem
    // of this call's own, from the kept measurement.
    std::optional<ExactProblem> own;
    try {
      own.emplace(model->input->input);
    } catch (const ProblemError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
      return nullptr;
    } catch (const std::bad_alloc& error) {
      return python::raise_memory_error(error);
    }
    return run_evaluation(*own, pars.values.data(), focus, derivatives, normalise,
                          optics_values);
  }
  model->busy = true;
  PyObject* result = run_evaluation(*model->problem, pars.values.data(), focus, derivatives,
                                    normalise, optics_values);
  model->busy = false;
  return result;
}

PyObject* exact_model_shape(PyObject* self, void*) {
  const ExactProblem& p = *as_model(self)->problem;
  return Py_BuildValue("(ii)", p.num_datasets, p.num_x_pts);
}

PyObject* exact_model_variant(PyObject* self, void*) {
  return PyUnicode_FromString(as_model(self)->problem->variant == ExactVariant::established
                                  ? "established"
                                  : "energy");
}

PyObject* exact_model_grid(PyObject* self, void*) {
  const ExactProblem& p = *as_model(self)->problem;
  return Py_BuildValue("{sisisisi}", "t_slices", p.t_slices, "z_slices", p.z_slices,
                       "radial_points", p.radial_points, "intensity_points", p.intensity_points);
}

PyObject* exact_model_focus(PyObject* self, void*) {
  return PyFloat_FromDouble(as_model(self)->problem->focus_mm);
}

PyMethodDef exact_model_methods[] = {
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exact_model_evaluate)),
     METH_VARARGS | METH_KEYWORDS,
     "evaluate(spec_pars, focus=0.0, derivatives=(), normalise=None, optics=None)\n--\n\n"
     "Curves (num_datasets, num_x_pts) at positions_mm - focus for the eight parameters, and\n"
     "their Jacobian (num_datasets, num_x_pts, len(derivatives)) with respect to the\n"
     "parameters of the given indices (0..7) and the focus shift (8), or None without\n"
     "derivatives. normalise: shift each curve to its baseline (None: as built); False\n"
     "gives the raw transmittance. Nothing is rebuilt: a new focus refills the position\n"
     "tables in place. optics (energy model): beta (cm/W), n2 (cm^2/W) and the refractive\n"
     "cross-sections of levels 2..5 (cm^2), differentiated as indices 9..14."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef exact_model_getset[] = {
    {"shape", exact_model_shape, nullptr, "(num_datasets, num_x_pts) of the curves", nullptr},
    {"variant", exact_model_variant, nullptr, "the model variant", nullptr},
    {"grid", exact_model_grid, nullptr, "slice counts, radial and peak-intensity nodes in use",
     nullptr},
    {"focus", exact_model_focus, nullptr, "the focus (mm) of the last evaluation", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot exact_model_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(exact_model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(exact_model_dealloc)},
    {Py_tp_methods, exact_model_methods},
    {Py_tp_getset, exact_model_getset},
    {Py_tp_doc, const_cast<char*>(
                    "ExactModel(positions_mm, pulse_energy, populations, *, t_slices, z_slices, "
                    "sample_width, tau, wavelength, w0, M2, variant='established', "
                    "radial_points=0, normalise=True, time_window=0.0, intensity_points=0, "
                    "aperture=None)\n--\n\n"
                    "aperture: per curve the linear transmittance S of a far-field aperture\n"
                    "(1: open; energy model).\n"
                    "The exact engine's problem of one measurement, built once: grids, incident\n"
                    "intensities, radial and peak-intensity nodes. evaluate() gives the curves\n"
                    "and their derivatives for any parameters and focus without rebuilding it.")},
    {0, nullptr},
};

PyType_Spec exact_model_spec = {
    "tarvo._native.ExactModel",
    sizeof(ExactModelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    exact_model_slots,
};

// Copy and check the eight parameters and the state (N1..N5, I) of a single
// step or rate evaluation; false with an exception set.
bool read_rate_state(PyObject* params_object, PyObject* state_object, ArrayCopy& params,
                     ArrayCopy& state) {
  return copy_array(params_object, "params", params) && copy_array(state_object, "state", state) &&
         check_vector(params, "params", PARAMETER_COUNT) &&
         check_vector(state, "state", LEVELS + 1);
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
  if (!read_rate_state(params_object, state_object, params, state)) return nullptr;
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
// kernel copy `name` ("best", "sse2", "avx" or "avx512"); None when this build or
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
  } else if (kernel_name == "avx512") {
    kernel = ExponentialKernel::avx512;
  } else {
    PyErr_Format(PyExc_ValueError,
                 "kernel must be \"best\", \"sse2\", \"avx\" or \"avx512\", not %R",
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
  if (!require("incident_pulse_energy", kwargs, {"tau", "wavelength", "w0", "M2"})) {
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

// rate_scheme_terms(params, optical_frequency, state) -> (lsoda_rates, exact_matrix): the
// LSODA engine's dN/dt at state = (N1..N5, I) and the exact engine's rate
// matrix at that intensity (25 values, row-major), for the test that checks
// the two against each other.
PyObject* rate_scheme_terms(PyObject*, PyObject* args) {
  PyObject *params_object, *state_object;
  double optical_frequency = 0.0;
  if (!PyArg_ParseTuple(args, "OdO:rate_scheme_terms", &params_object, &optical_frequency,
                        &state_object)) {
    return nullptr;
  }
  ArrayCopy params, state;
  if (!read_rate_state(params_object, state_object, params, state)) return nullptr;
  if (!(std::isfinite(optical_frequency) && optical_frequency > 0.0)) {
    PyErr_SetString(PyExc_ValueError, "optical_frequency must be positive and finite");
    return nullptr;
  }
  const std::string refused = exact_parameter_error(params.values.data());
  if (!refused.empty()) {
    PyErr_SetString(PyExc_ValueError, refused.c_str());
    return nullptr;
  }
  double rates[LEVELS], matrix[LEVELS * LEVELS];
  tarvo::rate_scheme_terms(params.values.data(), optical_frequency, state.values.data(), rates,
                           matrix);
  PyRef rate_list(list_of(rates, LEVELS));
  PyRef matrix_list(list_of(matrix, LEVELS * LEVELS));
  if (!rate_list || !matrix_list) return nullptr;
  return PyTuple_Pack(2, rate_list.get(), matrix_list.get());
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
       "the kernel (\"best\", \"sse2\", \"avx\", \"avx512\"); None where that copy is not\n"
       "available."},
      {"rate_scheme_terms", rate_scheme_terms, METH_VARARGS,
       "rate_scheme_terms(params, optical_frequency, state)\n--\n\n"
       "The LSODA engine's population rates dN/dt at state = (N1..N5, I) and the exact\n"
       "engine's rate matrix (25 values, row-major) at that intensity: the one rate scheme\n"
       "as each engine writes it, for the test that checks them against each other."},
      {"set_thread_count", set_thread_count, METH_O,
       "set_thread_count(count)\n--\n\n"
       "Native work started from the calling thread runs on at most `count` OpenMP threads\n"
       "(the calling thread's own setting; other threads keep theirs)."},
      {nullptr, nullptr, 0, nullptr}};
  return methods;
}

int add_exact_model_type(PyObject* module) {
  if (exact_model_type == nullptr) {
    exact_model_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&exact_model_spec));
    if (exact_model_type == nullptr) return -1;
  }
  return PyModule_AddType(module, exact_model_type);
}

// ENERGY_DEFAULTS: the energy model's slice counts and radial nodes.
PyObject* energy_defaults() {
  const auto& d = ENERGY_DEFAULTS;
  return Py_BuildValue("{sisisisi}", "t_slices", d.t_slices, "z_slices", d.z_slices,
                       "radial_points", d.radial_points, "intensity_points", d.intensity_points);
}

}  // namespace tarvo::native
