// The exact engine against the integrator-based model, against closed forms
// and an extended-precision reference of its own, and its derivatives against
// central differences.
#include "engine/exact_engine.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/engine_test_cases.hpp"
#include "engine/integrator_engine.hpp"
#include "engine/rate_matrix.hpp"
#include "engine/reference_exponential.hpp"
#include "model/beam.hpp"
#include "model/irradiance.hpp"
#include "model/zscan_model.hpp"

namespace {

using namespace tarnok;
namespace tt = tarnok::testing;
using engine::Parameter;

// The integrator works to a relative tolerance of 1e-6 per step.
constexpr double kIntegratorAgreement = 5e-6;
// What double precision leaves of the exact engine's closed forms.
constexpr double kReferenceAgreement = 1e-12;

std::vector<double> evaluate(const engine::CurveModel& model, const engine::ParameterVector& v) {
  std::vector<double> curves(model.layout().size());
  model.evaluate(v, {}, curves, {});
  return curves;
}

double max_difference(const std::vector<double>& a, const std::vector<double>& b) {
  double worst = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) worst = std::max(worst, std::abs(a[k] - b[k]));
  return worst;
}

// The gaussian beam's peak irradiance is energy-normalised, several thousand
// times the on-axis description's for the same energy; scaled energies give
// both beams a dip of similar depth.
std::vector<double> scaled_for(engine::Beam beam, std::vector<double> energies) {
  if (beam == engine::Beam::gaussian)
    for (double& e : energies) e *= 2e-4;
  return energies;
}

TEST(ExactEngine, AgreesWithTheIntegratorModelOnEveryCaseAndBeam) {
  for (const tt::EngineCase& c : tt::engine_cases()) {
    for (engine::Beam beam : {engine::Beam::on_axis, engine::Beam::gaussian}) {
      engine::Experiment experiment = c.experiment;
      experiment.beam = beam;
      experiment.radial_nodes = 4;  // enough to compare; the integrator is slow
      const engine::ScanLayout layout = tt::scan_layout(scaled_for(beam, c.pulse_energies), 21);
      const std::vector<double> exact = evaluate(engine::ExactEngine(experiment, layout), c.values);
      const engine::IntegratorEngine integrator(experiment, layout);
      EXPECT_LT(max_difference(exact, evaluate(integrator, c.values)), kIntegratorAgreement)
          << c.name << (beam == engine::Beam::gaussian ? ", gaussian" : ", on-axis");
      EXPECT_EQ(integrator.diagnostics().messages, 0u) << c.name;
      // A visible nonlinearity, or the comparison would prove little.
      EXPECT_LT(*std::min_element(exact.begin(), exact.end()), 0.95) << c.name;
    }
  }
}

TEST(IntegratorEngine, OnAxisIsTheOriginalModelToTheBit) {
  const tt::EngineCase c = tt::engine_cases()[0];
  const engine::ScanLayout layout = tt::scan_layout({c.pulse_energies[2]}, 11);
  const engine::Discretisation grids = engine::discretise(c.experiment);

  std::vector<double> x_pos(layout.n_positions);
  for (std::size_t i = 0; i < x_pos.size(); ++i) x_pos[i] = layout.positions_mm[i] * 0.001;
  std::vector<double> table(x_pos.size() * grids.t_grid.size());
  const std::vector<double> energy{c.pulse_energies[2]};
  model::fill_irradiance_table(table, x_pos, grids.t_grid, energy, x_pos.size(),
                               {c.experiment.tau, c.experiment.w0, grids.z_R});
  std::vector<double> z_grid(static_cast<std::size_t>(c.experiment.z_slices));
  model::linspace(z_grid.data(), 0.0, c.experiment.thickness, c.experiment.z_slices);
  std::vector<double> expected(x_pos.size());
  model::zscan_model(expected, x_pos, z_grid, grids.t_grid, c.experiment.populations,
                     model::IrradiancePlane(table.data(), x_pos.size(), grids.t_grid.size()),
                     grids.photon_freq, engine::spectroscopic(c.values));

  EXPECT_EQ(evaluate(engine::IntegratorEngine(c.experiment, layout), c.values), expected);
}

