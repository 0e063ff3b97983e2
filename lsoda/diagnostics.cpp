// DLSODA's diagnostics in the layout of XERRWD's Fortran formats.
#include "diagnostics.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void print_message(std::string_view message, int ni, int i1, int i2, int nr, double r1,
                   double r2) {
  std::printf(" %.*s\n", static_cast<int>(message.size()), message.data());
  if (ni == 1) std::printf("      In above message,  I1 =%s\n", fortran_i10(i1).text);
  if (ni == 2) {
    std::printf("      In above message,  I1 =%s   I2 =%s\n", fortran_i10(i1).text,
                fortran_i10(i2).text);
  }
  if (nr == 1) std::printf("      In above message,  R1 =%s\n", fortran_d21_13(r1).text);
  if (nr == 2) {
    std::printf("      In above,  R1 =%s   R2 =%s\n", fortran_d21_13(r1).text,
                fortran_d21_13(r2).text);
  }
  // The caller carries on at once; flush so the lines reach fd 1 in order.
  std::fflush(stdout);
}

}  // namespace lsoda
