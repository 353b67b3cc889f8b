#include "model/rate_equations.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <thread>

namespace tarnok::model {
namespace {

using Matrix = std::array<std::array<double, 5>, 5>;

// One step is controlled to RTOL = ATOL = 1e-6 per internal step; the error
// accumulated over a whole interval stays within a few times that.
constexpr double step_accuracy = 1e-5;
// Sums of a few terms of size ~1 cancel to within a few ulps.
constexpr double cancellation = 1e-14;

RateConstants test_rates() {
  RateConstants r;
  r.inv_photon_energy = 1.0;
  r.sigma_12 = 0.5;
  r.sigma_23 = 0.3;
  r.sigma_45 = 0.2;
  r.k21 = 1.0;
  r.k24 = 0.5;
  r.k32 = 3.0;
  r.k41 = 0.1;
  r.k54 = 2.0;
  return r;
}

// Sets this thread's rate constants for one test and leaves zeros behind.
class RateEquations : public ::testing::Test {
 protected:
  void SetUp() override { set_rate_constants(test_rates()); }
  void TearDown() override { set_rate_constants({}); }
  RealWork rwork{};
  IntegerWork iwork{};
};

// dN/dt = A N at fixed irradiance I.
Matrix population_matrix(const RateConstants& r, double irradiance) {
  const double f = r.inv_photon_energy * irradiance;
  Matrix a{};
  a[0] = {-r.sigma_12 * f, r.k21, 0.0, r.k41, 0.0};
  a[1] = {r.sigma_12 * f, -(r.k21 + r.k24 + r.sigma_23 * f), r.k32, 0.0, 0.0};
  a[2] = {0.0, r.sigma_23 * f, -r.k32, 0.0, 0.0};
  a[3] = {0.0, r.k24, 0.0, -(r.k41 + r.sigma_45 * f), r.k54};
  a[4] = {0.0, 0.0, 0.0, r.sigma_45 * f, -r.k54};
  return a;
}

Matrix multiply(const Matrix& x, const Matrix& y) {
  Matrix p{};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j)
      for (int k = 0; k < 5; ++k) p[i][j] += x[i][k] * y[k][j];
  return p;
}

// exp(A t) by scaling and squaring of a Taylor series: the scaled matrix has
// norm below 1/2, where 30 terms are exact to rounding.
Matrix matrix_exponential(Matrix a, double t) {
  double norm = 0.0;
  for (const auto& row : a)
    for (const double v : row) norm = std::max(norm, std::fabs(v * t));
  int squarings = 0;
  double scale = t;
  while (norm > 0.5) {
    norm *= 0.5;
    scale *= 0.5;
    ++squarings;
  }
  for (auto& row : a)
    for (double& v : row) v *= scale;
  Matrix result{}, term{};
  for (int i = 0; i < 5; ++i) result[i][i] = term[i][i] = 1.0;
  for (int k = 1; k <= 30; ++k) {
    term = multiply(term, a);
    for (auto& row : term)
      for (double& v : row) v /= k;
    for (int i = 0; i < 5; ++i)
      for (int j = 0; j < 5; ++j) result[i][j] += term[i][j];
  }
  for (int s = 0; s < squarings; ++s) result = multiply(result, result);
  return result;
}

StateVector exact_populations(const RateConstants& r, const StateVector& y, double dt) {
  const Matrix e = matrix_exponential(population_matrix(r, y[5]), dt);
  StateVector out = y;
  for (int i = 0; i < 5; ++i) {
    out[i] = 0.0;
    for (int j = 0; j < 5; ++j) out[i] += e[i][j] * y[j];
  }
  return out;
}

TEST_F(RateEquations, PopulationDerivativesSumToZero) {
  const std::array<StateVector, 3> states{{{1.0, 0.0, 0.0, 0.0, 0.0, 5.0},
                                           {0.3, 0.2, 0.1, 0.25, 0.15, 0.7},
                                           {1e-3, 2.0, 0.5, 1e2, 3.0, 1e3}}};
  for (const StateVector& y : states) {
    std::array<double, 5> ydot{};
    const int neq = 5;
    const double t = 0.0;
    population_rhs(&neq, &t, y.data(), ydot.data());
    const double sum = ydot[0] + ydot[1] + ydot[2] + ydot[3] + ydot[4];
    double scale = 0.0;
    for (const double d : ydot) scale = std::max(scale, std::fabs(d));
    EXPECT_LE(std::fabs(sum), cancellation * scale);
  }
}

TEST_F(RateEquations, PopulationDerivativesMatchTheLinearSystem) {
  const StateVector y{0.3, 0.2, 0.1, 0.25, 0.15, 0.7};
  const Matrix a = population_matrix(test_rates(), y[5]);
  std::array<double, 5> ydot{};
  const int neq = 5;
  const double t = 0.0;
  population_rhs(&neq, &t, y.data(), ydot.data());
  for (int i = 0; i < 5; ++i) {
    double expected = 0.0;
    for (int j = 0; j < 5; ++j) expected += a[i][j] * y[j];
    EXPECT_NEAR(ydot[i], expected, cancellation) << i;
  }
}

TEST_F(RateEquations, WithoutLightOnlyDecayActs) {
  const int neq = 5;
  const double t = 0.0;
  std::array<double, 5> ydot{};
  const StateVector ground{0.8, 0.0, 0.0, 0.0, 0.0, 0.0};
  population_rhs(&neq, &t, ground.data(), ydot.data());
  EXPECT_EQ(ydot, (std::array<double, 5>{}));

  // Long after the slowest lifetime (1/k41 = 10) everything is back in level 1.
  const StateVector excited{0.2, 0.3, 0.1, 0.25, 0.15, 0.0};
  StateVector out{};
  step_populations(excited, 0.0, 400.0, rwork, iwork, out);
  EXPECT_NEAR(out[0], 1.0, step_accuracy);
  for (int i = 1; i < 5; ++i) EXPECT_NEAR(out[i], 0.0, step_accuracy) << i;
}

TEST_F(RateEquations, StepPopulationsFollowsTheMatrixExponential) {
  const StateVector y{0.9, 0.05, 0.0, 0.05, 0.0, 2.0};
  StateVector out{};
  step_populations(y, 0.0, 1.5, rwork, iwork, out);
  const StateVector exact = exact_populations(test_rates(), y, 1.5);
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(out[i], exact[i], step_accuracy) << i;
  EXPECT_EQ(out[5], y[5]);  // the irradiance is carried, bit for bit
}

TEST_F(RateEquations, StepPopulationsHandlesAStiffSystem) {
  // Lifetimes five orders apart force the integrator onto its stiff method.
  RateConstants stiff = test_rates();
  stiff.k32 = 1e5;
  stiff.k54 = 2e4;
  set_rate_constants(stiff);
  const StateVector y{0.7, 0.2, 0.05, 0.05, 0.0, 3.0};
  StateVector out{};
  step_populations(y, 0.0, 20.0, rwork, iwork, out);
  const StateVector exact = exact_populations(stiff, y, 20.0);
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(out[i], exact[i], step_accuracy) << i;
}

TEST_F(RateEquations, StepAttenuationIsBeerLambert) {
  const RateConstants r = test_rates();
  const StateVector y{3.0, 0.6, 0.2, 0.1, 0.08, 0.02};
  const double alpha = r.sigma_12 * y[1] + r.sigma_23 * y[2] + r.sigma_45 * y[4];
  for (const double dz : {0.1, 1.0, 4.0}) {
    StateVector out{};
    step_attenuation(y, 0.0, dz, rwork, iwork, out);
    EXPECT_NEAR(out[0] / (y[0] * std::exp(-alpha * dz)), 1.0, step_accuracy) << dz;
    for (int i = 1; i < 6; ++i) EXPECT_EQ(out[i], y[i]) << i;  // carried
  }
}

TEST_F(RateEquations, NonAbsorbingLevelsPassTheLightUnchanged) {
  // Only levels 3 and 5 populated, or no cross-section at all: alpha = 0.
  const StateVector dark{2.5, 0.0, 0.0, 0.6, 0.0, 0.4};
  StateVector out{};
  step_attenuation(dark, 0.0, 3.0, rwork, iwork, out);
  EXPECT_EQ(out[0], 2.5);

  RateConstants transparent = test_rates();
  transparent.sigma_12 = transparent.sigma_23 = transparent.sigma_45 = 0.0;
  set_rate_constants(transparent);
  const StateVector lit{2.5, 0.6, 0.2, 0.1, 0.08, 0.02};
  step_attenuation(lit, 0.0, 3.0, rwork, iwork, out);
  EXPECT_EQ(out[0], 2.5);
}

TEST_F(RateEquations, ZeroIntervalReturnsTheInput) {
  const StateVector y{0.9, 0.05, 0.01, 0.03, 0.01, 2.0};
  StateVector out{};
  step_populations(y, 0.0, 0.0, rwork, iwork, out);
  EXPECT_EQ(out, y);
  step_attenuation(y, 0.0, 0.0, rwork, iwork, out);
  EXPECT_EQ(out, y);
}

TEST_F(RateEquations, EachStepIsOneIntegratorCall) {
  const StateVector y{0.9, 0.05, 0.01, 0.03, 0.01, 2.0};
  StateVector out{};
  const std::uint64_t before = integrator_calls_on_this_thread();
  step_populations(y, 0.0, 1.0, rwork, iwork, out);
  step_attenuation(y, 0.0, 1.0, rwork, iwork, out);
  EXPECT_EQ(integrator_calls_on_this_thread() - before, 2u);
}

TEST_F(RateEquations, RateConstantsArePerThread) {
  RateConstants seen_by_other{};
  RateConstants other_start{};
  std::thread other([&] {
    other_start = current_rate_constants();
    RateConstants mine = test_rates();
    mine.k21 = 42.0;
    set_rate_constants(mine);
    seen_by_other = current_rate_constants();
  });
  other.join();
  EXPECT_EQ(other_start.k21, 0.0);  // a new thread starts empty
  EXPECT_EQ(seen_by_other.k21, 42.0);
  EXPECT_EQ(current_rate_constants().k21, test_rates().k21);
}

}  // namespace
}  // namespace tarnok::model
