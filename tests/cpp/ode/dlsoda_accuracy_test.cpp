// DLSODA against closed forms and published values: non-stiff problems that
// stay with Adams, stiff ones that switch to BDF, Robertson's kinetics, and
// the four Jacobian types agreeing on a banded problem.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ode/dlsoda_test_support.hpp"

namespace tarnok::ode {
namespace {

using testing::full_real_length;
using testing::Integration;

void decay(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -y[0];
}

void oscillator(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = y[1];
  ydot[1] = -y[0];
}

// y' = -1e4 (y - 1): a fast decay onto 1, then nothing but stiffness.
void stiff_decay(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -1.0e4 * (y[0] - 1.0);
}

void robertson(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -0.04 * y[0] + 1.0e4 * y[1] * y[2];
  ydot[2] = 3.0e7 * y[1] * y[1];
  ydot[1] = -ydot[0] - ydot[2];
}

void robertson_jacobian(const int*, const double*, const double* y, const int*, const int*,
                        double* pd, const int* nrowpd) noexcept {
  const int ld = *nrowpd;
  auto at = [pd, ld](int i, int j) -> double& { return pd[i + j * ld]; };
  at(0, 0) = -0.04;
  at(0, 1) = 1.0e4 * y[2];
  at(0, 2) = 1.0e4 * y[1];
  at(1, 0) = 0.04;
  at(1, 1) = -1.0e4 * y[2] - 6.0e7 * y[1];
  at(1, 2) = -1.0e4 * y[1];
  at(2, 1) = 6.0e7 * y[1];
}

// A stiff reaction-diffusion chain: tridiagonal Jacobian.
constexpr int kChain = 12;
constexpr double kDiffusion = 2000.0;

void chain(const int* neq, const double*, const double* y, double* ydot) noexcept {
  const int n = *neq;
  for (int i = 0; i < n; ++i) {
    const double left = i > 0 ? y[i - 1] : 1.0;
    const double right = i + 1 < n ? y[i + 1] : 0.0;
    ydot[i] = kDiffusion * (left - 2.0 * y[i] + right) - 0.5 * y[i] * y[i];
  }
}

void chain_full_jacobian(const int* neq, const double*, const double* y, const int*, const int*,
                         double* pd, const int* nrowpd) noexcept {
  const int n = *neq;
  const int ld = *nrowpd;
  for (int i = 0; i < n; ++i) {
    pd[i + i * ld] = -2.0 * kDiffusion - y[i];
    if (i > 0) pd[i + (i - 1) * ld] = kDiffusion;
    if (i + 1 < n) pd[i + (i + 1) * ld] = kDiffusion;
  }
}

// Band storage: element (i, j) in row i - j + mu of column j (0-based).
void chain_band_jacobian(const int* neq, const double*, const double* y, const int*,
                         const int* mu, double* pd, const int* nrowpd) noexcept {
  const int n = *neq;
  const int ld = *nrowpd;
  auto at = [&](int i, int j) -> double& { return pd[(i - j + *mu) + j * ld]; };
  for (int i = 0; i < n; ++i) {
    at(i, i) = -2.0 * kDiffusion - y[i];
    if (i > 0) at(i, i - 1) = kDiffusion;
    if (i + 1 < n) at(i, i + 1) = kDiffusion;
  }
}

TEST(DlsodaAccuracy, ExponentialDecayMatchesItsClosedForm) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.set_tolerances(1.0e-10, 1.0e-12);
  for (double tout : {0.5, 1.0, 2.5, 5.0}) {
    run.run_to(tout);
    ASSERT_EQ(run.istate, 2);
    EXPECT_EQ(run.t, tout);
    EXPECT_NEAR(run.y[0], std::exp(-tout), 1.0e-8 * std::exp(-tout)) << tout;
  }
  EXPECT_EQ(run.mlast(), METHOD_ADAMS);
  EXPECT_EQ(run.njac(), 0);
}

TEST(DlsodaAccuracy, BackwardIntegrationUsesNegativeSteps) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.set_tolerances(1.0e-10, 1.0e-12);
  run.run_to(-2.0);
  ASSERT_EQ(run.istate, 2);
  EXPECT_NEAR(run.y[0], std::exp(2.0), 1.0e-8 * std::exp(2.0));
  EXPECT_LT(run.hu(), 0.0);
  EXPECT_LT(run.tcur(), -2.0 + 1.0e-12);
}

TEST(DlsodaAccuracy, LinearOscillatorKeepsPhaseOverManyPeriods) {
  Integration run(oscillator, {1.0, 0.0}, full_real_length(2), 22);
  run.set_tolerances(1.0e-10, 1.0e-10);
  run.i(iwork_slot::MXSTEP) = 100000;
  run.iopt = 1;
  const double tend = 20.0 * M_PI + 1.0;
  run.run_to(tend);
  ASSERT_EQ(run.istate, 2);
  EXPECT_NEAR(run.y[0], std::cos(tend), 1.0e-7);
  EXPECT_NEAR(run.y[1], -std::sin(tend), 1.0e-7);
  EXPECT_EQ(run.mlast(), METHOD_ADAMS);
  EXPECT_GT(run.iwork[iwork_slot::QLAST], 4) << "smooth problem should reach a high order";
}

