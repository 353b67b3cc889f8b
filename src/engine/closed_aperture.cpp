#include "engine/closed_aperture.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/exact_engine.hpp"

namespace tarnok::engine {

namespace {

constexpr double millimetres_to_metres = 0.001;

}  // namespace

void check_aperture_beyond_scan(const Experiment& e, const ScanLayout& layout) {
  if (!e.has_aperture() || e.aperture_distance == 0.0) return;
  const double farthest_mm = *std::max_element(layout.positions_mm.begin(), layout.positions_mm.end());
  if (!(e.aperture_distance > farthest_mm * millimetres_to_metres))
    throw std::invalid_argument(
        "aperture_distance must lie beyond every scan position (the sample must stay in front "
        "of the aperture)");
}

void closed_aperture_transmittance(const Experiment& experiment, const Discretisation&,
                                   const ScanLayout& layout, const ParameterVector& values,
                                   std::span<const Parameter> varied, std::span<double> raw,
                                   std::span<double> d_raw, const std::stop_token& stop) {
  // Placeholder until the diffraction lands: the closed curves repeat the open.
  Experiment open = experiment;
  open.aperture_transmittance = 0.0;
  open.aperture_radius = 0.0;
  const ExactEngine engine(open, layout);
  const std::size_t points = layout.size(), n_dir = d_raw.empty() ? 0 : varied.size();
  engine.raw_transmittance(values, varied, raw.first(points), d_raw.first(points * n_dir), stop);
  std::copy_n(raw.begin(), points, raw.begin() + static_cast<std::ptrdiff_t>(points));
  std::copy_n(d_raw.begin(), points * n_dir, d_raw.begin() + static_cast<std::ptrdiff_t>(points * n_dir));
}

void divide_closed_by_open(std::size_t points, std::size_t n_dir, std::span<double> curves,
                           std::span<double> d) noexcept {
  for (std::size_t i = 0; i < points; ++i) {
    const double open = curves[i];
    const double ratio = curves[points + i] / open;
    for (std::size_t v = 0; v < n_dir; ++v) {
      double& d_closed = d[(points + i) * n_dir + v];
      d_closed = (d_closed - ratio * d[i * n_dir + v]) / open;
    }
    curves[points + i] = ratio;
  }
}

}  // namespace tarnok::engine
