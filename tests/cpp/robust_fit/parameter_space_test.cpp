#include "robust_fit/parameter_space.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "robust_fit/forward_difference.hpp"

namespace tarnok::robust_fit {
namespace {

TEST(ParameterSpace, RejectsBoundsThatHaveNoInternalCoordinate) {
  EXPECT_THROW(ParameterSpace({{.log_scale = true, .lower = 0.0}}), std::invalid_argument);
  EXPECT_THROW(ParameterSpace({{.log_scale = true, .upper = -1.0}}), std::invalid_argument);
  EXPECT_THROW(ParameterSpace({{.log_scale = false, .lower = 2.0, .upper = 1.0}}), std::invalid_argument);
  EXPECT_THROW(ParameterSpace({{.log_scale = false, .lower = NAN}}), std::invalid_argument);
  EXPECT_NO_THROW(ParameterSpace({{.log_scale = false, .lower = -1.0, .upper = 1.0}, {.log_scale = true}}));
}

TEST(ParameterSpace, MapsLogParametersAndTheirSlopes) {
  const ParameterSpace space({{.log_scale = true, .lower = 1e-3, .upper = 10.0}, {.log_scale = false}});
  const std::vector<double> p{0.5, -2.0};
  std::vector<double> u(2), back(2);
  space.to_internal(p, u);
  EXPECT_DOUBLE_EQ(u[0], std::log(0.5));
  EXPECT_EQ(u[1], -2.0);
  // exp(ln 10) may round above 10; the natural value must still respect the bound.
  u[0] = std::log(10.0) + 1e-15;
  space.to_natural(u, back);
  EXPECT_LE(back[0], 10.0);

  const std::vector<double> jacobian{1.0, 2.0, 3.0, 4.0};  // 2 residuals x 2 parameters
  std::vector<double> internal(4);
  space.jacobian_to_internal(p, jacobian, internal);
  EXPECT_EQ(internal, (std::vector{0.5, 1.0, 3.0, 4.0}));
}

TEST(ParameterSpace, ScalesLinearParametersSoTinyOnesMoveLikeOthers) {
  // A Kerr index near 1e-19 m^2/W: u = p / 1e-19 is of order 1, its bounds and
  // slopes follow, and a natural value comes back from u unchanged.
  const ParameterSpace space({{.log_scale = false, .lower = -1e-17, .upper = 1e-17, .scale = 1e-19}});
  const std::vector<double> p{3e-19};
  std::vector<double> u(1), back(1);
  space.to_internal(p, u);
  EXPECT_DOUBLE_EQ(u[0], 3.0);
  EXPECT_DOUBLE_EQ(space.internal_lower(0), -100.0);
  EXPECT_DOUBLE_EQ(space.internal_upper(0), 100.0);
  space.to_natural(u, back);
  EXPECT_DOUBLE_EQ(back[0], 3e-19);
  std::vector<double> internal(2);
  space.jacobian_to_internal(p, std::vector{2e19, -1e19}, internal);
  EXPECT_DOUBLE_EQ(internal[0], 2.0);
  EXPECT_DOUBLE_EQ(internal[1], -1.0);
  EXPECT_DOUBLE_EQ(forward_difference_step({.log_scale = false, .scale = 1e-19}, 0.0), 1e-22);
  EXPECT_THROW(ParameterSpace({{.log_scale = false, .scale = 0.0}}), std::invalid_argument);
  EXPECT_THROW(ParameterSpace({{.log_scale = false, .scale = INFINITY}}), std::invalid_argument);
}

TEST(ForwardDifference, StepFollowsTheScaleAndStaysInsideTheUpperBound) {
  EXPECT_DOUBLE_EQ(forward_difference_step({.log_scale = true}, 1e-20), 1e-20 * std::expm1(1e-3));
  EXPECT_DOUBLE_EQ(forward_difference_step({.log_scale = false}, 0.0), 1e-3);
  EXPECT_DOUBLE_EQ(forward_difference_step({.log_scale = false}, -50.0), 0.05);
  EXPECT_LT(forward_difference_step({.log_scale = false, .upper = 1.0}, 1.0), 0.0);
}

}  // namespace
}  // namespace tarnok::robust_fit
