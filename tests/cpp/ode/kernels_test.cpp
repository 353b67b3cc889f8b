// The integrator's numerical kernels: unit roundoff, error weights and norm,
// level-1 vector kernels, and the dense and band LU factorisations with their
// solves (which must agree with each other to the last bit).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "ode/band_lu.hpp"
#include "ode/blas_kernels.hpp"
#include "ode/dense_lu.hpp"
#include "ode/error_weights.hpp"
#include "ode/roundoff.hpp"

namespace tarnok::ode {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Solutions of small well-conditioned integer systems: a few ulps of the
// solution's size is all that rounding can cost.
constexpr double kSolveTolerance = 1e-13;

TEST(UnitRoundoff, IsTheHalvingLimitOfDoubleArithmetic) {
  const double u = unit_roundoff();
  EXPECT_EQ(u, std::ldexp(1.0, -52));
  volatile double one_plus_u = 1.0 + u;
  volatile double one_plus_half_u = 1.0 + u / 2.0;
  EXPECT_NE(one_plus_u, 1.0);
  EXPECT_EQ(one_plus_half_u, 1.0);
  EXPECT_EQ(unit_roundoff(), u);
}

TEST(ErrorWeights, ItolChoosesWhichToleranceIsPerComponent) {
  const std::array<double, 3> y{-10.0, 20.0, -30.0};
  const std::array<double, 3> rtol{0.5, 0.25, 0.125};
  const std::array<double, 3> atol{1.0, 2.0, 3.0};
  // Scalars are passed as single doubles so a read past element 0 is caught
  // by the address sanitizer.
  const double rtol_scalar = 0.5;
  const double atol_scalar = 1.0;
  std::array<double, 3> ewt{};

  compute_error_weights(3, 1, &rtol_scalar, &atol_scalar, y.data(), ewt.data());
  EXPECT_EQ(ewt, (std::array<double, 3>{6.0, 11.0, 16.0}));
  compute_error_weights(3, 2, &rtol_scalar, atol.data(), y.data(), ewt.data());
  EXPECT_EQ(ewt, (std::array<double, 3>{6.0, 12.0, 18.0}));
  compute_error_weights(3, 3, rtol.data(), &atol_scalar, y.data(), ewt.data());
  EXPECT_EQ(ewt, (std::array<double, 3>{6.0, 6.0, 4.75}));
  compute_error_weights(3, 4, rtol.data(), atol.data(), y.data(), ewt.data());
  EXPECT_EQ(ewt, (std::array<double, 3>{6.0, 7.0, 6.75}));
}

TEST(WeightedMaxNorm, TakesTheLargestWeightedMagnitude) {
  const std::array<double, 4> v{1.0, -8.0, 3.0, -0.5};
  const std::array<double, 4> w{2.0, 0.5, 1.0, 100.0};
  EXPECT_EQ(weighted_max_norm(4, v.data(), w.data()), 50.0);
  EXPECT_EQ(weighted_max_norm(3, v.data(), w.data()), 4.0);
  EXPECT_EQ(weighted_max_norm(0, v.data(), w.data()), 0.0);
  EXPECT_EQ(weighted_max_norm(-1, nullptr, nullptr), 0.0);
}

TEST(WeightedMaxNorm, SkipsNaNTermsWhereverTheyStand) {
  const std::array<double, 3> w{1.0, 1.0, 1.0};
  EXPECT_EQ(weighted_max_norm(3, std::array{kNaN, 1.0, 2.0}.data(), w.data()), 2.0);
  EXPECT_EQ(weighted_max_norm(3, std::array{1.0, 2.0, kNaN}.data(), w.data()), 2.0);
}

TEST(BlasKernels, AxpyWalksStridesAndReversesOnNegativeOnes) {
  const std::array<double, 5> x{1.0, -99.0, 2.0, -99.0, 3.0};
  std::array<double, 3> y{100.0, 200.0, 300.0};
  daxpy(3, 10.0, x.data(), 2, y.data(), -1);
  EXPECT_EQ(y, (std::array<double, 3>{130.0, 220.0, 310.0}));

  std::array<double, 5> strided{1.0, 1.0, 1.0, 1.0, 1.0};
  daxpy(3, 2.0, std::array{1.0, 2.0, 3.0}.data(), -1, strided.data(), 2);
  EXPECT_EQ(strided, (std::array<double, 5>{7.0, 1.0, 5.0, 1.0, 3.0}));
}

TEST(BlasKernels, AxpyWithZeroFactorOrNoElementsLeavesYAlone) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::array<double, 2> x{inf, kNaN};
  std::array<double, 2> y{1.0, 2.0};
  daxpy(2, 0.0, x.data(), 1, y.data(), 1);
  daxpy(0, 5.0, x.data(), 1, y.data(), 1);
  daxpy(-3, 5.0, x.data(), 1, y.data(), 1);
  EXPECT_EQ(y, (std::array<double, 2>{1.0, 2.0}));
}

