// The least-squares problem of a z-scan fit: the residuals of measured curves
// against either engine's model, as functions of the varied parameters alone.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/curve_model.hpp"
#include "robust_fit/residual_model.hpp"

namespace tarnok::robust_fit {

class ZScanResiduals final : public ResidualModel {
 public:
  // data and sigma: n_energies x n_positions, row-major, in the model's
  // layout; an empty sigma means unweighted residuals. fixed holds every
  // parameter's value; the varied ones are replaced at each evaluation.
  ZScanResiduals(const engine::CurveModel& model, std::vector<double> data,
                 std::vector<double> sigma, const engine::ParameterVector& fixed,
                 std::vector<engine::Parameter> varied);

  std::size_t residual_count() const override { return data_.size(); }
  std::size_t parameter_count() const override { return varied_.size(); }
  bool has_jacobian() const override { return model_.has_derivatives(); }

  // r = (data - model) / sigma, or data - model without sigma; the Jacobian
  // is -(d model / dp) / sigma, column-major.
  bool evaluate(std::span<const double> p, std::span<double> residuals,
                std::span<double> jacobian) const override;
  // Stops between scan positions when asked, so a cancelled fit returns
  // within one position's work rather than one whole evaluation's.
  bool evaluate_until(std::span<const double> p, std::span<double> residuals,
                      std::span<double> jacobian, const std::stop_token& stop) const override;

 private:
  const engine::CurveModel& model_;
  std::vector<double> data_;
  std::vector<double> inverse_sigma_;  // ones when the data carry no sigma
  engine::ParameterVector fixed_;
  std::vector<engine::Parameter> varied_;
};

}  // namespace tarnok::robust_fit
