// Preparation of the Newton iteration matrix P = I - h*l(1)*J and the solve
// with its LU factors. Finite-difference increments are scaled to the error
// weights so that every column is perturbed by a meaningful, nonzero amount.
#include "ode/iteration_matrix.hpp"

#include <algorithm>
#include <cmath>

#include "ode/band_lu.hpp"
#include "ode/blas_kernels.hpp"
#include "ode/dense_lu.hpp"
#include "ode/error_weights.hpp"

namespace tarnok::ode {
namespace {

enum IterationType : int { FULL_SUPPLIED = 1, FULL_DIFFERENCES = 2, BAND_SUPPLIED = 4,
                           BAND_DIFFERENCES = 5 };

// Base increment r0 of the finite differences, from the size of f. It must
// not be 0, or a component with y_j = 0 would not be perturbed at all.
double difference_base(const LsodaState& s, const MatrixProblem& p) {
  const double fac = weighted_max_norm(s.n, p.f_saved, p.ewt);
  const double r0 = 1000.0 * std::abs(s.h) * s.roundoff * s.n * fac;
  return r0 == 0.0 ? 1.0 : r0;
}

// Increment for component j: relative to y_j, but never below r0 times the
// error weight (r0 divided by the inverse weight).
double increment(double fd_factor, double yj, double r0, double inverse_weight) {
  return std::max(fd_factor * std::abs(yj), r0 / inverse_weight);
}

void full_by_differences(LsodaState& s, const MatrixProblem& p, double* matrix,
                         double h_l1) {
  const int n = s.n;
  const double fd_factor = p.matrix_area[MATRIX_FD_FACTOR_SLOT];
  const double r0 = difference_base(s, p);
  for (int j = 0; j < n; ++j) {
    const double yj = p.y[j];
    const double r = increment(fd_factor, yj, r0, p.ewt[j]);
    p.y[j] = yj + r;
    p.rhs(p.neq, &s.tcur, p.y, p.f_trial);
    const double fac = -h_l1 / r;
    double* column = matrix + static_cast<long>(j) * n;
    for (int i = 0; i < n; ++i) column[i] = (p.f_trial[i] - p.f_saved[i]) * fac;
    p.y[j] = yj;
  }
  s.nrhs += n;
}

// Columns j, j + mband, j + 2*mband, ... share no row of the band, so one
// evaluation of f differences all of them at once.
void band_by_differences(LsodaState& s, const MatrixProblem& p, double* matrix,
                         double h_l1) {
  const int n = s.n;
  const int ml = s.ml;
  const int mu = s.mu;
  const int mband = ml + mu + 1;
  const int mba = std::min(mband, n);
  const int lda = band_rows(ml, mu);
  const double fd_factor = p.matrix_area[MATRIX_FD_FACTOR_SLOT];
  const double r0 = difference_base(s, p);
  for (int j = 0; j < mba; ++j) {
    for (int i = j; i < n; i += mband) p.y[i] += increment(fd_factor, p.y[i], r0, p.ewt[i]);
    p.rhs(p.neq, &s.tcur, p.y, p.f_trial);
    for (int jj = j; jj < n; jj += mband) {
      // The prediction is the unperturbed value, so it both restores y_jj
      // and reproduces the increment used above.
      p.y[jj] = p.z[jj];
      const double r = increment(fd_factor, p.y[jj], r0, p.ewt[jj]);
      const double fac = -h_l1 / r;
      const int first_row = std::max(jj - mu, 0);
      const int last_row = std::min(jj + ml, n - 1);
      double* column = matrix + static_cast<long>(jj) * lda;
      for (int i = first_row; i <= last_row; ++i) {
        column[i - jj + ml + mu] = (p.f_trial[i] - p.f_saved[i]) * fac;
      }
    }
  }
  s.nrhs += mba;
}

// max_i w_i * sum_j |a_ij| / w_j over the full matrix.
double full_weighted_norm(int n, const double* a, const double* w) {
  double norm = 0.0;
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) sum += std::abs(a[i + static_cast<long>(j) * n]) / w[j];
    norm = std::max(norm, sum * w[i]);
  }
  return norm;
}

