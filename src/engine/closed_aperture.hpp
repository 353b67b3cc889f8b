// The closed-aperture z-scan: the light leaving a thin sample, with the phase
// it gathered, diffracted to an aperture, and the energy through the aperture
// over its linear value at every scan position.
#pragma once

#include <span>
#include <stop_token>

#include "engine/aperture_diffraction.hpp"
#include "engine/curve_model.hpp"
#include "engine/experiment.hpp"
#include "engine/parameters.hpp"
#include "engine/slice_propagation.hpp"

namespace tarnok::engine {

// Throws std::invalid_argument when the aperture plane is not beyond every
// scan position (the sample would reach or pass it).
void check_aperture_beyond_scan(const Experiment& experiment, const ScanLayout& layout);

// The aperture's linear transmittance: the experiment's S, or that of its
// radius for the experiment's linear beam in the aperture plane.
double aperture_transmittance(const Experiment& experiment, const Discretisation& grids) noexcept;

// Quadrature of the field leaving the sample and of the aperture plane.
inline constexpr std::size_t aperture_field_nodes = 16;
inline constexpr std::size_t aperture_plane_nodes = 24;

// Writes the raw closed transmittance (energy through the aperture over its
// linear value, before any normalisation) at every point of the layout and
// its derivatives along varied (direction fastest), in forward mode or, by
// default from two parameters on, by a backward pass from the aperture's
// adjoint (the same derivatives). open and d_open, the
// raw open transmittance of the same evaluation, stand for an aperture that
// passes everything (S = 1), for which diffraction may be null; otherwise
// it holds the quadratures for the aperture's transmittance.
void closed_aperture_transmittance(const Experiment& experiment, const Discretisation& grids,
                                   const ApertureDiffraction* diffraction,
                                   const ScanLayout& layout, const ParameterVector& values,
                                   std::span<const Parameter> varied,
                                   std::span<const double> open, std::span<const double> d_open,
                                   std::span<double> closed, std::span<double> d_closed,
                                   const std::stop_token& stop,
                                   DerivativeMode mode = DerivativeMode::automatic);

// Replaces block 1 of normalised curves by block 1 / block 0 (and the
// derivatives to match), the convention of closed curves divided by open.
void divide_closed_by_open(std::size_t points, std::size_t n_dir, std::span<double> curves,
                           std::span<double> d) noexcept;

}  // namespace tarnok::engine
