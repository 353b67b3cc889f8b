// The residuals of a z-scan fit with curves of both apertures, some values
// of which were not measured.
#include "robust_fit/zscan_residuals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"

namespace {

using namespace tarnok;
namespace tt = tarnok::testing;
using engine::Parameter;

// Absent values (NaN) give no residual; the others keep their order, with
// their own Jacobian rows.
TEST(ZScanResiduals, SkipsAbsentValuesOfEitherAperture) {
  const tt::EngineCase c = tt::engine_cases()[0];
  engine::Experiment e = c.experiment;
  e.beam = engine::Beam::gaussian;
  e.radial_nodes = 3;
  e.t_slices = 7;
  e.z_slices = 3;
  e.aperture_transmittance = 0.2;
  struct {
    engine::Experiment experiment;
    engine::ParameterVector values;
    engine::ScanLayout layout;
  } s{e, c.values, tt::scan_layout({4e-8, 6.4e-7}, 9)};
  s.values[engine::index(Parameter::n2)] = 5e-16;
  const engine::ExactEngine exact(s.experiment, s.layout);
  const std::vector<Parameter> varied{Parameter::n2, Parameter::sigma_12};
  std::vector<double> model(exact.curve_count()), d_model(model.size() * varied.size());
  exact.evaluate(s.values, varied, model, d_model);
  std::vector<double> data(model.size()), sigma(model.size(), 0.01);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = model[k] + 1e-3 * std::sin(k);
  // The open curve of the first energy and one closed value are not measured.
  const std::size_t n = s.layout.n_positions;
  for (std::size_t k = 0; k < n; ++k) data[k] = std::nan("");
  data[s.layout.size() + 3] = std::nan("");
  const robust_fit::ZScanResiduals residuals(exact, data, sigma, s.values, varied);
  ASSERT_EQ(residuals.residual_count(), data.size() - n - 1);
  const std::vector<double> p{s.values[engine::index(Parameter::n2)], s.values[engine::index(Parameter::sigma_12)]};
  const std::size_t m = residuals.residual_count();
  std::vector<double> r(m), jac(m * 2);
  ASSERT_TRUE(residuals.evaluate(p, r, jac));
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t k = residuals.present()[i];
    EXPECT_FALSE(std::isnan(data[k]));
    EXPECT_NEAR(r[i], 1e-3 * std::sin(k) / 0.01, 1e-12);
    for (std::size_t v = 0; v < 2; ++v) EXPECT_DOUBLE_EQ(jac[v * m + i], -d_model[k * 2 + v] / 0.01);
  }
  EXPECT_THROW(robust_fit::ZScanResiduals(exact, std::vector<double>(s.layout.size()), {}, s.values,
                                          varied),
               std::invalid_argument);
}

}  // namespace
