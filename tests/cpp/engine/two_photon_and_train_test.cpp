// The closed form of the light through a slice that absorbs linearly and by
// two photons, and the limits a train of pulses must reach: single pulses
// when the sample relaxes between them, and the geometric build-up of a
// weakly excited saturable absorber.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"
#include "engine/pulse_train.hpp"
#include "engine/two_photon_light.hpp"

namespace {

using namespace tarnok;
namespace tt = tarnok::testing;
using engine::Parameter;

// dI/dz = -alpha I - beta I^2 by classical Runge-Kutta in long double, fine
// enough to be exact to double precision.
double integrated_light(double in, double alpha, double beta, double dz) {
  constexpr int steps = 4000;
  const long double h = static_cast<long double>(dz) / steps;
  const auto slope = [&](long double i) { return -alpha * i - beta * i * i; };
  long double i = in;
  for (int s = 0; s < steps; ++s) {
    const long double k1 = slope(i), k2 = slope(i + h / 2 * k1), k3 = slope(i + h / 2 * k2),
                      k4 = slope(i + h * k3);
    i += h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
  }
  return static_cast<double>(i);
}

TEST(TwoPhotonLight, IsTheSolutionOfItsEquationFromThinToThickSlices) {
  constexpr double dz = 1e-4, in = 1e13;
  for (double x : {0.0, 1e-12, 1e-6, 5e-3, 0.02, 0.7, 4.0})
    for (double depletion : {0.0, 1e-3, 0.3, 5.0}) {
      const double alpha = x / dz, beta = depletion / (in * dz);
      const engine::SliceTransmission t = engine::two_photon_transmission(in, alpha, beta, dz);
      EXPECT_NEAR(t.out, integrated_light(in, alpha, beta, dz), 1e-13 * in)
          << "x " << x << ", beta I dz " << depletion;

      // Each partial against central differences (relative step 1e-6).
      const auto out = [&](double i, double a, double b) {
        return engine::two_photon_transmission(i, a, b, dz).out;
      };
      const double h = 1e-6;
      EXPECT_NEAR(t.d_in, (out(in * (1 + h), alpha, beta) - out(in * (1 - h), alpha, beta)) /
                              (2 * h * in), 1e-8);
      const double da = h * std::max(alpha, 1.0 / dz);
      EXPECT_NEAR(t.d_alpha, (out(in, alpha + da, beta) - out(in, alpha - da, beta)) / (2 * da),
                  1e-7 * dz * in);
      const double db = h * std::max(beta, 1.0 / (in * dz));
      EXPECT_NEAR(t.d_beta, (out(in, alpha, beta + db) - out(in, alpha, beta - db)) / (2 * db),
                  1e-7 * dz * in * in);
    }
}

std::vector<double> raw_transmittance(const engine::Experiment& e, const engine::ParameterVector& v,
                                      const engine::ScanLayout& layout) {
  std::vector<double> raw(layout.size());
  engine::ExactEngine(e, layout).raw_transmittance(v, {}, raw, {});
  return raw;
}

TEST(PulseTrain, EqualsSinglePulsesWhenTheSampleRelaxesBetweenThem) {
  for (const tt::EngineCase& c : tt::engine_cases())
    for (engine::Beam beam : {engine::Beam::on_axis, engine::Beam::gaussian}) {
      engine::Experiment e = c.experiment;
      e.beam = beam;
      e.radial_nodes = 3;
      const engine::ScanLayout layout = tt::scan_layout({c.pulse_energies[1] * 1e-3}, 9);
      const std::vector<double> single = raw_transmittance(e, c.values, layout);
      e.repetition_rate = 10.0;  // 0.1 s apart, against lifetimes of at most 1 us
      const std::vector<double> train = raw_transmittance(e, c.values, layout);
      for (std::size_t k = 0; k < single.size(); ++k)
        EXPECT_NEAR(train[k], single[k], 1e-12) << c.name;
    }
}

// A saturable absorber excited by 1e-4 per pulse and relaxing by q between
// pulses meets q / (1 - q) times a pulse's excitation, over the whole pulse,
// where a single pulse meets on average half its own: the change of
// transmittance grows by (1 + q) / (1 - q).
TEST(PulseTrain, BuildsUpAWeakExcitationGeometrically) {
  engine::Experiment e = tt::experiment_of(1e-12, 21, 11);
  e.beam = engine::Beam::gaussian;
  e.radial_nodes = 6;
  constexpr double sigma = 1e-21, tau_21 = 10e-9, excitation = 1e-4;
  const engine::ParameterVector values{sigma, 0.0, 0.0, tau_21, 1.0, 1e-12, 1e-3, 1e-12, 1.0, 0.0};
  constexpr double photon_energy = 6.62607015e-34 * 299792458.0 / 532e-9;
  const double energy = excitation * photon_energy / sigma * M_PI * e.w0 * e.w0 / 2.0;
  const engine::ScanLayout layout = tt::scan_layout({energy}, 11);
  const double linear = std::exp(-sigma * e.populations[0] * e.thickness);
  const std::vector<double> single = raw_transmittance(e, values, layout);
  for (double q : {0.5, 0.9}) {
    e.repetition_rate = 1.0 / (tau_21 * std::log(1.0 / q));
    const std::vector<double> train = raw_transmittance(e, values, layout);
    for (std::size_t k = 0; k < single.size(); ++k)
      EXPECT_NEAR((train[k] - linear) / (single[k] - linear), (1 + q) / (1 - q),
                  0.01 * (1 + q) / (1 - q))
          << "q " << q << ", point " << k;
  }
}

TEST(PulseTrain, RefusesATrainThatDoesNotSettle) {
  engine::Experiment e = tt::experiment_of(1e-12, 5, 3);
  e.repetition_rate = 1e8;
  engine::ParameterVector values = tt::engine_cases()[0].values;
  values[engine::index(Parameter::sigma_12)] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(raw_transmittance(e, values, tt::scan_layout({1e-4}, 5)), engine::UnsettledTrain);
}

}  // namespace