// Two levels only (sigma_12 and tau_21; every other rate negligible): under
// constant flux F for dt, N2 relaxes exponentially to N sigma F / (sigma F + k).
TEST(ExactEngine, TwoLevelLimitMatchesItsClosedForm) {
  engine::Experiment e = tt::experiment_of(5e-9, 9, 5);
  const double sigma = 3e-21, tau = 2e-9, off = 1e300;
  const engine::ParameterVector values{sigma, 0.0, 0.0, tau, off, off, off, off, 1.0, 0.0};
  const engine::ScanLayout layout = tt::scan_layout({2e-3}, 7);
  const engine::ExactEngine exact(e, layout);
  std::vector<double> raw(layout.size());
  exact.raw_transmittance(values, {}, raw, {});

  const engine::Discretisation g = engine::discretise(e);
  const double inv_photon = engine::rate_matrices(model::rate_constants_for(
                                g.photon_freq, engine::spectroscopic(values)), 0.0).inv_photon_energy;
  const double total = e.populations[0];
  for (std::size_t i = 0; i < layout.n_positions; ++i) {
    std::vector<double> n2(g.z_slices, 0.0);
    double out = 0.0, in = 0.0;
    for (double t : g.t_grid) {
      const double z = layout.positions_mm[i] * 0.001;
      double light = model::beam_irradiance(0.0, t, z, 2e-3, e.tau, e.w0, g.z_R);
      in += light;
      for (double& n : n2) {
        const double pump = sigma * inv_photon * light, rate = pump + 1.0 / tau;
        const double steady = total * pump / rate;
        n = steady + (n - steady) * std::exp(-rate * g.dt);
        light *= std::exp(-sigma * (total - n) * g.dz);
      }
      out += light;
    }
    EXPECT_NEAR(raw[i], out / in, kReferenceAgreement * out / in) << "position " << i;
  }
}

TEST(ExactEngine, GaussianBeamAtVanishingEnergyGivesBeerLambert) {
  const tt::EngineCase c = tt::engine_cases()[2];
  engine::Experiment e = c.experiment;
  e.beam = engine::Beam::gaussian;
  const engine::ScanLayout layout = tt::scan_layout({1e-30}, 9);
  std::vector<double> raw(layout.size());
  engine::ExactEngine(e, layout).raw_transmittance(c.values, {}, raw, {});
  const double beer_lambert = std::exp(-c.values[0] * e.populations[0] * e.thickness);
  for (double r : raw) EXPECT_NEAR(r, beer_lambert, kReferenceAgreement);
}

// Light crossing a slice meets the populations averaged over the step, not
// those a step ahead of it: halving the step quarters the change of the curve,
// where attenuating by the end populations only halves it. A saturable
// absorber, which bleaches within a step, shows it clearly.
TEST(ExactEngine, GaussianBeamConvergesAtSecondOrderInTime) {
  engine::Experiment e = tt::experiment_of(5e-9, 21, 11);
  e.beam = engine::Beam::gaussian;
  e.radial_nodes = 4;
  const engine::ParameterVector saturable{2e-20, 1e-22, 1e-22, 5e-9, 1e-8, 1e-10, 1e-6, 1e-10, 1.0, 0.0};
  const engine::ScanLayout layout = tt::scan_layout({6.4e-7}, 11);
  std::vector<std::vector<double>> curves;
  for (std::int32_t t_slices : {21, 41, 81}) {
    e.t_slices = t_slices;
    curves.push_back(evaluate(engine::ExactEngine(e, layout), saturable));
  }
  const double coarse_change = max_difference(curves[0], curves[1]);
  const double fine_change = max_difference(curves[1], curves[2]);
  EXPECT_GT(coarse_change / fine_change, 3.0) << "changes " << coarse_change << ", " << fine_change;
  EXPECT_GT(*std::max_element(curves[2].begin(), curves[2].end()), 1.05);  // it does bleach
}

