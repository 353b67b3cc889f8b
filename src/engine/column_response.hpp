// Smooth functions of one variable tabulated on Chebyshev panels, for the
// columns of an evaluation.
//
// Every column (a position's radial node at one pulse energy) meets the same
// pulse shape in time, scaled by the irradiance its position, radius and
// energy give it; everything it does to the light is therefore a function of
// that one scale. A sweep of a dozen energies over a few hundred positions
// with a dozen radial nodes has tens of thousands of columns, but the
// fraction they transmit, and its derivatives, form one smooth curve over the
// logarithm of the scale, which a few hundred columns determine to rounding:
// it is resolved on panels of Chebyshev points, each refined (and split
// where the curve turns sharply) until the tail of its Chebyshev series is
// below a tolerance, and read off at every column.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace tarnok::engine {

// Fills values[i * width + f] with function f at each point x[i].
using PanelSampler = std::function<void(std::span<const double> x, std::span<double> values)>;

struct PanelSettings {
  // Function 0's Chebyshev tail is kept below tolerance times its largest
  // magnitude; the other functions share its panels. (Derivatives of a curve
  // by its parameters are as smooth as the curve, but may hold rounding
  // noise of their own size, which no refinement removes.)
  double tolerance = 1e-13;
  double first_width = 4.0;       // panels start no wider than this
  std::size_t most_splits = 6;    // a panel halves at most this often
};

class ChebyshevPanels {
 public:
  ChebyshevPanels() = default;
  // Tabulates `width` functions over [lo, hi] (a range narrower than
  // min_span is widened about its centre).
  ChebyshevPanels(double lo, double hi, std::size_t width, const PanelSampler& sample,
                  const PanelSettings& settings = {});

  std::size_t width() const noexcept { return width_; }
  // Points the functions were sampled at, over every refinement.
  std::size_t samples() const noexcept { return samples_; }
  std::size_t panels() const noexcept { return edges_.size(); }
  // The functions at x, clamped to the tabulated range; out has width values.
  void evaluate(double x, std::span<double> out) const noexcept;

  static constexpr double min_span = 0.5;
  // Points per panel: 9, then 17, then 33 (each set holds the one before).
  static constexpr std::size_t first_points = 9;
  static constexpr std::size_t most_points = 33;

 private:
  std::size_t width_ = 0;
  std::size_t samples_ = 0;
  std::vector<double> edges_;         // each panel's lower edge, rising
  std::vector<double> upper_;         // each panel's upper edge
  std::vector<std::size_t> points_;   // each panel's number of coefficients
  std::vector<std::size_t> offsets_;  // of each panel's coefficients in coefficients_
  std::vector<double> coefficients_;  // per panel, degree-major, function fastest
};

}  // namespace tarnok::engine
