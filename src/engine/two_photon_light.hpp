// The light through one depth slice when it is absorbed both linearly and by
// two photons at once: dI/dz = -alpha I - beta I^2 with alpha and beta fixed
// over the slice (the populations of one cell). Its closed form is
//   I_out = I_in e^-x / (1 + beta I_in dz g(x)),  x = alpha dz,
//   g(x) = (1 - e^-x) / x,
// which tends to I_in / (1 + beta I_in dz) as alpha -> 0. g is formed with
// expm1, and its derivative by a series near zero, so that both stay accurate
// for the small x of thin slices, where the plain formulas cancel.
#pragma once

#include <cmath>

namespace tarnok::engine {

// The light leaving the slice and its partial derivatives.
struct SliceTransmission {
  double out = 0.0;
  double d_in = 0.0;     // d out / d I_in
  double d_alpha = 0.0;  // d out / d alpha
  double d_beta = 0.0;   // d out / d beta
};

namespace detail {

// g(x) = (1 - e^-x) / x, with g(0) = 1.
inline double mean_attenuation(double x) noexcept {
  return x == 0.0 ? 1.0 : -std::expm1(-x) / x;
}

// g'(x) = (e^-x - g(x)) / x, which loses about eps / |x| to cancellation; below
// |x| = 0.01 its Taylor series -1/2 + x/3 - x^2/8 + x^3/30 - x^4/144 + x^5/840
// is exact to rounding instead.
inline double mean_attenuation_slope(double x, double g) noexcept {
  if (std::abs(x) < 0.01)
    return -0.5 + x * (1.0 / 3.0 + x * (-1.0 / 8.0 + x * (1.0 / 30.0 + x * (-1.0 / 144.0 + x / 840.0))));
  return (std::exp(-x) - g) / x;
}

}  // namespace detail

inline SliceTransmission two_photon_transmission(double in, double alpha, double beta,
                                                 double dz) noexcept {
  const double x = alpha * dz;
  const double attenuation = std::exp(-x);
  const double g = detail::mean_attenuation(x);
  const double depletion = beta * in * dz;  // beta I_in dz
  const double denominator = 1.0 + depletion * g;
  SliceTransmission t;
  t.out = in * attenuation / denominator;
  t.d_in = attenuation / (denominator * denominator);
  t.d_alpha = -dz * t.out * (1.0 + depletion * detail::mean_attenuation_slope(x, g) / denominator);
  t.d_beta = -t.out * in * dz * g / denominator;
  return t;
}

}  // namespace tarnok::engine
