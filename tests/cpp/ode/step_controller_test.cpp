// The step controller seen through its effects: step growth limits, when the
// switching test first runs, a singular matrix cutting h, and DINTDY's
// interpolation with its boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ode/dlsoda_test_support.hpp"
#include "ode/interpolation.hpp"

namespace tarnok::ode {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using testing::full_real_length;
using testing::Integration;

constexpr double kRoundoff = 0x1.0p-52;

void constant(const int*, const double*, const double*, double* ydot) noexcept { ydot[0] = 0.0; }
void stiff_decay(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -1.0e4 * (y[0] - 1.0);
}

TEST(StepController, FirstStepChangeGrowsHByAtMostTenThousand) {
  Integration run(constant, {1.0}, full_real_length(1), 21);
  run.itask = 2;
  run.run_to(1.0e30);
  const double h0 = run.hu();
  run.run_to(1.0e30);  // holdsteps runs out: the first choice of h
  EXPECT_EQ(run.r(rwork_slot::HNEXT), h0 * 1.0e4);
  run.run_to(1.0e30);
  run.run_to(1.0e30);
  run.run_to(1.0e30);
  // After a change, growth is limited to a factor of 10.
  const double h = run.hu();
  EXPECT_LE(run.r(rwork_slot::HNEXT), 10.0 * h);
}

TEST(StepController, SwitchingIsFirstTestedAfterTwentyOneSteps) {
  Integration run(stiff_decay, {0.0}, full_real_length(1), 21);
  run.itask = 2;
  int switched_at = 0;
  for (int call = 0; call < 2000 && switched_at == 0; ++call) {
    run.run_to(100.0);
    ASSERT_EQ(run.istate, 2);
    if (run.mnext() == METHOD_BDF) switched_at = run.nst();
  }
  EXPECT_GE(switched_at, 21);
  EXPECT_EQ(run.r(rwork_slot::TSWITCH), run.tcur());
  EXPECT_EQ(run.mlast(), METHOD_ADAMS) << "the switching step itself was Adams";
}

// The Jacobian returns 1/(h*l(1)) once, which makes P exactly zero.
thread_local const LsodaState* g_state = nullptr;
thread_local std::vector<double> g_h_at_jacobian;
void singular_once(const int*, const double*, const double*, const int*, const int*,
                   double* pd, const int*) noexcept {
  g_h_at_jacobian.push_back(g_state->h);
  pd[0] = g_h_at_jacobian.size() == 1 ? 1.0 / (g_state->h * g_state->l[0]) : -1.0e4;
}

TEST(StepController, SingularMatrixCutsTheStepByFour) {
  Integration run(stiff_decay, {0.0}, full_real_length(1), 21);
  run.jt = 1;
  run.jacobian = singular_once;
  g_state = &run.state;
  g_h_at_jacobian.clear();
  run.run_to(100.0);
  g_state = nullptr;
  ASSERT_EQ(run.istate, 2);
  ASSERT_GE(g_h_at_jacobian.size(), 2u);
  EXPECT_EQ(g_h_at_jacobian[1], 0.25 * g_h_at_jacobian[0]);
  EXPECT_NEAR(run.y[0], 1.0, 1.0e-5);
}

// DINTDY on the history of y = t^2 at TCUR = 1 with h = HU = 0.5, order 2:
// z = (1, h*2t, h^2) = (1, 1, 0.25).
struct QuadraticHistory {
  LsodaState state;
  std::vector<double> z{1.0, 1.0, 0.25};

  QuadraticHistory() {
    state.n = 1;
    state.q = 2;
    state.tcur = 1.0;
    state.h = 0.5;
    state.hu = 0.5;
    state.roundoff = kRoundoff;
  }

  double at(double t, int k, int& iflag) const {
    double dky = -99.0;
    DINTDY(t, k, z.data(), 1, &dky, iflag, state);
    return dky;
  }
  double margin() const { return 100.0 * kRoundoff * (1.0 + 0.5); }
};

TEST(Interpolation, ReproducesThePolynomialAndItsDerivatives) {
  QuadraticHistory history;
  int iflag = -9;
  EXPECT_EQ(history.at(1.0, 0, iflag), 1.0);
  EXPECT_EQ(iflag, DINTDY_OK);
  EXPECT_EQ(history.at(0.5, 0, iflag), 0.25) << "the start of the last step";
  EXPECT_DOUBLE_EQ(history.at(0.75, 0, iflag), 0.5625);
  EXPECT_DOUBLE_EQ(history.at(0.75, 1, iflag), 1.5);
  EXPECT_DOUBLE_EQ(history.at(0.6, 2, iflag), 2.0);
}

TEST(Interpolation, AcceptsTimesWithinTheMarginAndRefusesBeyond) {
  QuadraticHistory history;
  int iflag = -9;
  history.at(1.0 + 0.5 * history.margin(), 0, iflag);
  EXPECT_EQ(iflag, DINTDY_OK);
  history.at(0.5 - 0.5 * history.margin(), 0, iflag);
  EXPECT_EQ(iflag, DINTDY_OK);

  const double beyond = 1.0 + 4.0 * history.margin();
  CaptureStdout();
  const double untouched = history.at(beyond, 0, iflag);
  const std::string printed = GetCapturedStdout();
  EXPECT_EQ(iflag, DINTDY_BAD_T);
  EXPECT_EQ(untouched, -99.0);
  const double tp = 1.0 - (0.5 + history.margin());
  EXPECT_EQ(printed, testing::text_line("DINTDY-  T (=R1) illegal", 80) +
                         testing::reals_line(beyond) +
                         testing::text_line(
                             "      T not in interval TCUR - HU (= R1) to TCUR (=R2)", 80) +
                         testing::reals_line(tp, 1.0));
}

TEST(Interpolation, RefusesADerivativeAboveTheOrder) {
  QuadraticHistory history;
  int iflag = 0;
  CaptureStdout();
  history.at(1.0, 3, iflag);
  EXPECT_EQ(GetCapturedStdout(), testing::text_line("DINTDY-  K (=I1) illegal", 80) +
                                     testing::ints_line(3));
  EXPECT_EQ(iflag, DINTDY_BAD_K);
  CaptureStdout();
  history.at(1.0, -1, iflag);
  GetCapturedStdout();
  EXPECT_EQ(iflag, DINTDY_BAD_K);
}

}  // namespace
}  // namespace tarnok::ode
