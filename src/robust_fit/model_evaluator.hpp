// How one start obtains residuals and Jacobians: from the model's analytic Jacobian or
// by forward differences, counting model calls and honouring a stop request before each.
#pragma once

#include <cstddef>
#include <span>
#include <stop_token>
#include <vector>

#include "robust_fit/parameter_space.hpp"
#include "robust_fit/residual_model.hpp"

namespace tarnok::robust_fit {

// Outcome of one request for residuals or a Jacobian.
enum class Evaluation {
  ok,         // every value written and finite
  failed,     // the model refused, or produced a non-finite value
  cancelled,  // a stop was requested before a model call
};

// Per-start evaluation front end; owns the scratch of forward differences, so each
// start needs its own instance.
class ModelEvaluator {
 public:
  ModelEvaluator(const ResidualModel& model, const ParameterSpace& space, std::stop_token stop);

  // Residuals at natural values p.
  Evaluation residuals(std::span<const double> p, std::span<double> r);

  // Residuals and dr/dp (column-major) at p.
  Evaluation residuals_and_jacobian(std::span<const double> p, std::span<double> r, std::span<double> jacobian);

  // dr/dp at p where r already holds the residuals at p (forward differences start from
  // them; an analytic model rewrites them with the same values).
  Evaluation jacobian_at(std::span<const double> p, std::span<double> r, std::span<double> jacobian);

  // True when the model computes its own Jacobian.
  bool analytic() const { return model_.has_jacobian(); }

  // Model calls so far, including those of forward differences.
  std::size_t function_evaluations() const { return function_evaluations_; }
  // Jacobians formed so far, analytic or by differences.
  std::size_t jacobian_evaluations() const { return jacobian_evaluations_; }

 private:
  Evaluation call_model(std::span<const double> p, std::span<double> r, std::span<double> jacobian);
  Evaluation forward_differences(std::span<const double> p, std::span<const double> r, std::span<double> jacobian);

  const ResidualModel& model_;
  const ParameterSpace& space_;
  std::stop_token stop_;
  std::vector<double> shifted_;  // the differenced point, sized once
  std::size_t function_evaluations_ = 0;
  std::size_t jacobian_evaluations_ = 0;
};

}  // namespace tarnok::robust_fit
