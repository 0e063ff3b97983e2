// Format strings: an optional byte-order prefix, an optional repeat count,
// an optional complex marker 'Z' and one type code. Anything longer describes
// a structure of several fields.
#include "buffer_format.hpp"

#include <cctype>
#include <cstring>

namespace {

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

}  // namespace

const char* item_type_name(ItemType type) { return type == ItemType::float64 ? "double" : "int"; }

size_t item_type_size(ItemType type) {
  return type == ItemType::float64 ? sizeof(double) : sizeof(int);
}

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
