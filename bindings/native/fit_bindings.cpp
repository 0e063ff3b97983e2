// Fits for the toolkit and the tests: one start of the native fit, and the
// multi-start fit of fit_zscan with a diagnostics sink of the caller's
// choice; and the Diagnostics type, the sink the toolkit passes (counts the
// solver's messages by kind, optionally keeps them in a log file).
#include <new>
#include <string>
#include <vector>

#include "native_methods.hpp"
#include "tarvo/constants.hpp"
#include "tarvo/fit.hpp"
#include "tarvo/problem.hpp"

namespace tarvo::native {

namespace {

// --- the Diagnostics type ------------------------------------------------------

// A Diagnostics object: a counting sink that lives as long as the object.
struct DiagnosticsObject {
  PyObject_HEAD
  CountingDiagnostics* sink;
};

// The type, created at module initialisation.
PyTypeObject* diagnostics_type = nullptr;

DiagnosticsObject* as_diagnostics(PyObject* self) {
  return reinterpret_cast<DiagnosticsObject*>(self);
}

char* DIAGNOSTICS_KEYWORDS[] = {const_cast<char*>("log_path"), const_cast<char*>("echo"),
                                nullptr};

// Diagnostics(log_path=None, echo=False)
PyObject* diagnostics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* path_object = Py_None;
  int echo = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Op:Diagnostics", DIAGNOSTICS_KEYWORDS,
                                   &path_object, &echo)) {
    return nullptr;
  }
  PyRef path_bytes;
  const char* path = nullptr;
  if (path_object != Py_None) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path_object, &converted)) return nullptr;
    path_bytes.reset(converted);
    path = PyBytes_AS_STRING(path_bytes.get());
  }
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  try {
    as_diagnostics(self.get())->sink = new CountingDiagnostics(path, echo != 0);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

void diagnostics_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_diagnostics(self)->sink;
  type->tp_free(self);
  Py_DECREF(type);
}

// counts() -> {kind: messages} for every kind of MESSAGE_KINDS.
PyObject* diagnostics_counts(PyObject* self, PyObject*) {
  const CountingDiagnostics& sink = *as_diagnostics(self)->sink;
  PyRef counts(PyDict_New());
  if (!counts) return nullptr;
  for (int i = 0; i < MESSAGE_KIND_COUNT; ++i) {
    const MessageKind kind = static_cast<MessageKind>(i);
    PyRef value(PyLong_FromLong(sink.count(kind)));
    if (!value || PyDict_SetItemString(counts.get(), message_kind_name(kind), value.get()) < 0) {
      return nullptr;
    }
  }
  return counts.release();
}

PyObject* diagnostics_total(PyObject* self, void*) {
  return PyLong_FromLong(as_diagnostics(self)->sink->total());
}

PyObject* diagnostics_log_failed(PyObject* self, void*) {
  return PyBool_FromLong(as_diagnostics(self)->sink->log_failed());
}

// close() -> None: close the log file; later messages are only counted.
PyObject* diagnostics_close(PyObject* self, PyObject*) {
  as_diagnostics(self)->sink->close_log();
  Py_RETURN_NONE;
}

