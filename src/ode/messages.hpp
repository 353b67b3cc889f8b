#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Collects the diagnostics of the threads that send their lines here instead
// of to standard output: every line is counted, the first kept_lines are kept.
class MessageLog {
 public:
  explicit MessageLog(std::size_t kept_lines = 100);

  void record(std::string_view line) noexcept;

  std::uint64_t message_count() const noexcept { return message_count_; }
  std::uint64_t line_count() const noexcept { return line_count_; }
  const std::vector<std::string>& lines() const noexcept { return lines_; }

 private:
  std::size_t kept_lines_;
  std::uint64_t message_count_ = 0;  // messages: a text line and its continuations
  std::uint64_t line_count_ = 0;     // every line, values included
  std::vector<std::string> lines_;   // the first kept_lines_ lines
};

// Sends the calling thread's diagnostics to `log` for its lifetime, then
// restores the destination it found (standard output unless nested).
class ScopedMessageRedirect {
 public:
  explicit ScopedMessageRedirect(MessageLog& log) noexcept;
  ~ScopedMessageRedirect();
  ScopedMessageRedirect(const ScopedMessageRedirect&) = delete;
  ScopedMessageRedirect& operator=(const ScopedMessageRedirect&) = delete;

 private:
  MessageLog* previous_;
};

}  // namespace tarnok::ode
