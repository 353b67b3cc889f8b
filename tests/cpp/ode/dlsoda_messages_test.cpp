// The exact diagnostics DLSODA prints for illegal input and for failures
// during integration, with the ISTATE each one returns.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ode/dlsoda_test_support.hpp"

namespace tarnok::ode {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using testing::full_real_length;
using testing::ints_line;
using testing::Integration;
using testing::reals_line;
using testing::text_line;

void decay(const int* neq, const double*, const double* y, double* ydot) noexcept {
  for (int i = 0; i < *neq; ++i) ydot[i] = -y[i];
}
void fast_decay(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -100.0 * y[0];
}
void oscillating_forcing(const int*, const double* t, const double*, double* ydot) noexcept {
  ydot[0] = std::cos(20.0 * *t);
}
void constant(const int* neq, const double*, const double*, double* ydot) noexcept {
  for (int i = 0; i < *neq; ++i) ydot[i] = 0.0;
}
void stiff_decay(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -1.0e4 * (y[0] - 1.0);
}

// Runs one call and returns what it printed.
std::string printed_by(Integration& run, double tout) {
  CaptureStdout();
  run.run_to(tout);
  return GetCapturedStdout();
}

TEST(DlsodaMessages, IllegalStateTaskAndUninitialisedContinuation) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.i(iwork_slot::NST) = -1;
  run.istate = 0;
  EXPECT_EQ(printed_by(run, 1.0), text_line("DLSODA-  ISTATE (=I1) illegal.") + ints_line(0));
  EXPECT_EQ(run.istate, -3);

  run.istate = 1;
  run.itask = 6;
  EXPECT_EQ(printed_by(run, 1.0), text_line("DLSODA-  ITASK (=I1) illegal.") + ints_line(6));
  EXPECT_EQ(run.istate, -3);

  run.itask = 1;
  run.istate = 2;
  EXPECT_EQ(printed_by(run, 1.0),
            text_line("DLSODA-  ISTATE .gt. 1 but DLSODA not initialized."));
  EXPECT_EQ(run.istate, -3);
  EXPECT_EQ(run.nst(), -1) << "outputs untouched";
}

TEST(DlsodaMessagesDeathTest, NegativeIstateStopsTheProcess) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.istate = -1;
  run.expect_fatal_stop = true;
  EXPECT_EXIT(run.run_to(1.0), ::testing::ExitedWithCode(0), "");
}

TEST(DlsodaMessages, IllegalProblemDescription) {
  Integration run(decay, {1.0, 1.0}, full_real_length(2), 22);
  // Each refused call returns ISTATE -3, which must not be passed back in.
  auto refused_with = [&run](const std::string& expected) {
    run.istate = 1;
    EXPECT_EQ(printed_by(run, 1.0), expected);
    EXPECT_EQ(run.istate, -3);
  };
  run.neq = 0;
  refused_with(text_line("DLSODA-  NEQ (=I1) .lt. 1") + ints_line(0));
  run.neq = 2;
  run.itol = 5;
  refused_with(text_line("DLSODA-  ITOL (=I1) illegal.") + ints_line(5));
  run.itol = 1;
  run.iopt = 2;
  refused_with(text_line("DLSODA-  IOPT (=I1) illegal.") + ints_line(2));
  run.iopt = 0;
  run.jt = 3;
  refused_with(text_line("DLSODA-  JT (=I1) illegal.") + ints_line(3));
  run.jt = 5;
  run.i(iwork_slot::ML) = 2;
  run.i(iwork_slot::MU) = 0;
  refused_with(text_line("DLSODA-  ML (=I1) illegal: .lt.0 or .ge.NEQ (=I2)") + ints_line(2, 2));
  run.i(iwork_slot::ML) = 0;
  run.i(iwork_slot::MU) = -1;
  refused_with(text_line("DLSODA-  MU (=I1) illegal: .lt.0 or .ge.NEQ (=I2)") + ints_line(-1, 2));
}

TEST(DlsodaMessages, IllegalOptionalInputs) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.iopt = 1;
  auto refused_with = [&run](const std::string& expected) {
    run.istate = 1;
    EXPECT_EQ(printed_by(run, 1.0), expected);
    EXPECT_EQ(run.istate, -3);
  };
  run.i(iwork_slot::IXPR) = 2;
  refused_with(text_line("DLSODA-  IXPR (=I1) illegal.") + ints_line(2));
  run.i(iwork_slot::IXPR) = 0;
  run.i(iwork_slot::MXSTEP) = -1;
  refused_with(text_line("DLSODA-  MXSTEP (=I1) .lt. 0") + ints_line(-1));
  run.i(iwork_slot::MXSTEP) = 0;
  run.i(iwork_slot::MXORDS) = -4;
  refused_with(text_line("DLSODA-  MXORDS (=I1) .lt. 0") + ints_line(-4));
  run.i(iwork_slot::MXORDS) = 0;
  run.r(rwork_slot::HMAX) = -1.0;
  refused_with(text_line("DLSODA-  HMAX (=R1) .lt. 0.0") + reals_line(-1.0));
  run.r(rwork_slot::HMAX) = 0.0;
  run.r(rwork_slot::HMIN) = -0.5;
  refused_with(text_line("DLSODA-  HMIN (=R1) .lt. 0.0") + reals_line(-0.5));
}

