// Turning one call's arguments into checked native values, strictly in
// parameter order: binding (positional arguments first, then every keyword
// matched against the parameters not filled by position, by identity of the
// name object and then by string equality; missing required parameters
// last), array arguments through the buffer protocol (one dimension, the
// item format, the item size, then contiguity), scalar conversions (ints by
// value or __int__, reals by the interpreter's float conversion, flags by
// truth value), and the checks.
#include "arguments.hpp"

#include <cctype>
#include <cstring>
#include <new>
#include <string>

#include "tarvo/problem.hpp"

namespace tarvo::wrapper {

namespace {

// --- interned names ------------------------------------------------------------

// The one set of interned strings of the process.
InternedNames names;

// Intern `text` into `slot` unless it holds a string; 0, or -1 with an exception set.
int intern_into(PyObject*& slot, const char* text) {
  if (slot != nullptr) return 0;
  slot = PyUnicode_InternFromString(text);
  return slot == nullptr ? -1 : 0;
}

// --- binding ---------------------------------------------------------------------

// The "takes at least/at most N positional arguments" refusal.
void raise_positional_count_error(const char* bound_word, Py_ssize_t bound, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               FUNCTION_NAME, bound_word, bound, bound == 1 ? "" : "s", given);
}

// Index of the parameter at or after `first` whose name object is `key`, or -1.
int find_by_identity(PyObject* key, int first) {
  const InternedNames& names = interned_names();
  for (int i = first; i < ARGUMENT_COUNT; ++i) {
    if (names.parameters[i] == key) return i;
  }
  return -1;
}

// Index of the parameter in [first, end) whose name equals the string `key`,
// -1 if none, -2 with an exception set if a comparison failed.
int find_by_equality(PyObject* key, int first, int end) {
  const InternedNames& names = interned_names();
  for (int i = first; i < end; ++i) {
    PyObject* name = names.parameters[i];
    if (name == key) return i;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) continue;
    const int order = PyUnicode_Compare(name, key);
    if (order == 0) return i;
    if (order == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

// Bind one keyword argument; false with TypeError set if it fits no parameter.
bool bind_keyword(PyObject* key, PyObject* value, Py_ssize_t positional, BoundArguments& bound) {
  const int first_keyword = static_cast<int>(positional);
  int index = find_by_identity(key, first_keyword);
  if (index < 0) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", FUNCTION_NAME);
      return false;
    }
    index = find_by_equality(key, first_keyword, ARGUMENT_COUNT);
    if (index == -2) return false;
  }
  if (index < 0) {
    // Not a free parameter: either already given by position, or no parameter at all.
    const int taken = find_by_equality(key, 0, first_keyword);
    if (taken == -2) return false;
    if (taken >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   FUNCTION_NAME, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   FUNCTION_NAME, key);
    }
    return false;
  }
  if (bound.values[index]) {
    // Only reachable from native callers that pass one name twice.
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 FUNCTION_NAME, key);
    return false;
  }
  bound.values[index].reset(Py_NewRef(value));
  return true;
}

// --- buffer formats --------------------------------------------------------------

// Result of matching a buffer's format against the wanted item type.
struct FormatMatch {
  // True when the format describes exactly one item of the wanted type.
  bool matches = false;
  // Otherwise what the format describes, e.g. "'float'" or "big-endian 'double'".
  const char* description = "";
  // Leading words for descriptions that need them (e.g. "big-endian "), or "".
  const char* qualifier = "";
  // Repeat count of the item when above 1, else 1.
  long count = 1;
};

// Families of type codes; a match needs the family and the size to agree.
enum class CodeFamily { signed_integer, unsigned_integer, real, other };

// What one type code stands for.
struct TypeCode {
  char code;
  CodeFamily family;
  // Size with native sizes ('@', '^' or no prefix).
  int native_size;
  // Size with standard sizes ('=', '<', '>', '!'); 0 if not allowed there.
  int standard_size;
  // Quoted C type name, and its complex form ("" if none).
  const char* name;
  const char* complex_name;
};