TEST(DlsodaAccuracy, StiffDecaySwitchesToBdfAndRecordsTheSwitch) {
  Integration run(stiff_decay, {0.0}, full_real_length(1), 21);
  run.run_to(100.0);
  ASSERT_EQ(run.istate, 2);
  EXPECT_NEAR(run.y[0], 1.0, 1.0e-5);
  EXPECT_EQ(run.mlast(), METHOD_BDF);
  EXPECT_EQ(run.mnext(), METHOD_BDF);
  const double tswitch = run.r(rwork_slot::TSWITCH);
  EXPECT_GT(tswitch, 0.0);
  EXPECT_LT(tswitch, 1.0);
  EXPECT_GT(run.njac(), 0);
  // Adams would need on the order of 1e4*100/0.5 steps; BDF needs a few hundred at most.
  EXPECT_LT(run.nst(), 500);
}

TEST(DlsodaAccuracy, RobertsonMatchesPublishedValuesAtForty) {
  Integration run(robertson, {1.0, 0.0, 0.0}, full_real_length(3), 23);
  run.itol = 2;
  run.rtol = {1.0e-8};
  run.atol = {1.0e-12, 1.0e-14, 1.0e-12};
  run.iopt = 1;
  run.i(iwork_slot::MXSTEP) = 20000;
  run.run_to(40.0);
  ASSERT_EQ(run.istate, 2);
  constexpr double kRelative = 1.0e-6;  // the published values carry seven digits
  EXPECT_NEAR(run.y[0], 0.7158271, kRelative * 0.7158271);
  EXPECT_NEAR(run.y[1], 9.185535e-6, kRelative * 9.185535e-6);
  EXPECT_NEAR(run.y[2], 0.2841638, kRelative * 0.2841638);
  EXPECT_EQ(run.mlast(), METHOD_BDF);
}

TEST(DlsodaAccuracy, SuppliedJacobianGivesTheSameRobertsonSolution) {
  std::vector<double> solutions[2];
  for (int jt : {1, 2}) {
    Integration run(robertson, {1.0, 0.0, 0.0}, full_real_length(3), 23);
    run.jt = jt;
    run.jacobian = robertson_jacobian;
    run.itol = 2;
    run.rtol = {1.0e-8};
    run.atol = {1.0e-12, 1.0e-14, 1.0e-12};
    run.iopt = 1;
    run.i(iwork_slot::MXSTEP) = 20000;
    run.run_to(40.0);
    ASSERT_EQ(run.istate, 2) << jt;
    solutions[jt - 1] = run.y;
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(solutions[0][static_cast<std::size_t>(i)], solutions[1][static_cast<std::size_t>(i)],
                1.0e-6 * std::abs(solutions[1][static_cast<std::size_t>(i)]))
        << i;
  }
}

TEST(DlsodaAccuracy, BandedAndFullJacobiansAgreeOnATridiagonalProblem) {
  const int n = kChain;
  const int band_length = 20 + 13 * n + 3 * n;  // the Adams history dominates
  std::vector<std::vector<double>> solutions;
  std::vector<int> rhs_counts;
  for (int jt : {1, 2, 4, 5}) {
    Integration run(chain, std::vector<double>(n, 0.0),
                    jt <= 2 ? full_real_length(n) : band_length, 20 + n);
    run.jt = jt;
    run.jacobian = jt == 1 ? chain_full_jacobian : chain_band_jacobian;
    run.i(iwork_slot::ML) = 1;
    run.i(iwork_slot::MU) = 1;
    run.set_tolerances(1.0e-8, 1.0e-10);
    run.run_to(2.0);
    ASSERT_EQ(run.istate, 2) << "jt " << jt;
    EXPECT_EQ(run.mlast(), METHOD_BDF) << "jt " << jt;
    EXPECT_TRUE(run.guards_intact()) << "jt " << jt;
    solutions.push_back(run.y);
    rhs_counts.push_back(run.nrhs() - run.nst());
  }
  for (std::size_t k = 1; k < solutions.size(); ++k) {
    for (int i = 0; i < n; ++i) {
      const auto ii = static_cast<std::size_t>(i);
      EXPECT_NEAR(solutions[k][ii], solutions[0][ii], 1.0e-6) << "type " << k << " row " << i;
    }
  }
  // Differenced band columns are grouped: three evaluations per Jacobian, not n.
  EXPECT_LT(rhs_counts[3], rhs_counts[1]);
}

}  // namespace
}  // namespace tarnok::ode