TEST(DlsodaMessages, NegativeToleranceNamesComponentAndValue) {
  Integration run(decay, {1.0, 1.0}, full_real_length(2), 22);
  run.itol = 3;
  run.rtol = {1.0e-6, -2.5e-7};
  const std::string printed = printed_by(run, 1.0);
  EXPECT_EQ(printed, text_line("DLSODA-  RTOL(I1) is R1 .lt. 0.0") + ints_line(2) +
                         "      In above message,  R1 = -0.2500000000000D-06\n");
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, H0AgainstTheDirectionPrintsValuesAfterBothLines) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.iopt = 1;
  run.r(rwork_slot::H0) = -1.0;
  const std::string printed = printed_by(run, 1.0);
  EXPECT_EQ(printed,
            text_line("DLSODA-  TOUT (=R1) behind T (=R2)") +
                "      In above,  R1 =  0.1000000000000D+01   R2 =  0.0000000000000D+00\n" +
                text_line("      Integration direction is given by H0 (=R1)") +
                "      In above message,  R1 = -0.1000000000000D+01\n");
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, WorkArrayOneShortOfTheNeed) {
  Integration exact(decay, {1.0, 1.0, 1.0, 1.0, 1.0}, 100, 25);
  EXPECT_EQ(printed_by(exact, 1.0), "");
  EXPECT_EQ(exact.istate, 2);

  Integration run(decay, {1.0, 1.0, 1.0, 1.0, 1.0}, 99, 25);
  EXPECT_EQ(printed_by(run, 1.0),
            text_line("DLSODA-  RWORK length needed, LENRW (=I1), exceeds LRW (=I2)") +
                ints_line(100, 99));
  EXPECT_EQ(run.istate, -3);
  EXPECT_EQ(run.iwork[iwork_slot::LENRW], 100);
}

// N*N no longer fits an int: the need is reported as the largest int
// rather than as a wrapped-around (possibly small) length.
TEST(DlsodaMessages, HugeSystemReportsAnUnreachableLength) {
  Integration run(decay, {1.0}, 102, 25);
  run.neq = 100000;
  EXPECT_EQ(printed_by(run, 1.0),
            text_line("DLSODA-  RWORK length needed, LENRW (=I1), exceeds LRW (=I2)") +
                ints_line(2147483647, 102));
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, ZeroTolerancesGiveAZeroFirstWeight) {
  Integration run(decay, {1.0, 1.0}, full_real_length(2), 22);
  run.set_tolerances(0.0, 0.0);
  EXPECT_EQ(printed_by(run, 1.0),
            text_line("DLSODA-  EWT(I1) is R1 .le. 0.0") + ints_line(1) + reals_line(0.0));
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, ToutTooCloseToStart) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.t = 1.0;
  const double tout = std::nextafter(1.0, 2.0);
  EXPECT_EQ(printed_by(run, tout),
            text_line("DLSODA-  TOUT(=R1) too close to T(=R2) to start integration.") +
                reals_line(tout, 1.0));
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, TooMuchAccuracyAtTheStart) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.set_tolerances(1.0e-20, 0.0);
  const std::string printed = printed_by(run, 1.0);
  const double tolsf = run.r(rwork_slot::TOLSF);
  EXPECT_GT(tolsf, 1.0);
  EXPECT_EQ(printed, text_line("DLSODA-  At start of problem, too much accuracy") +
                         text_line("      requested for precision of machine..  See TOLSF (=R1)") +
                         reals_line(tolsf));
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, ContinuationTimesBehindTheLastStep) {
  Integration run(decay, {1.0}, full_real_length(1), 21);
  run.run_to(1.0);
  ASSERT_EQ(run.istate, 2);
  const double tcur = run.tcur();
  const double hu = run.hu();
  const double u = 0x1.0p-52;
  const double margin = 100.0 * u * (std::abs(tcur) + std::abs(hu));
  const double tp = tcur - (hu + margin);
  EXPECT_EQ(printed_by(run, 0.0),
            text_line("DINTDY-  T (=R1) illegal", 80) + reals_line(0.0) +
                text_line("      T not in interval TCUR - HU (= R1) to TCUR (=R2)", 80) +
                reals_line(tp, tcur) +
                text_line("DLSODA-  Trouble in DINTDY.  ITASK = I1, TOUT = R1") + ints_line(1) +
                reals_line(0.0));
  EXPECT_EQ(run.istate, -3);

  run.istate = 2;
  run.itask = 3;
  const double behind = tcur - hu * (1.0 + 100.0 * u);
  EXPECT_EQ(printed_by(run, 0.0),
            text_line("DLSODA-  ITASK = I1 and TOUT (=R1) behind TCUR - HU (= R2)") +
                ints_line(3) + reals_line(0.0, behind));

  run.istate = 2;
  run.itask = 4;
  run.r(rwork_slot::TCRIT) = 0.5;
  EXPECT_EQ(printed_by(run, 2.0),
            text_line("DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TCUR (=R2)") +
                reals_line(0.5, tcur));
  run.istate = 2;
  run.r(rwork_slot::TCRIT) = 1.5;
  EXPECT_EQ(printed_by(run, 2.0),
            text_line("DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TOUT (=R2)") +
                reals_line(1.5, 2.0));
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, ChangedParametersMayNotAddEquations) {
  Integration run(decay, {1.0, 1.0}, full_real_length(2), 22);
  run.neq = 1;
  run.run_to(1.0);
  run.neq = 2;
  run.istate = 3;
  EXPECT_EQ(printed_by(run, 2.0),
            text_line("DLSODA-  ISTATE = 3 and NEQ increased (I1 to I2).") + ints_line(1, 2));
  EXPECT_EQ(run.istate, -3);
}

