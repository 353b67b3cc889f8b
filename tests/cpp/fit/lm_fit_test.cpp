#include "fit/lm_fit.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <new>
#include <vector>

#include "fit/model_state.hpp"

namespace tarnok::fit {
namespace {

using Params = std::array<double, 8>;

// Stand-in for the optical model, cheap and exact: a Gaussian dip of depth
// p[0]*irradiance(i, 0) and width p[1] (metres). It records every parameter
// vector it is given and what the model state held during the fit.
struct Recorder {
  std::vector<Params> seen;
  bool state_filled = true;
  bool throw_bad_alloc = false;
};
thread_local Recorder recorder;

void dip_model(std::span<double> out, std::span<const double> positions,
               std::span<const double>, std::span<const double>,
               std::span<const double>, model::IrradiancePlane irradiance, double,
               std::span<const double, 8> p) {
  if (recorder.throw_bad_alloc) throw std::bad_alloc();
  Params copy{};
  std::copy(p.begin(), p.end(), copy.begin());
  recorder.seen.push_back(copy);
  const ModelState& state = this_thread_model_state();
  recorder.state_filled = recorder.state_filled && state.model_fn == dip_model &&
                          !state.fit_idx.empty() == (state.n_fit > 0) &&
                          state.model_vals.size() == state.x_pos.size();
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const double u = positions[i] / p[1];
    out[i] = 1.0 - p[0] * irradiance(i, 0) * std::exp(-u * u);
  }
}

// Nine positions per dataset from -0.8 m to 0.8 m (so the focus weight
// varies from 5 down to about 1.3) and two datasets, the second at twice the
// irradiance of the first.
struct Problem {
  static constexpr std::int32_t num_x_pts = 9;
  static constexpr std::int32_t num_datasets = 2;
  std::vector<double> x_pos;
  std::vector<double> y_obs;
  std::vector<double> irradiance{1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2};
  std::vector<double> fit_resid = std::vector<double>(18, -99.0);
  std::vector<double> grid{0.0, 1.0};
  Params truth{0.3, 0.25, 0.1 + 0.2, -7.5, 1e-300, 3.0, 4.0, 5.0};

