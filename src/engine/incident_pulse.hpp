// The irradiance that enters the sample at one scan position: one time series
// per radial node, and its derivatives with respect to the two parameters that
// act on the beam (the pulse-energy scale and the focus position).
#pragma once

#include <span>

#include "engine/experiment.hpp"
#include "engine/parameters.hpp"

namespace tarnok::engine {

// Fills irradiance[q * nt + j] for radial node q and time slice j (nt the
// number of time slices), and the same layout of d_energy_scale and d_z0.
// Each span holds radial_nodes * t_slices values.
void incident_pulse(const Experiment& experiment, const Discretisation& grids,
                    double position_mm, double pulse_energy,
                    const ParameterVector& values, std::span<double> irradiance,
                    std::span<double> d_energy_scale, std::span<double> d_z0) noexcept;

// Peak irradiance on the axis at a scan position (W/m^2): at the pulse's peak
// time, as the chosen beam defines it.
double peak_irradiance(const Experiment& experiment, const Discretisation& grids,
                       double position_mm, double pulse_energy,
                       const ParameterVector& values) noexcept;

}  // namespace tarnok::engine