// The whole propagation redone in extended precision with the Taylor
// exponential, on the stiff case where the squarings are many.
TEST(ExactEngine, MatchesAnExtendedPrecisionReferenceOfItself) {
  const tt::EngineCase c = tt::engine_cases()[2];
  engine::Experiment e = c.experiment;
  e.t_slices = 7;
  e.z_slices = 4;
  const engine::ScanLayout layout = tt::scan_layout({c.pulse_energies[2]}, 5);
  std::vector<double> raw(layout.size());
  engine::ExactEngine(e, layout).raw_transmittance(c.values, {}, raw, {});

  const engine::Discretisation g = engine::discretise(e);
  const engine::RateMatrices r = engine::rate_matrices(
      model::rate_constants_for(g.photon_freq, engine::spectroscopic(c.values)), 0.0);
  for (std::size_t i = 0; i < layout.n_positions; ++i) {
    std::vector<tt::LongMatrix> n(g.z_slices, tt::LongMatrix::Zero(5, 1));
    for (auto& slice : n) slice(0, 0) = e.populations[0];
    long double out = 0.0L, in = 0.0L;
    for (double t : g.t_grid) {
      long double light = model::beam_irradiance(0.0, t, layout.positions_mm[i] * 0.001,
                                                 c.pulse_energies[2], e.tau, e.w0, g.z_R);
      in += light;
      for (auto& slice : n) {
        const tt::LongMatrix a =
            r.decay.cast<long double>() +
            (static_cast<long double>(r.inv_photon_energy) * light) * r.absorption.cast<long double>();
        slice = tt::reference_exponential(a * static_cast<long double>(g.dt)) * slice;
        const long double alpha = (r.absorbers.cast<long double>().transpose() * slice)(0, 0);
        light *= std::exp(-alpha * static_cast<long double>(g.dz));
      }
      out += light;
    }
    const double expected = static_cast<double>(out / in);
    EXPECT_NEAR(raw[i], expected, kReferenceAgreement * expected) << "position " << i;
  }
}

// Every parameter, and a case set up for derivatives: the focus off-centre,
// so that d/dz0 is not zero by symmetry, the beam given by value, and enough
// two-photon absorption to move the curves by a few per cent.
std::vector<Parameter> every_parameter() {
  std::vector<Parameter> all;
  for (std::size_t p = 0; p < engine::parameter_count; ++p) all.push_back(static_cast<Parameter>(p));
  return all;
}

struct DerivativeSetting {
  engine::Experiment experiment;
  engine::ParameterVector values;
};

DerivativeSetting derivative_setting(const tt::EngineCase& c, engine::Beam beam,
                                     std::int32_t radial_nodes) {
  DerivativeSetting setting{c.experiment, c.values};
  setting.experiment.beam = beam;
  setting.experiment.radial_nodes = radial_nodes;
  setting.values[engine::index(Parameter::z0)] = 0.7;
  setting.values[engine::index(Parameter::w0)] = c.experiment.w0;
  setting.values[engine::index(Parameter::M2)] = 1.2;
  setting.values[engine::index(Parameter::delta_12)] = 1e-55;
  return setting;
}

// The backward pass against forward mode: the same derivatives, to rounding,
// for every parameter at once, on every case and both beams.
TEST(ExactEngine, BackwardPassGivesTheForwardModeDerivatives) {
  const std::vector<Parameter> all = every_parameter();
  for (const tt::EngineCase& c : tt::engine_cases()) {
    for (engine::Beam beam : {engine::Beam::on_axis, engine::Beam::gaussian}) {
      const auto [e, values] = derivative_setting(c, beam, 3);
      const engine::ScanLayout layout = tt::scan_layout(scaled_for(beam, c.pulse_energies), 9);
      engine::ExactEngine exact(e, layout);
      std::vector<double> curves(layout.size()), forward(layout.size() * all.size());
      std::vector<double> backward_curves(curves.size()), backward(forward.size());
      exact.set_derivative_mode(engine::DerivativeMode::forward);
      exact.evaluate(values, all, curves, forward);
      exact.set_derivative_mode(engine::DerivativeMode::backward);
      exact.evaluate(values, all, backward_curves, backward);
      EXPECT_LT(max_difference(curves, backward_curves), 1e-13) << c.name;
      for (std::size_t p = 0; p < all.size(); ++p) {
        double column_scale = 0.0, worst = 0.0;
        for (std::size_t k = 0; k < curves.size(); ++k) {
          const std::size_t i = k * all.size() + p;
          column_scale = std::max(column_scale, std::abs(forward[i]));
          worst = std::max(worst, std::abs(forward[i] - backward[i]));
        }
        EXPECT_LE(worst, 1e-11 * column_scale) << c.name << ", parameter " << p;
      }
    }
  }
}