  Problem() {
    for (int d = 0; d < num_datasets; ++d)
      for (int i = 0; i < num_x_pts; ++i) x_pos.push_back(-0.8 + 0.2 * i);
    y_obs = model_at(truth);
  }
  std::vector<double> model_at(const Params& p) const {
    std::vector<double> out(x_pos.size());
    for (int d = 0; d < num_datasets; ++d) {
      const auto lo = static_cast<std::size_t>(d * num_x_pts);
      dip_model(std::span(out).subspan(lo, num_x_pts),
                std::span(x_pos).subspan(lo, num_x_pts), grid, grid, grid, plane(d),
                1.0, p);
    }
    return out;
  }
  model::IrradiancePlane plane(int d) const {
    return table().plane(static_cast<std::size_t>(d));
  }
  model::IrradianceTable table() const {
    return {irradiance.data(), num_x_pts, 1, num_datasets};
  }
  // Fits and returns the error; spec_pars in/out.
  double fit(Params& spec_pars, const std::vector<std::int32_t>& indices) {
    double error = -1.0;
    lm_fit(x_pos, y_obs, dip_model, grid, grid, grid, table(), fit_resid, 1.0, spec_pars,
           num_x_pts, num_datasets, indices, error);
    return error;
  }
};

double focus_weight(double x) { return 1.0 + 4.0 * std::exp(-4.0 * x * x); }

class LmFit : public ::testing::Test {
 protected:
  void SetUp() override { recorder = Recorder{}; }
  void TearDown() override { recorder = Recorder{}; }
  Problem problem;
};

TEST_F(LmFit, PerfectModelLeavesZeroResidualsAndZeroError) {
  Params spec_pars = problem.truth;
  EXPECT_EQ(problem.fit(spec_pars, {1, 2}), 0.0);
  EXPECT_EQ(spec_pars, problem.truth);
  for (const double r : problem.fit_resid) EXPECT_EQ(r, 0.0);
}

TEST_F(LmFit, RecoversTheParametersFromAStartFarOff) {
  Params spec_pars = problem.truth;
  spec_pars[0] *= 2.0;
  spec_pars[1] *= 0.6;
  const double error = problem.fit(spec_pars, {1, 2});
  EXPECT_NEAR(spec_pars[0], problem.truth[0], 1e-6);
  EXPECT_NEAR(spec_pars[1], problem.truth[1], 1e-6);
  EXPECT_LT(error, 1e-6);
  for (const double r : problem.fit_resid) EXPECT_NEAR(r, 0.0, 1e-6);
  EXPECT_TRUE(recorder.state_filled);
}

TEST_F(LmFit, UnfittedParametersPassThroughBitForBit) {
  Params spec_pars = problem.truth;
  spec_pars[1] *= 1.3;
  problem.fit(spec_pars, {2});
  ASSERT_GT(recorder.seen.size(), 3u);
  for (const Params& p : recorder.seen)
    for (const int i : {0, 2, 3, 4, 5, 6, 7}) EXPECT_EQ(p[i], problem.truth[i]) << i;
  for (const int i : {0, 2, 3, 4, 5, 6, 7}) EXPECT_EQ(spec_pars[i], problem.truth[i]) << i;
  EXPECT_NEAR(spec_pars[1], problem.truth[1], 1e-6);
}

TEST_F(LmFit, ResidualsAreUnweightedAndTheErrorIsTheWeightedNorm) {
  // The model ignores parameter 8, so the solver cannot move and stops at the
  // start: the residuals are the data offsets, the error their weighted norm.
  problem.y_obs[4] += 0.1;   // x = 0: weight 5
  problem.y_obs[10] -= 0.2;  // x = -0.6 m
  Params spec_pars = problem.truth;
  const double error = problem.fit(spec_pars, {8});
  EXPECT_NEAR(problem.fit_resid[4], 0.1, 1e-15);
  EXPECT_NEAR(problem.fit_resid[10], -0.2, 1e-15);
  const double expected =
      std::sqrt(5.0 * 0.1 * 0.1 + focus_weight(-0.6) * 0.2 * 0.2);
  EXPECT_NEAR(error, expected, 1e-15);
  EXPECT_EQ(spec_pars, problem.truth);
}

TEST_F(LmFit, RepeatedIndexTakesItsLastOccurrence) {
  // Both copies start from the same value; the first copy is overwritten in
  // every trial vector, so only the second moves, and it is the one written
  // back.
  Params spec_pars = problem.truth;
  const double start = problem.truth[1] * 1.4;
  spec_pars[1] = start;
  problem.fit(spec_pars, {2, 2});
  ASSERT_FALSE(recorder.seen.empty());
  EXPECT_EQ(recorder.seen.front()[1], start);
  EXPECT_NEAR(spec_pars[1], problem.truth[1], 1e-6);
}

TEST_F(LmFit, WithNothingToFitReportsTheWeightedNormAtTheStart) {
  problem.y_obs[4] += 0.1;
  Params spec_pars = problem.truth;
  const double error = problem.fit(spec_pars, {});
  EXPECT_NEAR(error, 0.1 * std::sqrt(5.0), 1e-15);
  EXPECT_NEAR(problem.fit_resid[4], 0.1, 1e-15);
  EXPECT_EQ(spec_pars, problem.truth);
  EXPECT_EQ(recorder.seen.size(), 2u * Problem::num_datasets);  // error, final pass
}

TEST_F(LmFit, WithFewerResidualsThanParametersReportsTheNormAtTheStart) {
  // One position, three fitted parameters: the solver refuses to run.
  const std::vector<double> x{0.0};
  const std::vector<double> y{0.8};
  const std::vector<double> irradiance{1.0};
  std::vector<double> resid{-99.0};
  Params spec_pars = problem.truth;
  double error = -1.0;
  lm_fit(x, y, dip_model, problem.grid, problem.grid, problem.grid,
         model::IrradianceTable(irradiance.data(), 1, 1, 1), resid, 1.0, spec_pars, 1, 1,
         std::vector<std::int32_t>{1, 2, 3}, error);
  const double offset = 0.8 - (1.0 - problem.truth[0]);
  EXPECT_NEAR(resid[0], offset, 1e-15);
  EXPECT_NEAR(error, std::sqrt(5.0) * std::fabs(offset), 1e-15);
  EXPECT_EQ(spec_pars, problem.truth);
}

TEST_F(LmFit, LeavesTheModelStateEmpty) {
  Params spec_pars = problem.truth;
  spec_pars[0] *= 1.2;
  problem.fit(spec_pars, {1});
  EXPECT_TRUE(this_thread_model_state().empty());
}

TEST_F(LmFit, OutOfMemoryInTheModelEscapesAndLeavesTheStateEmpty) {
  recorder.throw_bad_alloc = true;
  Params spec_pars = problem.truth;
  EXPECT_THROW(problem.fit(spec_pars, {1}), std::bad_alloc);
  EXPECT_TRUE(this_thread_model_state().empty());
  EXPECT_EQ(spec_pars, problem.truth);
}

TEST(ModelState, StartsEmptyAndClearsCompletely) {
  ModelState& state = this_thread_model_state();
  EXPECT_TRUE(state.empty());
  const std::vector<double> values{1.0, 2.0};
  state.x_pos = values;
  state.num_x_pts = 2;
  state.n_fit = 1;
  state.fit_idx = {3};
  state.model_vals.assign(2, 0.0);
  EXPECT_FALSE(state.empty());
  state.clear();
  EXPECT_TRUE(state.empty());
}

}  // namespace
}  // namespace tarnok::fit
