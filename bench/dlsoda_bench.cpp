// Cost of one fresh DLSODA integration: the model's fixed options on a
// five-equation linear decay (the hot path of every fit), and a stiff
// problem that switches to BDF and forms Newton matrices.
#include <benchmark/benchmark.h>

#include <array>

#include "ode/dlsoda.hpp"

namespace {

using tarnok::ode::DLSODA;
using tarnok::ode::LsodaState;
namespace iwork_slot = tarnok::ode::iwork_slot;

void no_jacobian(const int*, const double*, const double*, const int*, const int*, double*,
                 const int*) noexcept {}

void linear_decay(const int* neq, const double*, const double* y, double* ydot) noexcept {
  for (int i = 0; i < *neq; ++i) ydot[i] = -(i + 1.0) * 1.0e2 * y[i];
}

void robertson(const int*, const double*, const double* y, double* ydot) noexcept {
  ydot[0] = -0.04 * y[0] + 1.0e4 * y[1] * y[2];
  ydot[2] = 3.0e7 * y[1] * y[1];
  ydot[1] = -ydot[0] - ydot[2];
}

void report_counts(benchmark::State& bench, const std::array<int, 25>& iwork) {
  bench.counters["NST"] = iwork[iwork_slot::NST];
  bench.counters["NRHS"] = iwork[iwork_slot::NRHS];
  bench.counters["NJAC"] = iwork[iwork_slot::NJAC];
}

// The model's call: NEQ 5, ITOL 1, RTOL = ATOL = 1e-6, ITASK 1, ISTATE 1,
// IOPT 0, LRW 102, LIW 25, JT 2, over a short time slice.
void BM_ModelOptionsLinearDecay(benchmark::State& bench) {
  std::array<double, 102> rwork{};
  std::array<int, 25> iwork{};
  LsodaState state;
  int neq = 5;
  const int itol = 1, itask = 1, iopt = 0, lrw = 102, liw = 25, jt = 2;
  const double rtol = 1.0e-6, atol = 1.0e-6, tout = 1.0e-2;
  for (auto _ : bench) {
    double y[6] = {1.0, 0.8, 0.6, 0.4, 0.2, 0.0};
    double t = 0.0;
    int istate = 1;
    DLSODA(linear_decay, &neq, y, &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt,
           rwork.data(), &lrw, iwork.data(), &liw, no_jacobian, &jt, state);
    benchmark::DoNotOptimize(y);
  }
  report_counts(bench, iwork);
}
BENCHMARK(BM_ModelOptionsLinearDecay);

// Robertson's kinetics to t = 40 with the classic tolerances.
void BM_StiffRobertsonToForty(benchmark::State& bench) {
  std::array<double, 102> rwork{};
  std::array<int, 25> iwork{};
  LsodaState state;
  int neq = 3;
  const int itol = 2, itask = 1, iopt = 0, lrw = 102, liw = 25, jt = 2;
  const double rtol = 1.0e-4, tout = 40.0;
  const double atol[3] = {1.0e-6, 1.0e-10, 1.0e-6};
  for (auto _ : bench) {
    double y[3] = {1.0, 0.0, 0.0};
    double t = 0.0;
    int istate = 1;
    DLSODA(robertson, &neq, y, &t, &tout, &itol, &rtol, atol, &itask, &istate, &iopt,
           rwork.data(), &lrw, iwork.data(), &liw, no_jacobian, &jt, state);
    benchmark::DoNotOptimize(y);
  }
  report_counts(bench, iwork);
}
BENCHMARK(BM_StiffRobertsonToForty);

}  // namespace
