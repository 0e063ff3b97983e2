// DLSODA's message printer XERRWD, collecting: a message is one or more
// XERRWD calls (its first line and continuation lines, each followed by the
// value lines it asks for), assembled here in the layout of the Fortran
// formats and handed to the solver's sink in one piece.
#pragma once

#include <cstddef>
#include <string_view>

#include "tarvo/diagnostics.hpp"
#include "tarvo/lsoda.hpp"

namespace tarvo::lsoda {

// Fortran's I10 edit descriptor: the integer right-justified in 10 columns.
FortranField fortran_i10(int value);

// One message being assembled; no heap involved.
class Message {
 public:
  explicit Message(MessageKind kind) : kind_(kind) {}

  // One XERRWD call: the line " MSG" (FORMAT(1X,A)), then the first ni of
  // (i1, i2) and the first nr of (r1, r2) on their value lines.
  Message& line(std::string_view message, int ni, int i1, int i2, int nr, double r1, double r2);
  // A line without values.
  Message& line(std::string_view message) { return line(message, 0, 0, 0, 0, 0.0, 0.0); }

  // Hand the whole message to `sink`.
  void send(DiagnosticsSink& sink) const { sink.write(kind_, std::string_view(text_, length_)); }

 private:
  // Append formatted text, silently cut at the capacity (never reached:
  // DLSODA's longest message is under 300 characters).
  void append(const char* format, ...) __attribute__((format(printf, 2, 3)));

  static constexpr std::size_t CAPACITY = 1024;
  MessageKind kind_;
  char text_[CAPACITY] = {};
  std::size_t length_ = 0;
};

}  // namespace tarvo::lsoda
