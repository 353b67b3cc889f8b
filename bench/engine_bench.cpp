// Cost per depth-and-time cell of the exact engine, every column sent through (values alone, with the
// derivatives of two parameters and of all of them; columns in vector lanes,
// and each alone through the scalar code) against the
// integrator-based model on the same grids, for the bundled example, a
// picosecond and a stiff nanosecond set; of the gaussian beam, whose cost
// should scale with its radial nodes; of two-photon absorption on top of it;
// and of a train of pulses at 100 MHz, per single-pulse cell. Then a power
// sweep's evaluation with three derivatives, read off the table of one
// column's response against every column sent through, in one run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

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

std::vector<Parameter> every_parameter() {
  std::vector<Parameter> all;
  for (std::size_t p = 0; p < engine::parameter_count; ++p) all.push_back(static_cast<Parameter>(p));
  return all;
}

void Integrator(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  const engine::IntegratorEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  run(state, model, c.experiment, c.values, {});
}

void Exact(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  model.set_tabulated(false);  // the cells themselves
  run(state, model, c.experiment, c.values, {});
}

void ExactWithTwoDerivatives(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  model.set_tabulated(false);  // the cells themselves
  run(state, model, c.experiment, c.values, {Parameter::sigma_12, Parameter::sigma_45});
}

// The backward pass costs about the same whatever the number of parameters.
void ExactWithAllDerivatives(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  model.set_tabulated(false);  // the cells themselves
  run(state, model, c.experiment, c.values, every_parameter());
}

void ExactGaussianPerNode(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::Experiment e = c.experiment;
  e.beam = engine::Beam::gaussian;
  std::vector<double> energies = c.pulse_energies;
  for (double& energy : energies) energy *= 2e-4;
  engine::ExactEngine model(e, tarnok::testing::scan_layout(energies));
  model.set_tabulated(false);  // the cells themselves
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
  engine::ExactEngine model(e, tarnok::testing::scan_layout(energies));
  model.set_tabulated(false);  // the cells themselves
  run(state, model, e, c.values, {});
}

// The gaussian beam with two-photon absorption strong enough to take a few
// per cent of the light at the focus.
engine::ParameterVector with_two_photon(engine::ParameterVector values) {
  values[engine::index(Parameter::delta_12)] = 1e-55;
  return values;
}

engine::Experiment gaussian(const engine::Experiment& experiment, double repetition_rate = 0.0) {
  engine::Experiment e = experiment;
  e.beam = engine::Beam::gaussian;
  e.repetition_rate = repetition_rate;
  return e;
}

std::vector<double> gaussian_energies(std::vector<double> energies) {
  for (double& energy : energies) energy *= 2e-4;
  return energies;
}

// The case's gaussian beam (with a train at repetition_rate, if not 0).
void run_gaussian(benchmark::State& state, bool two_photon, std::vector<Parameter> varied,
                  double repetition_rate = 0.0) {
  const auto& c = case_at(state.range(0));
  const engine::Experiment e = gaussian(c.experiment, repetition_rate);
  engine::ExactEngine model(e, tarnok::testing::scan_layout(gaussian_energies(c.pulse_energies)));
  model.set_tabulated(false);  // the cells themselves
  run(state, model, e, two_photon ? with_two_photon(c.values) : c.values, std::move(varied));
}

void ExactGaussianTwoPhoton(benchmark::State& state) { run_gaussian(state, true, {}); }

// Two derivatives with and without the two-photon term, the same directions.
void ExactGaussianWithTwoDerivatives(benchmark::State& state) {
  run_gaussian(state, false, {Parameter::sigma_12, Parameter::sigma_45});
}

void ExactGaussianTwoPhotonWithTwoDerivatives(benchmark::State& state) {
  run_gaussian(state, true, {Parameter::sigma_12, Parameter::sigma_45});
}

void ExactGaussianWithAllDerivatives(benchmark::State& state) {
  run_gaussian(state, false, every_parameter());
}

void ExactGaussianTwoPhotonWithAllDerivatives(benchmark::State& state) {
  run_gaussian(state, true, every_parameter());
}

