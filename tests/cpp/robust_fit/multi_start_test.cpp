#include "robust_fit/multi_start.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "robust_fit/decay_problem.hpp"
#include "robust_fit/start_points.hpp"

namespace tarnok::robust_fit {
namespace {

using test_support::DecayModel;
using test_support::decay_space;

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(MultiStart, ResultsAreBitIdenticalForAnyThreadCount) {
  const DecayModel model(false);
  const ParameterSpace space = decay_space();
  const auto starts = make_start_points(space, std::vector{1.0, 1.0}, 8, 3);
  MultiStartOptions options;
  options.threads = 1;
  const MultiStartResult one = fit_multi_start(model, space, starts, options);
  ASSERT_TRUE(one.best_start.has_value());
  for (const auto& start : one.starts) EXPECT_GE(start.chi_square, one.starts[*one.best_start].chi_square);
  for (const std::size_t threads : {2u, 4u}) {
    options.threads = threads;
    const MultiStartResult many = fit_multi_start(model, space, starts, options);
    EXPECT_EQ(many.best_start, one.best_start);
    for (std::size_t i = 0; i < starts.size(); ++i) {
      const StartResult& a = one.starts[i];
      const StartResult& b = many.starts[i];
      SCOPED_TRACE(::testing::Message() << threads << " threads, start " << i);
      EXPECT_TRUE(same_bits(a.values, b.values) && same_bits(a.residuals, b.residuals) &&
                  same_bits(a.jacobian, b.jacobian));
      EXPECT_EQ(std::memcmp(&a.chi_square, &b.chi_square, sizeof(double)), 0);
      EXPECT_EQ(a.status, b.status);
      EXPECT_EQ(a.function_evaluations, b.function_evaluations);
    }
  }
}

// The decay model at two milliseconds or more per evaluation, so a fit takes long enough to cancel.
class SlowDecayModel : public DecayModel {
 public:
  SlowDecayModel() : DecayModel(false) {}
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return DecayModel::evaluate(p, r, jacobian);
  }
};

TEST(MultiStart, PollRunsOnTheCallingThreadAndCancelsPromptly) {
  const SlowDecayModel model;
  const ParameterSpace space = decay_space();
  const auto starts = make_start_points(space, std::vector{0.01, 50.0}, 16, 0);
  for (const std::size_t threads : {1u, 2u}) {
    SCOPED_TRACE(::testing::Message() << threads << " threads");
    MultiStartOptions options;
    options.threads = threads;
    options.poll_interval = std::chrono::milliseconds(10);
    std::vector<Progress> polls;
    bool polled_elsewhere = false;
    const auto caller = std::this_thread::get_id();
    const auto began = std::chrono::steady_clock::now();
    const MultiStartResult result = fit_multi_start(model, space, starts, options, [&](const Progress& progress) {
      polled_elsewhere |= std::this_thread::get_id() != caller;
      polls.push_back(progress);
      return true;
    });
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
    EXPECT_FALSE(polled_elsewhere);
    EXPECT_TRUE(result.cancelled);
    ASSERT_EQ(polls.size(), 2u);  // the one that cancelled and the final one
    EXPECT_EQ(polls.back().starts_total, 16u);
    // The starts begin in index order, each thread's first at once; every one
    // that had begun (some may have finished their first round) is cancelled,
    // and no other begins.
    std::size_t begun = 0;
    while (begun < starts.size() && result.starts[begun].status == FitStatus::cancelled) ++begun;
    EXPECT_GE(begun, threads);
    EXPECT_LT(begun, starts.size());
    EXPECT_EQ(polls.back().starts_finished, begun);
    for (std::size_t i = begun; i < starts.size(); ++i)
      EXPECT_EQ(result.starts[i].status, FitStatus::not_run) << i;
    ASSERT_TRUE(result.best_start.has_value());
    EXPECT_EQ(polls.back().best_chi_square, result.starts[*result.best_start].chi_square);
    EXPECT_EQ(result.starts[15].values, starts[15]);
  }
}

// Throws from the evaluation of one particular start, as a model running out of memory might.
class ThrowingModel : public DecayModel {
 public:
  ThrowingModel() : DecayModel(true) {}
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    if (p[0] == 123.0) throw std::runtime_error("model broke");
    return DecayModel::evaluate(p, r, jacobian);
  }
};

TEST(MultiStart, RethrowsAWorkerExceptionOnTheCaller) {
  const std::vector<std::vector<double>> starts{{1.0, 1.0}, {2.0, 2.0}, {123.0, 1.0}, {4.0, 4.0}};
  for (const std::size_t threads : {1u, 2u}) {
    MultiStartOptions options;
    options.threads = threads;
    EXPECT_THROW(fit_multi_start(ThrowingModel(), decay_space(), starts, options), std::runtime_error);
  }
}

}  // namespace
}  // namespace tarnok::robust_fit
