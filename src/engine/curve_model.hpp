// What both engines offer a fit: model curves of every pulse energy at the
// measured positions, for a full parameter vector.
#pragma once

#include <cstddef>
#include <span>
#include <stop_token>
#include <vector>

#include "engine/experiment.hpp"
#include "engine/parameters.hpp"

namespace tarnok::engine {

// The scan positions of every pulse energy: row d holds the n_positions
// positions (mm) measured at pulse_energies[d] (J).
struct ScanLayout {
  std::vector<double> positions_mm;  // n_energies x n_positions, row-major
  std::vector<double> pulse_energies;
  std::size_t n_positions = 0;

  std::size_t n_energies() const noexcept { return pulse_energies.size(); }
  std::size_t size() const noexcept { return positions_mm.size(); }
  double position(std::size_t energy, std::size_t i) const noexcept {
    return positions_mm[energy * n_positions + i];
  }
};

// The model normalises each curve on its five outermost points at each end.
inline constexpr std::size_t min_positions = 5;

// Throws std::invalid_argument when the layout cannot be evaluated.
void check_layout(const ScanLayout& layout);

class CurveModel {
 public:
  virtual ~CurveModel() = default;
  // Writes the model curves (curve_blocks() blocks of n_energies x
  // n_positions, row-major: the open curves, then the closed ones) and, when
  // jacobian is non-empty and the engine has derivatives, their derivatives
  // with respect to each varied parameter (the same points x varied.size(),
  // row-major). Safe to call from several threads at once.
  // When `stop` is requested midway the values are incomplete (NaN).
  virtual void evaluate(const ParameterVector& values, std::span<const Parameter> varied,
                        std::span<double> curves, std::span<double> jacobian,
                        const std::stop_token& stop = {}) const = 0;
  virtual bool has_derivatives() const noexcept = 0;
  // 1 for the open curves alone, 2 with a closed aperture's curves after them.
  virtual std::size_t curve_blocks() const noexcept { return 1; }
  // Every value evaluate writes: curve_blocks() x layout().size().
  std::size_t curve_count() const noexcept { return curve_blocks() * layout().size(); }
  virtual const ScanLayout& layout() const noexcept = 0;
};

}  // namespace tarnok::engine
