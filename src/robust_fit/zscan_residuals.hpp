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
  // data and sigma: the model's curve_count() values (its curve blocks of
  // n_energies x n_positions, row-major); NaN data mark values not measured
  // (a curve of one aperture only), which give no residual. An empty sigma
  // means unweighted residuals. fixed holds every parameter's value; the
  // varied ones are replaced at each evaluation.
  ZScanResiduals(const engine::CurveModel& model, std::vector<double> data,
                 std::vector<double> sigma, const engine::ParameterVector& fixed,
                 std::vector<engine::Parameter> varied);

  // One residual per present value, in the order of the data.
  std::size_t residual_count() const override { return present_.size(); }
  // The index into the data of each residual.
  const std::vector<std::size_t>& present() const noexcept { return present_; }
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
  std::vector<double> data_;           // present values only
  std::vector<double> inverse_sigma_;  // of the present values; ones without sigma
  std::vector<std::size_t> present_;
  engine::ParameterVector fixed_;
  std::vector<engine::Parameter> varied_;
  std::size_t model_values_ = 0;  // the model's curves, absent values included
};

}  // namespace tarnok::robust_fit