TEST(BlasKernels, DotAndScaleFollowTheStrides) {
  const std::array<double, 3> x{1.0, 2.0, 3.0};
  const std::array<double, 6> y{4.0, 0.0, 5.0, 0.0, 6.0, 0.0};
  EXPECT_EQ(ddot(3, x.data(), 1, y.data(), 2), 32.0);
  EXPECT_EQ(ddot(3, x.data(), -1, y.data(), 2), 28.0);
  EXPECT_EQ(ddot(3, x.data(), -1, y.data(), -2), 32.0);
  EXPECT_EQ(ddot(0, x.data(), 1, y.data(), 1), 0.0);

  std::array<double, 5> v{1.0, 2.0, 3.0, 4.0, 5.0};
  dscal(3, -2.0, v.data(), 2);
  EXPECT_EQ(v, (std::array<double, 5>{-2.0, 2.0, -6.0, 4.0, -10.0}));
  dscal(2, 0.5, v.data(), -3);
  EXPECT_EQ(v, (std::array<double, 5>{-1.0, 2.0, -6.0, 2.0, -10.0}));
  dscal(0, 0.0, v.data(), 1);
  EXPECT_EQ(v[0], -1.0);
}

TEST(BlasKernels, IdamaxReturnsTheFirstLargestOneBased) {
  EXPECT_EQ(idamax(4, std::array{1.0, -3.0, 3.0, 2.0}.data(), 1), 2);
  EXPECT_EQ(idamax(3, std::array{1.0, 9.0, 2.0, 9.0, -5.0, 9.0}.data(), 2), 3);
  EXPECT_EQ(idamax(1, std::array{0.0}.data(), 1), 1);
  EXPECT_EQ(idamax(0, std::array{1.0}.data(), 1), 0);
}

// Column-major n x n matrix from rows written out as in mathematics.
template <std::size_t N>
std::array<double, N * N> column_major(const std::array<std::array<double, N>, N>& rows) {
  std::array<double, N * N> a{};
  for (std::size_t i = 0; i < N; ++i)
    for (std::size_t j = 0; j < N; ++j) a[j * N + i] = rows[i][j];
  return a;
}

