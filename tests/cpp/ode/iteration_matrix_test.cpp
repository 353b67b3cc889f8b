// The Newton iteration matrix P = I - h*l(1)*J: supplied and differenced,
// full and banded, its weighted Jacobian norm and singular detection.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ode/iteration_matrix.hpp"

namespace tarnok::ode {
namespace {

constexpr double kRoundoff = 0x1.0p-52;
// Forward differences of a quadratic f: error about the increment size.
constexpr double kDifferenceTolerance = 1.0e-6;

// f_i = -(i+1) y_i + y_{i-1} y_i + 0.5 y_{i+1}: tridiagonal and nonlinear.
void tridiagonal(const int* neq, const double*, const double* y, double* f) noexcept {
  const int n = *neq;
  for (int i = 0; i < n; ++i) {
    f[i] = -(i + 1.0) * y[i];
    if (i > 0) f[i] += y[i - 1] * y[i];
    if (i + 1 < n) f[i] += 0.5 * y[i + 1];
  }
}

double jacobian_entry(int i, int j, const double* y) {
  if (i == j) return -(i + 1.0) + (i > 0 ? y[i - 1] : 0.0);
  if (j == i - 1) return y[i];
  if (j == i + 1) return 0.5;
  return 0.0;
}

void full_jacobian(const int* neq, const double*, const double* y, const int*, const int*,
                   double* pd, const int* nrowpd) noexcept {
  for (int j = 0; j < *neq; ++j)
    for (int i = 0; i < *neq; ++i) pd[i + j * *nrowpd] += jacobian_entry(i, j, y);
}

void band_jacobian(const int* neq, const double*, const double* y, const int* ml,
                   const int* mu, double* pd, const int* nrowpd) noexcept {
  for (int j = 0; j < *neq; ++j) {
    for (int i = std::max(0, j - *mu); i <= std::min(*neq - 1, j + *ml); ++i) {
      pd[(i - j + *mu) + j * *nrowpd] = jacobian_entry(i, j, y);
    }
  }
}

// One matrix preparation with its own arrays, for n equations.
struct Preparation {
  int n;
  std::vector<double> y;
  std::vector<double> z;
  std::vector<double> ewt;
  std::vector<double> f_trial;
  std::vector<double> f_saved;
  std::vector<double> area;
  std::vector<int> pivots;
  LsodaState state;

  Preparation(int size, int type, int ml = 0, int mu = 0)
      : n(size), y(static_cast<std::size_t>(size)), z(static_cast<std::size_t>(size)),
        ewt(static_cast<std::size_t>(size), 1.0e4), f_trial(static_cast<std::size_t>(size)),
        f_saved(static_cast<std::size_t>(size)),
        area(static_cast<std::size_t>(2 + size * size + 2 * size * (ml + 1)), 0.0),
        pivots(static_cast<std::size_t>(size)) {
    for (int i = 0; i < size; ++i) y[static_cast<std::size_t>(i)] = 0.3 + 0.1 * i;
    z = y;
    state.n = size;
    state.h = 0.01;
    state.l[0] = 0.5;
    state.roundoff = kRoundoff;
    state.iteration_type = type;
    state.ml = ml;
    state.mu = mu;
    area[MATRIX_FD_FACTOR_SLOT] = std::sqrt(kRoundoff);
  }

  int prepare(RhsFn f = tridiagonal, JacFn jac = full_jacobian) {
    f(&n, &state.tcur, y.data(), f_saved.data());
    return prepare_iteration_matrix(
        state, MatrixProblem{f, jac, &n, y.data(), z.data(), ewt.data(), f_trial.data(),
                             f_saved.data(), area.data(), pivots.data()});
  }

