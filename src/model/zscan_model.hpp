// The simulated open-aperture z-scan of one dataset: the pulse is propagated
// through the depth slices of the sample at every scan position, and the
// ratio of transmitted to incident irradiance, shifted so that the ten
// outermost positions average 1, is the model transmittance.
#pragma once

#include <span>

#include "model/irradiance.hpp"
#include "model/rate_equations.hpp"

namespace tarnok::model {

inline constexpr std::size_t spec_par_count = 8;
inline constexpr std::size_t level_count = 5;

// The populations whose absorption attenuates the light crossing a slice
// during a time step: those at the end of the step, which puts the light a
// step behind the populations it meets (an error of first order in the
// step), or their average over the step by Simpson's rule, (start + 4 middle +
// end) / 6, which follows populations that settle within the step as well as
// the smooth change between steps.
enum class AttenuatingPopulations { at_step_end, step_average };

// The model routine's form, by which the fit engine holds and calls it.
using ModelFn = void (*)(std::span<double> model_out,
                         std::span<const double> positions,
                         std::span<const double> z_grid,
                         std::span<const double> t_grid,
                         std::span<const double> pop0, IrradiancePlane irradiance,
                         double photon_freq,
                         std::span<const double, spec_par_count> spec_pars);

// Writes the model transmittance of each of the n = positions.size() positions
// to model_out[0 .. n-1]: the raw transmittance shifted so that the five first
// and five last positions average 1. Only the number of positions is used, not
// their values. Sets this thread's rate constants. Preconditions as for
// raw_transmittance, with model_out holding at least n values; otherwise
// model_out is filled with NaN. Allocates its work storage once per call (may
// throw std::bad_alloc); nothing is allocated per integration.
void zscan_model(std::span<double> model_out, std::span<const double> positions,
                 std::span<const double> z_grid, std::span<const double> t_grid,
                 std::span<const double> pop0, IrradiancePlane irradiance,
                 double photon_freq,
                 std::span<const double, spec_par_count> spec_pars);

// Raw transmittance of n = raw.size() positions: the irradiance leaving the
// last of z_grid.size() slices of thickness z_grid[1], summed over the time
// slices (step t_grid[1] - t_grid[0]), over the summed incident irradiance.
// pop0[0..4] are the populations every position starts from; row i of
// irradiance drives position i. Needs n >= 5, at least two depth and two time
// points, five populations and an irradiance plane of at least n rows and
// t_grid.size() columns; otherwise raw is filled with NaN. zscan_model
// attenuates by the populations at the end of each step.
void raw_transmittance(std::span<double> raw, std::span<const double> z_grid,
                       std::span<const double> t_grid, std::span<const double> pop0,
                       IrradiancePlane irradiance, double photon_freq,
                       std::span<const double, spec_par_count> spec_pars,
                       AttenuatingPopulations attenuating = AttenuatingPopulations::at_step_end);

// Adds 1 - B to every value, B being the mean of the five first and five last
// values (shared ones count twice when there are fewer than ten). Fewer than
// five values cannot be normalised and become NaN.
void shift_to_unit_edges(std::span<double> values) noexcept;

// The rate constants that the model derives from a parameter vector.
RateConstants rate_constants_for(double photon_freq,
                                 std::span<const double, spec_par_count> spec_pars) noexcept;

}  // namespace tarnok::model
