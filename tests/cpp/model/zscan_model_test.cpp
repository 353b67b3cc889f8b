#include "model/zscan_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "model/rate_equations.hpp"
#include "model/zscan_test_problem.hpp"

namespace tarnok::model {
namespace {

using testing::symmetric_positions;
using testing::ZscanProblem;

// The normalisation adds a shift of order 1 to values of order 1: what is
// left of exactness is a few ulps.
constexpr double rounding = 1e-14;
// Interval integrations are controlled to RTOL = ATOL = 1e-6 per step.
constexpr double step_accuracy = 1e-5;

constexpr double energy = 100e-6;    // J
constexpr double half_scan = 15e-3;  // m

struct Evaluation {
  std::vector<double> x_pos;
  std::vector<double> z_grid;
  std::vector<double> t_grid;
  std::vector<double> irradiance;

  Evaluation(const ZscanProblem& p, std::int32_t n)
      : x_pos(symmetric_positions(n, half_scan)), z_grid(p.z_grid()),
        t_grid(p.t_grid()), irradiance(p.irradiance(x_pos, {energy})) {}

  IrradiancePlane plane() const {
    return {irradiance.data(), x_pos.size(), t_grid.size()};
  }
  std::vector<double> model(const ZscanProblem& p) const {
    std::vector<double> out(x_pos.size());
    zscan_model(out, x_pos, z_grid, t_grid, p.populations, plane(), p.photon_freq(),
                p.spec_pars);
    return out;
  }
  std::vector<double> raw(const ZscanProblem& p) const {
    std::vector<double> out(x_pos.size());
    raw_transmittance(out, z_grid, t_grid, p.populations, plane(), p.photon_freq(),
                      p.spec_pars);
    return out;
  }
};

double edge_average(const std::vector<double>& v) {
  const std::size_t n = v.size();
  double sum = 0.0;
  for (std::size_t i = 0; i < 5; ++i) sum += v[i] + v[n - 1 - i];
  return sum / 10.0;
}

TEST(ZscanModel, ReverseSaturableAbsorberDipsAtTheFocus) {
  const ZscanProblem p;
  const Evaluation e(p, 11);
  const std::vector<double> curve = e.model(p);
  EXPECT_NEAR(edge_average(curve), 1.0, rounding);
  EXPECT_LT(curve[5], 0.95);  // the focus darkens
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_LT(curve[i + 1], curve[i]) << i;  // ... steadily towards it
    EXPECT_NEAR(curve[10 - i], curve[i], 1e-9) << i;  // symmetric scan
  }
}

TEST(ZscanModel, TransparentSampleTransmitsEverything) {
  ZscanProblem p;
  p.spec_pars[0] = p.spec_pars[1] = p.spec_pars[2] = 0.0;
  const Evaluation e(p, 7);
  for (const double value : e.raw(p)) EXPECT_NEAR(value, 1.0, rounding);
  for (const double value : e.model(p)) EXPECT_NEAR(value, 1.0, rounding);
}

TEST(ZscanModel, ZeroThicknessTransmitsEverything) {
  ZscanProblem p;
  p.sample_width = 0.0;
  const Evaluation e(p, 6);
  for (const double value : e.raw(p)) EXPECT_EQ(value, 1.0);
  for (const double value : e.model(p)) EXPECT_EQ(value, 1.0);
}

TEST(ZscanModel, LightCrossesEverySliceOfTheGridSpacing) {
  // Without photon flux (infinite photon energy) nothing is excited and each
  // slice attenuates by exp(-sigma_12*N1*dz): nz slices of sample_width/(nz-1).
  ZscanProblem p;
  for (const std::int32_t nz : {2, 3, 5}) {
    p.z_slices = nz;
    const Evaluation e(p, 5);
    std::vector<double> raw(5);
    raw_transmittance(raw, e.z_grid, e.t_grid, p.populations, e.plane(),
                      std::numeric_limits<double>::infinity(), p.spec_pars);
    const double crossed = nz * (p.sample_width / (nz - 1));
    const double expected = std::exp(-p.spec_pars[0] * p.populations[0] * crossed);
    for (const double value : raw) EXPECT_NEAR(value / expected, 1.0, step_accuracy) << nz;
  }
}

TEST(ZscanModel, PopulationsEvolveOverEachTimeStepBeforeTheLightCrossesTheSlice) {
  // Level 2 starts populated and only decays (no photon flux, no transfer);
  // only it absorbs. At time slice j (1-based) the populations have decayed
  // over j steps of dt, carried from slice to slice, so the light of that
  // slice sees N2*exp(-k21*j*dt) in every one of the nz slices.
  ZscanProblem p;
  p.spec_pars = {0.0, 5e-21, 0.0, p.tau, 1e30, 1e30, 1e30, 1e30};
  p.populations = {0.0, 1.8e23, 0.0, 0.0, 0.0};
  const Evaluation e(p, 5);
  std::vector<double> raw(5);
  raw_transmittance(raw, e.z_grid, e.t_grid, p.populations, e.plane(),
                    std::numeric_limits<double>::infinity(), p.spec_pars);
  const double dt = e.t_grid[1] - e.t_grid[0];
  const double crossed = p.z_slices * e.z_grid[1];
  for (std::size_t i = 0; i < raw.size(); ++i) {
    double transmitted = 0.0, incident = 0.0;
    for (std::size_t j = 0; j < e.t_grid.size(); ++j) {
      const double n2 = p.populations[1] * std::exp(-(j + 1.0) * dt / p.tau);
      transmitted += e.plane()(i, j) * std::exp(-p.spec_pars[1] * n2 * crossed);
      incident += e.plane()(i, j);
    }
    EXPECT_NEAR(raw[i] / (transmitted / incident), 1.0, step_accuracy) << i;
  }
}

TEST(ZscanModel, PositionsAreIndependent) {
  // Populations restart at every position: swapping two rows of the
  // irradiance swaps their raw transmittances and nothing else.
  const ZscanProblem p;
  Evaluation e(p, 7);
  const std::vector<double> before = e.raw(p);
  const std::size_t n = e.x_pos.size();
  for (std::size_t j = 0; j < e.t_grid.size(); ++j)
    std::swap(e.irradiance[1 + j * n], e.irradiance[3 + j * n]);
  std::vector<double> expected = before;
  std::swap(expected[1], expected[3]);
  EXPECT_EQ(e.raw(p), expected);
}

TEST(ZscanModel, ReadsOnlyTheLengthOfPositionsAndFivePopulations) {
  ZscanProblem p;
  const Evaluation e(p, 6);
  const std::vector<double> reference = e.model(p);
  const std::vector<double> other_positions(6, 123.0);
  p.populations.push_back(9e30);  // a sixth level that does not exist
  std::vector<double> out(6);
  zscan_model(out, other_positions, e.z_grid, e.t_grid, p.populations, e.plane(),
              p.photon_freq(), p.spec_pars);
  EXPECT_EQ(out, reference);
}

TEST(ZscanModel, MakesTwoIntegrationsPerPositionTimeAndDepthSlice) {
  ZscanProblem p;
  p.t_slices = 4;
  p.z_slices = 3;
  const Evaluation e(p, 7);
  const std::uint64_t before = integrator_calls_on_this_thread();
  e.model(p);
  EXPECT_EQ(integrator_calls_on_this_thread() - before, 2u * 7u * 4u * 3u);
}

TEST(ZscanModel, SetsTheRateConstantsFromTheParameters) {
  const ZscanProblem p;
  const Evaluation e(p, 5);
  e.model(p);
  const RateConstants r = current_rate_constants();
  EXPECT_EQ(r.inv_photon_energy, 1.5091901796421518e33 / p.photon_freq());
  EXPECT_EQ(r.sigma_12, p.spec_pars[0]);
  EXPECT_EQ(r.sigma_23, p.spec_pars[1]);
  EXPECT_EQ(r.sigma_45, p.spec_pars[2]);
  EXPECT_EQ(r.k21, 1.0 / p.spec_pars[3]);
  EXPECT_EQ(r.k24, 1.0 / p.spec_pars[4]);
  EXPECT_EQ(r.k32, 1.0 / p.spec_pars[5]);
  EXPECT_EQ(r.k41, 1.0 / p.spec_pars[6]);
  EXPECT_EQ(r.k54, 1.0 / p.spec_pars[7]);
}

TEST(ZscanModel, InputsItCannotEvaluateGiveNaN) {
  ZscanProblem p;
  const Evaluation e(p, 6);
  const auto all_nan = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isnan(x); });
  };
  std::vector<double> out(4);  // fewer than five positions
  zscan_model(out, std::span(e.x_pos).first(4), e.z_grid, e.t_grid, p.populations,
              e.plane(), p.photon_freq(), p.spec_pars);
  EXPECT_TRUE(all_nan(out));

  out.assign(6, 0.0);
  const std::vector<double> one_point{0.0};
  zscan_model(out, e.x_pos, one_point, e.t_grid, p.populations, e.plane(),
              p.photon_freq(), p.spec_pars);
  EXPECT_TRUE(all_nan(out));
  out.assign(6, 0.0);
  zscan_model(out, e.x_pos, e.z_grid, one_point, p.populations, e.plane(),
              p.photon_freq(), p.spec_pars);
  EXPECT_TRUE(all_nan(out));
  out.assign(6, 0.0);
  zscan_model(out, e.x_pos, e.z_grid, e.t_grid, std::span(p.populations).first(4),
              e.plane(), p.photon_freq(), p.spec_pars);
  EXPECT_TRUE(all_nan(out));
  out.assign(6, 0.0);
  const IrradiancePlane short_plane(e.irradiance.data(), 5, e.t_grid.size());
  zscan_model(out, e.x_pos, e.z_grid, e.t_grid, p.populations, short_plane,
              p.photon_freq(), p.spec_pars);
  EXPECT_TRUE(all_nan(out));
}

