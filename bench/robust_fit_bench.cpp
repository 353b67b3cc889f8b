// Cost of a multi-start fit on a small synthetic problem: a two-component decay
// y = a1 exp(-t/tau1) + a2 exp(-t/tau2) on 200 points, four log-scale parameters, eight
// starts, Jacobian by forward differences, on one and on two threads.
#include <benchmark/benchmark.h>

#include <cmath>
#include <span>
#include <vector>

#include "robust_fit/multi_start.hpp"
#include "robust_fit/start_points.hpp"

namespace {

using namespace tarnok::robust_fit;

class TwoDecayModel : public ResidualModel {
 public:
  TwoDecayModel() {
    for (int k = 0; k < 200; ++k) {
      const double t = 0.05 * k;
      times_.push_back(t);
      values_.push_back(2.0 * std::exp(-t / 0.7) + 1.0 * std::exp(-t / 4.0) + 0.002 * std::sin(1.7 * k));
    }
  }
  std::size_t residual_count() const override { return times_.size(); }
  std::size_t parameter_count() const override { return 4; }
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double>) const override {
    for (std::size_t k = 0; k < times_.size(); ++k)
      r[k] = p[0] * std::exp(-times_[k] / p[1]) + p[2] * std::exp(-times_[k] / p[3]) - values_[k];
    return true;
  }

 private:
  std::vector<double> times_;
  std::vector<double> values_;
};

void BM_MultiStartTwoDecay(benchmark::State& state) {
  const TwoDecayModel model;
  const ParameterSpace space(std::vector<ParameterSetting>(4, ParameterSetting{.log_scale = true, .lower = 1e-2, .upper = 1e2}));
  const auto starts = make_start_points(space, std::vector{1.0, 1.0, 1.0, 10.0}, 8, 1);
  MultiStartOptions options;
  options.threads = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    MultiStartResult result = fit_multi_start(model, space, starts, options);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_MultiStartTwoDecay)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
