// DLSODA's message printer XERRWD: every diagnostic goes to C stdout in the
// layout of the Fortran formats, one message line and its values.
#pragma once

#include <string_view>

namespace lsoda {

// A formatted numeric field with its terminating NUL (no heap involved).
struct FortranField {
  char text[32];
};

// Fortran's D21.13 edit descriptor as gfortran writes it, e.g. 1.0 ->
// "  0.1000000000000D+01" and 1e100 -> "  0.1000000000000+101".
FortranField fortran_d21_13(double value);

// Fortran's I10 edit descriptor: the integer right-justified in 10 columns.
FortranField fortran_i10(int value);

// Print one message line " MSG" (FORMAT(1X,A)), then, as XERRWD does, the
// first ni of (i1, i2) and the first nr of (r1, r2) on their value lines.
void print_message(std::string_view message, int ni, int i1, int i2, int nr, double r1,
                   double r2);

}  // namespace lsoda
