// The closed-form model: the discretised experiment of the rate-equation
// model with every step solved exactly, smooth to rounding and differentiable
// with respect to every parameter in the same pass.
#pragma once

#include <memory>
#include <optional>

#include "engine/aperture_diffraction.hpp"
#include "engine/curve_model.hpp"
#include "engine/slice_propagation.hpp"

namespace tarnok::engine {

class ExactEngine final : public CurveModel {
 public:
  // Throws std::invalid_argument for a layout or grid it cannot evaluate.
  ExactEngine(const Experiment& experiment, ScanLayout layout);

  void evaluate(const ParameterVector& values, std::span<const Parameter> varied,
                std::span<double> curves, std::span<double> jacobian,
                const std::stop_token& stop = {}) const override;
  bool has_derivatives() const noexcept override { return true; }
  std::size_t curve_blocks() const noexcept override {
    return experiment_.has_aperture() ? 2 : 1;
  }
  const ScanLayout& layout() const noexcept override { return layout_; }

  // Transmitted over incident pulse energy at each position, before the
  // normalisation on the outermost points (same layout as evaluate).
  // pulses_sent, if given, receives the number of passes (forward or
  // backward) of a pulse through the sample: for single pulses one or two per
  // column (position and radial node), for a train as many as its steady
  // state and derivatives took.
  void raw_transmittance(const ParameterVector& values, std::span<const Parameter> varied,
                         std::span<double> raw, std::span<double> d_raw,
                         const std::stop_token& stop = {},
                         std::size_t* pulses_sent = nullptr) const;

  // Forward mode or the backward pass for the derivatives; by default the
  // backward pass from two parameters on. Both give the same derivatives to
  // rounding.
  void set_derivative_mode(DerivativeMode mode) noexcept {
    derivative_mode_ = mode;
    if (coarse_) coarse_->set_derivative_mode(mode);
  }
  // The most cells the backward pass records whole; beyond, it keeps
  // segments and rebuilds them from checkpoints (the same derivatives).
  void set_record_limit(std::size_t cells) noexcept {
    record_limit_ = cells;
    if (coarse_) coarse_->set_record_limit(cells);
  }
  // Whether columns (a position's radial node at one energy) go through the
  // lane code batch_lanes at a time where it covers them (the default: values,
  // and derivatives by the backward pass, of single pulses), or each alone
  // through the scalar code. The two agree to rounding; neither depends on
  // anything but the columns' order.
  void set_vectorised(bool on) noexcept {
    vectorised_ = on;
    if (coarse_) coarse_->set_vectorised(on);
  }
  // Whether an evaluation of many columns reads them off a table of the
  // response of one column over the light it meets (the default; see
  // column_response.hpp), or sends each through. The two agree to about
  // 1e-13 for single pulses and 1e-10 for trains.
  void set_tabulated(bool on) noexcept {
    tabulated_ = on;
    if (coarse_) coarse_->set_tabulated(on);
  }

  // Peak on-axis irradiance (W/m^2) at every position and energy.
  std::vector<double> peak_irradiance(const ParameterVector& values) const;

 private:
  // The curves (or raw transmittance) of this engine's own grid.
  void evaluate_on_grid(const ParameterVector& values, std::span<const Parameter> varied,
                        std::span<double> curves, std::span<double> jacobian,
                        const std::stop_token& stop) const;
  void raw_on_grid(const ParameterVector& values, std::span<const Parameter> varied,
                   std::span<double> raw, std::span<double> d_raw, const std::stop_token& stop,
                   std::size_t* pulses_sent) const;

  Experiment experiment_;  // with depth extrapolation: on the finer grid
  Discretisation grids_;
  ScanLayout layout_;
  // The closed aperture's quadratures, unless there is none or it passes everything.
  std::optional<ApertureDiffraction> aperture_;
  DerivativeMode derivative_mode_ = DerivativeMode::automatic;
  std::size_t record_limit_ = SliceSystem::tape_cells_whole;
  bool vectorised_ = true;
  bool tabulated_ = true;
  // With depth extrapolation: the same experiment on the coarser depth grid.
  std::unique_ptr<ExactEngine> coarse_;
};

// Normalises each curve (row of n_positions values) on its five first and
// five last values, as the beam defines it: the on-axis model shifts the
// curve so that they average 1, the gaussian one divides by their mean. d
// holds the derivatives along n_dir directions (direction fastest) and is
// transformed to match.
void normalise_on_edges(Beam beam, std::size_t n_positions, std::size_t n_dir,
                        std::span<double> curves, std::span<double> d) noexcept;

}  // namespace tarnok::engine