// The type codes of the buffer protocol (sizes of the LP64 platforms served).
constexpr TypeCode TYPE_CODES[] = {
    {'b', CodeFamily::signed_integer, 1, 1, "'signed char'", ""},
    {'h', CodeFamily::signed_integer, 2, 2, "'short'", ""},
    {'i', CodeFamily::signed_integer, 4, 4, "'int'", ""},
    {'l', CodeFamily::signed_integer, static_cast<int>(sizeof(long)), 4, "'long'", ""},
    {'q', CodeFamily::signed_integer, 8, 8, "'long long'", ""},
    {'n', CodeFamily::signed_integer, static_cast<int>(sizeof(Py_ssize_t)), 0, "'ssize_t'", ""},
    {'B', CodeFamily::unsigned_integer, 1, 1, "'unsigned char'", ""},
    {'H', CodeFamily::unsigned_integer, 2, 2, "'unsigned short'", ""},
    {'I', CodeFamily::unsigned_integer, 4, 4, "'unsigned int'", ""},
    {'L', CodeFamily::unsigned_integer, static_cast<int>(sizeof(long)), 4, "'unsigned long'", ""},
    {'Q', CodeFamily::unsigned_integer, 8, 8, "'unsigned long long'", ""},
    {'N', CodeFamily::unsigned_integer, static_cast<int>(sizeof(size_t)), 0, "'size_t'", ""},
    {'e', CodeFamily::real, 2, 2, "'half float'", "'complex half float'"},
    {'f', CodeFamily::real, 4, 4, "'float'", "'complex float'"},
    {'d', CodeFamily::real, 8, 8, "'double'", "'complex double'"},
    {'g', CodeFamily::real, static_cast<int>(sizeof(long double)), 0, "'long double'",
     "'complex long double'"},
    {'?', CodeFamily::other, 1, 1, "'bool'", ""},
    {'c', CodeFamily::other, 1, 1, "'char'", ""},
    {'O', CodeFamily::other, static_cast<int>(sizeof(void*)), 0, "Python object", ""},
    {'P', CodeFamily::other, static_cast<int>(sizeof(void*)), 0, "a pointer", ""},
};

// Description of formats that hold more than one field.
constexpr const char* STRUCT_DESCRIPTION = "a struct";
// Description of character-string formats.
constexpr const char* STRING_DESCRIPTION = "a string";

// The entry of `code`, or nullptr.
const TypeCode* find_type_code(char code) {
  for (const TypeCode& entry : TYPE_CODES) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

// True on a big-endian host.
bool host_is_big_endian() {
  const unsigned int probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

// The C type name of `type` ("double" or "int").
const char* item_type_name(ItemType type) { return type == ItemType::float64 ? "double" : "int"; }

// Size in bytes of one item of `type`.
size_t item_type_size(ItemType type) {
  return type == ItemType::float64 ? sizeof(double) : sizeof(int);
}

// Match `format` (nullptr means unsigned bytes) against `type`. Format
// strings: an optional byte-order prefix, an optional repeat count, an
// optional complex marker 'Z' and one type code; anything longer describes a
// structure of several fields.
FormatMatch match_format(const char* format, ItemType type) {
  FormatMatch match;
  const char* p = format == nullptr ? "B" : format;

  // Byte order and sizing.
  bool native_sizes = true;
  bool big_endian = host_is_big_endian();
  switch (*p) {
    case '@':
    case '^':
      ++p;
      break;
    case '=':
      native_sizes = false;
      ++p;
      break;
    case '<':
      native_sizes = false;
      big_endian = false;
      ++p;
      break;
    case '>':
    case '!':
      native_sizes = false;
      big_endian = true;
      ++p;
      break;
    default:
      break;
  }

  // Repeat count.
  if (std::isdigit(static_cast<unsigned char>(*p))) {
    long count = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      if (count < 100000000) count = count * 10 + (*p - '0');
      ++p;
    }
    match.count = count;
  }

  if (*p == 's' || *p == 'p' || *p == 'w') {
    // The count of a string format is its length, not a repetition.
    match.count = 1;
    match.description = STRING_DESCRIPTION;
    return match;
  }
  bool complex = false;
  if (*p == 'Z') {
    complex = true;
    ++p;
  }
  const TypeCode* code = *p == '\0' ? nullptr : find_type_code(*p);
  if (code == nullptr || p[1] != '\0') {
    // A structure, several fields, or an unknown code.
    match.description = STRUCT_DESCRIPTION;
    return match;
  }
  match.description = complex ? code->complex_name : code->name;
  if (*match.description == '\0') match.description = STRUCT_DESCRIPTION;
  if (big_endian != host_is_big_endian()) {
    match.qualifier = big_endian ? "big-endian " : "little-endian ";
  }

  const CodeFamily wanted_family =
      type == ItemType::float64 ? CodeFamily::real : CodeFamily::signed_integer;
  const int size = native_sizes ? code->native_size : code->standard_size;
  match.matches = !complex && match.count == 1 && *match.qualifier == '\0' &&
                  code->family == wanted_family &&
                  size == static_cast<int>(item_type_size(type));
  return match;
}

// --- buffer views ----------------------------------------------------------------

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

// --- scalars ---------------------------------------------------------------------

// A new reference to an int equal to `object`'s integer value, or nullptr with
// an exception set.
PyObject* integer_value(PyObject* object) {
  if (PyLong_Check(object)) return Py_NewRef(object);
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyRef result(number->nb_int(object));
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (PyLong_CheckExact(result.get())) return result.release();
  if (!PyLong_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return nullptr;
  }
  // A subclass of int: accepted, with the interpreter's own deprecation notice.
  if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                       "__int__ returned non-int (type %.200s).  The ability to return an "
                       "instance of a strict subclass of int is deprecated, and may be "
                       "removed in a future version of Python.",
                       Py_TYPE(result.get())->tp_name) < 0) {
    return nullptr;
  }
  return result.release();
}

