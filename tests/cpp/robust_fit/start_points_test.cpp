#include "robust_fit/start_points.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace tarnok::robust_fit {
namespace {

// A bounded log parameter, an unbounded log parameter, a log parameter bounded above
// only, a bounded linear one and an unbounded linear one.
ParameterSpace mixed_space() {
  return ParameterSpace({{.log_scale = true, .lower = 1e-3, .upper = 1e3},
                         {.log_scale = true},
                         {.log_scale = true, .upper = 2.0},
                         {.log_scale = false, .lower = -5.0, .upper = 5.0},
                         {.log_scale = false}});
}

const std::vector<double> user{1.0, 4.0, 1.0, 0.5, -7.0};

TEST(StartPoints, SpreadEachParameterOverItsRegion) {
  const auto starts = make_start_points(mixed_space(), user, 64, 0);
  ASSERT_EQ(starts.size(), 64u);
  EXPECT_EQ(starts[0], user);
  double widest_decades = 0.0;
  for (std::size_t k = 1; k < starts.size(); ++k) {
    const auto& s = starts[k];
    EXPECT_TRUE(s[0] >= 1e-3 && s[0] <= 1e3) << k;
    EXPECT_TRUE(s[1] >= 0.4 && s[1] <= 40.0) << k;
    EXPECT_TRUE(s[2] >= 0.1 && s[2] <= 2.0) << k;
    EXPECT_TRUE(s[3] >= -5.0 && s[3] <= 5.0) << k;
    EXPECT_EQ(s[4], -7.0);
    widest_decades = std::max(widest_decades, std::abs(std::log10(s[0])));
  }
  // Log-uniform over six decades reaches near both ends, not just around 1.
  EXPECT_GT(widest_decades, 2.5);
  // Distinct coordinates per parameter: each has its own base.
  EXPECT_NE(std::log(starts[1][0] / 1e-3) / std::log(1e6), (starts[1][3] + 5.0) / 10.0);
}

TEST(StartPoints, SeedChangesTheSetDeterministically) {
  const auto plain = make_start_points(mixed_space(), user, 8, 0);
  const auto seeded = make_start_points(mixed_space(), user, 8, 42);
  EXPECT_EQ(seeded, make_start_points(mixed_space(), user, 8, 42));
  EXPECT_NE(seeded, plain);
  EXPECT_NE(seeded, make_start_points(mixed_space(), user, 8, 43));
  EXPECT_EQ(seeded[0], user);
  // More starts extend the sequence rather than redrawing it.
  const auto more = make_start_points(mixed_space(), user, 12, 42);
  EXPECT_TRUE(std::equal(seeded.begin(), seeded.end(), more.begin()));
}

TEST(StartPoints, RejectInvalidUserValues) {
  EXPECT_THROW(make_start_points(mixed_space(), std::vector{1.0, -4.0, 1.0, 0.5, 0.0}, 4, 0), std::invalid_argument);
  EXPECT_THROW(make_start_points(mixed_space(), std::vector{1.0, 4.0}, 4, 0), std::invalid_argument);
  EXPECT_TRUE(make_start_points(mixed_space(), user, 0, 0).empty());
}

}  // namespace
}  // namespace tarnok::robust_fit
