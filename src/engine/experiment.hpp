// The optical set-up of a z-scan, and the grids and beam constants that both
// engines derive from it once: the time slices of the pulse, the depth slices
// of the sample, and the radii at which the beam is sampled.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "model/zscan_model.hpp"

namespace tarnok::engine {

enum class Beam {
  // The incident irradiance of the rate-equation model as first written: on
  // axis, time slices over +-tau/2, depth step thickness/(z_slices - 1), the
  // light attenuated by the populations at the end of each time step, the
  // curve shifted so that its ten outermost points average 1.
  on_axis,
  // An energy-normalised Gaussian beam and pulse: peak irradiance from the
  // pulse energy, time slices over +-3.5 tau, z_slices slices of
  // thickness/z_slices, the light attenuated by the populations averaged
  // over each time step, every radius of a radial quadrature propagated on
  // its own, and the curve divided by its ten outermost points.
  gaussian,
};

struct Experiment {
  double wavelength = 0.0;  // m
  double w0 = 0.0;          // beam waist radius (1/e^2 of irradiance), m
  double M2 = 1.0;          // beam quality factor
  double tau = 0.0;         // pulse duration: irradiance ~ exp(-(t/tau)^2), s
  double thickness = 0.0;   // sample thickness, m
  std::array<double, model::level_count> populations{};  // initial, 1/m^3
  std::int32_t t_slices = 21;
  std::int32_t z_slices = 11;
  Beam beam = Beam::on_axis;
  std::int32_t radial_nodes = 12;  // gaussian beam only
  // Pulses per second of a laser whose pulses meet a sample not yet relaxed
  // from the last ones; 0 for pulses that each meet the initial populations.
  double repetition_rate = 0.0;
  // The closed aperture, if any: its linear transmittance S in (0, 1], or 0
  // for none (then the engines give the open curves alone, as without it).
  // With a radius instead (aperture_radius > 0, m), S follows from the linear
  // beam in the aperture plane, which then needs a finite distance.
  double aperture_transmittance = 0.0;
  double aperture_radius = 0.0;
  // Distance from the focus to the aperture plane (m), fixed while the
  // sample moves; 0 for the far field.
  double aperture_distance = 0.0;
  double linear_index = 1.0;     // n0, for the derived susceptibility only
  bool closed_divided = false;   // closed curves modelled as closed / open
  // Gaussian beam: the curves extrapolated from z_slices and 2 z_slices depth
  // slices, which cancels the slicing's first-order error
  // (depth_extrapolation.hpp).
  bool depth_extrapolation = false;

  bool has_aperture() const noexcept {
    return aperture_transmittance > 0.0 || aperture_radius > 0.0;
  }
};

// Throws std::invalid_argument naming the key when the aperture keys are out
// of range or contradict each other.
void check_aperture(const Experiment& experiment);

// What every evaluation reads but none changes.
struct Discretisation {
  std::vector<double> t_grid;          // time of each slice, s
  double dt = 0.0;                     // duration of a time slice
  double dz = 0.0;                     // thickness of a depth slice
  std::size_t z_slices = 0;
  double z_R = 0.0;                    // Rayleigh range
  double photon_freq = 0.0;            // optical frequency, 1/s
  model::AttenuatingPopulations attenuating = model::AttenuatingPopulations::at_step_end;
  // Radial quadrature in u = 2 r^2 / w(z)^2, where the beam profile is e^-u:
  // the incident irradiance at node q is e^-u_q times its on-axis value, and
  // integrals over the cross-section weigh node q by radial_weights[q].
  std::vector<double> radial_nodes;
  std::vector<double> radial_weights;
};

// Gauss-Laguerre nodes and weights for integrals of e^-u f(u) over u >= 0.
// The weights are returned multiplied by e^u_q, so that sum_q w_q g(u_q)
// approximates the plain integral of g = e^-u f.
void gauss_laguerre(std::size_t n, std::vector<double>& nodes, std::vector<double>& weights);

// Throws std::invalid_argument for grids too small to evaluate.
Discretisation discretise(const Experiment& experiment);

// Half-width of the gaussian beam's time window in units of tau: the part of
// the pulse outside, erfc(3.5) = 7e-7 of its energy, is neglected.
inline constexpr double gaussian_time_window = 3.5;

}  // namespace tarnok::engine
