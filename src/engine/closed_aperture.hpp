// The closed-aperture z-scan: the light leaving a thin sample, with the phase
// it gathered, diffracted to an aperture, and the energy through the aperture
// over its linear value, beside the open curves of the same pulses.
#pragma once

#include <span>
#include <stop_token>

#include "engine/curve_model.hpp"
#include "engine/experiment.hpp"
#include "engine/parameters.hpp"

namespace tarnok::engine {

// Throws std::invalid_argument when the aperture plane is not beyond every
// scan position (the sample would reach or pass it).
void check_aperture_beyond_scan(const Experiment& experiment, const ScanLayout& layout);

// Writes the raw open transmittance (block 0) and the raw closed one (block
// 1, energy through the aperture over its linear value), each layout.size()
// values, and their derivatives along varied (direction fastest), before any
// normalisation.
void closed_aperture_transmittance(const Experiment& experiment, const Discretisation& grids,
                                   const ScanLayout& layout, const ParameterVector& values,
                                   std::span<const Parameter> varied, std::span<double> raw,
                                   std::span<double> d_raw, const std::stop_token& stop);

// Replaces block 1 of normalised curves by block 1 / block 0 (and the
// derivatives to match), the convention of closed curves divided by open.
void divide_closed_by_open(std::size_t points, std::size_t n_dir, std::span<double> curves,
                           std::span<double> d) noexcept;

}  // namespace tarnok::engine
