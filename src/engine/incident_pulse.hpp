// The irradiance that enters the sample at one scan position: one time series
// per radial node, and how it changes with the four parameters that act on the
// beam (the pulse-energy scale, the focus position, the waist and the beam
// quality factor).
#pragma once

#include <span>

#include "engine/experiment.hpp"
#include "engine/parameters.hpp"

namespace tarnok::engine {

// The waist and Rayleigh range an evaluation uses: the parameters' values,
// or the experiment's where a value is 0.
struct BeamFocus {
  double w0 = 0.0;
  double M2 = 0.0;
  double z_R = 0.0;
};
BeamFocus beam_focus(const Experiment& experiment, const ParameterVector& values) noexcept;

// Each beam parameter scales the whole incident pulse at a position by the
// same factor (at fixed radial node u = 2 r^2 / w(z)^2), so its derivative is
// the irradiance times d ln I / d parameter.
struct BeamLogSlopes {
  double energy_scale = 0.0;
  double z0 = 0.0;  // per mm
  double w0 = 0.0;  // per m
  double M2 = 0.0;

  // d ln I / d p for a parameter p; 0 for those that do not act on the beam.
  double of(Parameter p) const noexcept {
    switch (p) {
      case Parameter::energy_scale: return energy_scale;
      case Parameter::z0: return z0;
      case Parameter::w0: return w0;
      case Parameter::M2: return M2;
      default: return 0.0;
    }
  }
};

// Fills irradiance[q * nt + j] for radial node q and time slice j (nt the
// number of time slices; radial_nodes * t_slices values) and returns the log
// slopes of the pulse.
BeamLogSlopes incident_pulse(const Experiment& experiment, const Discretisation& grids,
                             double position_mm, double pulse_energy,
                             const ParameterVector& values,
                             std::span<double> irradiance) noexcept;

// Peak irradiance on the axis at a scan position (W/m^2): at the pulse's peak
// time, as the chosen beam defines it.
double peak_irradiance(const Experiment& experiment, const Discretisation& grids,
                       double position_mm, double pulse_energy,
                       const ParameterVector& values) noexcept;

}  // namespace tarnok::engine
