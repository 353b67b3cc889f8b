#include "model/beam.hpp"

#include <cmath>

namespace tarnok::model {

namespace {
// Converts pulse energy into the peak of the on-axis irradiance profile
// together with 1/(tau*pi*w^2).
constexpr double irradiance_factor = 1.88e-4;
constexpr double spatial_exponent_factor = -2.0;
}  // namespace

double beam_irradiance(double r, double t, double z, double E, double tau,
                       double w0, double z_R) noexcept {
  const double z_rel = z / z_R;
  const double w = w0 * std::sqrt(z_rel * z_rel + 1.0);
  const double t_rel = t / tau;
  const double temporal = std::exp(-(t_rel * t_rel));
  const double spatial = std::exp((r * r * spatial_exponent_factor) / (w * w));
  // Left to right, as the reference formula tau*pi*w*w is written: grouping
  // w*w first would change the last bit of the table.
  return spatial * (E * irradiance_factor * temporal) / (tau * pi * w * w);
}

double rayleigh_range(double w0, double M2, double wavelength) noexcept {
  return pi * (w0 * w0) / (M2 * wavelength);
}

}  // namespace tarnok::model
