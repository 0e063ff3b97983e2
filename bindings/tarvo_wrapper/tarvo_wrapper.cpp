// The extension module tarvo_wrapper: multi-phase initialisation, NumPy's
// C interface, and the function object fit_zscan. The module binds itself to
// the first interpreter that loads it and exists once per process; importing
// it again yields that same module object.
#define TARVO_WRAPPER_OWNS_ARRAY_API
#include "numpy_api.hpp"

#include <frameobject.h>

#include <cstddef>
#include <cstdint>

#include "arguments.hpp"
#include "multi_start.hpp"

namespace tarvo::wrapper {

namespace {

// --- NumPy -------------------------------------------------------------------------

// A numpy type and the smallest instance size that this build works with.
struct NumpyTypeRequirement {
  const char* name;
  size_t instance_size;
};

// The types checked, in order. Arrays are accessed through their field
// layout; the iterator types are checked like the arrays; dtype objects
// through their common head; the scalar types and ufunc only as objects
// (their fields are never touched, and they grew between NumPy releases).
const NumpyTypeRequirement NUMPY_TYPES[] = {
    {"dtype", sizeof(PyArray_Descr)},
    {"flatiter", sizeof(PyArrayIterObject)},
    {"broadcast", sizeof(PyArrayMultiIterObject)},
    {"ndarray", sizeof(PyArrayObject_fields)},
    {"generic", sizeof(PyObject)},
    {"number", sizeof(PyObject)},
    {"integer", sizeof(PyObject)},
    {"signedinteger", sizeof(PyObject)},
    {"unsignedinteger", sizeof(PyObject)},
    {"inexact", sizeof(PyObject)},
    {"floating", sizeof(PyObject)},
    {"complexfloating", sizeof(PyObject)},
    {"flexible", sizeof(PyObject)},
    {"character", sizeof(PyObject)},
    {"ufunc", sizeof(PyObject)},
};

// Module name used in the messages about the types.
constexpr const char* NUMPY_NAME = "numpy";

// Check one type object of numpy; 0, or -1 with an exception set.
int check_numpy_type(PyObject* numpy_module, const NumpyTypeRequirement& requirement) {
  PyRef type(PyObject_GetAttrString(numpy_module, requirement.name));
  if (!type) return -1;
  if (!PyType_Check(type.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", NUMPY_NAME,
                 requirement.name);
    return -1;
  }
  const Py_ssize_t basic_size = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
  if (basic_size < static_cast<Py_ssize_t>(requirement.instance_size)) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. "
                 "Expected %zd from C header, got %zd from PyObject",
                 NUMPY_NAME, requirement.name,
                 static_cast<Py_ssize_t>(requirement.instance_size), basic_size);
    return -1;
  }
  return 0;
}

// Check that numpy's type objects are types at least as large as this build
// expects; 0, or -1 with TypeError or ValueError set.
int check_numpy_types(PyObject* numpy_module) {
  for (const NumpyTypeRequirement& requirement : NUMPY_TYPES) {
    if (check_numpy_type(numpy_module, requirement) < 0) return -1;
  }
  return 0;
}

// Fill the C function table from numpy's `_ARRAY_API` capsule; 0, or -1
// with ImportError set (the cause attached as its context) unless the cause
// lies outside the Exception family, which then passes unchanged.
int import_numpy_c_interface() {
  // NumPy's own import routine: module name with its fallback, capsule,
  // ABI, feature-level and byte-order checks, each with NumPy's wording.
  if (_import_array() == 0) return 0;
  PyObject* cause = PyErr_GetRaisedException();
  if (!PyErr_GivenExceptionMatches(cause, PyExc_Exception)) {
    // KeyboardInterrupt, SystemExit and the like are not import failures.
    PyErr_SetRaisedException(cause);
    return -1;
  }
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  PyObject* import_error = PyErr_GetRaisedException();
  PyException_SetContext(import_error, cause);  // steals `cause`
  PyErr_SetRaisedException(import_error);
  return -1;
}

