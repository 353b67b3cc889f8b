// The Levenberg step: the delta minimising |J delta + r|^2 + lambda |delta|^2, solved by
// orthogonal factorisation so that an ill-conditioned or rank-deficient J costs accuracy
// only in the directions it cannot determine (the normal equations would square its
// condition number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnok::robust_fit {

// Whether a parameter may move in the current step.
enum class Freedom : std::uint8_t { free, held };

// Factorises J once per iteration, then solves cheaply for each damping tried.
// Storage is sized once at construction.
class DampedLeastSquares {
 public:
  DampedLeastSquares(std::size_t rows, std::size_t cols);

  // Reduces [J | -r] to triangular form [R | c] by Householder reflections (J = Q R).
  // jacobian (rows x cols, column-major) is overwritten; held columns are ignored.
  void factor(std::span<double> jacobian, std::span<const double> residuals, std::span<const Freedom> freedom);

  // The damped step for lambda > 0: the least-squares solution of [R; sqrt(lambda) I] delta
  // = [c; 0], which has the same minimiser as the full problem at a cost independent of
  // rows. Held parameters get delta = 0.
  void solve(double lambda, std::span<double> delta);

 private:
  std::size_t rows_;
  std::size_t cols_;
  std::vector<double> rhs_;         // -r, then Q^T (-r)
  std::vector<double> triangle_;    // R, cols x cols (zero rows when rows < cols)
  std::vector<double> projected_;   // c, the first cols entries of Q^T (-r)
  std::vector<double> stacked_;     // [R; D], 2 cols x cols
  std::vector<double> stacked_rhs_; // [c; 0]
  std::vector<double> reflector_;   // Householder vector, max(rows, 2 cols)
  std::vector<Freedom> freedom_;
};

}  // namespace tarnok::robust_fit
