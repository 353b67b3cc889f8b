// Cost of a closed-aperture evaluation against the open aperture alone on a
// real-size sweep: 12 pulse energies x 171 positions, the gaussian beam at
// its default grids (21 time slices, 11 depth slices, 12 radial nodes), the
// bundled example's sample with two-photon absorption and a Kerr index.
// Values alone, and with the derivatives a joint fit of absorption and
// refraction takes (sigma_12, delta_12, energy_scale, z0, n2). Compare the
// times as ratios within one run: the machine may be shared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

#include "../tests/cpp/engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"

namespace {

using namespace tarnok;
using engine::Parameter;

engine::ScanLayout real_size_sweep() {
  engine::ScanLayout layout;
  layout.n_positions = 171;
  std::vector<double> x(layout.n_positions);
  model::linspace(x.data(), -20.0, 20.0, 171);
  for (int e = 0; e < 12; ++e) {
    layout.pulse_energies.push_back(4e-8 * std::pow(16.0, e / 11.0));
    layout.positions_mm.insert(layout.positions_mm.end(), x.begin(), x.end());
  }
  return layout;
}

engine::Experiment sweep_experiment(bool closed) {
  engine::Experiment e = tarnok::testing::engine_cases()[0].experiment;
  e.beam = engine::Beam::gaussian;
  e.t_slices = 21;
  e.z_slices = 11;
  e.radial_nodes = 12;
  if (closed) e.aperture_transmittance = 0.3;
  return e;
}

engine::ParameterVector sweep_values() {
  engine::ParameterVector v = tarnok::testing::engine_cases()[0].values;
  v[engine::index(Parameter::delta_12)] = 1e-55;
  v[engine::index(Parameter::n2)] = 5e-16;
  return v;
}

const std::vector<Parameter> fitted{Parameter::sigma_12, Parameter::delta_12,
                                    Parameter::energy_scale, Parameter::z0, Parameter::n2};

void run(benchmark::State& state, bool closed, bool derivatives) {
  const engine::ExactEngine model(sweep_experiment(closed), real_size_sweep());
  const std::vector<Parameter> varied = derivatives ? fitted : std::vector<Parameter>{};
  std::vector<double> curves(model.curve_count()), jac(curves.size() * varied.size());
  const engine::ParameterVector values = sweep_values();
  for (auto _ : state) {
    model.evaluate(values, varied, curves, jac);
    benchmark::DoNotOptimize(curves.data());
  }
  state.counters["points"] = static_cast<double>(model.layout().size());
}

void OpenValues(benchmark::State& s) { run(s, false, false); }
void ClosedValues(benchmark::State& s) { run(s, true, false); }
void OpenWithFitDerivatives(benchmark::State& s) { run(s, false, true); }
void ClosedWithFitDerivatives(benchmark::State& s) { run(s, true, true); }

// Other work on a shared machine only adds time: the least of a few
// repetitions is the steadiest estimate.
double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
void configure(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)->ComputeStatistics("min", least)
      ->ReportAggregatesOnly(true);
}

BENCHMARK(OpenValues)->Apply(configure);
BENCHMARK(ClosedValues)->Apply(configure);
BENCHMARK(OpenWithFitDerivatives)->Apply(configure);
BENCHMARK(ClosedWithFitDerivatives)->Apply(configure);

}  // namespace
