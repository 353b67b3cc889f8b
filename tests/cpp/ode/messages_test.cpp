// The diagnostic writer's exact output: the padded text line, the integer and
// real value lines, the 21-character D-exponent reals, and the fatal stop.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

#include "ode/messages.hpp"

namespace tarnok::ode {
namespace {

std::string d_real(double value) {
  char out[22];
  format_d_real(value, out);
  return out;
}

// The first line of a message: one blank, then the text padded to the buffer.
std::string text_line(const std::string& text, std::size_t width) {
  std::string line(1, ' ');
  line.append(text);
  line.append(width - text.size(), ' ');
  line.push_back('\n');
  return line;
}

TEST(DRealFormat, PrintsThirteenDigitsWithAZeroPointMantissa) {
  EXPECT_EQ(d_real(1.0), "  0.1000000000000D+01");
  EXPECT_EQ(d_real(-2.5e-7), " -0.2500000000000D-06");
  EXPECT_EQ(d_real(123456.78901234567), "  0.1234567890123D+06");
  EXPECT_EQ(d_real(2.0 / 3.0), "  0.6666666666667D+00");
  EXPECT_EQ(d_real(0.05), "  0.5000000000000D-01");
}

TEST(DRealFormat, RoundingCarriesIntoTheExponent) {
  EXPECT_EQ(d_real(9.99999999999996), "  0.1000000000000D+02");
  EXPECT_EQ(d_real(-0.0999999999999996), " -0.1000000000000D+00");
}

TEST(DRealFormat, ZeroKeepsExponentZeroAndItsSign) {
  EXPECT_EQ(d_real(0.0), "  0.0000000000000D+00");
  EXPECT_EQ(d_real(-0.0), " -0.0000000000000D+00");
}

TEST(DRealFormat, ThreeDigitExponentsReplaceTheLetter) {
  EXPECT_EQ(d_real(1e100), "  0.1000000000000+101");
  EXPECT_EQ(d_real(1e99), "  0.1000000000000+100");
  EXPECT_EQ(d_real(-1e99), " -0.1000000000000+100");
  EXPECT_EQ(d_real(9.9e98), "  0.9900000000000D+99");
  EXPECT_EQ(d_real(-1e-100), " -0.1000000000000D-99");
  EXPECT_EQ(d_real(-1e-101), " -0.1000000000000-100");
  EXPECT_EQ(d_real(std::numeric_limits<double>::max()), "  0.1797693134862+309");
  EXPECT_EQ(d_real(std::numeric_limits<double>::denorm_min()), "  0.4940656458412-323");
}

TEST(DRealFormat, NonFiniteValuesAreNamedRightJustified) {
  EXPECT_EQ(d_real(std::numeric_limits<double>::infinity()), "             Infinity");
  EXPECT_EQ(d_real(-std::numeric_limits<double>::infinity()), "            -Infinity");
  EXPECT_EQ(d_real(std::numeric_limits<double>::quiet_NaN()), "                  NaN");
}

std::string capture_message(std::string_view text, int buffer_length, int ni, int i1, int i2,
                            int nr, double r1, double r2) {
  testing::internal::CaptureStdout();
  write_message(text, buffer_length, 60, 0, 0, ni, i1, i2, nr, r1, r2);
  return testing::internal::GetCapturedStdout();
}

TEST(MessageWriter, TwoIntegersAndTwoRealsGiveThreeLines) {
  const std::string text = "DLSODA-  ISTATE = 3 and NEQ increased (I1 to I2).";
  EXPECT_EQ(capture_message(text, 60, 2, 5, -7, 2, 1.0, -2.5e-7),
            text_line(text, 60) +
                "      In above message,  I1 =         5   I2 =        -7\n"
                "      In above,  R1 =  0.1000000000000D+01   R2 = -0.2500000000000D-06\n");
}

TEST(MessageWriter, OneValueOfEachKindUsesTheLongCaption) {
  const std::string text = "DLSODA-  RTOL(I1) is R1 .lt. 0.0";
  EXPECT_EQ(capture_message(text, 60, 1, 42, 99, 1, 1e99, 0.0),
            text_line(text, 60) +
                "      In above message,  I1 =        42\n"
                "      In above message,  R1 =  0.1000000000000+100\n");
}

TEST(MessageWriter, TextOnlyLinesAreTheWholePaddedBuffer) {
  const std::string text = "DINTDY-  K (=I1) illegal";
  EXPECT_EQ(capture_message(text, 80, 0, 1, 2, 0, 1.0, 2.0), text_line(text, 80));
  EXPECT_EQ(capture_message("", 60, 0, 0, 0, 0, 0.0, 0.0), text_line("", 60));
}

// A thread that collects its diagnostics gets the very lines standard output
// would have shown, counted by message; other threads still print.
TEST(MessageWriter, ARedirectedThreadCollectsExactlyWhatWouldHaveBeenPrinted) {
  const std::string text = "DLSODA-  ISTATE = 3 and NEQ increased (I1 to I2).";
  const std::string printed = capture_message(text, 60, 2, 5, -7, 2, 1.0, -2.5e-7);
  MessageLog log(2);
  std::string other_thread;
  testing::internal::CaptureStdout();
  {
    const ScopedMessageRedirect redirect(log);
    write_message(text, 60, 60, 0, 0, 2, 5, -7, 2, 1.0, -2.5e-7);
    write_message("      T not in interval", 60, 60, 0, 0, 0, 0, 0, 0, 0.0, 0.0);
    std::thread([] { write_message("DINTDY-  K (=I1) illegal", 80, 30, 51, 0, 0, 0, 0, 0, 0.0, 0.0); })
        .join();
  }
  other_thread = testing::internal::GetCapturedStdout();
  EXPECT_EQ(other_thread, text_line("DINTDY-  K (=I1) illegal", 80));
  EXPECT_EQ(log.message_count(), 1u);  // the second text continues the first
  EXPECT_EQ(log.line_count(), 4u);
  ASSERT_EQ(log.lines().size(), 2u);   // only the first two are kept
  EXPECT_EQ(log.lines()[0] + "\n" + log.lines()[1] + "\n", printed.substr(0, printed.rfind("      In above,")));
  EXPECT_EQ(capture_message(text, 60, 0, 0, 0, 0, 0.0, 0.0), text_line(text, 60));  // restored
}

TEST(MessageWriter, TextLongerThanTheBufferIsCut) {
  const std::string text(70, 'x');
  EXPECT_EQ(capture_message(text, 60, 0, 0, 0, 0, 0.0, 0.0), text_line(text.substr(0, 60), 60));
}

TEST(MessageWriter, IntegersThatDoNotFitTenCharactersBecomeAsterisks) {
  EXPECT_EQ(capture_message("", 0, 2, INT_MIN, INT_MAX, 0, 0.0, 0.0),
            " \n      In above message,  I1 =**********   I2 =2147483647\n");
}

TEST(MessageWriter, WarningsReturnToTheCaller) {
  testing::internal::CaptureStdout();
  write_message("w", 1, 30, 101, 0, 0, 0, 0, 0, 0.0, 0.0);
  write_message("x", 1, 30, 101, 1, 0, 0, 0, 0, 0.0, 0.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " w\n x\n");
}

TEST(MessageWriterDeathTest, FatalLevelPrintsThenEndsTheProcessQuietly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = testing::TempDir() + "tarnok_fatal_message.txt";
  std::remove(path.c_str());
  const std::string text = "DLSODA-  Run aborted.. apparent infinite loop.";
  EXPECT_EXIT(
      {
        // Route the child's stdout to a file so the parent can read what was
        // printed before the stop.
        if (std::freopen(path.c_str(), "w", stdout) == nullptr) std::abort();
        write_message(text, 60, 50, 303, 2, 0, 0, 0, 0, 0.0, 0.0);
      },
      testing::ExitedWithCode(0), "^$");
  std::ifstream printed(path);
  std::stringstream content;
  content << printed.rdbuf();
  EXPECT_EQ(content.str(), text_line(text, 60));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarnok::ode