// The same norm over the band entries of each row.
double band_weighted_norm(int n, int ml, int mu, const double* band, int lda,
                          const double* w) {
  double norm = 0.0;
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    const int first = std::max(i - ml, 0);
    const int last = std::min(i + mu, n - 1);
    for (int j = first; j <= last; ++j) {
      sum += std::abs(band[(i - j + ml + mu) + static_cast<long>(j) * lda]) / w[j];
    }
    norm = std::max(norm, sum * w[i]);
  }
  return norm;
}

int prepare_full(LsodaState& s, const MatrixProblem& p, double* matrix, double h_l1) {
  const int n = s.n;
  const int size = n * n;
  if (s.iteration_type == FULL_SUPPLIED) {
    std::fill(matrix, matrix + size, 0.0);
    const int no_band = 0;
    p.jacobian(p.neq, &s.tcur, p.y, &no_band, &no_band, matrix, &n);
    dscal(size, -h_l1, matrix, 1);
  } else {
    full_by_differences(s, p, matrix, h_l1);
  }
  s.jacnorm = full_weighted_norm(n, matrix, p.ewt) / std::abs(h_l1);
  for (int i = 0; i < n; ++i) matrix[i + static_cast<long>(i) * n] += 1.0;
  int info = 0;
  DGEFA(matrix, n, n, p.pivots, &info);
  return info != 0 ? 1 : 0;
}

int prepare_band(LsodaState& s, const MatrixProblem& p, double* matrix, double h_l1) {
  const int n = s.n;
  const int ml = s.ml;
  const int mu = s.mu;
  const int lda = band_rows(ml, mu);
  const int size = lda * n;
  if (s.iteration_type == BAND_SUPPLIED) {
    std::fill(matrix, matrix + size, 0.0);
    // The caller sees the band without the fill-in rows, so its element
    // (i, j) lands in row i - j + mu + 1 of that view.
    p.jacobian(p.neq, &s.tcur, p.y, &ml, &mu, matrix + ml, &lda);
    dscal(size, -h_l1, matrix, 1);
  } else {
    band_by_differences(s, p, matrix, h_l1);
  }
  s.jacnorm = band_weighted_norm(n, ml, mu, matrix, lda, p.ewt) / std::abs(h_l1);
  for (int j = 0; j < n; ++j) matrix[(ml + mu) + static_cast<long>(j) * lda] += 1.0;
  int info = 0;
  DGBFA(matrix, lda, n, ml, mu, p.pivots, &info);
  return info != 0 ? 1 : 0;
}

}  // namespace

int prepare_iteration_matrix(LsodaState& state, const MatrixProblem& problem) noexcept {
  state.njac += 1;
  state.jcurrent = 1;
  const double h_l1 = state.h * state.l[0];
  double* matrix = problem.matrix_area + MATRIX_FIRST_SLOT;
  if (state.iteration_type == FULL_SUPPLIED || state.iteration_type == FULL_DIFFERENCES) {
    return prepare_full(state, problem, matrix, h_l1);
  }
  return prepare_band(state, problem, matrix, h_l1);
}

int solve_iteration_matrix(const LsodaState& state, const double* matrix_area,
                           const int* pivots, double* x) noexcept {
  const double* matrix = matrix_area + MATRIX_FIRST_SLOT;
  const int n = state.n;
  if (state.iteration_type == FULL_SUPPLIED || state.iteration_type == FULL_DIFFERENCES) {
    DGESL(matrix, n, n, pivots, x, 0);
  } else {
    DGBSL(matrix, band_rows(state.ml, state.mu), n, state.ml, state.mu, pivots, x, 0);
  }
  return 0;
}

}  // namespace tarnok::ode
