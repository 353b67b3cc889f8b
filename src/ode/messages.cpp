// The integrator's diagnostic writer: fixed-format text lines with up to two
// integer and two real values on C stdout, flushed after every message so the
// lines keep their place among the host program's own output.
#include "ode/messages.hpp"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnok::ode {
namespace {

constexpr int kRealWidth = 21;
constexpr int kIntegerWidth = 10;

// Right-justifies text in a field of `width` characters followed by a NUL;
// text that does not fit fills the field with asterisks, as a fixed-width
// field does.
void right_justify(std::string_view text, char* out, int width) noexcept {
  const auto field = static_cast<std::size_t>(width);
  if (text.size() > field) {
    std::memset(out, '*', field);
  } else {
    const std::size_t padding = field - text.size();
    std::memset(out, ' ', padding);
    std::memcpy(out + padding, text.data(), text.size());
  }
  out[field] = '\0';
}

// A decimal integer right-justified in 10 characters (INT_MIN alone needs
// more and comes out as asterisks).
void format_integer(int value, char (&out)[kIntegerWidth + 1]) noexcept {
  char digits[16];
  const int length = std::snprintf(digits, sizeof digits, "%d", value);
  right_justify(std::string_view(digits, static_cast<std::size_t>(length)), out, kIntegerWidth);
}

void write_text_line(std::string_view text, int buffer_length) noexcept {
  std::fputc(' ', stdout);
  const std::size_t width = buffer_length > 0 ? static_cast<std::size_t>(buffer_length) : 0;
  const std::size_t shown = text.size() < width ? text.size() : width;
  std::fwrite(text.data(), 1, shown, stdout);
  for (std::size_t i = shown; i < width; ++i) std::fputc(' ', stdout);
  std::fputc('\n', stdout);
}

void write_integer_line(int ni, int i1, int i2) noexcept {
  char first[kIntegerWidth + 1];
  format_integer(i1, first);
  if (ni == 1) {
    std::printf("      In above message,  I1 =%s\n", first);
  } else if (ni == 2) {
    char second[kIntegerWidth + 1];
    format_integer(i2, second);
    std::printf("      In above message,  I1 =%s   I2 =%s\n", first, second);
  }
}

void write_real_line(int nr, double r1, double r2) noexcept {
  char first[22];
  format_d_real(r1, first);
  if (nr == 1) {
    std::printf("      In above message,  R1 =%s\n", first);
  } else if (nr == 2) {
    char second[22];
    format_d_real(r2, second);
    std::printf("      In above,  R1 =%s   R2 =%s\n", first, second);
  }
}

}  // namespace

void format_d_real(double value, char (&out)[22]) noexcept {
  if (std::isnan(value)) {
    right_justify("NaN", out, kRealWidth);
    return;
  }
  if (std::isinf(value)) {
    right_justify(value < 0 ? "-Infinity" : "Infinity", out, kRealWidth);
    return;
  }
  // "%.12e" rounds correctly to 13 significant digits, d.dddddddddddde+XX;
  // moving the point one place left gives the 0.ddddddddddddd mantissa and
  // raises the exponent by one. Zero keeps exponent 0, printing D+00.
  char scientific[32];
  std::snprintf(scientific, sizeof scientific, "%.12e", std::abs(value));
  char digits[14];
  digits[0] = scientific[0];
  std::memcpy(digits + 1, scientific + 2, 12);
  digits[13] = '\0';
  int exponent = std::atoi(scientific + 15);
  if (value != 0.0) ++exponent;
  const char* sign = std::signbit(value) ? "-" : "";
  const char exponent_sign = exponent < 0 ? '-' : '+';
  const int magnitude = std::abs(exponent);
  // A three-digit exponent takes the place of the exponent letter.
  const char* exponent_form = magnitude <= 99 ? "%s0.%sD%c%02d" : "%s0.%s%c%03d";
  char body[32];
  const int length =
      std::snprintf(body, sizeof body, exponent_form, sign, digits, exponent_sign, magnitude);
  right_justify(std::string_view(body, static_cast<std::size_t>(length)), out, kRealWidth);
}

void write_message(std::string_view text, int buffer_length, int /*nmes*/, int /*nerr*/,
                   int level, int ni, int i1, int i2, int nr, double r1, double r2) noexcept {
  write_text_line(text, buffer_length);
  write_integer_line(ni, i1, i2);
  write_real_line(nr, r1, r2);
  std::fflush(stdout);
  // The one fatal message: the run cannot continue, and nothing more is said.
  if (level == 2) std::exit(0);
}

}  // namespace tarnok::ode
