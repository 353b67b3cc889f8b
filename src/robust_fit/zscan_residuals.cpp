#include "robust_fit/zscan_residuals.hpp"

#include <cmath>
#include <stdexcept>

#include "engine/pulse_train.hpp"

namespace tarnok::robust_fit {

ZScanResiduals::ZScanResiduals(const engine::CurveModel& model, std::vector<double> data,
                               std::vector<double> sigma, const engine::ParameterVector& fixed,
                               std::vector<engine::Parameter> varied)
    : model_(model), fixed_(fixed), varied_(std::move(varied)),
      model_values_(model.curve_count()) {
  if (data.size() != model_values_)
    throw std::invalid_argument("data do not match the model's curves, positions and energies");
  if (!sigma.empty() && sigma.size() != data.size())
    throw std::invalid_argument("sigma does not match data");
  for (std::size_t k = 0; k < data.size(); ++k) {
    if (std::isnan(data[k])) continue;
    present_.push_back(k);
    data_.push_back(data[k]);
    inverse_sigma_.push_back(sigma.empty() ? 1.0 : 1.0 / sigma[k]);
  }
}

bool ZScanResiduals::evaluate(std::span<const double> p, std::span<double> residuals,
                              std::span<double> jacobian) const {
  return evaluate_until(p, residuals, jacobian, {});
}

bool ZScanResiduals::evaluate_until(std::span<const double> p, std::span<double> residuals,
                                    std::span<double> jacobian,
                                    const std::stop_token& stop) const {
  engine::ParameterVector values = fixed_;
  for (std::size_t k = 0; k < varied_.size(); ++k) values[engine::index(varied_[k])] = p[k];
  const std::size_t m = present_.size(), n = varied_.size();
  std::vector<double> curves(model_values_);
  // The engine lays its derivatives out point by point (row-major values x n).
  std::vector<double> derivatives(jacobian.empty() ? 0 : model_values_ * n);
  try {
    model_.evaluate(values, varied_, curves, derivatives, stop);
  } catch (const engine::UnsettledTrain&) {
    return false;  // a trial point the solver must step back from
  }
  if (stop.stop_requested()) return false;

  bool finite = true;
  for (std::size_t i = 0; i < m; ++i) {
    residuals[i] = (data_[i] - curves[present_[i]]) * inverse_sigma_[i];
    finite = finite && std::isfinite(residuals[i]);
  }
  if (!jacobian.empty())
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t k = 0; k < n; ++k)
        jacobian[k * m + i] = -derivatives[present_[i] * n + k] * inverse_sigma_[i];
  return finite;
}

}  // namespace tarnok::robust_fit
