// The quantities a z-scan model curve depends on besides the experiment: the
// eight spectroscopic parameters of the rate equations, a scale on the
// measured pulse energies, the focus position, the two-photon cross-section,
// the beam's waist and quality factor, and the refraction that only a closed
// aperture sees. Their order is the order of every parameter array.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "model/zscan_model.hpp"

namespace tarnok::engine {

enum class Parameter : std::size_t {
  sigma_12,      // cross-section 1 -> 2 (m^2)
  sigma_23,      // cross-section 2 -> 3 (m^2)
  sigma_45,      // cross-section 4 -> 5 (m^2)
  tau_21,        // lifetime 2 -> 1 (s)
  tau_24,        // lifetime 2 -> 4 (s)
  tau_32,        // lifetime 3 -> 2 (s)
  tau_41,        // lifetime 4 -> 1 (s)
  tau_54,        // lifetime 5 -> 4 (s)
  energy_scale,  // factor on every pulse energy (power-meter calibration)
  z0,            // focus position (mm) on the scan's position axis
  delta_12,      // two-photon cross-section 1 -> 2 (m^4 s)
  w0,            // beam waist radius (m); 0: the experiment's
  M2,            // beam quality factor; 0: the experiment's
  n2,            // Kerr index (m^2/W): phase per unit length k0 n2 I
  sigma_r2,      // refraction cross-section of level 2 (m^2): phase per unit length
  sigma_r4,      // refraction cross-section of level 4 (m^2)
};
inline constexpr std::size_t parameter_count = 16;
using ParameterVector = std::array<double, parameter_count>;

constexpr std::size_t index(Parameter p) noexcept { return static_cast<std::size_t>(p); }

// The spectroscopic part, in the order the rate-equation model takes it.
inline std::span<const double, model::spec_par_count> spectroscopic(
    const ParameterVector& values) noexcept {
  return std::span<const double, model::spec_par_count>(values.data(), model::spec_par_count);
}

// The parameters that act on the incident light alone, not on the sample.
constexpr bool acts_on_beam(Parameter p) noexcept {
  return p == Parameter::energy_scale || p == Parameter::z0 || p == Parameter::w0 ||
         p == Parameter::M2;
}

// The parameters that shift the phase of the light and leave its irradiance
// and the populations alone.
constexpr bool acts_on_phase(Parameter p) noexcept {
  return p == Parameter::n2 || p == Parameter::sigma_r2 || p == Parameter::sigma_r4;
}

}  // namespace tarnok::engine
