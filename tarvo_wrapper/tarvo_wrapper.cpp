// The extension module tarvo_wrapper: multi-phase initialisation. The module
// binds itself to the first interpreter that loads it and exists once per
// process; importing it again yields that same module object.
#include "numpy_api.hpp"

#include <frameobject.h>

#include <cstdint>

#include "fit_function.hpp"
#include "fit_zscan_parameters.hpp"
#include "interned_names.hpp"
#include "numpy_c_interface.hpp"
#include "py_ref.hpp"

namespace {

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

PyMODINIT_FUNC PyInit_tarvo_wrapper(void) { return PyModuleDef_Init(&module_definition); }