// Richardson-extrapolated central differences with a relative step h = 1e-2
// have a truncation error of order h^4 and a rounding error of the model's
// noise (up to 1e-13 in the stiff case) over h: together about 1e-7 of a
// column whose parameter moves the curve by at least 1e-4 per unit of its
// logarithm. Weaker columns are negligible (far below any measurement's
// noise) and too faint for differences to check.
// Every parameter, single pulses and a train of them at 100 MHz (whose
// period is a hundredth of tau_41 = 1 us, so that level 4 builds up from
// pulse to pulse until, in the stiff case, it holds almost every molecule),
// both beams.
TEST(ExactEngine, DerivativesMatchCentralDifferences) {
  constexpr double kRelativeStep = 1e-2;
  constexpr double kTolerance = 1e-6;
  constexpr double kNegligibleColumn = 1e-4;
  // A train's steady state is settled to about 1e-12, which differences
  // over h turn into noise of 1e-10: columns below 1e-3 are beyond them.
  constexpr double kNegligibleTrainColumn = 1e-3;
  const std::vector<Parameter> all = every_parameter();
  for (const tt::EngineCase& c : tt::engine_cases()) {
    for (engine::Beam beam : {engine::Beam::on_axis, engine::Beam::gaussian}) {
      for (double repetition_rate : {0.0, 1e8}) {
        const double negligible = repetition_rate > 0.0 ? kNegligibleTrainColumn : kNegligibleColumn;
        // A train costs several pulses per column: fewer columns and cells
        // keep it quick (the derivatives' correctness does not need them).
        const bool train = repetition_rate > 0.0;
        auto [e, values] = derivative_setting(c, beam, train ? 2 : 4);
        e.repetition_rate = repetition_rate;
        if (train) {
          e.t_slices = 9;
          e.z_slices = 5;
        }
        const engine::ScanLayout layout =
            tt::scan_layout(scaled_for(beam, c.pulse_energies), train ? 7 : 11);
        const engine::ExactEngine exact(e, layout);
        std::vector<double> curves(layout.size()), jac(layout.size() * all.size());
        exact.evaluate(values, all, curves, jac);

        for (std::size_t p = 0; p < all.size(); ++p) {
          const bool logarithmic = p != engine::index(Parameter::z0);
          const double scale = logarithmic ? std::abs(values[p]) : 1.0;
          double column_scale = 0.0;
          for (std::size_t k = 0; k < curves.size(); ++k)
            column_scale = std::max(column_scale, std::abs(jac[k * all.size() + p]));
          if (scale == 0.0 || column_scale * scale < negligible) continue;

          const auto central = [&](double step) {
            engine::ParameterVector up = values, down = values;
            up[p] += step;
            down[p] -= step;
            const std::vector<double> hi = evaluate(exact, up), lo = evaluate(exact, down);
            std::vector<double> d(hi.size());
            for (std::size_t k = 0; k < d.size(); ++k) d[k] = (hi[k] - lo[k]) / (2.0 * step);
            return d;
          };
          const double step = kRelativeStep * scale;
          const std::vector<double> coarse = central(step), fine = central(0.5 * step);
          for (std::size_t k = 0; k < curves.size(); ++k) {
            const double extrapolated = (4.0 * fine[k] - coarse[k]) / 3.0;
            EXPECT_NEAR(jac[k * all.size() + p], extrapolated, kTolerance * column_scale)
                << c.name << ", rate " << repetition_rate << ", parameter " << p << ", point " << k;
          }
        }
      }
    }
  }
}

}  // namespace
