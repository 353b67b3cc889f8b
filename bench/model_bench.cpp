// Cost of the model and of a whole fit: one transmittance evaluation on the
// grid sizes of a typical measurement, and one complete start fitting three
// parameters to three pulse energies.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fit/fit_one_start.hpp"
#include "model/beam.hpp"
#include "model/irradiance.hpp"
#include "model/linspace.hpp"
#include "model/rate_equations.hpp"
#include "model/zscan_model.hpp"

namespace {

using namespace tarnok;

// The reverse saturable absorber of the bundled example (metres, seconds,
// joules): the triplet absorbs fifty times more than the ground state.
struct Setup {
  std::array<double, 8> spec_pars{2e-21, 5e-21, 1e-19, 8e-9, 4e-9, 1e-10, 1e-6, 1e-10};
  std::vector<double> populations{1.8e23, 0.0, 0.0, 0.0, 0.0};
  double wavelength = 532e-9, w0 = 20e-6, M2 = 1.0, tau = 5e-9, sample_width = 1e-3;
  std::int32_t num_x_pts = 41, t_slices = 21, z_slices = 11;
  std::vector<double> energies;
  std::vector<double> x_mm;

  explicit Setup(std::vector<double> pulse_energies) : energies(std::move(pulse_energies)) {
    for (std::size_t d = 0; d < energies.size(); ++d) {
      std::vector<double> x(static_cast<std::size_t>(num_x_pts));
      model::linspace(x.data(), -20.0, 20.0, num_x_pts);
      x_mm.insert(x_mm.end(), x.begin(), x.end());
    }
  }
  std::vector<double> x_pos() const {
    std::vector<double> x(x_mm.size());
    for (std::size_t j = 0; j < x.size(); ++j) x[j] = x_mm[j] * 0.001;
    return x;
  }
  std::vector<double> grid(double a, double b, std::int32_t n) const {
    std::vector<double> g(static_cast<std::size_t>(n));
    model::linspace(g.data(), a, b, n);
    return g;
  }
  std::vector<double> irradiance(const std::vector<double>& x_pos,
                                 const std::vector<double>& t_grid) const {
    std::vector<double> table(x_pos.size() * t_grid.size());
    model::fill_irradiance_table(table, x_pos, t_grid, energies,
                                 static_cast<std::size_t>(num_x_pts),
                                 {tau, w0, model::rayleigh_range(w0, M2, wavelength)});
    return table;
  }
  // The model curves of every dataset, dataset-major.
  std::vector<double> curves() const {
    const std::vector<double> x = x_pos();
    const std::vector<double> z = grid(0.0, sample_width, z_slices);
    const std::vector<double> t = grid(-tau * 0.5, tau * 0.5, t_slices);
    const std::vector<double> table = irradiance(x, t);
    const model::IrradianceTable view(table.data(), num_x_pts, t.size(), energies.size());
    std::vector<double> out(x.size());
    const auto n = static_cast<std::size_t>(num_x_pts);
    for (std::size_t d = 0; d < energies.size(); ++d)
      model::zscan_model(std::span(out).subspan(d * n, n), std::span(x).subspan(d * n, n),
                         z, t, populations, view.plane(d), 299792458.0 / wavelength,
                         spec_pars);
    return out;
  }
};

void BM_ZscanModelEvaluation(benchmark::State& state) {
  const Setup s({200e-6});
  const std::vector<double> x = s.x_pos();
  const std::vector<double> z = s.grid(0.0, s.sample_width, s.z_slices);
  const std::vector<double> t = s.grid(-s.tau * 0.5, s.tau * 0.5, s.t_slices);
  const std::vector<double> table = s.irradiance(x, t);
  std::vector<double> out(x.size());
  for (auto _ : state) {
    model::zscan_model(out, x, z, t, s.populations,
                       {table.data(), x.size(), t.size()}, 299792458.0 / s.wavelength,
                       s.spec_pars);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["focus_transmittance"] = out[out.size() / 2];
  state.counters["integrations"] = static_cast<double>(2 * x.size() * t.size() * z.size());
}
BENCHMARK(BM_ZscanModelEvaluation)->Unit(benchmark::kMillisecond);

void BM_FitOneStartThreeParameters(benchmark::State& state) {
  const Setup s({100e-6, 200e-6, 400e-6});
  std::vector<double> y = s.curves();
  for (std::size_t j = 0; j < y.size(); ++j) y[j] += 1e-3 * std::sin(7.0 * j);  // fixed "noise"
  const std::array<std::int32_t, 3> indices{1, 3, 5};
  const std::int32_t n_fit = 3, n_pop = 5;
  const auto num_datasets = static_cast<std::int32_t>(s.energies.size());
  const std::int32_t n_res = s.num_x_pts * num_datasets;
  std::vector<double> residuals(static_cast<std::size_t>(n_res));
  const double per_evaluation = 2.0 * n_res * s.t_slices * s.z_slices;
  double evaluations = 0.0;
  for (auto _ : state) {
    std::array<double, 8> spec_pars = s.spec_pars;
    spec_pars[0] *= 2.0;
    spec_pars[2] *= 0.5;
    spec_pars[4] *= 2.0;
    double error = 0.0;
    const std::uint64_t before = model::integrator_calls_on_this_thread();
    fit::fit_one_start(s.x_mm.data(), y.data(), s.populations.data(), residuals.data(),
                       &error, &s.t_slices, &s.z_slices, &s.sample_width, &s.tau,
                       &s.wavelength, &s.w0, &s.M2, s.energies.data(), spec_pars.data(),
                       indices.data(), &n_fit, &s.num_x_pts, &num_datasets, &n_pop, &n_res);
    // Every model evaluation makes the same number of integrations; the last
    // one is the final pass that leaves the unweighted residuals.
    evaluations =
        static_cast<double>(model::integrator_calls_on_this_thread() - before) / per_evaluation;
    benchmark::DoNotOptimize(error);
  }
  state.counters["residual_evaluations"] = evaluations - 1.0;
}
BENCHMARK(BM_FitOneStartThreeParameters)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
