// A reverse saturable absorber in a focused nanosecond beam: the physical
// set-up the model and fit tests share. Units: metres, seconds, joules.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "model/beam.hpp"
#include "model/irradiance.hpp"
#include "model/linspace.hpp"

namespace tarnok::testing {

struct ZscanProblem {
  // sigma_12, sigma_23, sigma_45 (m^2); lifetimes 2->1, 2->4, 3->2, 4->1, 5->4 (s).
  // Triplet absorption (4->5) fifty times the ground-state one darkens the
  // sample near the focus; linear transmittance exp(-0.36).
  std::array<double, 8> spec_pars{2e-21, 5e-21, 1e-19, 8e-9, 4e-9, 1e-12, 1e-6, 1e-12};
  std::vector<double> populations{1.8e23, 0.0, 0.0, 0.0, 0.0};  // 1/m^3
  double wavelength = 532e-9;
  double w0 = 20e-6;
  double M2 = 1.0;
  double tau = 5e-9;
  double sample_width = 1e-3;
  std::int32_t t_slices = 5;
  std::int32_t z_slices = 3;

  double photon_freq() const { return 299792458.0 / wavelength; }

  std::vector<double> z_grid() const {
    std::vector<double> grid(static_cast<std::size_t>(z_slices));
    model::linspace(grid.data(), 0.0, sample_width, z_slices);
    return grid;
  }
  std::vector<double> t_grid() const {
    std::vector<double> grid(static_cast<std::size_t>(t_slices));
    model::linspace(grid.data(), -tau * 0.5, tau * 0.5, t_slices);
    return grid;
  }
  // Irradiance table for positions in metres (dataset-major, num_x_pts each).
  std::vector<double> irradiance(const std::vector<double>& x_pos,
                                 const std::vector<double>& energies) const {
    const std::size_t num_x_pts = x_pos.size() / energies.size();
    std::vector<double> table(x_pos.size() * static_cast<std::size_t>(t_slices));
    model::fill_irradiance_table(table, x_pos, t_grid(), energies, num_x_pts,
                                 {tau, w0, model::rayleigh_range(w0, M2, wavelength)});
    return table;
  }
};

// n positions evenly spread over [-half_span, half_span] (any unit).
inline std::vector<double> symmetric_positions(std::int32_t n, double half_span) {
  std::vector<double> x(static_cast<std::size_t>(n));
  model::linspace(x.data(), -half_span, half_span, n);
  return x;
}

}  // namespace tarnok::testing