namespace {

// A record kept in segments and rebuilt from checkpoints gives the
// derivatives of a record kept whole, for single pulses and for a train,
// whose steady state runs the backward pass several times.
TEST(BackwardPass, RebuildsARecordKeptInSegmentsToTheSameDerivatives) {
  const tt::EngineCase c = tt::engine_cases()[1];
  for (double repetition_rate : {0.0, 1e8}) {
    engine::Experiment e = c.experiment;
    e.t_slices = 40;
    e.z_slices = 20;
    e.repetition_rate = repetition_rate;
    engine::ParameterVector values = c.values;
    values[engine::index(Parameter::z0)] = 0.7;
    const std::vector<Parameter> varied{Parameter::sigma_12, Parameter::tau_21, Parameter::z0};
    const engine::ScanLayout layout = tt::scan_layout(c.pulse_energies, 5);
    engine::ExactEngine exact(e, layout);
    exact.set_derivative_mode(engine::DerivativeMode::backward);
    // Segments are the scalar code's; batches of columns keep their records whole.
    exact.set_vectorised(false);
    std::vector<double> curves(layout.size()), whole(layout.size() * varied.size());
    exact.evaluate(values, varied, curves, whole);
    for (std::size_t limit : {100, 399, 40}) {  // segments of 3, 9 and 1 time steps
      exact.set_record_limit(limit);
      std::vector<double> segmented_curves(curves.size()), segmented(whole.size());
      exact.evaluate(values, varied, segmented_curves, segmented);
      EXPECT_EQ(segmented_curves, curves);
      EXPECT_EQ(segmented, whole) << "rate " << repetition_rate << ", limit " << limit;
    }
  }
}

}  // namespace
