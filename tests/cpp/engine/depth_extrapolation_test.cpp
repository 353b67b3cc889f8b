// Curves extrapolated in depth are 2 T(2z) - T(z) of the two grids, with
// their derivatives, in both engines; their error falls at second order in
// the depth step; the on-axis beam refuses it by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"
#include "engine/integrator_engine.hpp"

namespace {

using namespace tarnok;
namespace tt = tarnok::testing;
using engine::Parameter;

engine::Experiment gaussian(std::int32_t z_slices, bool extrapolated) {
  engine::Experiment e = tt::engine_cases()[1].experiment;  // picosecond
  e.beam = engine::Beam::gaussian;
  e.radial_nodes = 6;
  e.z_slices = z_slices;
  e.depth_extrapolation = extrapolated;
  return e;
}

struct Curves {
  std::vector<double> values, jacobian;
};

Curves evaluate(const engine::CurveModel& model, std::span<const Parameter> varied) {
  const tt::EngineCase c = tt::engine_cases()[1];
  Curves out{std::vector<double>(model.curve_count()),
             std::vector<double>(model.curve_count() * varied.size())};
  model.evaluate(c.values, varied, out.values, out.jacobian);
  return out;
}

std::vector<double> extrapolated(const std::vector<double>& fine, const std::vector<double>& coarse) {
  std::vector<double> out(fine.size());
  for (std::size_t i = 0; i < fine.size(); ++i) out[i] = 2.0 * fine[i] - coarse[i];
  return out;
}

TEST(DepthExtrapolation, IsTwiceTheFinerGridLessTheCoarserInBothEngines) {
  const engine::ScanLayout layout = tt::scan_layout({2e-9, 2e-8}, 21);
  const std::vector<Parameter> varied{Parameter::sigma_12, Parameter::z0};
  const Curves both = evaluate(engine::ExactEngine(gaussian(5, true), layout), varied);
  const Curves fine = evaluate(engine::ExactEngine(gaussian(10, false), layout), varied);
  const Curves coarse = evaluate(engine::ExactEngine(gaussian(5, false), layout), varied);
  EXPECT_EQ(both.values, extrapolated(fine.values, coarse.values));
  EXPECT_EQ(both.jacobian, extrapolated(fine.jacobian, coarse.jacobian));

  engine::ExactEngine raw_model(gaussian(5, true), layout);
  std::vector<double> raw(layout.size());
  std::size_t pulses = 0;
  raw_model.raw_transmittance(tt::engine_cases()[1].values, {}, raw, {}, {}, &pulses);
  EXPECT_EQ(pulses, 2 * layout.size() * 6);  // a pulse per column on each grid

  engine::Experiment slow = gaussian(3, true);
  slow.t_slices = 7;
  engine::Experiment slow_fine = slow, slow_coarse = slow;
  slow_fine.z_slices = 6;
  slow_fine.depth_extrapolation = slow_coarse.depth_extrapolation = false;
  const engine::ScanLayout few = tt::scan_layout({2e-8}, 7);
  const Curves integrated = evaluate(engine::IntegratorEngine(slow, few), {});
  EXPECT_EQ(integrated.values,
            extrapolated(evaluate(engine::IntegratorEngine(slow_fine, few), {}).values,
                         evaluate(engine::IntegratorEngine(slow_coarse, few), {}).values));
}

TEST(DepthExtrapolation, ErrorFallsAtSecondOrderWhereTheGridsAloneFallAtFirst) {
  const engine::ScanLayout layout = tt::scan_layout({2e-8}, 21);
  const auto curve = [&](std::int32_t z, bool extrapolate) {
    return evaluate(engine::ExactEngine(gaussian(z, extrapolate), layout), {}).values;
  };
  const std::vector<double> reference = curve(256, true);
  const auto error = [&](const std::vector<double>& c) {
    double worst = 0.0;
    for (std::size_t i = 0; i < c.size(); ++i) worst = std::max(worst, std::abs(c[i] - reference[i]));
    return worst;
  };
  const double plain_4 = error(curve(4, false)), plain_8 = error(curve(8, false));
  const double extrapolated_4 = error(curve(4, true)), extrapolated_8 = error(curve(8, true));
  EXPECT_NEAR(plain_4 / plain_8, 2.0, 0.3);
  EXPECT_GT(extrapolated_4 / extrapolated_8, 3.5);
  EXPECT_LT(extrapolated_8, plain_8 / 20.0);
}

TEST(DepthExtrapolation, TheOnAxisBeamRefusesItByName) {
  engine::Experiment e = tt::engine_cases()[0].experiment;
  e.depth_extrapolation = true;
  try {
    engine::ExactEngine model(e, tt::scan_layout({2e-4}, 21));
    FAIL() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("depth_extrapolation"), std::string::npos);
  }
  EXPECT_THROW(engine::IntegratorEngine(e, tt::scan_layout({2e-4}, 21)), std::invalid_argument);
}

}  // namespace
