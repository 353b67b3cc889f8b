// Starts that join an earlier start's path end early; none of that may cost
// the fit a better optimum or depend on the number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "robust_fit/multi_start.hpp"

namespace tarnok::robust_fit {
namespace {

// chi-square with two basins in a: r0 = a^2 - 1 vanishes at a = +-1, r1 tilts
// them so that a = +1 is the better (chi-square 0 + b's part) and a = -1 the
// worse (about 0.36 more). b is determined by eight residuals with a little
// scatter, so that m > n and the fit has a noise estimate.
class TwoBasins final : public ResidualModel {
 public:
  static constexpr std::size_t b_terms = 8;
  std::size_t residual_count() const override { return 2 + b_terms; }
  std::size_t parameter_count() const override { return 2; }
  bool has_jacobian() const override { return true; }
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    const std::size_t m = residual_count();
    r[0] = p[0] * p[0] - 1.0;
    r[1] = 0.3 * (p[0] - 1.0);
    for (std::size_t k = 0; k < b_terms; ++k) r[2 + k] = p[1] - 0.5 + 0.01 * std::sin(1.7 * static_cast<double>(k));
    if (jacobian.empty()) return true;
    std::fill(jacobian.begin(), jacobian.end(), 0.0);
    jacobian[0] = 2.0 * p[0];
    jacobian[1] = 0.3;
    for (std::size_t k = 0; k < b_terms; ++k) jacobian[m + 2 + k] = 1.0;
    return true;
  }
};

ParameterSpace linear_space() { return ParameterSpace({{.log_scale = false}, {.log_scale = false}}); }

// Earlier starts in the worse basin, later ones in the better; starts 5 and 6
// follow starts 3 and 0 a hair behind (further from their minima), so they
// must end as their duplicates. Start 8, far out in the better basin, has a
// higher chi-square than the worse basin's starts for a while.
const std::vector<std::vector<double>> two_basin_starts{
    {-2.0, 0.0}, {-1.7, 1.0}, {-2.2, 0.3}, {1.8, 0.0}, {2.1, 1.0}, {1.8 + 1e-7, 0.0}, {-2.0 - 1e-7, 0.0}, {1.6, -0.5},
    {6.0, 0.0}};

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

MultiStartResult fit_two_basins(std::size_t threads, DuplicateTest test) {
  const TwoBasins model;
  const ParameterSpace space = linear_space();
  MultiStartOptions options;
  options.threads = threads;
  options.duplicates = test;
  return fit_multi_start(model, space, two_basin_starts, options);
}

// Loosening either half of the test alone must not merge the basins: the other
// half still tells them apart.
struct Loosened {
  const char* name;
  DuplicateTest test;
};

class DuplicateStarts : public ::testing::TestWithParam<Loosened> {};

TEST_P(DuplicateStarts, KeepEveryDistinctOptimumAndEndOnlyRepeats) {
  const MultiStartResult all = fit_two_basins(1, DuplicateTest{.enabled = false});
  ASSERT_TRUE(all.best_start.has_value());
  const StartResult& best = all.starts[*all.best_start];
  ASSERT_GT(best.values[0], 0.0);  // the better basin
  for (const StartResult& s : all.starts) EXPECT_NE(s.status, FitStatus::duplicate);

  const MultiStartResult pruned = fit_two_basins(1, GetParam().test);
  ASSERT_EQ(pruned.best_start, all.best_start);
  EXPECT_EQ(pruned.starts[5].duplicate_of, std::optional<std::size_t>(3));
  EXPECT_EQ(pruned.starts[6].duplicate_of, std::optional<std::size_t>(0));
  std::size_t fewer_evaluations = 0;
  for (std::size_t i = 0; i < two_basin_starts.size(); ++i) {
    const StartResult& kept = pruned.starts[i];
    SCOPED_TRACE(::testing::Message() << "start " << i);
    if (kept.duplicate_of) {
      EXPECT_EQ(kept.status, FitStatus::duplicate);
      ASSERT_LT(*kept.duplicate_of, i);
      // Stopped in the basin of the start it joined, and no lower than that
      // start ends: nothing better was given up.
      const StartResult& joined = pruned.starts[*kept.duplicate_of];
      EXPECT_EQ(kept.values[0] > 0.0, joined.values[0] > 0.0);
      EXPECT_GE(kept.chi_square, joined.chi_square);
      EXPECT_NE(kept.message.find("start " + std::to_string(*kept.duplicate_of)), std::string::npos);
      fewer_evaluations += all.starts[i].function_evaluations - kept.function_evaluations;
      continue;
    }
    // A start that is not a duplicate takes the same steps as without the test.
    const StartResult& whole = all.starts[i];
    EXPECT_TRUE(same_bits(kept.values, whole.values) && same_bits(kept.residuals, whole.residuals) &&
                same_bits(kept.jacobian, whole.jacobian));
    EXPECT_EQ(kept.status, whole.status);
    EXPECT_EQ(kept.function_evaluations, whole.function_evaluations);
  }
  EXPECT_GT(fewer_evaluations, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EitherHalfAlone, DuplicateStarts,
    ::testing::Values(Loosened{"default", DuplicateTest{}},
                      Loosened{"any_chi_square", DuplicateTest{.chi_square = 1e6}},
                      Loosened{"any_distance", DuplicateTest{.distance = 1e6}}),
    [](const ::testing::TestParamInfo<Loosened>& info) { return std::string(info.param.name); });

TEST(DuplicateStarts, SameDecisionsAndBitsForAnyThreadCount) {
  const MultiStartResult one = fit_two_basins(1, DuplicateTest{});
  for (const std::size_t threads : {2u, 3u, 8u}) {
    const MultiStartResult many = fit_two_basins(threads, DuplicateTest{});
    EXPECT_EQ(many.best_start, one.best_start);
    for (std::size_t i = 0; i < two_basin_starts.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << threads << " threads, start " << i);
      const StartResult& a = one.starts[i];
      const StartResult& b = many.starts[i];
      EXPECT_EQ(a.duplicate_of, b.duplicate_of);
      EXPECT_EQ(a.status, b.status);
      EXPECT_EQ(a.message, b.message);
      EXPECT_TRUE(same_bits(a.values, b.values) && same_bits(a.jacobian, b.jacobian));
      EXPECT_EQ(a.iterations, b.iterations);
    }
  }
}

}  // namespace
}  // namespace tarnok::robust_fit
