// A small fit with a known answer: y = A exp(-t / tau) sampled on [0, 8] with a little
// deterministic noise, fitted in (A, tau), both log-scale.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "robust_fit/parameter_space.hpp"
#include "robust_fit/residual_model.hpp"

namespace tarnok::robust_fit::test_support {

inline constexpr double true_amplitude = 3.0;
inline constexpr double true_lifetime = 2.0;

class DecayModel : public ResidualModel {
 public:
  explicit DecayModel(bool analytic, std::size_t points = 40) : analytic_(analytic) {
    for (std::size_t k = 0; k < points; ++k) {
      const double t = 8.0 * static_cast<double>(k) / static_cast<double>(points - 1);
      times_.push_back(t);
      values_.push_back(true_amplitude * std::exp(-t / true_lifetime) + 0.01 * std::sin(2.3 * static_cast<double>(k)));
    }
  }

  std::size_t residual_count() const override { return times_.size(); }
  std::size_t parameter_count() const override { return 2; }
  bool has_jacobian() const override { return analytic_; }

  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    const std::size_t m = times_.size();
    for (std::size_t k = 0; k < m; ++k) {
      const double decay = std::exp(-times_[k] / p[1]);
      r[k] = p[0] * decay - values_[k];
      if (jacobian.empty()) continue;
      jacobian[k] = decay;
      jacobian[m + k] = p[0] * decay * times_[k] / (p[1] * p[1]);
    }
    return true;
  }

 private:
  bool analytic_;
  std::vector<double> times_;
  std::vector<double> values_;
};

inline ParameterSpace decay_space(double lifetime_upper = INFINITY) {
  return ParameterSpace({{.log_scale = true}, {.log_scale = true, .upper = lifetime_upper}});
}

}  // namespace tarnok::robust_fit::test_support