PyMethodDef diagnostics_methods[] = {
    {"counts", diagnostics_counts, METH_NOARGS,
     "counts() -> dict: messages received so far, by kind (the names of MESSAGE_KINDS)"},
    {"close", diagnostics_close, METH_NOARGS,
     "close() -> None: close the log file; later messages are only counted"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef diagnostics_getset[] = {
    {"total", diagnostics_total, nullptr, "messages received so far", nullptr},
    {"log_failed", diagnostics_log_failed, nullptr,
     "True when the log file could not be opened or written", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot diagnostics_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(diagnostics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(diagnostics_dealloc)},
    {Py_tp_methods, diagnostics_methods},
    {Py_tp_getset, diagnostics_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Diagnostics(log_path=None, echo=False)\n--\n\n"
                    "A sink for the ODE solver's messages during a fit: counts them by kind,\n"
                    "writes them to log_path (created on the first message) and, with echo,\n"
                    "also prints them. Pass it as fit(..., diagnostics=...).")},
    {0, nullptr},
};

PyType_Spec diagnostics_spec = {
    "tarvo._native.Diagnostics",
    sizeof(DiagnosticsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    diagnostics_slots,
};

// --- running starts --------------------------------------------------------------

// Name of a status, as the summaries show it.
const char* status_name(FitStatus status) {
  switch (status) {
    case FitStatus::ok:
      return "ok";
    case FitStatus::interrupted:
      return "interrupted";
    case FitStatus::out_of_memory:
      return "out_of_memory";
    case FitStatus::failed:
      return "failed";
    case FitStatus::not_run:
      return "not_run";
  }
  return "unknown";
}

// A summary as a dict: status, evaluations, info, the start's error (norm of
// its weighted residuals), failures (by kind).
PyObject* summary_dict(const StartSummary& summary, double error) {
  PyRef failures(PyDict_New());
  if (!failures) return nullptr;
  for (int i = 0; i < SolverFailures::KINDS; ++i) {
    PyRef count(PyLong_FromLong(summary.failures.counts[static_cast<std::size_t>(i)]));
    if (!count || PyDict_SetItemString(failures.get(), solver_failure_name(i), count.get()) < 0) {
      return nullptr;
    }
  }
  return Py_BuildValue("{sssisisdsO}", "status", status_name(summary.status), "evaluations",
                       summary.evaluations, "info", summary.info, "error", error, "failures",
                       failures.get());
}

// The measurement part of a fit's arguments, read and checked.
struct MeasurementArguments {
  std::vector<double> x, y, populations, energies, pars;
  ProblemInput input;
};

// fit_core(centered_x_mm, y, populations, t_slices, z_slices, sample_width, tau,
//          wavelength, w0, M2, pulse_energy, spec_pars, param_indices (1-based),
//          num_x_pts, num_datasets) -> (residuals, error, spec_pars, evaluations)
PyObject* fit_core(PyObject*, PyObject* args) {
  PyObject *x, *y, *populations, *energy, *pars, *indices;
  MeasurementArguments m;
  ProblemInput& in = m.input;
  if (!PyArg_ParseTuple(args, "OOOiidddddOOOii:fit_core", &x, &y, &populations, &in.t_slices,
                        &in.z_slices, &in.sample_width, &in.tau, &in.wavelength, &in.w0, &in.M2,
                        &energy, &pars, &indices, &in.num_x_pts, &in.num_datasets)) {
    return nullptr;
  }
  std::vector<int> fitted;
  if (!read_doubles(x, "x", m.x) || !read_doubles(y, "y", m.y) ||
      !read_doubles(populations, "populations", m.populations) ||
      !read_doubles(energy, "pulse_energy", m.energies) ||
      !read_doubles(pars, "spec_pars", m.pars, PARAMETER_COUNT) ||
      !read_ints(indices, "param_indices", fitted)) {
    return nullptr;
  }
  for (int& index : fitted) {
    if (index < 1 || index > PARAMETER_COUNT) {
      PyErr_SetString(PyExc_ValueError, "param_indices must lie in 1..8");
      return nullptr;
    }
    index -= 1;
  }
  if (m.y.size() != m.x.size()) {
    PyErr_SetString(PyExc_ValueError, "y must have as many values as x");
    return nullptr;
  }
  in.x_mm = m.x;
  in.y = m.y;
  in.populations = m.populations;
  in.pulse_energy = m.energies;
  std::vector<double> residuals;
  double error = 0.0;
  StartSummary summary[1];
  try {
    const Problem problem(in);
    residuals.resize(problem.points());
    const StartJob job{m.pars, fitted, residuals, &error};
    const auto one_start = [&](const FitOptions& options) {
      return run_starts(problem, std::span<const StartJob>(&job, 1), summary, options);
    };
    if (!python::run_fit_released(summary, nullptr, one_start)) return nullptr;
  } catch (const ProblemError& refusal) {
    PyErr_SetString(PyExc_ValueError, refusal.what());
    return nullptr;
  } catch (const std::bad_alloc& error) {
    return python::raise_memory_error(error);
  }
  PyRef r(list_of(residuals.data(), residuals.size()));
  PyRef p(list_of(m.pars.data(), m.pars.size()));
  if (!r || !p) return nullptr;
  return Py_BuildValue("(OdOi)", r.get(), error, p.get(), summary[0].evaluations);
}

char* FIT_KEYWORDS[] = {
    const_cast<char*>("x_mm"),        const_cast<char*>("y"),
    const_cast<char*>("populations"), const_cast<char*>("t_slices"),
    const_cast<char*>("z_slices"),    const_cast<char*>("sample_width"),
    const_cast<char*>("tau"),         const_cast<char*>("wavelength"),
    const_cast<char*>("w0"),          const_cast<char*>("M2"),
    const_cast<char*>("pulse_energy"), const_cast<char*>("spec_pars"),
    const_cast<char*>("fit_indices"), const_cast<char*>("num_x_pts"),
    const_cast<char*>("num_datasets"), const_cast<char*>("is_sa"),
    const_cast<char*>("n_starts"),    const_cast<char*>("diagnostics"),
    nullptr};

// fit(x_mm, y, populations, t_slices, z_slices, sample_width, tau, wavelength,
//     w0, M2, pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets,
//     is_sa=False, n_starts=3, *, diagnostics=None)
// -> (residuals, error, spec_pars, summaries): the multi-start fit of
// fit_zscan, bit for bit, with 0-based fit_indices.
PyObject* fit(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *x, *y, *populations, *energy, *pars, *indices;
  PyObject* diagnostics_object = Py_None;
  int is_sa = 0;
  int n_starts = N_STARTS_DEFAULT;
  MeasurementArguments m;
  ProblemInput& in = m.input;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOiidddddOOOii|pi$O:fit", FIT_KEYWORDS, &x, &y,
                                   &populations, &in.t_slices, &in.z_slices, &in.sample_width,
                                   &in.tau, &in.wavelength, &in.w0, &in.M2, &energy, &pars,
                                   &indices, &in.num_x_pts, &in.num_datasets, &is_sa, &n_starts,
                                   &diagnostics_object)) {
    return nullptr;
  }
  bool sink_ok = true;
  DiagnosticsSink* sink = diagnostics_sink(diagnostics_object, sink_ok);
  if (!sink_ok) return nullptr;
  std::vector<int> fitted;
  if (!read_doubles(x, "x_mm", m.x) || !read_doubles(y, "y", m.y) ||
      !read_doubles(populations, "populations", m.populations) ||
      !read_doubles(energy, "pulse_energy", m.energies) ||
      !read_doubles(pars, "spec_pars", m.pars) || !read_ints(indices, "fit_indices", fitted)) {
    return nullptr;
  }
  for (std::size_t i = 0; i < fitted.size(); ++i) {
    if (fitted[i] < 0 || fitted[i] >= PARAMETER_COUNT) {
      PyErr_Format(PyExc_ValueError, "fit_indices[%zd]=%d out of range [0,%d]",
                   static_cast<Py_ssize_t>(i), fitted[i], PARAMETER_COUNT - 1);
      return nullptr;
    }
  }
  if (fitted.empty()) {
    PyErr_SetString(PyExc_ValueError, "fit_indices must name at least one parameter");
    return nullptr;
  }
  if (n_starts < 1) {
    PyErr_Format(PyExc_ValueError, "n_starts must be at least 1, got %d", n_starts);
    return nullptr;
  }
  ArgumentSizes sizes;
  sizes.x_length = static_cast<long long>(m.x.size());
  sizes.y_length = static_cast<long long>(m.y.size());
  sizes.populations_length = static_cast<long long>(m.populations.size());
  sizes.pulse_energy_length = static_cast<long long>(m.energies.size());
  sizes.spec_pars_length = static_cast<long long>(m.pars.size());
  sizes.fit_indices_length = static_cast<long long>(fitted.size());
  sizes.num_x_pts = in.num_x_pts;
  sizes.num_datasets = in.num_datasets;
  sizes.t_slices = in.t_slices;
  sizes.z_slices = in.z_slices;

  const std::size_t n_res = m.y.size();
  const std::size_t length = m.pars.size();
  const std::size_t starts = static_cast<std::size_t>(n_starts);
  std::vector<double> centered, spec_rows, residual_rows, errors;
  std::vector<StartSummary> summaries;
  std::size_t best = 0;
  try {
    const std::string refusal = size_error(sizes);
    if (!refusal.empty()) {
      PyErr_SetString(PyExc_ValueError, refusal.c_str());
      return nullptr;
    }
    // Centre the positions on the first extreme of all curves together.
    const std::ptrdiff_t extreme = extreme_index(m.y, is_sa != 0);
    centered.resize(m.x.size());
    for (std::size_t n = 0; n < m.x.size(); ++n) {
      centered[n] = m.x[n] - m.x[static_cast<std::size_t>(extreme)];
    }
    in.x_mm = centered;
    in.y = m.y;
    in.populations = m.populations;
    in.pulse_energy = m.energies;
    const Problem problem(in);
    spec_rows.resize(starts * length);
    residual_rows.resize(starts * n_res);
    errors.resize(starts);
    fill_start_rows(m.pars, fitted, n_starts, spec_rows.data());
    summaries.resize(starts);
    StartTables tables;
    tables.spec_rows = spec_rows.data();
    tables.row_length = length;
    tables.residual_rows = residual_rows.data();
    tables.errors = errors.data();
    tables.summaries = summaries;
    if (!python::run_fit_released(summaries, sink, [&](const FitOptions& options) {
          return run_multi_start(problem, fitted, tables, options, best);
        })) {
      return nullptr;
    }
  } catch (const ProblemError& refusal) {
    PyErr_SetString(PyExc_ValueError, refusal.what());
    return nullptr;
  } catch (const std::bad_alloc& error) {
    return python::raise_memory_error(error);
  }
  PyRef r(list_of(residual_rows.data() + best * n_res, n_res));
  PyRef p(list_of(spec_rows.data() + best * length, length));
  PyRef summary_list(PyList_New(static_cast<Py_ssize_t>(starts)));
  if (!r || !p || !summary_list) return nullptr;
  for (std::size_t k = 0; k < starts; ++k) {
    PyObject* item = summary_dict(summaries[k], errors[k]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(summary_list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return Py_BuildValue("(OdOO)", r.get(), errors[best], p.get(), summary_list.get());
}

}  // namespace

int add_diagnostics_type(PyObject* module) {
  if (diagnostics_type == nullptr) {
    diagnostics_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&diagnostics_spec));
    if (diagnostics_type == nullptr) return -1;
  }
  return PyModule_AddType(module, diagnostics_type);
}

DiagnosticsSink* diagnostics_sink(PyObject* object, bool& ok) {
  ok = true;
  if (object == Py_None) return nullptr;
  if (diagnostics_type != nullptr && PyObject_TypeCheck(object, diagnostics_type)) {
    return as_diagnostics(object)->sink;
  }
  PyErr_SetString(PyExc_TypeError, "diagnostics must be a tarvo._native.Diagnostics or None");
  ok = false;
  return nullptr;
}

const PyMethodDef* fit_methods() {
  static PyMethodDef methods[] = {
      {"fit_core", fit_core, METH_VARARGS,
       "fit_core(centered_x_mm, y, populations, t_slices, z_slices, sample_width, tau, "
       "wavelength, w0, M2, pulse_energy, spec_pars, param_indices, num_x_pts, num_datasets) -> "
       "(residuals, error, spec_pars, evaluations): one start, 1-based indices."},
      {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit)),
       METH_VARARGS | METH_KEYWORDS,
       "fit(x_mm, y, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, M2, "
       "pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets, is_sa=False, n_starts=3, "
       "*, diagnostics=None)\n--\n\n"
       "The multi-start fit of tarvo_wrapper.fit_zscan (the same results bit for bit, 0-based\n"
       "fit_indices), with the solver's messages sent to `diagnostics` (a Diagnostics; None:\n"
       "stdout). Returns (residuals, error, spec_pars, summaries): the best start's residuals,\n"
       "error and parameters, and per start a dict of status, evaluations, LMDIF's info and\n"
       "the failed integration steps by kind."},
      {nullptr, nullptr, 0, nullptr}};
  return methods;
}

}  // namespace tarvo::native
