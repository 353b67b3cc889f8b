// An evaluation's columns shared out over the threads a budget lends give the
// bits of one thread, pass failures and stops on to the caller, and leave
// the budget and the pool as they found them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stop_token>

#include "engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"
#include "engine/pulse_train.hpp"
#include "engine/worker_pool.hpp"

namespace {

using namespace tarnok;
namespace tt = tarnok::testing;
using engine::Parameter;

struct Outcome {
  std::vector<double> curves, jacobian;
  std::size_t pulses = 0;
};

// Evaluates on the calling thread and as many helpers as `threads` leaves
// (none for 0: no budget at all).
Outcome evaluate_on(std::size_t threads, const engine::ExactEngine& model,
                    const engine::ParameterVector& values, std::span<const Parameter> varied) {
  Outcome out;
  out.curves.resize(model.layout().size());
  out.jacobian.resize(model.layout().size() * varied.size());
  engine::ThreadBudget budget(threads, 1);
  const auto run = [&] {
    model.raw_transmittance(values, varied, out.curves, out.jacobian, {}, &out.pulses);
    engine::normalise_on_edges(engine::Beam::gaussian, model.layout().n_positions, varied.size(),
                               out.curves, out.jacobian);
  };
  if (threads == 0) {
    run();
  } else {
    const engine::BudgetScope scope(budget);
    run();
    EXPECT_EQ(budget.spare(), threads - 1);  // every share lent came back
  }
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

engine::Experiment gaussian(const tt::EngineCase& c, double repetition_rate) {
  engine::Experiment e = c.experiment;
  e.beam = engine::Beam::gaussian;
  e.radial_nodes = 4;
  e.repetition_rate = repetition_rate;
  return e;
}

TEST(ParallelColumns, GiveTheBitsOfOneThreadForSinglePulsesAndTrains) {
  const tt::EngineCase c = tt::engine_cases()[1];
  const std::vector<Parameter> varied{Parameter::sigma_23, Parameter::z0};
  for (const double repetition_rate : {0.0, 1e8}) {
    SCOPED_TRACE(::testing::Message() << "repetition rate " << repetition_rate);
    const engine::ExactEngine model(gaussian(c, repetition_rate), tt::scan_layout(c.pulse_energies, 21));
    const Outcome alone = evaluate_on(0, model, c.values, varied);
    for (const std::size_t threads : {1u, 2u, 3u, 7u}) {
      const Outcome shared = evaluate_on(threads, model, c.values, varied);
      EXPECT_TRUE(same_bits(shared.curves, alone.curves)) << threads << " threads";
      EXPECT_TRUE(same_bits(shared.jacobian, alone.jacobian)) << threads << " threads";
      EXPECT_EQ(shared.pulses, alone.pulses) << threads << " threads";
    }
  }
}

TEST(ParallelColumns, KeepThePoolsThreadsFromOneEvaluationToTheNext) {
  const tt::EngineCase c = tt::engine_cases()[1];
  const engine::ExactEngine model(gaussian(c, 0.0), tt::scan_layout(c.pulse_energies, 21));
  evaluate_on(3, model, c.values, {});
  const std::size_t started = engine::WorkerPool::shared().threads_started();
  EXPECT_GE(started, 2u);
  for (int k = 0; k < 5; ++k) evaluate_on(3, model, c.values, {});
  EXPECT_EQ(engine::WorkerPool::shared().threads_started(), started);
}

TEST(ParallelColumns, PassAFailingColumnsErrorAndAStopToTheCaller) {
  const tt::EngineCase c = tt::engine_cases()[0];
  engine::Experiment e = gaussian(c, 1e8);
  engine::ParameterVector values = c.values;
  values[engine::index(Parameter::sigma_12)] = std::numeric_limits<double>::quiet_NaN();
  const engine::ExactEngine broken(e, tt::scan_layout(c.pulse_energies, 21));
  std::vector<double> raw(broken.layout().size());
  engine::ThreadBudget budget(3, 1);
  {
    const engine::BudgetScope scope(budget);
    EXPECT_THROW(broken.raw_transmittance(values, {}, raw, {}), engine::UnsettledTrain);
  }
  EXPECT_EQ(budget.spare(), 2u);

  const engine::ExactEngine model(gaussian(c, 0.0), tt::scan_layout(c.pulse_energies, 21));
  std::stop_source stop;
  stop.request_stop();
  const engine::BudgetScope scope(budget);
  model.raw_transmittance(c.values, {}, raw, {}, stop.get_token());
  for (const double value : raw) EXPECT_TRUE(std::isnan(value));
}

TEST(ThreadBudget, LendsNoMoreThanItHasAndScopesNest) {
  engine::ThreadBudget outer(4, 1), inner(2, 1);
  EXPECT_EQ(engine::ThreadBudget::current(), nullptr);
  {
    const engine::BudgetScope a(outer);
    EXPECT_EQ(outer.take(5), 3u);
    EXPECT_EQ(outer.take(1), 0u);
    outer.give_back(3);
    {
      const engine::BudgetScope b(inner);
      EXPECT_EQ(engine::ThreadBudget::current(), &inner);
    }
    EXPECT_EQ(engine::ThreadBudget::current(), &outer);
  }
  EXPECT_EQ(engine::ThreadBudget::current(), nullptr);
  EXPECT_EQ(engine::ThreadBudget(2, 5).spare(), 0u);
}

}  // namespace
