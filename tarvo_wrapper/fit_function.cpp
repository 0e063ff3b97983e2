// The type of the fit_zscan function object and the object itself.
#include "fit_function.hpp"

#include <cstddef>

#include "fit_function_docs.hpp"
#include "fit_zscan_parameters.hpp"
#include "interned_names.hpp"
#include "py_ref.hpp"

namespace {

// A function object: its call goes to call_fit_zscan; the rest is metadata.
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

PyObject* function_call(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_fit_zscan(args, kwargs);
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
  PyRef n_starts(PyLong_FromLong(N_STARTS_DEFAULT));
  if (!n_starts) return nullptr;
  return PyTuple_Pack(2, Py_False, n_starts.get());
}

}  // namespace

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
