// Irradiance of a focused Gaussian beam carrying a pulse with a Gaussian time
// profile: the light that enters the sample at one scan position and time.
#pragma once

namespace tarnok::model {

inline constexpr double pi = 3.141592653589793;

// Irradiance at radius r, time t (from the pulse peak) and axial position z
// (from the focus) of a pulse of energy E, duration parameter tau, waist w0
// and Rayleigh range z_R. Pure; nothing is validated.
double beam_irradiance(double r, double t, double z, double E, double tau,
                       double w0, double z_R) noexcept;

// Rayleigh range pi*w0^2/(M2*wavelength) of a beam of quality factor M2.
double rayleigh_range(double w0, double M2, double wavelength) noexcept;

}  // namespace tarnok::model
