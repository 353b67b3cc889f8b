#include "model/beam.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/irradiance.hpp"

namespace tarnok::model {
namespace {

// Values that differ from the closed form only by the rounding of a handful
// of operations.
constexpr double rounding = 1e-14;

constexpr double energy = 2e-6;   // J
constexpr double tau = 5e-9;      // s
constexpr double w0 = 20e-6;      // m
constexpr double wavelength = 532e-9;

double peak(double E) { return 1.88e-4 * E / (tau * pi * w0 * w0); }

TEST(BeamIrradiance, PeakAtFocusAndPulseCentre) {
  const double z_R = rayleigh_range(w0, 1.0, wavelength);
  EXPECT_NEAR(beam_irradiance(0.0, 0.0, 0.0, energy, tau, w0, z_R) / peak(energy), 1.0,
              rounding);
}

TEST(BeamIrradiance, HalvesAtOneRayleighRangeOnEitherSide) {
  const double z_R = rayleigh_range(w0, 1.3, wavelength);
  const double focus = beam_irradiance(0.0, 0.0, 0.0, energy, tau, w0, z_R);
  EXPECT_NEAR(beam_irradiance(0.0, 0.0, z_R, energy, tau, w0, z_R) / focus, 0.5, rounding);
  EXPECT_NEAR(beam_irradiance(0.0, 0.0, -z_R, energy, tau, w0, z_R) / focus, 0.5, rounding);
}

TEST(BeamIrradiance, TimeGridEndsSeeExpMinusAQuarter) {
  const double z_R = rayleigh_range(w0, 1.0, wavelength);
  const double centre = beam_irradiance(0.0, 0.0, 1e-3, energy, tau, w0, z_R);
  for (const double t : {-0.5 * tau, 0.5 * tau})
    EXPECT_NEAR(beam_irradiance(0.0, t, 1e-3, energy, tau, w0, z_R) / centre,
                std::exp(-0.25), rounding);
}

TEST(BeamIrradiance, FallsOffRadiallyWithTheLocalBeamRadius) {
  const double z_R = rayleigh_range(w0, 1.0, wavelength);
  const double w = w0 * std::sqrt(2.0);  // at z = z_R
  const double on_axis = beam_irradiance(0.0, 0.0, z_R, energy, tau, w0, z_R);
  EXPECT_NEAR(beam_irradiance(w, 0.0, z_R, energy, tau, w0, z_R) / on_axis,
              std::exp(-2.0), rounding);
}

TEST(BeamIrradiance, ScalesLinearlyWithEnergy) {
  const double z_R = rayleigh_range(w0, 1.0, wavelength);
  const double one = beam_irradiance(0.0, 1e-9, 2e-3, energy, tau, w0, z_R);
  EXPECT_NEAR(beam_irradiance(0.0, 1e-9, 2e-3, 3.0 * energy, tau, w0, z_R) / one, 3.0,
              rounding);
}

TEST(BeamIrradiance, EvaluatesTheFormulaInItsWrittenOrder) {
  // At these inputs grouping w*w first, or dividing before multiplying by the
  // spatial factor, changes the last bit: other implementations of the model
  // must build the identical table.
  const double z_R = rayleigh_range(w0, 1.0, wavelength);
  const double r = 3e-6, t = 0.9e-9, z = 3e-4;
  const double w = w0 * std::sqrt((z / z_R) * (z / z_R) + 1.0);
  const double temporal = std::exp(-((t / tau) * (t / tau)));
  const double spatial = std::exp((r * r * -2.0) / (w * w));
  const double expected = spatial * (energy * 1.88e-4 * temporal) / (((tau * pi) * w) * w);
  EXPECT_EQ(beam_irradiance(r, t, z, energy, tau, w0, z_R), expected);
  EXPECT_NE(expected, spatial * (energy * 1.88e-4 * temporal) / (tau * pi * (w * w)));
}

TEST(RayleighRange, IsPiW0SquaredOverM2Lambda) {
  EXPECT_EQ(rayleigh_range(w0, 1.5, wavelength), pi * (w0 * w0) / (1.5 * wavelength));
}

TEST(IrradianceTable, FillsPositionFastestThenTimeThenDataset) {
  constexpr std::size_t num_x_pts = 3;
  const std::vector<double> x_pos{-1e-3, 0.0, 2e-3, -1e-3, 0.0, 2e-3};
  const std::vector<double> t_grid{-0.5 * tau, 0.0, 0.5 * tau};
  const std::vector<double> energies{1e-6, 4e-6};
  const BeamSettings beam{tau, w0, rayleigh_range(w0, 1.0, wavelength)};
  std::vector<double> table(num_x_pts * t_grid.size() * energies.size());
  fill_irradiance_table(table, x_pos, t_grid, energies, num_x_pts, beam);

  const IrradianceTable view(table.data(), num_x_pts, t_grid.size(), energies.size());
  for (std::size_t d = 0; d < energies.size(); ++d)
    for (std::size_t j = 0; j < t_grid.size(); ++j)
      for (std::size_t i = 0; i < num_x_pts; ++i)
        EXPECT_EQ(view.plane(d)(i, j),
                  beam_irradiance(0.0, t_grid[j], x_pos[d * num_x_pts + i], energies[d],
                                  beam.tau, beam.w0, beam.z_R));
  // Same positions in both datasets: only the pulse energy differs.
  const std::size_t plane_size = num_x_pts * t_grid.size();
  for (std::size_t e = 0; e < plane_size; ++e)
    EXPECT_NEAR(table[plane_size + e] / table[e], 4.0, rounding);
}

}  // namespace
}  // namespace tarnok::model