TEST(DenseLu, FactorsAKnownMatrixAndSolvesBothWays) {
  // Step 1 pivots on row 2; step 2 meets a tie (4 and 4), kept on the top row.
  auto a = column_major<3>({{{2, 1, 1}, {4, -6, 0}, {-2, 7, 2}}});
  std::array<int, 3> ipvt{};
  int info = -1;
  DGEFA(a.data(), 3, 3, ipvt.data(), &info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(ipvt, (std::array<int, 3>{2, 2, 3}));
  // Upper triangle U, with the negated multipliers below the diagonal.
  EXPECT_EQ(a, column_major<3>({{{4, -6, 0}, {-0.5, 4, 1}, {0.5, -1, 1}}}));

  std::array<double, 3> b{7.0, -8.0, 18.0};  // A * (1, 2, 3)
  DGESL(a.data(), 3, 3, ipvt.data(), b.data(), 0);
  EXPECT_EQ(b, (std::array<double, 3>{1.0, 2.0, 3.0}));
  std::array<double, 3> bt{4.0, 10.0, 7.0};  // A^T * (1, 2, 3)
  DGESL(a.data(), 3, 3, ipvt.data(), bt.data(), 1);
  EXPECT_EQ(bt, (std::array<double, 3>{1.0, 2.0, 3.0}));
}

TEST(DenseLu, PivotTiesChooseTheTopmostRow) {
  auto tie_at_top = column_major<2>({{{-3, 1}, {3, 2}}});
  auto tie_below = column_major<3>({{{1, 0, 0}, {-2, 1, 0}, {2, 0, 1}}});
  std::array<int, 3> ipvt{};
  int info = -1;
  DGEFA(tie_at_top.data(), 2, 2, ipvt.data(), &info);
  EXPECT_EQ(ipvt[0], 1);
  DGEFA(tie_below.data(), 3, 3, ipvt.data(), &info);
  EXPECT_EQ(ipvt[0], 2);
}

TEST(DenseLu, ReportsTheFirstExactlyZeroPivotAndCarriesOn) {
  std::array<double, 1> zero{0.0};
  std::array<int, 1> ipvt1{-1};
  int info = -1;
  DGEFA(zero.data(), 1, 1, ipvt1.data(), &info);
  EXPECT_EQ(ipvt1[0], 1);
  EXPECT_EQ(info, 1);
  std::array<double, 1> nonzero{-2.0};
  DGEFA(nonzero.data(), 1, 1, ipvt1.data(), &info);
  EXPECT_EQ(info, 0);

  std::array<int, 2> ipvt{};
  auto zero_column = column_major<2>({{{0, 1}, {0, 2}}});
  DGEFA(zero_column.data(), 2, 2, ipvt.data(), &info);
  EXPECT_EQ(info, 1);
  EXPECT_EQ(ipvt, (std::array<int, 2>{1, 2}));
  auto dependent_rows = column_major<2>({{{1, 2}, {2, 4}}});
  DGEFA(dependent_rows.data(), 2, 2, ipvt.data(), &info);
  EXPECT_EQ(info, 2);
}

TEST(DenseLu, HonoursALeadingDimensionLargerThanN) {
  // 2 x 2 matrix inside a 3-row array; the spare row must stay untouched.
  std::array<double, 6> a{1.0, 3.0, 77.0, 2.0, 4.0, 77.0};
  std::array<int, 2> ipvt{};
  int info = -1;
  DGEFA(a.data(), 3, 2, ipvt.data(), &info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(a[2], 77.0);
  EXPECT_EQ(a[5], 77.0);
  std::array<double, 2> b{5.0, 11.0};  // A * (1, 2)
  DGESL(a.data(), 3, 2, ipvt.data(), b.data(), 0);
  EXPECT_NEAR(b[0], 1.0, kSolveTolerance);
  EXPECT_NEAR(b[1], 2.0, kSolveTolerance);
}

// A banded test problem held both densely and in LINPACK band storage, whose
// fill-in rows start out as garbage that the factorisation must clear.
struct BandProblem {
  int n;
  int ml;
  int mu;
  std::vector<double> dense;
  std::vector<double> band;

  int lda() const { return 2 * ml + mu + 1; }

  BandProblem(int n_, int ml_, int mu_, double (*entry)(int i, int j))
      : n(n_), ml(ml_), mu(mu_), dense(static_cast<std::size_t>(n * n), 0.0),
        band(static_cast<std::size_t>(lda() * n), 1e300) {
    for (int j = 1; j <= n; ++j) {
      for (int i = std::max(1, j - mu); i <= std::min(n, j + ml); ++i) {
        const double value = entry(i, j);
        dense[static_cast<std::size_t>((j - 1) * n + (i - 1))] = value;
        band[static_cast<std::size_t>((j - 1) * lda() + (i - j + ml + mu))] = value;
      }
    }
  }

  // A * x (transpose: A^T * x) for x = (1, 2, ..., n), exact in integers.
  std::vector<double> rhs_for_counting_solution(bool transpose) const {
    std::vector<double> b(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const int stored = transpose ? i * n + j : j * n + i;
        b[static_cast<std::size_t>(i)] += dense[static_cast<std::size_t>(stored)] * (j + 1);
      }
    return b;
  }
};

// Checks that the band routines reproduce the dense ones bit for bit (the
// same operations on the same nonzeros, in the same order) and solve exactly.
void expect_band_matches_dense(BandProblem p) {
  const auto n = static_cast<std::size_t>(p.n);
  const std::vector<double> rhs[2] = {p.rhs_for_counting_solution(false),
                                      p.rhs_for_counting_solution(true)};
  std::vector<int> dense_pivots(n), band_pivots(n);
  int dense_info = -1;
  int band_info = -1;
  DGEFA(p.dense.data(), p.n, p.n, dense_pivots.data(), &dense_info);
  DGBFA(p.band.data(), p.lda(), p.n, p.ml, p.mu, band_pivots.data(), &band_info);
  EXPECT_EQ(dense_info, 0);
  EXPECT_EQ(band_info, 0);
  EXPECT_EQ(band_pivots, dense_pivots);

  for (int job : {0, 1}) {
    SCOPED_TRACE(job == 0 ? "A x = b" : "A^T x = b");
    std::vector<double> dense_x = rhs[job];
    std::vector<double> band_x = dense_x;
    DGESL(p.dense.data(), p.n, p.n, dense_pivots.data(), dense_x.data(), job);
    DGBSL(p.band.data(), p.lda(), p.n, p.ml, p.mu, band_pivots.data(), band_x.data(), job);
    EXPECT_EQ(band_x, dense_x);
    for (std::size_t i = 0; i < n; ++i)
      EXPECT_NEAR(band_x[i], static_cast<double>(i + 1), kSolveTolerance * p.n);
  }
}

TEST(BandLu, TridiagonalAgreesWithDense) {
  BandProblem p(6, 1, 1, [](int i, int j) { return i == j ? 4.0 : (i < j ? -1.0 : -2.0); });
  expect_band_matches_dense(p);
}

TEST(BandLu, PivotingBandWithFillInAgreesWithDense) {
  // Small diagonal against large subdiagonals forces row swaps and fill-in
  // above the upper band.
  BandProblem p(7, 2, 1, [](int i, int j) {
    if (i == j) return 0.5 + 0.125 * i;
    return static_cast<double>(3 * i - 2 * j + (i > j ? 5 : -1));
  });
  std::vector<int> pivots(7);
  int info = -1;
  BandProblem probe = p;
  DGBFA(probe.band.data(), probe.lda(), 7, 2, 1, pivots.data(), &info);
  int swaps = 0;
  for (int k = 0; k < 7; ++k) swaps += pivots[static_cast<std::size_t>(k)] != k + 1;
  EXPECT_GT(swaps, 0) << "the problem no longer exercises pivoting";
  expect_band_matches_dense(p);
}

TEST(BandLu, DiagonalBandAndZeroPivot) {
  // ml = mu = 0: no multipliers, the solve is a plain division.
  std::array<double, 3> diag{2.0, 4.0, 8.0};
  std::array<int, 3> ipvt{};
  int info = -1;
  DGBFA(diag.data(), 1, 3, 0, 0, ipvt.data(), &info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(ipvt, (std::array<int, 3>{1, 2, 3}));
  std::array<double, 3> b{2.0, 2.0, 2.0};
  DGBSL(diag.data(), 1, 3, 0, 0, ipvt.data(), b.data(), 0);
  EXPECT_EQ(b, (std::array<double, 3>{1.0, 0.5, 0.25}));

  // Tridiagonal 2 x 2 with a zero first column: info names step 1.
  std::array<double, 8> band{9.0, 9.0, 0.0, 0.0, 9.0, 1.0, 3.0, 9.0};
  std::array<int, 2> pivots{};
  DGBFA(band.data(), 4, 2, 1, 1, pivots.data(), &info);
  EXPECT_EQ(info, 1);
  EXPECT_EQ(pivots[0], 1);
}

}  // namespace
}  // namespace tarnok::ode
