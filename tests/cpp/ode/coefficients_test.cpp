// The method coefficients: known values of both families, the sign of every
// Adams error constant, and the once-per-process tables.
#include <gtest/gtest.h>

#include "ode/method_coefficients.hpp"

namespace tarnok::ode {
namespace {

// The tables come from exact integer polynomials and a few divisions.
constexpr double kTight = 1.0e-14;

TEST(BdfCoefficients, MatchTheKnownLowOrderMethods) {
  const MethodCoefficients& bdf = method_coefficients(METHOD_BDF);
  EXPECT_DOUBLE_EQ(bdf.coef(1, 1), 1.0);
  EXPECT_DOUBLE_EQ(bdf.coef(2, 1), 1.0);
  EXPECT_NEAR(bdf.coef(1, 2), 2.0 / 3.0, kTight);
  EXPECT_DOUBLE_EQ(bdf.coef(2, 2), 1.0);
  EXPECT_NEAR(bdf.coef(3, 2), 1.0 / 3.0, kTight);
  const double order4[] = {12.0 / 25.0, 1.0, 0.7, 0.2, 0.02};
  for (int i = 1; i <= 5; ++i) EXPECT_NEAR(bdf.coef(i, 4), order4[i - 1], kTight) << i;
  EXPECT_NEAR(bdf.test(2, 5), 13.7, kTight * 13.7);
  EXPECT_NEAR(bdf.test(3, 5), 959.0 / 60.0, kTight * 16.0);
  EXPECT_NEAR(bdf.test(2, 2), 4.5, kTight);
}

TEST(AdamsCoefficients, OrderTwoIsTheTrapezoidalRule) {
  const MethodCoefficients& adams = method_coefficients(METHOD_ADAMS);
  EXPECT_DOUBLE_EQ(adams.coef(1, 2), 0.5);
  EXPECT_DOUBLE_EQ(adams.coef(2, 2), 1.0);
  EXPECT_DOUBLE_EQ(adams.coef(3, 2), 0.5);
  EXPECT_NEAR(adams.test(2, 2), 12.0, 12.0 * kTight);
  EXPECT_DOUBLE_EQ(adams.test(2, 1), 2.0);
  EXPECT_DOUBLE_EQ(adams.test(1, 2), 1.0);
}

// With x*p(x) in place of (-x)*p(x) every constant below comes out negative
// and the error test could never fail.
TEST(AdamsCoefficients, EveryErrorConstantIsPositive) {
  const MethodCoefficients& adams = method_coefficients(METHOD_ADAMS);
  for (int q = 1; q <= MAX_ADAMS_ORDER; ++q) {
    EXPECT_GT(adams.test(2, q), 0.0) << "q=" << q;
    if (q > 1) {
      EXPECT_GT(adams.test(1, q), 0.0) << "q=" << q;
    }
    if (q < MAX_ADAMS_ORDER) {
      EXPECT_GT(adams.test(3, q), 0.0) << "q=" << q;
    }
    for (int i = 1; i <= q + 1; ++i) EXPECT_GT(adams.coef(i, q), 0.0) << i << "," << q;
  }
  EXPECT_EQ(adams.test(3, MAX_ADAMS_ORDER), 0.0);
  for (int q = 1; q <= MAX_ADAMS_ORDER; ++q) EXPECT_GT(adamserr(q), 0.0) << q;
}

// The order-q+1 constant of one order is the order-q constant of the next.
TEST(AdamsCoefficients, NeighbouringOrdersShareTheirErrorConstants) {
  const MethodCoefficients& adams = method_coefficients(METHOD_ADAMS);
  for (int q = 1; q < MAX_ADAMS_ORDER; ++q) {
    EXPECT_EQ(adams.test(3, q), adams.test(2, q + 1)) << q;
  }
}

// Adams-Moulton order 3 in Nordsieck form: l = (5/12, 1, 3/4, 1/6).
TEST(AdamsCoefficients, OrderThreeMatchesAdamsMoulton) {
  const MethodCoefficients& adams = method_coefficients(METHOD_ADAMS);
  EXPECT_NEAR(adams.coef(1, 3), 5.0 / 12.0, kTight);
  EXPECT_NEAR(adams.coef(3, 3), 0.75, kTight);
  EXPECT_NEAR(adams.coef(4, 3), 1.0 / 6.0, kTight);
  EXPECT_NEAR(adams.test(2, 3), 24.0, 24.0 * kTight);
}

TEST(MethodTables, AreGeneratedOnceAndEqualAFreshGeneration) {
  EXPECT_EQ(&method_coefficients(METHOD_ADAMS), &method_coefficients(METHOD_ADAMS));
  for (int meth : {METHOD_ADAMS, METHOD_BDF}) {
    MethodCoefficients fresh;
    generate_coefficients(meth, fresh);
    const MethodCoefficients& cached = method_coefficients(meth);
    const int orders = meth == METHOD_ADAMS ? MAX_ADAMS_ORDER : MAX_BDF_ORDER;
    for (int q = 1; q <= orders; ++q) {
      for (int i = 1; i <= q + 1; ++i) EXPECT_EQ(cached.coef(i, q), fresh.coef(i, q));
      for (int k = 1; k <= 3; ++k) EXPECT_EQ(cached.test(k, q), fresh.test(k, q));
    }
  }
}

TEST(MethodTables, SwitchingProductsCombineBothTables) {
  const MethodCoefficients& adams = method_coefficients(METHOD_ADAMS);
  const MethodCoefficients& bdf = method_coefficients(METHOD_BDF);
  for (int q = 1; q <= MAX_ADAMS_ORDER; ++q) {
    EXPECT_EQ(adamserr(q), adams.test(2, q) * adams.coef(q + 1, q));
  }
  for (int q = 1; q <= MAX_BDF_ORDER; ++q) {
    EXPECT_EQ(bdferr(q), bdf.test(2, q) * bdf.coef(q + 1, q));
  }
  EXPECT_EQ(adams_stability_limit(1), 0.5);
  EXPECT_EQ(adams_stability_limit(12), 0.025);
}

}  // namespace
}  // namespace tarnok::ode
