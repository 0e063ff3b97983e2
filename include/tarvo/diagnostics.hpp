// Where the ODE solver's diagnostic messages go. Every solver writes to one
// sink, given when the solver is made; the default sink prints each message
// to stdout in one piece, so messages of solvers on different threads never
// interleave line by line. A caller that wants to count, log or suppress the
// messages passes its own sink.
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "tarvo/export.hpp"

namespace tarvo {

// What a message reports. DLSODA writes each message as one or more lines
// with the values they refer to; the kind is fixed by the message's first line.
enum class MessageKind : int {
  // "At current T (=R1), MXSTEP (=I1) steps taken on this call before reaching TOUT".
  too_many_steps,
  // "too much accuracy requested for precision of machine" (at start or at T).
  too_much_accuracy,
  // "the error test failed repeatedly or with abs(H) = HMIN".
  error_test_failures,
  // "the corrector convergence failed repeatedly or with abs(H) = HMIN".
  convergence_failures,
  // "At T (=R1), EWT(I1) has become R2 .le. 0.".
  zero_error_weight,
  // "Internal T (=R1) and H (=R2) are such that in the machine, T + H = T".
  step_size_warning,
  // "Above warning has been issued I1 times. It will not be issued again".
  warning_limit,
  // An argument the solver refuses (NEQ, RTOL, ATOL, TOUT, initial EWT, RWORK).
  illegal_input,
  // DINTDY refused an order or a time outside the last step.
  interpolation_error,
  // A note on a switch between the Adams and BDF methods.
  method_switch,
};

// Number of message kinds.
inline constexpr int MESSAGE_KIND_COUNT = static_cast<int>(MessageKind::method_switch) + 1;

// Lower-case name of a kind, e.g. "too_many_steps".
TARVO_API const char* message_kind_name(MessageKind kind);

// Receives complete messages. write() may be called from several threads at
// once and must not throw: it runs inside the solver.
class TARVO_API DiagnosticsSink {
 public:
  virtual ~DiagnosticsSink();
  // One complete message: every line of it, each ending in '\n'.
  virtual void write(MessageKind kind, std::string_view text) noexcept = 0;
};

// The process's stdout sink: one write and flush per message under stdout's
// lock, byte for byte what DLSODA prints.
TARVO_API DiagnosticsSink& stdout_diagnostics();

// Counts the messages by kind and, optionally, keeps their text in a log
// file (opened on the first message, so a fit without messages leaves none)
// and/or passes them on to stdout.
class TARVO_API CountingDiagnostics final : public DiagnosticsSink {
 public:
  // log_path: file to write the messages to (nullptr: none); echo: also print them.
  CountingDiagnostics(const char* log_path, bool echo);
  ~CountingDiagnostics() override;
  CountingDiagnostics(const CountingDiagnostics&) = delete;
  CountingDiagnostics& operator=(const CountingDiagnostics&) = delete;

  void write(MessageKind kind, std::string_view text) noexcept override;

  // Messages of one kind, and of all kinds, received so far.
  long count(MessageKind kind) const;
  long total() const;
  // True when the log file could not be opened or written.
  bool log_failed() const;
  // Close the log file (later messages are only counted).
  void close_log();

 private:
  std::array<std::atomic<long>, MESSAGE_KIND_COUNT> counts_{};
  bool echo_;
  std::mutex log_mutex_;
  // The file to open on the first message (empty when there is none).
  std::string log_path_;
  std::FILE* log_ = nullptr;
  bool log_failed_ = false;
};

}  // namespace tarvo
