// Anderson acceleration of a fixed-point iteration x <- x + f(x): each step
// combines the last few steps so that their residuals f cancel as far as a
// least-squares fit of them allows. On a map that is nearly linear it needs
// about as many steps as the residuals have significant directions, where the
// plain iteration would shrink the error only by its contraction factor per
// step. Storage is sized once; a step allocates nothing.
#pragma once

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

namespace tarnok::engine {

class AndersonAccelerator {
 public:
  static constexpr std::size_t memory = 5;

  // Forgets every earlier step and sizes the storage for vectors of n values.
  void reset(std::size_t n) {
    n_ = n;
    dx_.resize(memory * n);
    df_.resize(memory * n);
    x_previous_.resize(n);
    f_previous_.resize(n);
    count_ = 0;
    steps_ = 0;
  }

  // Given the current iterate x and its residual f, writes the next iterate
  // into x.
  void step(std::span<double> x, std::span<const double> f) noexcept {
    if (steps_ > 0) {
      const std::size_t slot = (steps_ - 1) % memory;
      for (std::size_t i = 0; i < n_; ++i) {
        dx_[slot * n_ + i] = x[i] - x_previous_[i];
        df_[slot * n_ + i] = f[i] - f_previous_[i];
      }
      count_ = std::min(count_ + 1, memory);
    }
    std::copy(x.begin(), x.end(), x_previous_.begin());
    std::copy(f.begin(), f.end(), f_previous_.begin());
    ++steps_;

    const std::size_t m = count_;
    Coefficients gamma = Coefficients::Zero(static_cast<Eigen::Index>(m));
    if (m > 0 && !mixing_coefficients(f, gamma)) {
      // The differences have become dependent: start afresh from this
      // iterate, the next difference going into the first slot.
      count_ = 0;
      steps_ = 1;
      gamma.resize(0);
    }
    for (std::size_t i = 0; i < n_; ++i) {
      double correction = 0.0;
      for (std::size_t c = 0; c < static_cast<std::size_t>(gamma.size()); ++c)
        correction += gamma(static_cast<Eigen::Index>(c)) *
                      (dx_[c * n_ + i] + df_[c * n_ + i]);
      x[i] += f[i] - correction;
    }
  }

 private:
  using Gram = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, memory, memory>;
  using Coefficients = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, memory, 1>;

  // gamma minimising |f - dF gamma| by the normal equations; false when they
  // are too ill-conditioned to trust.
  bool mixing_coefficients(std::span<const double> f, Coefficients& gamma) const noexcept {
    const auto m = static_cast<Eigen::Index>(count_);
    Gram gram = Gram::Zero(m, m);
    Coefficients rhs = Coefficients::Zero(m);
    for (Eigen::Index a = 0; a < m; ++a) {
      const double* fa = df_.data() + static_cast<std::size_t>(a) * n_;
      double b = 0.0;
      for (std::size_t i = 0; i < n_; ++i) b += fa[i] * f[i];
      rhs(a) = b;
      for (Eigen::Index c = 0; c <= a; ++c) {
        const double* fc = df_.data() + static_cast<std::size_t>(c) * n_;
        double s = 0.0;
        for (std::size_t i = 0; i < n_; ++i) s += fa[i] * fc[i];
        gram(a, c) = gram(c, a) = s;
      }
    }
    const double largest = gram.diagonal().maxCoeff();
    if (!(largest > 0.0) || !std::isfinite(largest)) return false;
    const Eigen::LDLT<Gram> factors(gram);
    if (factors.info() != Eigen::Success) return false;
    const double smallest_pivot = factors.vectorD().cwiseAbs().minCoeff();
    if (!(smallest_pivot > 1e-13 * largest)) return false;
    gamma = factors.solve(rhs);
    return gamma.allFinite();
  }

  std::size_t n_ = 0;
  std::vector<double> dx_, df_;  // the last differences of x and of f, slot-major
  std::vector<double> x_previous_, f_previous_;
  std::size_t count_ = 0;  // differences held
  std::size_t steps_ = 0;
};

}  // namespace tarnok::engine