// A 32-bit signed integer from an int, or from any object through its
// __int__ (floats truncate toward zero); false with an exception set.
bool convert_int32(PyObject* object, int& out) {
  PyRef value(integer_value(object));
  if (!value) return false;
  // PyLong_AsInt raises OverflowError outside the 32-bit signed range.
  const int converted = PyLong_AsInt(value.get());
  if (converted == -1 && PyErr_Occurred()) return false;
  out = converted;
  return true;
}

// A double from a float, or through the interpreter's float conversion
// (__float__ or __index__); false with an exception set.
bool convert_double(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double converted = PyFloat_AsDouble(object);
  if (converted == -1.0 && PyErr_Occurred()) return false;
  out = converted;
  return true;
}

// A truth value: True, False and None directly (None is false), anything
// else by its truth value; false with an exception set.
bool convert_truth(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False || object == Py_None) {
    out = object == Py_True;
    return true;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

// --- conversion and checks --------------------------------------------------------

// Lowest and highest valid entry of fit_indices (0-based into spec_pars).
constexpr int FIT_INDEX_MIN = 0;
constexpr int FIT_INDEX_MAX = 7;

// Acquire an array argument unless it is None; false with an exception set.
bool convert_array(PyObject* object, ItemType type, BufferView& view) {
  if (object == Py_None) return true;
  return view.acquire(object, type);
}

// A copy of the `length` items at `data`.
template <typename T>
std::vector<T> copy_of(const T* data, Py_ssize_t length) {
  return std::vector<T>(data, data + (length > 0 ? length : 0));
}

// Raise TypeError for a None array argument if `view` holds nothing.
bool require_array(const BufferView& view, FitZscanParameter parameter) {
  if (view.held()) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", PARAMETER_NAMES[parameter]);
  return false;
}

}  // namespace

const InternedNames& interned_names() { return names; }

int create_interned_names() {
  for (int i = 0; i < ARGUMENT_COUNT; ++i) {
    if (intern_into(names.parameters[i], PARAMETER_NAMES[i]) < 0) return -1;
  }
  if (intern_into(names.function_name, FUNCTION_NAME) < 0) return -1;
  return intern_into(names.module_name, MODULE_NAME);
}

bool BufferView::acquire(PyObject* object, ItemType type) {
  if (PyObject_GetBuffer(object, &buffer_, BUFFER_REQUEST) < 0) return false;
  if (!check_buffer(buffer_, type)) {
    PyBuffer_Release(&buffer_);
    return false;
  }
  held_ = true;
  return true;
}

bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArguments& bound) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  const bool has_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
  if (positional > ARGUMENT_COUNT) {
    raise_positional_count_error("at most", ARGUMENT_COUNT, positional);
    return false;
  }
  if (!has_keywords && positional < REQUIRED_ARGUMENT_COUNT) {
    raise_positional_count_error("at least", REQUIRED_ARGUMENT_COUNT, positional);
    return false;
  }
  for (Py_ssize_t i = 0; i < positional; ++i) {
    bound.values[i].reset(Py_NewRef(PyTuple_GET_ITEM(args, i)));
  }
  if (!has_keywords) return true;

  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!bind_keyword(key, value, positional, bound)) return false;
  }
  for (int i = 0; i < REQUIRED_ARGUMENT_COUNT; ++i) {
    if (!bound.values[i]) {
      // The count reported is the missing parameter's position.
      raise_positional_count_error("at least", REQUIRED_ARGUMENT_COUNT, i);
      return false;
    }
  }
  return true;
}

