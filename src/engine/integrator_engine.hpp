// The integrator-based rate-equation model behind the same interface as the
// exact engine: a cross-check of it, and the reference path of the original
// fit. It has no derivatives. Its integrator diagnostics never reach the
// terminal: they are counted, and the first of them kept.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "engine/curve_model.hpp"

namespace tarnok::engine {

struct Diagnostics {
  std::uint64_t messages = 0;
  std::uint64_t lines = 0;
  std::vector<std::string> first_lines;
};

class IntegratorEngine final : public CurveModel {
 public:
  IntegratorEngine(const Experiment& experiment, ScanLayout layout);

  void evaluate(const ParameterVector& values, std::span<const Parameter> varied,
                std::span<double> curves, std::span<double> jacobian,
                const std::stop_token& stop = {}) const override;
  bool has_derivatives() const noexcept override { return false; }
  const ScanLayout& layout() const noexcept override { return layout_; }

  // The diagnostics of every evaluation so far.
  Diagnostics diagnostics() const;

 private:
  void evaluate_energy(const ParameterVector& values, std::size_t energy,
                       std::span<double> curve) const;

  void evaluate_on_grid(const ParameterVector& values, std::span<double> curves,
                        const std::stop_token& stop) const;

  Experiment experiment_;  // with depth extrapolation: on the finer grid
  Discretisation grids_;
  ScanLayout layout_;
  // With depth extrapolation: the same experiment on the coarser depth grid.
  std::unique_ptr<IntegratorEngine> coarse_;
  mutable std::mutex diagnostics_mutex_;
  mutable Diagnostics diagnostics_;
};

}  // namespace tarnok::engine