// --- the function object fit_zscan ---------------------------------------------------

// The signature as introspection shows it.
constexpr const char* FIT_ZSCAN_TEXT_SIGNATURE =
    "(x_data, y_data, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, M2, "
    "pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets, is_sa=False, n_starts=3)";

// The docstring.
constexpr const char* FIT_ZSCAN_DOC =
    "Fit z-scan data with multi-start parallel optimization.\n"
    "\n"
    "Fits the selected entries of spec_pars to the measured curves with a\n"
    "five-level rate-equation model, from several starting points, and keeps\n"
    "the start with the smallest fit error.\n"
    "\n"
    "Parameters:\n"
    "    x_data: scan positions (mm) of all curves, one curve after another\n"
    "        (float64 array of num_x_pts * num_datasets values).\n"
    "    y_data: measured normalised transmittance, same layout as x_data.\n"
    "    populations: initial populations of the five levels (float64 array).\n"
    "    t_slices, z_slices: numbers of time slices and depth slices (>= 2).\n"
    "    sample_width: sample thickness.\n"
    "    tau: pulse duration parameter.\n"
    "    wavelength: laser wavelength (m).\n"
    "    w0: beam waist radius (m).\n"
    "    M2: beam quality factor.\n"
    "    pulse_energy: pulse energy of each curve (float64 array).\n"
    "    spec_pars: the eight model parameters: cross-sections of levels 1, 2\n"
    "        and 4, time constants of the 2->1, 2->4, 3->2, 4->1 and 5->4\n"
    "        transitions (float64 array; not modified).\n"
    "    fit_indices: 0-based indices into spec_pars of the entries to fit\n"
    "        (int32 array), valid range 0-7; handed to the native fit as\n"
    "        1-based indices.\n"
    "    num_x_pts: points per curve (>= 5).\n"
    "    num_datasets: number of curves (>= 1).\n"
    "    is_sa: True for a saturable absorber (SA): the positions are centred\n"
    "        on the maximum of y_data; False for a reverse saturable absorber\n"
    "        (RSA): centred on the minimum. Default False (RSA).\n"
    "    n_starts: number of starting points. Start k scales the fitted\n"
    "        entries by 10**((k * 1.04) / max(n_starts - 1, 1) - 0.52), from\n"
    "        about 0.302 to about 3.311. Default 3.\n"
    "\n"
    "Returns:\n"
    "    residuals, error, spec_pars (best result)\n";

// A function object: its call runs fit_zscan; the rest is metadata.
struct FitFunctionObject {
  PyObject_HEAD
  // "fit_zscan" (also the qualified name).
  PyObject* name;
  // The docstring.
  PyObject* doc;
  // Defaults of the trailing parameters: (False, 3).
  PyObject* defaults;
  // The signature for introspection.
  PyObject* text_signature;
};

// The function type, created once for the process.
PyTypeObject* function_type = nullptr;

// Field access for the getters.
FitFunctionObject* as_function(PyObject* self) { return reinterpret_cast<FitFunctionObject*>(self); }

