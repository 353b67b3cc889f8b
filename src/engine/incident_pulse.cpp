#include "engine/incident_pulse.hpp"

#include <cmath>

#include "model/beam.hpp"

namespace tarnok::engine {

namespace {

constexpr double millimetres_to_metres = 0.001;

double axial_distance(double position_mm, const ParameterVector& values) noexcept {
  return (position_mm - values[index(Parameter::z0)]) * millimetres_to_metres;
}

// d ln I / d z0 for an irradiance proportional to 1/w(z)^2 with
// w^2 = w0^2 (1 + (z/z_R)^2) and z = (x - z0) / 1000.
double log_slope_in_z0(double z, double z_R) noexcept {
  return millimetres_to_metres * 2.0 * z / (z_R * z_R + z * z);
}

// Peak irradiance of a Gaussian beam and pulse carrying energy E: E divided by
// the beam's area pi w^2 / 2 and the pulse's duration sqrt(pi) tau.
double gaussian_peak(const Experiment& e, double z, double z_R, double energy) noexcept {
  const double z_rel = z / z_R;
  const double w_squared = e.w0 * e.w0 * (1.0 + z_rel * z_rel);
  return 2.0 * energy / (std::pow(model::pi, 1.5) * e.tau * w_squared);
}

}  // namespace

void incident_pulse(const Experiment& e, const Discretisation& grids, double position_mm,
                    double pulse_energy, const ParameterVector& values,
                    std::span<double> irradiance, std::span<double> d_energy_scale,
                    std::span<double> d_z0) noexcept {
  const double scale = values[index(Parameter::energy_scale)];
  const double energy = pulse_energy * scale;
  const double z = axial_distance(position_mm, values);
  const double slope = log_slope_in_z0(z, grids.z_R);
  const std::size_t nt = grids.t_grid.size();
  const double peak = e.beam == Beam::gaussian ? gaussian_peak(e, z, grids.z_R, energy) : 0.0;
  for (std::size_t q = 0; q < grids.radial_nodes.size(); ++q) {
    const double profile = std::exp(-grids.radial_nodes[q]);
    for (std::size_t j = 0; j < nt; ++j) {
      const double t = grids.t_grid[j];
      double value;
      if (e.beam == Beam::on_axis) {
        // The same function and argument order as the integrator-based
        // model's table, so both engines see the same irradiance to the bit.
        value = model::beam_irradiance(0.0, t, z, energy, e.tau, e.w0, grids.z_R);
      } else {
        const double t_rel = t / e.tau;
        value = peak * profile * std::exp(-(t_rel * t_rel));
      }
      const std::size_t k = q * nt + j;
      irradiance[k] = value;
      // Both beams are linear in the energy and scale as 1/w(z)^2 at fixed u.
      d_energy_scale[k] = value / scale;
      d_z0[k] = value * slope;
    }
  }
}

double peak_irradiance(const Experiment& e, const Discretisation& grids, double position_mm,
                       double pulse_energy, const ParameterVector& values) noexcept {
  const double energy = pulse_energy * values[index(Parameter::energy_scale)];
  const double z = axial_distance(position_mm, values);
  if (e.beam == Beam::gaussian) return gaussian_peak(e, z, grids.z_R, energy);
  return model::beam_irradiance(0.0, 0.0, z, energy, e.tau, e.w0, grids.z_R);
}

}  // namespace tarnok::engine
