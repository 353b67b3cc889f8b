#include "engine/depth_extrapolation.hpp"

#include <limits>
#include <stdexcept>

namespace tarnok::engine {

Experiment coarser_in_depth(const Experiment& experiment) {
  Experiment e = experiment;
  e.depth_extrapolation = false;
  return e;
}

Experiment finer_in_depth(const Experiment& experiment) {
  Experiment e = coarser_in_depth(experiment);
  if (e.z_slices > std::numeric_limits<std::int32_t>::max() / 2)
    throw std::invalid_argument("z_slices too large to be doubled for depth_extrapolation");
  e.z_slices *= 2;
  return e;
}

void check_depth_extrapolation(const Experiment& experiment) {
  if (experiment.depth_extrapolation && experiment.beam != Beam::gaussian)
    throw std::invalid_argument(
        "depth_extrapolation needs the gaussian beam: the on-axis beam keeps its own depth grid");
}

void extrapolate_in_depth(std::span<double> fine, std::span<const double> coarse) noexcept {
  for (std::size_t i = 0; i < fine.size(); ++i) fine[i] = 2.0 * fine[i] - coarse[i];
}

}  // namespace tarnok::engine
