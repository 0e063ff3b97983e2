// Memory refused before it is taken: the big arrays of a call are sized
// first, and a request that the process cannot get (more than the machine's
// memory, or than its address-space limit) fails at once with a message that
// says what it was for and how much, instead of after gigabytes were filled.
#pragma once

#include <new>

#include "tarvo/export.hpp"

namespace tarvo {

// An allocation refused or failed; what() says what was wanted and how much.
class TARVO_API AllocationError : public std::bad_alloc {
 public:
  explicit AllocationError(const char* message) noexcept;
  const char* what() const noexcept override { return message_; }

 private:
  char message_[320];
};

// Bytes this process may use at most: the machine's memory, or the
// address-space limit (RLIMIT_AS) when that is lower.
TARVO_API double available_memory();

// A byte count as text with one decimal, e.g. "8.7 GB" or "512.0 MB".
TARVO_API void format_bytes(double bytes, char* text, int size);

}  // namespace tarvo