TEST(ShiftToUnitEdges, ElevenPointExample) {
  std::vector<double> values(11, 0.9);
  values[5] = 0.5;
  shift_to_unit_edges(values);
  for (std::size_t i = 0; i < 11; ++i)
    EXPECT_NEAR(values[i], i == 5 ? 0.6 : 1.0, rounding) << i;
}

TEST(ShiftToUnitEdges, ShiftsRatherThanScales) {
  std::vector<double> values{1.2, 1.1, 0.7, 1.1, 1.2, 1.3, 1.0, 1.1, 1.2, 1.2, 1.3, 1.3};
  std::vector<double> expected = values;
  shift_to_unit_edges(values);
  EXPECT_NEAR(edge_average(values), 1.0, rounding);
  const double shift = values[0] - expected[0];
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_NEAR(values[i] - expected[i], shift, rounding) << i;
}

TEST(ShiftToUnitEdges, FivePointsShareBothWindows) {
  std::vector<double> values{0.5, 0.7, 0.9, 0.8, 0.6};
  shift_to_unit_edges(values);
  EXPECT_NEAR(std::accumulate(values.begin(), values.end(), 0.0) / 5.0, 1.0, rounding);
  EXPECT_NEAR(values[0], 0.8, rounding);  // mean 0.7 -> shift 0.3
}

TEST(ShiftToUnitEdges, SumsEachWindowThenBothAndShiftsEveryValue) {
  // Values for which summing the ten edge values in one run, or dividing by
  // 10 instead of multiplying by 0.1, gives a different last bit.
  const std::vector<double> raw{0.91, 0.93, 0.97, 0.89, 0.95, 0.7, 0.5,
                                0.6,  0.88, 0.92, 0.94, 0.96, 0.99};
  const std::size_t n = raw.size();
  const double front = raw[0] + raw[1] + raw[2] + raw[3] + raw[4];
  const double back = raw[n - 5] + raw[n - 4] + raw[n - 3] + raw[n - 2] + raw[n - 1];
  const double edge_mean = 0.1 * (front + back);
  ASSERT_NE(edge_mean, (front + back) / 10.0);
  std::vector<double> values = raw;
  shift_to_unit_edges(values);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(values[i], raw[i] + (1.0 - edge_mean)) << i;
}

TEST(ShiftToUnitEdges, FewerThanFiveValuesBecomeNaN) {
  std::vector<double> values{1.0, 1.0, 1.0, 1.0};
  shift_to_unit_edges(values);
  for (const double v : values) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
}  // namespace tarnok::model
