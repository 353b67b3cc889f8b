#include "model/linspace.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>

namespace tarnok::model {
namespace {

constexpr double untouched = -7.0;

TEST(Linspace, FivePointsFromZeroToOne) {
  std::array<double, 6> out;
  out.fill(untouched);
  linspace(out.data(), 0.0, 1.0, 5);
  EXPECT_EQ(out, (std::array<double, 6>{0.0, 0.25, 0.5, 0.75, 1.0, untouched}));
}

TEST(Linspace, TwoPointsAreTheEndsAsComputed) {
  std::array<double, 2> out{};
  linspace(out.data(), 0.1, 0.7, 2);
  EXPECT_EQ(out[0], 0.1);
  EXPECT_EQ(out[1], 0.1 + (0.7 - 0.1));  // computed, not copied from b
}

TEST(Linspace, OnePointIsTheStart) {
  std::array<double, 2> out{untouched, untouched};
  linspace(out.data(), -2.5, 3.0, 1);
  EXPECT_EQ(out[0], -2.5);
  EXPECT_EQ(out[1], untouched);
}

TEST(Linspace, ZeroOrNegativeCountWritesNothing) {
  for (const std::int32_t n : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
    std::array<double, 3> out{untouched, untouched, untouched};
    linspace(out.data(), 0.0, 1.0, n);
    EXPECT_EQ(out, (std::array<double, 3>{untouched, untouched, untouched})) << n;
  }
}

TEST(Linspace, TimeGridIsSymmetricAboutZero) {
  std::array<double, 5> out{};
  linspace(out.data(), -1.0, 1.0, 5);  // tau = 2
  EXPECT_EQ(out, (std::array<double, 5>{-1.0, -0.5, 0.0, 0.5, 1.0}));
}

TEST(Linspace, UsesTheReciprocalOfTheIntervalCount) {
  // With n - 1 = 3 the reciprocal 1/3 is inexact: each value must equal
  // a + k*((b - a)*(1/3)), which differs from a + k*(b - a)/3 for this b.
  constexpr double a = 0.0;
  constexpr double b = 1e-3;
  std::array<double, 4> out{};
  linspace(out.data(), a, b, 4);
  const double step = (b - a) * (1.0 / 3.0);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(out[k], a + k * step) << k;
}

}  // namespace
}  // namespace tarnok::model
