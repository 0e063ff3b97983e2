// Reading the item format string of a buffer (the struct-module notation).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "buffer_view.hpp"

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

// Match `format` (nullptr means unsigned bytes) against `type`.
FormatMatch match_format(const char* format, ItemType type);

// The C type name of `type` ("double" or "int").
const char* item_type_name(ItemType type);

// Size in bytes of one item of `type`.
size_t item_type_size(ItemType type);