  std::vector<double> solve(std::vector<double> b) const {
    solve_iteration_matrix(state, area.data(), pivots.data(), b.data());
    return b;
  }
};

const std::vector<double> kRightHandSide{1.0, -2.0, 0.5, 3.0, -1.0, 0.25};

TEST(IterationMatrix, DifferencesMatchTheSuppliedFullJacobian) {
  Preparation supplied(6, 1);
  Preparation differenced(6, 2);
  ASSERT_EQ(supplied.prepare(tridiagonal, full_jacobian), 0);
  ASSERT_EQ(differenced.prepare(), 0);
  const auto x1 = supplied.solve(kRightHandSide);
  const auto x2 = differenced.solve(kRightHandSide);
  for (std::size_t i = 0; i < x1.size(); ++i) EXPECT_NEAR(x1[i], x2[i], kDifferenceTolerance);
  EXPECT_NEAR(supplied.state.jacnorm, differenced.state.jacnorm,
              kDifferenceTolerance * supplied.state.jacnorm);
  EXPECT_EQ(supplied.state.nrhs, 0);
  EXPECT_EQ(differenced.state.nrhs, 6);
  EXPECT_EQ(differenced.state.njac, 1);
  EXPECT_EQ(differenced.state.jcurrent, 1);
  EXPECT_EQ(differenced.y, differenced.z) << "y restored after the differences";
}

TEST(IterationMatrix, BandMatchesFullAndGroupsItsDifferences) {
  Preparation full(6, 1);
  Preparation band_supplied(6, 4, 1, 1);
  Preparation band_differenced(6, 5, 1, 1);
  ASSERT_EQ(full.prepare(tridiagonal, full_jacobian), 0);
  ASSERT_EQ(band_supplied.prepare(tridiagonal, band_jacobian), 0);
  ASSERT_EQ(band_differenced.prepare(), 0);
  const auto reference = full.solve(kRightHandSide);
  const auto x4 = band_supplied.solve(kRightHandSide);
  const auto x5 = band_differenced.solve(kRightHandSide);
  for (std::size_t i = 0; i < reference.size(); ++i) {
    EXPECT_NEAR(x4[i], reference[i], 1.0e-13);
    EXPECT_NEAR(x5[i], reference[i], kDifferenceTolerance);
  }
  EXPECT_NEAR(band_supplied.state.jacnorm, full.state.jacnorm, 1.0e-12 * full.state.jacnorm);
  EXPECT_EQ(band_differenced.state.nrhs, 3) << "ml + mu + 1 evaluations for n = 6";
  EXPECT_EQ(band_differenced.y, band_differenced.z);
}

// jacnorm = max_i w_i sum_j |J_ij| / w_j with w the inverse weights.
TEST(IterationMatrix, JacobianNormIsWeightedByTheTolerances) {
  Preparation p(2, 1);
  p.ewt = {1.0, 2.0};
  p.prepare(tridiagonal, [](const int*, const double*, const double*, const int*, const int*,
                            double* pd, const int*) noexcept {
    pd[0] = 1.0;
    pd[1] = 3.0;
    pd[2] = 2.0;
    pd[3] = 4.0;
  });
  EXPECT_DOUBLE_EQ(p.state.jacnorm, 10.0);  // row 2: 2*(3/1 + 4/2)
}

// With f = 0 the base increment r0 falls back to 1, and a component at 0 is
// perturbed by r0 divided by its inverse weight.
thread_local std::vector<double> g_perturbed;
void record_and_vanish(const int* neq, const double*, const double* y, double* f) noexcept {
  for (int i = 0; i < *neq; ++i) {
    f[i] = 0.0;
    if (y[i] != 0.0) g_perturbed.push_back(y[i]);
  }
}

TEST(IterationMatrix, IncrementFallsBackToTheWeightWhenYAndFAreZero) {
  Preparation p(2, 2);
  p.y = {0.0, 0.0};
  p.ewt = {4.0, 0.5};
  g_perturbed.clear();
  p.prepare(record_and_vanish);
  ASSERT_EQ(g_perturbed.size(), 2u);
  EXPECT_EQ(g_perturbed[0], 0.25);
  EXPECT_EQ(g_perturbed[1], 2.0);
}

TEST(IterationMatrix, SingularMatrixIsReported) {
  Preparation p(2, 1);
  p.state.h = 1.0;
  p.state.l[0] = 1.0;
  const int singular = p.prepare(tridiagonal, [](const int*, const double*, const double*,
                                                 const int*, const int*, double* pd,
                                                 const int*) noexcept {
    pd[0] = 1.0;  // J = I makes P = I - J = 0
    pd[3] = 1.0;
  });
  EXPECT_EQ(singular, 1);
}

}  // namespace
}  // namespace tarnok::ode
