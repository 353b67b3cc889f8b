#pragma once

#include <string_view>

namespace tarnok::ode {

// Prints an integrator diagnostic on C stdout and flushes: the text padded with
// blanks to buffer_length characters (60 for the driver, 80 for the
// interpolator), then, as ni and nr ask, a line with I1 (and I2) and a line
// with R1 (and R2). level 2 ends the process quietly after printing.
void write_message(std::string_view text, int buffer_length, int nmes, int nerr, int level,
                   int ni, int i1, int i2, int nr, double r1, double r2) noexcept;

// The 21-character D-exponent form of a real: 13 significant digits with a
// "0." mantissa, then D and a signed two-digit exponent (a three-digit
// exponent replaces the D). Writes 21 characters and a terminating NUL.
void format_d_real(double value, char (&out)[22]) noexcept;

}  // namespace tarnok::ode