void function_dealloc(PyObject* self) {
  FitFunctionObject* function = as_function(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(function->name);
  Py_XDECREF(function->doc);
  Py_XDECREF(function->defaults);
  Py_XDECREF(function->text_signature);
  type->tp_free(self);
  Py_DECREF(type);
}

// One call of fit_zscan: binding, conversion in parameter order, the checks,
// then the multi-start fit. The argument views hold the caller's buffers
// until this returns, on every path.
PyObject* function_call(PyObject*, PyObject* args, PyObject* kwargs) {
  BoundArguments bound;
  if (!bind_arguments(args, kwargs, bound)) return nullptr;
  FitArguments arguments;
  if (!convert_arguments(bound, arguments)) return nullptr;
  if (!check_arguments(arguments)) return nullptr;
  return run_multi_start(arguments);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Looked up on a class, the function stays unbound (like a built-in function).
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_text_signature(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->text_signature);
}

// Pickled by reference: the module attribute of that name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// The type's dotted name also gives every instance its __module__,
// "tarvo_wrapper", through the class attribute that the name sets.
PyType_Spec function_spec = {
    "tarvo_wrapper.native_function",
    sizeof(FitFunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The defaults tuple (False, 3), or nullptr with an exception set.
PyObject* new_defaults() {
  PyRef n_starts(PyLong_FromLong(tarvo::N_STARTS_DEFAULT));
  if (!n_starts) return nullptr;
  return PyTuple_Pack(2, Py_False, n_starts.get());
}

// The function object `fit_zscan`: a callable with the attributes of a
// Python function (__name__, __qualname__, __module__, __doc__,
// __defaults__, __text_signature__), so that introspection and help() show
// its real signature. A new reference, or nullptr with an exception set; its
// type is created on first use and kept for the process.
PyObject* new_fit_zscan_function() {
  if (function_type == nullptr) {
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (function_type == nullptr) return nullptr;
  }
  PyRef doc(PyUnicode_FromString(FIT_ZSCAN_DOC));
  PyRef defaults(new_defaults());
  PyRef text_signature(PyUnicode_FromString(FIT_ZSCAN_TEXT_SIGNATURE));
  if (!doc || !defaults || !text_signature) return nullptr;
  FitFunctionObject* function = PyObject_New(FitFunctionObject, function_type);
  if (function == nullptr) return nullptr;
  function->name = Py_NewRef(interned_names().function_name);
  function->doc = doc.release();
  function->defaults = defaults.release();
  function->text_signature = text_signature.release();
  return reinterpret_cast<PyObject*>(function);
}

// --- the module ------------------------------------------------------------------------

// Python version the module is built for.
constexpr int BUILT_FOR_MAJOR = PY_MAJOR_VERSION;
constexpr int BUILT_FOR_MINOR = PY_MINOR_VERSION;

// No interpreter recorded yet.
constexpr int64_t NO_INTERPRETER = -1;

// Process-wide state: the interpreter that first created the module (never
// cleared) and the module object (set when execution starts, cleared if it
// fails).
int64_t module_interpreter_id = NO_INTERPRETER;
PyObject* process_module = nullptr;

// Name of the traceback entry that execution failures add.
constexpr const char* INIT_TRACEBACK_NAME = "init tarvo_wrapper";
// File name shown in that entry.
constexpr const char* SOURCE_NAME = "tarvo_wrapper.cpp";

// Copy spec.<from_name> into the namespace as `to_name`; a missing attribute
// is skipped, and so is None unless `allow_none`. 0, or -1 with an exception set.
int copy_spec_attribute(PyObject* spec, PyObject* namespace_dict, const char* from_name,
                        const char* to_name, bool allow_none) {
  PyRef value(PyObject_GetAttrString(spec, from_name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!allow_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(namespace_dict, to_name, value.get());
}

// Creation phase: bind to the first interpreter; return the process's module
// if there is one, else a new module filled from the spec.
PyObject* create_module(PyObject* spec, PyModuleDef*) {
  const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_id == -1 && PyErr_Occurred()) return nullptr;
  if (module_interpreter_id == NO_INTERPRETER) {
    module_interpreter_id = interpreter_id;
  } else if (module_interpreter_id != interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (process_module != nullptr) return Py_NewRef(process_module);

  PyRef name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  PyRef module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* namespace_dict = PyModule_GetDict(module.get());
  if (namespace_dict == nullptr) return nullptr;
  if (copy_spec_attribute(spec, namespace_dict, "loader", "__loader__", true) < 0 ||
      copy_spec_attribute(spec, namespace_dict, "origin", "__file__", true) < 0 ||
      copy_spec_attribute(spec, namespace_dict, "parent", "__package__", true) < 0 ||
      copy_spec_attribute(spec, namespace_dict, "submodule_search_locations", "__path__",
                          false) < 0) {
    return nullptr;
  }
  return module.release();
}

// Warn when the running interpreter is not the one the module is built for;
// 0, or -1 when a warning filter turned the warning into an error.
int warn_on_version_mismatch() {
  const int running_major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int running_minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (running_major == BUILT_FOR_MAJOR && running_minor == BUILT_FOR_MINOR) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                          "version %d.%d",
                          BUILT_FOR_MAJOR, BUILT_FOR_MINOR, MODULE_NAME, "does not match",
                          running_major, running_minor);
}

// Enter the module in the table of loaded modules unless the name is taken;
// 0, or -1 with an exception set.
int register_in_loaded_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = nullptr;
  const int found = PyDict_GetItemStringRef(modules, MODULE_NAME, &existing);
  Py_XDECREF(existing);
  if (found < 0) return -1;
  if (found > 0) return 0;
  return PyDict_SetItemString(modules, MODULE_NAME, module);
}

// Prepend a traceback entry named `name` to the current exception.
void add_traceback_entry(const char* name, PyObject* globals, int line) {
  PyObject* raised = PyErr_GetRaisedException();
  PyRef code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(SOURCE_NAME, name, line)));
  PyRef fresh_globals;
  if (globals == nullptr) {
    fresh_globals.reset(PyDict_New());
    globals = fresh_globals.get();
  }
  PyRef frame;
  if (code && globals != nullptr) {
    frame.reset(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  // Failing to build the entry must not replace the import's own error.
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// The steps of the execution phase after the module has been recorded; 0,
// or -1 (usually with an exception set) at the first failure. `line` receives
// the source line of the failing step.
int initialise_namespace(PyObject* module, PyObject* namespace_dict, int& line) {
  line = __LINE__;
  if (warn_on_version_mismatch() < 0) return -1;
  line = __LINE__;
  if (create_interned_names() < 0) return -1;
  line = __LINE__;
  if (register_in_loaded_modules(module) < 0) return -1;

  // NumPy as a module, with the type objects the module works with.
  line = __LINE__;
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy || check_numpy_types(numpy.get()) < 0) return -1;
  line = __LINE__;
  PyRef np(PyImport_ImportModule("numpy"));
  if (!np || PyDict_SetItemString(namespace_dict, "np", np.get()) < 0) return -1;
  // NumPy's C interface.
  line = __LINE__;
  if (import_numpy_c_interface() < 0) return -1;

  line = __LINE__;
  PyRef function(new_fit_zscan_function());
  if (!function || PyDict_SetItemString(namespace_dict, FUNCTION_NAME, function.get()) < 0) {
    return -1;
  }
  line = __LINE__;
  PyRef test_cases(PyDict_New());
  if (!test_cases || PyDict_SetItemString(namespace_dict, "__test__", test_cases.get()) < 0) {
    return -1;
  }
  return 0;
}

// Execution phase: runs once per process; failure leaves no module behind.
int exec_module(PyObject* module) {
  if (process_module != nullptr) {
    if (process_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tarvo_wrapper' has already been imported. Re-initialisation is "
                    "not supported.");
    add_traceback_entry(INIT_TRACEBACK_NAME, nullptr, __LINE__);
    return -1;
  }
  process_module = Py_NewRef(module);
  PyObject* namespace_dict = PyModule_GetDict(module);
  int line = __LINE__;
  if (namespace_dict != nullptr && initialise_namespace(module, namespace_dict, line) == 0) {
    return 0;
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, INIT_TRACEBACK_NAME);
  add_traceback_entry(INIT_TRACEBACK_NAME, namespace_dict, line);
  Py_CLEAR(process_module);
  return -1;
}

// Creation first, execution second; nothing else.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// No docstring, no per-module state, no method table: fit_zscan is created
// during execution.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, MODULE_NAME, nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarvo::wrapper

PyMODINIT_FUNC PyInit_tarvo_wrapper(void) {
  return PyModuleDef_Init(&tarvo::wrapper::module_definition);
}