// Level 4 lives 1 us against 10 ns between pulses: it builds up.
void ExactGaussianTrain(benchmark::State& state) { run_gaussian(state, false, {}, 1e8); }

// The same evaluations with every column alone through the scalar code, to
// set beside Exact and ExactWithTwoDerivatives (the lane code) in one run.
void ExactScalar(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  model.set_tabulated(false);  // the cells themselves
  model.set_vectorised(false);
  run(state, model, c.experiment, c.values, {});
}

void ExactScalarWithTwoDerivatives(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  engine::ExactEngine model(c.experiment, tarnok::testing::scan_layout(c.pulse_energies));
  model.set_tabulated(false);  // the cells themselves
  model.set_vectorised(false);
  run(state, model, c.experiment, c.values, {Parameter::sigma_12, Parameter::sigma_45});
}

void ExactGaussianScalarWithTwoDerivatives(benchmark::State& state) {
  const auto& c = case_at(state.range(0));
  const engine::Experiment e = gaussian(c.experiment);
  engine::ExactEngine model(e, tarnok::testing::scan_layout(gaussian_energies(c.pulse_energies)));
  model.set_tabulated(false);  // the cells themselves
  model.set_vectorised(false);
  run(state, model, e, c.values, {Parameter::sigma_12, Parameter::sigma_45});
}


// A power sweep: 12 energies over a factor 25, 41 positions, 12 radial nodes
// (5,904 columns), fitting two cross-sections and the focus.
void run_sweep(benchmark::State& state, bool tabulated, double repetition_rate) {
  const auto& c = case_at(state.range(0));
  engine::Experiment e = gaussian(c.experiment, repetition_rate);
  e.radial_nodes = 12;
  std::vector<double> energies(12);
  const double top = 2e-4 * c.pulse_energies.back();
  for (std::size_t k = 0; k < energies.size(); ++k)
    energies[k] = top / 25.0 * std::pow(25.0, static_cast<double>(k) / 11.0);
  engine::ExactEngine model(e, tarnok::testing::scan_layout(energies));
  model.set_tabulated(tabulated);
  run(state, model, e, c.values, {Parameter::sigma_12, Parameter::sigma_23, Parameter::z0});
}

void SweepTabulated(benchmark::State& state) { run_sweep(state, true, 0.0); }
void SweepEveryColumn(benchmark::State& state) { run_sweep(state, false, 0.0); }
void SweepTrainTabulated(benchmark::State& state) { run_sweep(state, true, 1e8); }
void SweepTrainEveryColumn(benchmark::State& state) { run_sweep(state, false, 1e8); }

void configure_sweep(benchmark::internal::Benchmark* b) {
  b->DenseRange(1, 2)->Unit(benchmark::kMillisecond)->Repetitions(3)->ComputeStatistics("min", least)
      ->ReportAggregatesOnly(true);
}

BENCHMARK(Integrator)->Apply(configure);
BENCHMARK(ExactScalar)->Apply(configure);
BENCHMARK(ExactScalarWithTwoDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianScalarWithTwoDerivatives)->Apply(configure);
BENCHMARK(Exact)->Apply(configure);
BENCHMARK(ExactWithTwoDerivatives)->Apply(configure);
BENCHMARK(ExactWithAllDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianPerNode)->Apply(configure);
BENCHMARK(ExactGaussianPerNodeAtOnAxisStep)->Apply(configure);
BENCHMARK(ExactGaussianTwoPhoton)->Apply(configure);
BENCHMARK(ExactGaussianWithAllDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianTwoPhotonWithAllDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianWithTwoDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianTwoPhotonWithTwoDerivatives)->Apply(configure);
BENCHMARK(ExactGaussianTrain)->Apply(configure);
BENCHMARK(SweepTabulated)->Apply(configure_sweep);
BENCHMARK(SweepEveryColumn)->Apply(configure_sweep);
BENCHMARK(SweepTrainTabulated)->Apply(configure_sweep);
BENCHMARK(SweepTrainEveryColumn)->Apply(configure_sweep);

}  // namespace
