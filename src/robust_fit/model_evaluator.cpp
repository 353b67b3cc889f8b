#include "robust_fit/model_evaluator.hpp"

#include <algorithm>
#include <cmath>

#include "robust_fit/forward_difference.hpp"

namespace tarnok::robust_fit {

namespace {

bool all_finite(std::span<const double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

ModelEvaluator::ModelEvaluator(const ResidualModel& model, const ParameterSpace& space, std::stop_token stop)
    : model_(model), space_(space), stop_(std::move(stop)), shifted_(space.size()) {}

Evaluation ModelEvaluator::residuals(std::span<const double> p, std::span<double> r) {
  return call_model(p, r, {});
}

Evaluation ModelEvaluator::residuals_and_jacobian(std::span<const double> p, std::span<double> r,
                                                  std::span<double> jacobian) {
  if (model_.has_jacobian()) {
    const Evaluation outcome = call_model(p, r, jacobian);
    if (outcome == Evaluation::ok) ++jacobian_evaluations_;
    return outcome;
  }
  const Evaluation outcome = call_model(p, r, {});
  if (outcome != Evaluation::ok) return outcome;
  return jacobian_at(p, r, jacobian);
}

Evaluation ModelEvaluator::jacobian_at(std::span<const double> p, std::span<double> r, std::span<double> jacobian) {
  const Evaluation outcome = model_.has_jacobian() ? call_model(p, r, jacobian) : forward_differences(p, r, jacobian);
  if (outcome == Evaluation::ok) ++jacobian_evaluations_;
  return outcome;
}

Evaluation ModelEvaluator::call_model(std::span<const double> p, std::span<double> r, std::span<double> jacobian) {
  if (stop_.stop_requested()) return Evaluation::cancelled;
  ++function_evaluations_;
  if (!model_.evaluate_until(p, r, jacobian, stop_)) return Evaluation::failed;
  return all_finite(r) && all_finite(jacobian) ? Evaluation::ok : Evaluation::failed;
}

Evaluation ModelEvaluator::forward_differences(std::span<const double> p, std::span<const double> r,
                                               std::span<double> jacobian) {
  const std::size_t rows = r.size();
  std::copy(p.begin(), p.end(), shifted_.begin());
  for (std::size_t j = 0; j < p.size(); ++j) {
    shifted_[j] = p[j] + forward_difference_step(space_.setting(j), p[j]);
    // Dividing by the step as actually represented removes its rounding from the slope.
    const double step = shifted_[j] - p[j];
    const std::span<double> column = jacobian.subspan(j * rows, rows);
    const Evaluation outcome = call_model(shifted_, column, {});
    shifted_[j] = p[j];
    if (outcome != Evaluation::ok) return outcome;
    for (std::size_t i = 0; i < rows; ++i) column[i] = (column[i] - r[i]) / step;
  }
  return all_finite(jacobian) ? Evaluation::ok : Evaluation::failed;
}

}  // namespace tarnok::robust_fit
