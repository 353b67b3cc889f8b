// Cost per depth-and-time cell of the exact engine (values alone, with the
// derivatives of two parameters and of all ten) against the integrator-based
// model on the same grids, for the bundled example, a picosecond and a stiff
// nanosecond set; and of the gaussian beam, whose cost should scale with its
// radial nodes.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "../tests/cpp/engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"
#include "engine/integrator_engine.hpp"

namespace {

using namespace tarnok;
using engine::Parameter;

const tarnok::testing::EngineCase& case_at(std::int64_t i) {
  static const std::vector<tarnok::testing::EngineCase> cases = tarnok::testing::engine_cases();
  return cases[static_cast<std::size_t>(i)];
}

double cells(const engine::Experiment& e, const engine::ScanLayout& layout) {
  const double nodes = e.beam == engine::Beam::gaussian ? e.radial_nodes : 1;
  return static_cast<double>(layout.size()) * e.t_slices * e.z_slices * nodes;
}

void run(benchmark::State& state, const engine::CurveModel& model, const engine::Experiment& e,
         const engine::ParameterVector& values, std::vector<Parameter> varied) {
  const engine::ScanLayout& layout = model.layout();
  std::vector<double> curves(layout.size()), jac(layout.size() * varied.size());
  for (auto _ : state) {
    model.evaluate(values, varied, curves, jac);
    benchmark::DoNotOptimize(curves.data());
  }
  state.SetLabel(case_at(state.range(0)).name);
  state.counters["cell"] = benchmark::Counter(
      cells(e, layout), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Integrator(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  const engine::IntegratorEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  run(state, model, c.experiment, c.values, {});
}

void Exact(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  const engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  run(state, model, c.experiment, c.values, {});
}

void ExactWithTwoDerivatives(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  const engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  run(state, model, c.experiment, c.values, {Parameter::sigma_12, Parameter::sigma_45});
}

// The backward pass costs about the same whatever the number of parameters.
void ExactWithAllDerivatives(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  const engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  std::vector<Parameter> all;
  for (std::size_t p = 0; p < engine::parameter_count; ++p) all.push_back(static_cast<Parameter>(p));
  run(state, model, c.experiment, c.values, all);
}

void ExactGaussianPerNode(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::Experiment e = c.experiment;
  e.beam = engine::Beam::gaussian;
  std::vector<double> energies = c.pulse_energies;
  for (double& energy : energies) energy *= 2e-4;
  const engine::ExactEngine model(e, tarnok::testing::scan_layout(energies));
  run(state, model, e, c.values, {});
}

// On a shared machine other work only ever adds time, so the least of several
// repetitions is the steadiest estimate of the cost itself.
double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void configure(benchmark::internal::Benchmark* b) {
  b->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Repetitions(7)->ComputeStatistics("min", least)
      ->ReportAggregatesOnly(true);
}

// The gaussian beam with as many time slices as give it the on-axis time step
// (its window is 7 times as wide): the cost per cell then matches on-axis.
void ExactGaussianPerNodeAtOnAxisStep(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::Experiment e = c.experiment;
  e.beam = engine::Beam::gaussian;
  e.t_slices = static_cast<std::int32_t>(2.0 * engine::gaussian_time_window) * (e.t_slices - 1) + 1;
  std::vector<double> energies = c.pulse_energies;
  for (double& energy : energies) energy *= 2e-4;
  const engine::ExactEngine model(e, tarnok::testing::scan_layout(energies));
  run(state, model, e, c.values, {});
}

BENCHMARK(Integrator)->Apply(configure);
BENCHMARK(Exact)->Apply(configure);
BENCHMARK(ExactWithTwoDerivatives)->Apply(configure);
BENCHMARK(ExactWithAllDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianPerNode)->Apply(configure);
BENCHMARK(ExactGaussianPerNodeAtOnAxisStep)->Apply(configure);

}  // namespace
