// DLSODA's interface: the tasks, continuation calls, the caller's Y array,
// the work-array rules, and no memory allocation inside an integration.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "ode/dlsoda_test_support.hpp"

// Counts every global allocation so a test can check that DLSODA makes none.
namespace {
thread_local long g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC cannot see that this pair replaces the global operators together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace tarnok::ode {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using testing::full_real_length;
using testing::Integration;

void decay5(const int* neq, const double*, const double* y, double* ydot) noexcept {
  for (int i = 0; i < *neq; ++i) ydot[i] = -(i + 1.0) * y[i];
}

void stiff_decay(const int* neq, const double*, const double* y, double* ydot) noexcept {
  for (int i = 0; i < *neq; ++i) ydot[i] = -1.0e4 * (y[i] - 1.0);
}

// The model's use of Y: N = 1, and elements 2..6 carry inputs that the
// right-hand side reads on every call. Any change to them is recorded.
thread_local bool g_extras_seen_intact = true;
thread_local int g_extra_calls = 0;
constexpr double kExtras[5] = {2.0, -3.0, 0.5, 7.0, 11.0};

void decay_reading_extras(const int*, const double*, const double* y, double* ydot) noexcept {
  ++g_extra_calls;
  for (int k = 0; k < 5; ++k) {
    if (y[1 + k] != kExtras[k]) g_extras_seen_intact = false;
  }
  ydot[0] = -y[1] * y[0];  // rate taken from the extra input
}

Integration model_options(RhsFn f, std::vector<double> y0) {
  Integration run(f, std::move(y0), 102, 25);
  return run;
}

TEST(DlsodaInterface, FirstCallWithToutEqualToTDoesNothing) {
  Integration run(decay5, {1.0, 2.0}, full_real_length(2), 22);
  run.i(iwork_slot::NST) = -1;
  CaptureStdout();
  run.run_to(0.0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(run.istate, 1);
  EXPECT_EQ(run.y, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(run.nst(), -1) << "outputs untouched";
}

TEST(DlsodaInterface, ModelOptionsPrintNothingForFiveOrOneEquations) {
  CaptureStdout();
  Integration five = model_options(decay5, {1.0, 1.0, 1.0, 1.0, 1.0});
  five.run_to(1.0e-3);
  Integration stiff = model_options(stiff_decay, {0.0, 0.0, 0.0, 0.0, 0.0});
  stiff.run_to(10.0);
  Integration one = model_options(stiff_decay, {0.0});
  one.run_to(10.0);
  EXPECT_EQ(GetCapturedStdout(), "");
  for (const Integration* run : {&five, &stiff, &one}) {
    EXPECT_EQ(run->istate, 2);
    EXPECT_TRUE(run->guards_intact());
    EXPECT_EQ(run->iwork[iwork_slot::LENIW], 20 + run->neq);
  }
  EXPECT_EQ(five.iwork[iwork_slot::LENRW], 100);
  EXPECT_EQ(stiff.mlast(), METHOD_BDF);
  EXPECT_NEAR(five.y[4], std::exp(-5.0e-3), 1.0e-6);
}

TEST(DlsodaInterface, ElementsOfYBeyondNAreVisibleToRhsAndUntouched) {
  std::vector<double> y{1.0};
  y.insert(y.end(), std::begin(kExtras), std::end(kExtras));
  Integration run = model_options(decay_reading_extras, y);
  run.neq = 1;
  g_extras_seen_intact = true;
  g_extra_calls = 0;
  run.run_to(1.0);
  ASSERT_EQ(run.istate, 2);
  EXPECT_TRUE(g_extras_seen_intact);
  EXPECT_EQ(g_extra_calls, run.nrhs());
  for (int k = 0; k < 5; ++k) EXPECT_EQ(run.y[static_cast<std::size_t>(1 + k)], kExtras[k]);
  EXPECT_NEAR(run.y[0], std::exp(-2.0), 1.0e-5);
}

TEST(DlsodaInterface, AFreshIntegrationAllocatesNothing) {
  Integration warm = model_options(stiff_decay, {0.0, 0.0, 0.0, 0.0, 0.0});
  warm.run_to(1.0);  // process-wide tables are built on first use
  Integration run = model_options(stiff_decay, {0.0, 0.0, 0.0, 0.0, 0.0});
  const long before = g_allocations;
  run.run_to(1.0);
  EXPECT_EQ(g_allocations, before);
  EXPECT_EQ(run.istate, 2);
}

TEST(DlsodaInterface, TaskTwoTakesOneStepPerCall) {
  Integration run(decay5, {1.0}, full_real_length(1), 21);
  run.itask = 2;
  for (int call = 1; call <= 5; ++call) {
    run.run_to(10.0);
    ASSERT_EQ(run.istate, 2);
    EXPECT_EQ(run.nst(), call);
    EXPECT_EQ(run.t, run.tcur());
    EXPECT_NEAR(run.y[0], std::exp(-run.t), 1.0e-5);
  }
}

TEST(DlsodaInterface, TaskThreeStopsAtTheFirstStepEndBeyondTout) {
  Integration run(decay5, {1.0}, full_real_length(1), 21);
  run.itask = 3;
  run.run_to(0.3);
  ASSERT_EQ(run.istate, 2);
  EXPECT_GE(run.t, 0.3);
  EXPECT_EQ(run.t, run.tcur());
  EXPECT_LT(run.t - run.hu(), 0.3);
  // Already past the next TOUT: the same point comes back without a step.
  const int steps = run.nst();
  run.istate = 2;
  run.run_to(run.t - 0.1 * run.hu());
  EXPECT_EQ(run.nst(), steps);
  EXPECT_EQ(run.t, run.tcur());
}

TEST(DlsodaInterface, TaskFourNeverStepsPastTcrit) {
  Integration run(decay5, {1.0}, full_real_length(1), 21);
  run.itask = 4;
  run.r(rwork_slot::TCRIT) = 1.0;
  for (double tout : {0.25, 0.5, 0.75, 1.0}) {
    run.run_to(tout);
    ASSERT_EQ(run.istate, 2) << tout;
    EXPECT_EQ(run.t, tout);
    EXPECT_LE(run.tcur(), 1.0);
    EXPECT_NEAR(run.y[0], std::exp(-tout), 1.0e-5);
    run.istate = 2;
  }
}

TEST(DlsodaInterface, TaskFiveReturnsExactlyAtTcrit) {
  Integration run(decay5, {1.0}, full_real_length(1), 21);
  run.itask = 5;
  run.r(rwork_slot::TCRIT) = 0.7;
  int calls = 0;
  do {
    run.run_to(0.7);
    ASSERT_EQ(run.istate, 2);
    EXPECT_LE(run.tcur(), 0.7);
    run.istate = 2;
  } while (run.t != 0.7 && ++calls < 1000);
  EXPECT_EQ(run.t, 0.7);
  EXPECT_NEAR(run.y[0], std::exp(-0.7), 1.0e-5);
}

TEST(DlsodaInterface, ContinuationCallsResumeTheSameIntegration) {
  Integration run(decay5, {1.0, 1.0}, full_real_length(2), 22);
  run.run_to(1.0);
  ASSERT_EQ(run.istate, 2);
  const int steps = run.nst();
  run.run_to(2.0);  // ISTATE 2 as returned
  ASSERT_EQ(run.istate, 2);
  EXPECT_GT(run.nst(), steps);
  EXPECT_NEAR(run.y[1], std::exp(-4.0), 1.0e-6);
  // ISTATE 3: tighter tolerances and a step bound from here on.
  run.set_tolerances(1.0e-10, 1.0e-12);
  run.iopt = 1;
  run.r(rwork_slot::HMAX) = 0.05;
  run.istate = 3;
  run.run_to(3.0);
  ASSERT_EQ(run.istate, 2);
  EXPECT_LE(std::abs(run.hu()), 0.05);
  EXPECT_NEAR(run.y[0], std::exp(-3.0), 1.0e-6);
}

TEST(DlsodaInterface, AnswerAlreadyReachedIsInterpolatedWithoutAStep) {
  Integration run(decay5, {1.0}, full_real_length(1), 21);
  run.itask = 3;
  run.run_to(0.5);
  const double tcur = run.tcur();
  const int steps = run.nst();
  run.itask = 1;
  run.run_to(0.5 * (tcur + (tcur - run.hu())));
  EXPECT_EQ(run.istate, 2);
  EXPECT_EQ(run.nst(), steps);
  EXPECT_NEAR(run.y[0], std::exp(-run.t), 1.0e-5);
}

// BDF in use, then JT 2 -> 5 with a band-sized RWORK: the matrix must become
// a band too, or a full N x N matrix would run past the end of RWORK.
TEST(DlsodaInterface, ChangingJtWhileBdfIsInUseRebuildsTheMatrixInItsArea) {
  constexpr int n = 10;
  const int band_lrw = 20 + n * 6 + (2 * 1 + 1 + 1) * n + 2 + 3 * n;  // MXORDN 5
  Integration run(stiff_decay, std::vector<double>(n, 0.0), full_real_length(n), 20 + n);
  run.iopt = 1;
  run.i(iwork_slot::MXORDN) = 5;
  run.run_to(1.0);
  ASSERT_EQ(run.istate, 2);
  ASSERT_EQ(run.mnext(), METHOD_BDF);
  const int jacobians = run.njac();
  // Same arrays, now declared band-sized, with the guard right after.
  run.lrw = band_lrw;
  std::fill(run.rwork.begin() + band_lrw, run.rwork.end(), Integration::kRealGuard);
  run.jt = 5;
  run.i(iwork_slot::ML) = 1;
  run.i(iwork_slot::MU) = 1;
  run.istate = 3;
  run.run_to(50.0);
  ASSERT_EQ(run.istate, 2);
  EXPECT_GT(run.njac(), jacobians);
  for (double value : std::vector<double>(run.y.begin(), run.y.end())) EXPECT_NEAR(value, 1.0, 1e-5);
  for (std::size_t k = static_cast<std::size_t>(band_lrw); k < run.rwork.size(); ++k) {
    ASSERT_EQ(run.rwork[k], Integration::kRealGuard) << "written past LRW at " << k;
  }
}

TEST(DlsodaInterface, RefusedChangedParametersLeaveTheIntegrationAsItWas) {
  Integration run(decay5, {1.0, 1.0}, full_real_length(2), 22);
  run.run_to(1.0);
  run.istate = 3;
  run.rtol = {-1.0};
  CaptureStdout();
  run.run_to(2.0);
  GetCapturedStdout();
  EXPECT_EQ(run.istate, -3);
  run.rtol = {1.0e-6};
  run.istate = 2;
  run.run_to(2.0);
  EXPECT_EQ(run.istate, 2);
  EXPECT_NEAR(run.y[0], std::exp(-2.0), 1.0e-5);
}

TEST(DlsodaInterface, MaxStepsStopsTheCallAndAContinuationGoesOn) {
  Integration run(decay5, {1.0}, full_real_length(1), 21);
  run.iopt = 1;
  run.i(iwork_slot::MXSTEP) = 10;
  CaptureStdout();
  run.run_to(100.0);
  const std::string printed = GetCapturedStdout();
  ASSERT_EQ(run.istate, -1);
  EXPECT_EQ(run.nst(), 10);
  EXPECT_EQ(run.t, run.tcur());
  EXPECT_EQ(printed, testing::text_line("DLSODA-  At current T (=R1), MXSTEP (=I1) steps") +
                         testing::text_line("      taken on this call before reaching TOUT") +
                         testing::ints_line(10) + testing::reals_line(run.tcur()));
  // Each call may take MXSTEP more steps.
  run.istate = 2;
  const double tout = run.t + 0.5;
  run.run_to(tout);
  EXPECT_EQ(run.istate, 2);
  EXPECT_NEAR(run.y[0], std::exp(-tout), 1.0e-5);
}

TEST(DlsodaInterface, ShortRworkWarnsThenStopsWhenTheSwitchNeedsMore) {
  // With MXORDN 1 the Adams history takes two columns: 20 + 2 + 3 = 25 is
  // enough for Adams, while BDF needs 20 + 6 + 3 + 3 = 32. The matrix area
  // lies past LRW, so nothing may be stored there before the call stops.
  constexpr int kAdamsOnly = 25;
  Integration run(stiff_decay, {0.0}, kAdamsOnly, 20);
  run.iopt = 1;
  run.i(iwork_slot::MXORDN) = 1;
  run.i(iwork_slot::MXSTEP) = 100000;  // order 1 crawls through the transient
  CaptureStdout();
  run.run_to(100.0);
  const std::string printed = GetCapturedStdout();
  EXPECT_EQ(run.istate, -7);
  EXPECT_EQ(run.mnext(), METHOD_BDF);
  EXPECT_TRUE(run.guards_intact());
  const std::string expected =
      testing::text_line("DLSODA-  Warning.. RWORK length is sufficient for now, but") +
      testing::text_line("      may not be later.  Integration will proceed anyway.") +
      testing::text_line("      Length needed is LENRW = I1, while LRW = I2.") +
      testing::ints_line(32, kAdamsOnly) +
      testing::text_line("DLSODA-  Warning.. IWORK length is sufficient for now, but") +
      testing::text_line("      may not be later.  Integration will proceed anyway.") +
      testing::text_line("      Length needed is LENIW = I1, while LIW = I2.") +
      testing::ints_line(21, 20) +
      testing::text_line("DLSODA-  At current T(=R1), RWORK length too small") +
      testing::text_line("      to proceed.  The integration was otherwise successful.") +
      testing::reals_line(run.tcur());
  EXPECT_EQ(printed, expected);
  // More room on a changed-parameters call lets the integration finish.
  run.lrw = 32;
  run.liw = 21;
  run.istate = 3;
  run.run_to(100.0);
  EXPECT_EQ(run.istate, 2);
  EXPECT_NEAR(run.y[0], 1.0, 1.0e-5);
}

TEST(DlsodaInterface, SwitchStoresTheDifferenceFactorWhereTheShortRworkHoldsIt) {
  // With MXORDN 5 and N 1: Adams needs 20 + 6 + 3 = 29, BDF 20 + 6 + 3 + 3 = 32.
  // The matrix area starts at slot 27, inside the 29, so the switch to BDF
  // stores its increment factor there even though the call then stops.
  constexpr int kAdamsOnly = 29;
  constexpr int kMatrixArea = 20 + 6;  // 0-based first slot of the area
  Integration run(stiff_decay, {0.0}, kAdamsOnly, 21);
  run.iopt = 1;
  run.i(iwork_slot::MXORDN) = 5;
  run.i(iwork_slot::MXSTEP) = 100000;
  CaptureStdout();
  run.run_to(100.0);
  GetCapturedStdout();
  ASSERT_EQ(run.istate, -7);
  EXPECT_EQ(run.mnext(), METHOD_BDF);
  EXPECT_EQ(run.rwork[kMatrixArea], std::ldexp(1.0, -26)) << "sqrt of the unit roundoff";
  EXPECT_TRUE(run.guards_intact());
}

}  // namespace
}  // namespace tarnok::ode