bool convert_arguments(const BoundArguments& bound, FitArguments& a) {
  const auto value = [&bound](FitZscanParameter parameter) {
    return bound.values[parameter].get();
  };
  if (!convert_array(value(X_DATA), ItemType::float64, a.x_data)) return false;
  if (!convert_array(value(Y_DATA), ItemType::float64, a.y_data)) return false;
  if (!convert_array(value(POPULATIONS), ItemType::float64, a.populations)) return false;
  if (!convert_int32(value(T_SLICES), a.t_slices)) return false;
  if (!convert_int32(value(Z_SLICES), a.z_slices)) return false;
  if (!convert_double(value(SAMPLE_WIDTH), a.sample_width)) return false;
  if (!convert_double(value(TAU), a.tau)) return false;
  if (!convert_double(value(WAVELENGTH), a.wavelength)) return false;
  if (!convert_double(value(W0), a.w0)) return false;
  if (!convert_double(value(M2), a.M2)) return false;
  if (!convert_array(value(PULSE_ENERGY), ItemType::float64, a.pulse_energy)) return false;
  if (!convert_array(value(SPEC_PARS), ItemType::float64, a.spec_pars)) return false;
  if (!convert_array(value(FIT_INDICES), ItemType::int32, a.fit_indices)) return false;
  if (!convert_int32(value(NUM_X_PTS), a.num_x_pts)) return false;
  if (!convert_int32(value(NUM_DATASETS), a.num_datasets)) return false;
  a.is_sa = false;
  if (value(IS_SA) != nullptr && !convert_truth(value(IS_SA), a.is_sa)) return false;
  a.n_starts = N_STARTS_DEFAULT;
  if (value(N_STARTS) != nullptr && !convert_int32(value(N_STARTS), a.n_starts)) return false;
  return true;
}

bool check_arguments(FitArguments& a) {
  if (!require_array(a.x_data, X_DATA) || !require_array(a.y_data, Y_DATA) ||
      !require_array(a.populations, POPULATIONS) || !require_array(a.pulse_energy, PULSE_ENERGY) ||
      !require_array(a.spec_pars, SPEC_PARS) || !require_array(a.fit_indices, FIT_INDICES)) {
    return false;
  }
  // One read of each array, under the interpreter lock and before anything
  // that may release it.
  ArgumentValues& v = a.values;
  try {
    v.x_data = copy_of(a.x_data.doubles(), a.x_data.length());
    v.y_data = copy_of(a.y_data.doubles(), a.y_data.length());
    v.populations = copy_of(a.populations.doubles(), a.populations.length());
    v.pulse_energy = copy_of(a.pulse_energy.doubles(), a.pulse_energy.length());
    v.spec_pars = copy_of(a.spec_pars.doubles(), a.spec_pars.length());
    v.fit_indices = copy_of(a.fit_indices.ints(), a.fit_indices.length());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (std::size_t i = 0; i < v.fit_indices.size(); ++i) {
    const int index = v.fit_indices[i];
    if (index < FIT_INDEX_MIN || index > FIT_INDEX_MAX) {
      PyErr_Format(PyExc_ValueError, "fit_indices[%zd]=%d out of range [0,7]",
                   static_cast<Py_ssize_t>(i), index);
      return false;
    }
  }
  return true;
}

bool check_size_relations(const FitArguments& a) {
  ArgumentSizes sizes;
  sizes.x_length = a.x_data.length();
  sizes.y_length = a.y_data.length();
  sizes.populations_length = a.populations.length();
  sizes.pulse_energy_length = a.pulse_energy.length();
  sizes.spec_pars_length = a.spec_pars.length();
  sizes.fit_indices_length = a.fit_indices.length();
  sizes.num_x_pts = a.num_x_pts;
  sizes.num_datasets = a.num_datasets;
  sizes.t_slices = a.t_slices;
  sizes.z_slices = a.z_slices;
  std::string error;
  try {
    error = size_error(sizes);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (error.empty()) return true;
  PyErr_SetString(PyExc_ValueError, error.c_str());
  return false;
}

}  // namespace tarvo::wrapper
