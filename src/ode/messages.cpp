// The integrator's diagnostic writer: fixed-format text lines with up to two
// integer and two real values on C stdout, flushed after every message so the
// lines keep their place among the host program's own output. A thread may
// collect its lines in a MessageLog instead, so that a library caller's
// terminal stays clean.
#include "ode/messages.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

constinit thread_local MessageLog* thread_destination = nullptr;

// Hands one finished line to this thread's destination: the collecting log
// when one is installed, standard output otherwise.
void emit_line(std::string_view line) noexcept {
  if (thread_destination != nullptr) {
    thread_destination->record(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

// Longest line the writer forms: a blank and an 80-character buffer, or the
// two-value real line (about 70 characters).
constexpr std::size_t kLineCapacity = 128;

void write_text_line(std::string_view text, int buffer_length) noexcept {
  char line[kLineCapacity];
  std::size_t width = buffer_length > 0 ? static_cast<std::size_t>(buffer_length) : 0;
  width = std::min(width, kLineCapacity - 1);
  const std::size_t shown = std::min(text.size(), width);
  line[0] = ' ';
  std::memcpy(line + 1, text.data(), shown);
  std::memset(line + 1 + shown, ' ', width - shown);
  emit_line(std::string_view(line, width + 1));
}

void write_integer_line(int ni, int i1, int i2) noexcept {
  if (ni != 1 && ni != 2) return;
  char first[kIntegerWidth + 1];
  format_integer(i1, first);
  char line[kLineCapacity];
  int length = 0;
  if (ni == 1) {
    length = std::snprintf(line, sizeof line, "      In above message,  I1 =%s", first);
  } else {
    char second[kIntegerWidth + 1];
    format_integer(i2, second);
    length = std::snprintf(line, sizeof line, "      In above message,  I1 =%s   I2 =%s",
                           first, second);
  }
  emit_line(std::string_view(line, static_cast<std::size_t>(length)));
}

void write_real_line(int nr, double r1, double r2) noexcept {
  if (nr != 1 && nr != 2) return;
  char first[22];
  format_d_real(r1, first);
  char line[kLineCapacity];
  int length = 0;
  if (nr == 1) {
    length = std::snprintf(line, sizeof line, "      In above message,  R1 =%s", first);
  } else {
    char second[22];
    format_d_real(r2, second);
    length = std::snprintf(line, sizeof line, "      In above,  R1 =%s   R2 =%s", first, second);
  }
  emit_line(std::string_view(line, static_cast<std::size_t>(length)));
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
  if (thread_destination == nullptr) std::fflush(stdout);
  // The one fatal message: the run cannot continue, and nothing more is said.
  if (level == 2) std::exit(0);
}

MessageLog::MessageLog(std::size_t kept_lines) : kept_lines_(kept_lines) {}

void MessageLog::record(std::string_view line) noexcept {
  ++line_count_;
  // Every line opens with one blank; a message's first line then names its
  // routine, while the lines that continue it or carry its values are indented.
  if (line.size() > 1 && line[1] != ' ') ++message_count_;
  if (lines_.size() >= kept_lines_) return;
  try {
    lines_.emplace_back(line);
  } catch (const std::bad_alloc&) {
    // Keeping the text is a courtesy; the counts stay exact without it.
  }
}

ScopedMessageRedirect::ScopedMessageRedirect(MessageLog& log) noexcept
    : previous_(thread_destination) {
  thread_destination = &log;
}

ScopedMessageRedirect::~ScopedMessageRedirect() { thread_destination = previous_; }

}  // namespace tarnok::ode
