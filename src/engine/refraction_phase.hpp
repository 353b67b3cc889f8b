// The phase that light gathers through the depth slices: per unit length
// k0 n2 I (Kerr refraction) plus sigma_r2 N2 + sigma_r4 N4 (refraction by the
// excited populations). Each slice contributes its irradiance integral under
// the slice's own attenuation law, and the populations as the attenuation
// uses them (at the step's end, or averaged over it), so phase and
// attenuation come from the same cells.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "engine/parameters.hpp"

namespace tarnok::engine {

// The coefficients of the phase per unit length.
struct Refraction {
  double wavenumber = 0.0;  // k0 = 2 pi / lambda (1/m)
  double n2 = 0.0;          // m^2/W
  double level2 = 0.0;      // sigma_r2 (m^2)
  double level4 = 0.0;      // sigma_r4 (m^2)
};
Refraction refraction_of(const ParameterVector& values, double wavelength) noexcept;

// What leaves the sample at each time slice of one radial column: the light,
// its phase, and the three integrals the phase is linear in (its partial
// derivatives by n2, sigma_r2 and sigma_r4), with derivatives along the
// slice system's directions (time slice major, direction fastest).
struct RefractedPulse {
  std::vector<double> light, d_light;
  std::vector<double> phase, d_phase;
  std::vector<double> kerr_integral;  // k0 * integral of I dz
  std::vector<double> level2_integral, level4_integral;  // integrals of N2 dz, N4 dz

  void resize(std::size_t time_slices, std::size_t directions) {
    for (std::vector<double>* series :
         {&light, &phase, &kerr_integral, &level2_integral, &level4_integral})
      series->resize(time_slices);
    d_light.resize(time_slices * directions);
    d_phase.resize(time_slices * directions);
  }
};

// The integral of I over a slice of thickness dz where dI/dz = -alpha I -
// beta I^2, I = light at its front, and its partial derivatives: with
// x = alpha dz, g = (1 - e^-x)/x and D = beta light dz g,
//   Q = light dz g log(1 + D) / D,
// which is light dz g for beta = 0.
struct SliceIrradianceIntegral {
  double value = 0.0;
  double d_light = 0.0;
  double d_alpha = 0.0;
  double d_beta = 0.0;
};
SliceIrradianceIntegral slice_irradiance_integral(double light, double alpha, double beta,
                                                  double dz) noexcept;

}  // namespace tarnok::engine
