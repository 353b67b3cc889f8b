// Start vectors for a multi-start fit: the user's guess, then points spread evenly over
// the plausible region so that different basins of chi-square get a start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "robust_fit/parameter_space.hpp"

namespace tarnok::robust_fit {

// n_starts vectors of natural values; the first is user_values unchanged, the others
// follow a Halton sequence (one prime base per spread parameter):
//  - log-scale, both bounds finite: log-uniform over [lower, upper];
//  - log-scale otherwise: log-uniform over [v/10, 10 v] around the user's value v
//    (clamped into the bounds), cut at the one finite bound if there is one;
//  - linear, both bounds finite: uniform over [lower, upper];
//  - linear otherwise: the user's value (clamped into the bounds).
// seed 0 gives the plain Halton points; any other seed shifts each coordinate by a
// seed-dependent offset modulo 1 (a Cranley-Patterson rotation), a different but equally
// even set, the same for the same seed. Throws std::invalid_argument when user_values
// is invalid per ParameterSpace::check_point.
std::vector<std::vector<double>> make_start_points(const ParameterSpace& space, std::span<const double> user_values,
                                                   std::size_t n_starts, std::uint64_t seed = 0);

}  // namespace tarnok::robust_fit
