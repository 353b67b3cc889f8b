#include "robust_fit/damped_least_squares.hpp"

#include <algorithm>
#include <cmath>

namespace tarnok::robust_fit {

namespace {

// A column-major matrix view over borrowed storage.
struct MatrixView {
  std::span<double> values;
  std::size_t rows;
  std::size_t cols;
  double& at(std::size_t i, std::size_t j) const { return values[j * rows + i]; }
  std::span<double> column(std::size_t j) const { return values.subspan(j * rows, rows); }
};

// Applies I - 2 v v^T / (v^T v) to x[first ..], v living in reflector[first ..].
void reflect(std::span<const double> reflector, double vtv, std::size_t first, std::span<double> x) {
  double dot = 0.0;
  for (std::size_t i = first; i < x.size(); ++i) dot += reflector[i] * x[i];
  const double scale = 2.0 * dot / vtv;
  for (std::size_t i = first; i < x.size(); ++i) x[i] -= scale * reflector[i];
}

// Zeroes column k below the diagonal with one reflection applied to the trailing
// columns and rhs. The column is scaled by its largest entry first so that squaring
// neither overflows nor underflows.
void eliminate_column(MatrixView a, std::size_t k, std::span<double> rhs, std::span<double> reflector) {
  const std::span<double> column = a.column(k);
  double largest = 0.0;
  for (std::size_t i = k; i < a.rows; ++i) largest = std::max(largest, std::abs(column[i]));
  if (largest == 0.0) return;
  double sum_squares = 0.0;
  for (std::size_t i = k; i < a.rows; ++i) {
    reflector[i] = column[i] / largest;
    sum_squares += reflector[i] * reflector[i];
  }
  const double norm = std::sqrt(sum_squares);
  // The sign opposite to the diagonal keeps v_k from cancelling.
  const double alpha = reflector[k] > 0.0 ? -norm : norm;
  reflector[k] -= alpha;
  double vtv = 0.0;
  for (std::size_t i = k; i < a.rows; ++i) vtv += reflector[i] * reflector[i];
  column[k] = alpha * largest;
  for (std::size_t i = k + 1; i < a.rows; ++i) column[i] = 0.0;
  const std::span<const double> v = reflector.first(a.rows);
  for (std::size_t j = k + 1; j < a.cols; ++j) reflect(v, vtv, k, a.column(j));
  reflect(v, vtv, k, rhs.first(a.rows));
}

void triangularize(MatrixView a, std::span<double> rhs, std::span<double> reflector) {
  const std::size_t steps = std::min(a.rows, a.cols);
  for (std::size_t k = 0; k < steps; ++k) eliminate_column(a, k, rhs, reflector);
}

// Solves the leading cols x cols upper triangle of a for x; its diagonal is nonzero
// because the damping rows give [R; D] full column rank. A held x is exactly 0 in exact
// arithmetic; setting it so keeps its rounding out of the free components.
void back_substitute(MatrixView a, std::span<const double> rhs, std::span<const Freedom> freedom,
                     std::span<double> x) {
  for (std::size_t k = a.cols; k-- > 0;) {
    if (freedom[k] == Freedom::held) {
      x[k] = 0.0;
      continue;
    }
    double sum = rhs[k];
    for (std::size_t j = k + 1; j < a.cols; ++j) sum -= a.at(k, j) * x[j];
    x[k] = sum / a.at(k, k);
  }
}

}  // namespace

DampedLeastSquares::DampedLeastSquares(std::size_t rows, std::size_t cols)
    : rows_(rows),
      cols_(cols),
      rhs_(rows),
      triangle_(cols * cols),
      projected_(cols),
      stacked_(2 * cols * cols),
      stacked_rhs_(2 * cols),
      reflector_(std::max(rows, 2 * cols)),
      freedom_(cols, Freedom::free) {}

void DampedLeastSquares::factor(std::span<double> jacobian, std::span<const double> residuals,
                                std::span<const Freedom> freedom) {
  std::copy(freedom.begin(), freedom.end(), freedom_.begin());
  const MatrixView j{jacobian, rows_, cols_};
  for (std::size_t col = 0; col < cols_; ++col)
    if (freedom_[col] == Freedom::held) std::fill(j.column(col).begin(), j.column(col).end(), 0.0);
  for (std::size_t i = 0; i < rows_; ++i) rhs_[i] = -residuals[i];
  triangularize(j, rhs_, reflector_);

  const MatrixView r{triangle_, cols_, cols_};
  std::fill(triangle_.begin(), triangle_.end(), 0.0);
  std::fill(projected_.begin(), projected_.end(), 0.0);
  const std::size_t filled_rows = std::min(rows_, cols_);
  for (std::size_t col = 0; col < cols_; ++col)
    for (std::size_t row = 0; row < std::min(filled_rows, col + 1); ++row) r.at(row, col) = j.at(row, col);
  std::copy_n(rhs_.begin(), filled_rows, projected_.begin());
}

void DampedLeastSquares::solve(double lambda, std::span<double> delta) {
  const MatrixView stacked{stacked_, 2 * cols_, cols_};
  const MatrixView r{triangle_, cols_, cols_};
  const double damping = std::sqrt(lambda);
  std::fill(stacked_.begin(), stacked_.end(), 0.0);
  for (std::size_t col = 0; col < cols_; ++col) {
    for (std::size_t row = 0; row <= col; ++row) stacked.at(row, col) = r.at(row, col);
    // A held column of R is zero; a unit damping row keeps the system regular and
    // pins its delta at 0.
    stacked.at(cols_ + col, col) = freedom_[col] == Freedom::held ? 1.0 : damping;
  }
  std::copy(projected_.begin(), projected_.end(), stacked_rhs_.begin());
  std::fill(stacked_rhs_.begin() + static_cast<std::ptrdiff_t>(cols_), stacked_rhs_.end(), 0.0);
  triangularize(stacked, stacked_rhs_, reflector_);
  back_substitute(stacked, stacked_rhs_, freedom_, delta);
}

}  // namespace tarnok::robust_fit
