// DLSODA's diagnostics in the layout of XERRWD's Fortran formats, and the
// two sinks of the library: stdout, and counting with an optional log file.
#include "diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvo {

namespace {

// Names of the message kinds, in the order of MessageKind.
constexpr const char* MESSAGE_KIND_NAMES[MESSAGE_KIND_COUNT] = {
    "too_many_steps",    "too_much_accuracy", "error_test_failures", "convergence_failures",
    "zero_error_weight", "step_size_warning", "warning_limit",       "illegal_input",
    "interpolation_error", "method_switch",
};

// Write a whole message to `stream` and flush it, holding the stream's lock:
// one write(2) per message, whatever other threads print meanwhile.
void write_whole(std::FILE* stream, std::string_view text) {
  flockfile(stream);
  fwrite_unlocked(text.data(), 1, text.size(), stream);
  fflush_unlocked(stream);
  funlockfile(stream);
}

// The default sink.
class StdoutDiagnostics final : public DiagnosticsSink {
 public:
  void write(MessageKind, std::string_view text) noexcept override { write_whole(stdout, text); }
};

}  // namespace

const char* message_kind_name(MessageKind kind) {
  const int index = static_cast<int>(kind);
  return index >= 0 && index < MESSAGE_KIND_COUNT ? MESSAGE_KIND_NAMES[index] : "unknown";
}

DiagnosticsSink::~DiagnosticsSink() = default;

DiagnosticsSink& stdout_diagnostics() {
  static StdoutDiagnostics sink;
  return sink;
}

CountingDiagnostics::CountingDiagnostics(const char* log_path, bool echo)
    : echo_(echo), log_path_(log_path != nullptr ? log_path : "") {}

CountingDiagnostics::~CountingDiagnostics() { close_log(); }

void CountingDiagnostics::write(MessageKind kind, std::string_view text) noexcept {
  const int index = static_cast<int>(kind);
  if (index >= 0 && index < MESSAGE_KIND_COUNT) {
    counts_[index].fetch_add(1, std::memory_order_relaxed);
  }
  if (echo_) write_whole(stdout, text);
  std::lock_guard<std::mutex> lock(log_mutex_);
  if (log_ == nullptr && !log_path_.empty() && !log_failed_) {
    log_ = std::fopen(log_path_.c_str(), "w");
    if (log_ == nullptr) log_failed_ = true;
  }
  if (log_ != nullptr && std::fwrite(text.data(), 1, text.size(), log_) != text.size()) {
    log_failed_ = true;
  }
}

long CountingDiagnostics::count(MessageKind kind) const {
  const int index = static_cast<int>(kind);
  if (index < 0 || index >= MESSAGE_KIND_COUNT) return 0;
  return counts_[index].load(std::memory_order_relaxed);
}

long CountingDiagnostics::total() const {
  long sum = 0;
  for (const auto& count : counts_) sum += count.load(std::memory_order_relaxed);
  return sum;
}

bool CountingDiagnostics::log_failed() const { return log_failed_; }

void CountingDiagnostics::close_log() {
  std::lock_guard<std::mutex> lock(log_mutex_);
  if (log_ != nullptr && std::fclose(log_) != 0) log_failed_ = true;
  log_ = nullptr;
  log_path_.clear();
}

namespace lsoda {

namespace {

// Width of the D21.13 field and its digits after the point.
constexpr int D_FIELD_WIDTH = 21;
constexpr int D_FIELD_DIGITS = 13;
// Width of the I10 field.
constexpr int I_FIELD_WIDTH = 10;

// Right-justify text in a field of the given width; a text too wide for
// the field becomes a field of asterisks, as in Fortran.
FortranField right_justified(const char* text, int width) {
  FortranField field{};
  const int length = static_cast<int>(std::strlen(text));
  if (length > width) {
    std::memset(field.text, '*', width);
  } else {
    std::memset(field.text, ' ', width - length);
    std::memcpy(field.text + (width - length), text, length);
  }
  field.text[width] = '\0';
  return field;
}

}  // namespace

FortranField fortran_d21_13(double value) {
  if (std::isnan(value)) return right_justified("NaN", D_FIELD_WIDTH);
  if (std::isinf(value)) return right_justified(value < 0 ? "-Infinity" : "Infinity", D_FIELD_WIDTH);
  // printf rounds the exact binary value to 13 significant digits, as
  // gfortran does; d.dddd...e+X becomes 0.ddddd...D+(X+1).
  char printed[48];
  std::snprintf(printed, sizeof printed, "%.*e", D_FIELD_DIGITS - 1, value);
  const bool negative = printed[0] == '-';
  const char* body = negative ? printed + 1 : printed;
  const char* e_at = std::strchr(body, 'e');
  char digits[24];
  int count = 0;
  for (const char* p = body; p < e_at; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  digits[count] = '\0';
  int exponent = std::atoi(e_at + 1);
  // Zero prints as 0.0000000000000D+00.
  if (value != 0.0) exponent += 1;
  const int magnitude = std::abs(exponent);
  const char sign = exponent < 0 ? '-' : '+';
  char text[48];
  // Exponents beyond two digits drop the D, as the standard prescribes.
  if (magnitude <= 99) {
    std::snprintf(text, sizeof text, "%s0.%sD%c%02d", negative ? "-" : "", digits, sign, magnitude);
  } else {
    std::snprintf(text, sizeof text, "%s0.%s%c%03d", negative ? "-" : "", digits, sign, magnitude);
  }
  return right_justified(text, D_FIELD_WIDTH);
}

FortranField fortran_i10(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return right_justified(text, I_FIELD_WIDTH);
}

void Message::append(const char* format, ...) {
  if (length_ >= CAPACITY - 1) return;
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(text_ + length_, CAPACITY - length_, format, arguments);
  va_end(arguments);
  if (written > 0) length_ = std::min(CAPACITY - 1, length_ + static_cast<std::size_t>(written));
}

Message& Message::line(std::string_view message, int ni, int i1, int i2, int nr, double r1,
                       double r2) {
  append(" %.*s\n", static_cast<int>(message.size()), message.data());
  if (ni == 1) append("      In above message,  I1 =%s\n", fortran_i10(i1).text);
  if (ni == 2) {
    append("      In above message,  I1 =%s   I2 =%s\n", fortran_i10(i1).text,
           fortran_i10(i2).text);
  }
  if (nr == 1) append("      In above message,  R1 =%s\n", fortran_d21_13(r1).text);
  if (nr == 2) {
    append("      In above,  R1 =%s   R2 =%s\n", fortran_d21_13(r1).text,
           fortran_d21_13(r2).text);
  }
  return *this;
}

}  // namespace lsoda

}  // namespace tarvo
