#include "engine/incident_pulse.hpp"

#include <cmath>

#include "model/beam.hpp"

namespace tarnok::engine {

namespace {

constexpr double millimetres_to_metres = 0.001;

double axial_distance(double position_mm, const ParameterVector& values) noexcept {
  return (position_mm - values[index(Parameter::z0)]) * millimetres_to_metres;
}

// Both beams scale as E / w(z)^2 at fixed u, with
// w^2 = w0^2 + c^2 z^2 / w0^2, c = M2 lambda / pi, and z = (x - z0) / 1000.
BeamLogSlopes log_slopes(double z, double scale, const BeamFocus& focus) noexcept {
  const double w0_squared = focus.w0 * focus.w0;
  const double z_rel_squared = (z / focus.z_R) * (z / focus.z_R);  // c^2 z^2 / w0^4
  const double w_squared = w0_squared * (1.0 + z_rel_squared);
  BeamLogSlopes s;
  s.energy_scale = 1.0 / scale;
  s.z0 = millimetres_to_metres * 2.0 * z / (focus.z_R * focus.z_R + z * z);
  s.w0 = -2.0 * focus.w0 * (1.0 - z_rel_squared) / w_squared;
  s.M2 = -2.0 * z_rel_squared / ((1.0 + z_rel_squared) * focus.M2);
  return s;
}

// Peak irradiance of a Gaussian beam and pulse carrying energy E: E divided by
// the beam's area pi w^2 / 2 and the pulse's duration sqrt(pi) tau.
double gaussian_peak(const Experiment& e, double z, const BeamFocus& focus,
                     double energy) noexcept {
  const double z_rel = z / focus.z_R;
  const double w_squared = focus.w0 * focus.w0 * (1.0 + z_rel * z_rel);
  return 2.0 * energy / (std::pow(model::pi, 1.5) * e.tau * w_squared);
}

}  // namespace

BeamFocus beam_focus(const Experiment& e, const ParameterVector& values) noexcept {
  BeamFocus focus;
  const double w0 = values[index(Parameter::w0)];
  const double M2 = values[index(Parameter::M2)];
  focus.w0 = w0 != 0.0 ? w0 : e.w0;
  focus.M2 = M2 != 0.0 ? M2 : e.M2;
  // The same function and arguments as the experiment's grids, so an
  // evaluation at the experiment's own beam sees the same bits.
  focus.z_R = model::rayleigh_range(focus.w0, focus.M2, e.wavelength);
  return focus;
}

BeamLogSlopes incident_pulse(const Experiment& e, const Discretisation& grids,
                             double position_mm, double pulse_energy,
                             const ParameterVector& values,
                             std::span<double> irradiance) noexcept {
  const double scale = values[index(Parameter::energy_scale)];
  const double energy = pulse_energy * scale;
  const double z = axial_distance(position_mm, values);
  const BeamFocus focus = beam_focus(e, values);
  const std::size_t nt = grids.t_grid.size();
  const double peak = e.beam == Beam::gaussian ? gaussian_peak(e, z, focus, energy) : 0.0;
  for (std::size_t q = 0; q < grids.radial_nodes.size(); ++q) {
    const double profile = std::exp(-grids.radial_nodes[q]);
    for (std::size_t j = 0; j < nt; ++j) {
      const double t = grids.t_grid[j];
      double value;
      if (e.beam == Beam::on_axis) {
        // The same function and argument order as the integrator-based
        // model's table, so both engines see the same irradiance to the bit.
        value = model::beam_irradiance(0.0, t, z, energy, e.tau, focus.w0, focus.z_R);
      } else {
        const double t_rel = t / e.tau;
        value = peak * profile * std::exp(-(t_rel * t_rel));
      }
      irradiance[q * nt + j] = value;
    }
  }
  return log_slopes(z, scale, focus);
}

double peak_irradiance(const Experiment& e, const Discretisation&, double position_mm,
                       double pulse_energy, const ParameterVector& values) noexcept {
  const double energy = pulse_energy * values[index(Parameter::energy_scale)];
  const double z = axial_distance(position_mm, values);
  const BeamFocus focus = beam_focus(e, values);
  if (e.beam == Beam::gaussian) return gaussian_peak(e, z, focus, energy);
  return model::beam_irradiance(0.0, 0.0, z, energy, e.tau, focus.w0, focus.z_R);
}

}  // namespace tarnok::engine
