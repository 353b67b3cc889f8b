// The depth slicing of the gaussian beam converges at first order: each
// slice's populations follow the light that enters it, so a curve's error
// is c / z_slices plus terms of higher order, and c is a smooth function of
// the sample. Extrapolating from z and 2 z slices, 2 T(2z) - T(z) (Richardson),
// cancels c: the error then falls as 1 / z^2. On the samples of the guide's
// slicing table it is 20 to 110 times below the error of 2 z slices alone
// from z = 8 on, at three times the cells of z.
#pragma once

#include <span>

#include "engine/experiment.hpp"

namespace tarnok::engine {

// The experiment on one grid, without extrapolation: the z_slices given, or
// twice as many.
Experiment coarser_in_depth(const Experiment& experiment);
Experiment finer_in_depth(const Experiment& experiment);

// Throws std::invalid_argument naming depth_extrapolation where it does not
// apply: the on-axis beam's depth grid is part of the model it reproduces.
void check_depth_extrapolation(const Experiment& experiment);

// fine <- 2 fine - coarse, value by value.
void extrapolate_in_depth(std::span<double> fine, std::span<const double> coarse) noexcept;

}  // namespace tarnok::engine