TEST(DlsodaMessages, ErrorTestFailingAtHminReportsMinusFour) {
  Integration run(oscillating_forcing, {0.0}, full_real_length(1), 21);
  run.set_tolerances(1.0e-8, 1.0e-8);
  run.iopt = 1;
  run.r(rwork_slot::H0) = 0.5;
  run.r(rwork_slot::HMIN) = 0.5;
  EXPECT_EQ(printed_by(run, 10.0),
            text_line("DLSODA-  At T(=R1) and step size H(=R2), the error") +
                text_line("      test failed repeatedly or with ABS(H) = HMIN") +
                reals_line(0.0, 0.5));
  EXPECT_EQ(run.istate, -4);
  EXPECT_EQ(run.iwork[iwork_slot::IWORST], 1);
  EXPECT_EQ(run.t, 0.0);
  EXPECT_EQ(run.y[0], 0.0);
}

TEST(DlsodaMessages, CorrectorDivergingAtHminReportsMinusFive) {
  Integration run(fast_decay, {1.0}, full_real_length(1), 21);
  run.iopt = 1;
  run.r(rwork_slot::H0) = 0.5;
  run.r(rwork_slot::HMIN) = 0.5;
  EXPECT_EQ(printed_by(run, 10.0),
            text_line("DLSODA-  At T (=R1) and step size H (=R2), the") +
                text_line("      corrector convergence failed repeatedly") +
                text_line("      or with ABS(H) = HMIN") + reals_line(0.0, 0.5));
  EXPECT_EQ(run.istate, -5);
  EXPECT_EQ(run.iwork[iwork_slot::IWORST], 1);
}

TEST(DlsodaMessages, WeightBecomingZeroReportsMinusSix) {
  Integration run(constant, {1.0, 0.0}, full_real_length(2), 22);
  run.itol = 2;
  run.atol = {1.0e-6, 1.0e-6};
  run.run_to(1.0);
  ASSERT_EQ(run.istate, 2);
  run.atol = {1.0e-6, 0.0};  // pure relative control of a component at 0
  run.istate = 3;
  // Beyond TCUR, so that a step is needed (f = 0 lets h grow far past TOUT).
  EXPECT_EQ(printed_by(run, 10.0 * run.tcur()),
            text_line("DLSODA-  At T (=R1), EWT(I1) has become R2 .le. 0.") + ints_line(2) +
                reals_line(run.tcur(), 0.0));
  EXPECT_EQ(run.istate, -6);
}

TEST(DlsodaMessages, StepBelowTheResolutionOfTWarnsAtMostMxhnilTimes) {
  Integration run(constant, {1.0}, full_real_length(1), 21);
  run.t = 1.0e20;
  run.iopt = 1;
  run.r(rwork_slot::H0) = 1.0;
  run.i(iwork_slot::MXHNIL) = 2;
  const std::string warning = text_line("DLSODA-  Warning..Internal T (=R1) and H (=R2) are") +
                              text_line("      such that in the machine, T + H = T on the next step") +
                              text_line("     (H = step size). Solver will continue anyway.") +
                              reals_line(1.0e20, 1.0);
  EXPECT_EQ(printed_by(run, 1.0e20 + 1.0e8),
            warning + warning + text_line("DLSODA-  Above warning has been issued I1 times.") +
                text_line("     It will not be issued again for this problem.") + ints_line(2));
  EXPECT_EQ(run.istate, 2);
}

TEST(DlsodaMessages, SwitchNoticeWhenAsked) {
  Integration run(stiff_decay, {0.0}, full_real_length(1), 21);
  run.iopt = 1;
  run.i(iwork_slot::IXPR) = 1;
  const std::string printed = printed_by(run, 1.0);
  const std::string head =
      text_line("DLSODA- A switch to the BDF (stiff) method has occurred") +
      text_line("     at T = R1,  tentative step size H = R2,  step NST = I1");
  ASSERT_GE(printed.size(), head.size());
  EXPECT_EQ(printed.substr(0, head.size()), head);
  EXPECT_NE(printed.find("      In above message,  I1 ="), std::string::npos);
  EXPECT_EQ(run.istate, 2);
}

}  // namespace
}  // namespace tarnok::ode
