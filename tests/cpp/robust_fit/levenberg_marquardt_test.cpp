#include "robust_fit/levenberg_marquardt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "robust_fit/decay_problem.hpp"

namespace tarnok::robust_fit {
namespace {

using test_support::DecayModel;
using test_support::decay_space;
using test_support::true_amplitude;
using test_support::true_lifetime;

// Remembers every point the solver asks for; single-threaded use only.
class RecordingModel : public ResidualModel {
 public:
  struct Call {
    std::vector<double> p;
    bool with_jacobian;
  };
  explicit RecordingModel(const ResidualModel& inner) : inner_(inner) {}
  std::size_t residual_count() const override { return inner_.residual_count(); }
  std::size_t parameter_count() const override { return inner_.parameter_count(); }
  bool has_jacobian() const override { return inner_.has_jacobian(); }
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    calls.push_back({{p.begin(), p.end()}, !jacobian.empty()});
    return inner_.evaluate(p, r, jacobian);
  }
  mutable std::vector<Call> calls;

 private:
  const ResidualModel& inner_;
};

TEST(LevenbergMarquardt, RecoversDecayFromFarStartsWithAndWithoutJacobian) {
  const ParameterSpace space = decay_space();
  const StartResult reference = levenberg_marquardt(DecayModel(true), space, std::vector{true_amplitude, true_lifetime});
  ASSERT_TRUE(is_converged(reference.status)) << reference.message;
  EXPECT_NEAR(reference.values[0], true_amplitude, 0.02);
  EXPECT_NEAR(reference.values[1], true_lifetime, 0.02);
  for (const bool analytic : {true, false}) {
    for (const double factor : {0.2, 5.0}) {
      const std::vector start{true_amplitude * factor, true_lifetime * factor};
      const StartResult fit = levenberg_marquardt(DecayModel(analytic), space, start);
      SCOPED_TRACE(::testing::Message() << "analytic " << analytic << ", factor " << factor);
      EXPECT_TRUE(is_converged(fit.status)) << fit.message;
      EXPECT_NEAR(fit.values[0] / reference.values[0], 1.0, 1e-6);
      EXPECT_NEAR(fit.values[1] / reference.values[1], 1.0, 1e-6);
      EXPECT_NEAR(fit.chi_square / reference.chi_square, 1.0, 1e-9);
      EXPECT_EQ(fit.residuals.size(), 40u);
      EXPECT_EQ(fit.jacobian.size(), 80u);
      // Forward differences cost one model call per parameter per Jacobian.
      if (!analytic) {
        EXPECT_GE(fit.function_evaluations, 2 * fit.jacobian_evaluations + fit.iterations);
      }
    }
  }
}

TEST(LevenbergMarquardt, PinsAParameterAtItsBoundAndStillFitsTheOthers) {
  const ParameterSpace space = decay_space(1.5);
  const DecayModel decay(true);
  const RecordingModel model(decay);
  const StartResult fit = levenberg_marquardt(model, space, std::vector{1.0, 1.0});
  EXPECT_TRUE(is_converged(fit.status)) << fit.message;
  EXPECT_EQ(fit.values[1], 1.5);
  // The free amplitude is optimal for the pinned lifetime: the gradient along it vanishes.
  double gradient = 0.0, residual_norm = 0.0, column_norm = 0.0;
  for (std::size_t k = 0; k < fit.residuals.size(); ++k) {
    gradient += fit.residuals[k] * fit.jacobian[k];
    residual_norm += fit.residuals[k] * fit.residuals[k];
    column_norm += fit.jacobian[k] * fit.jacobian[k];
  }
  EXPECT_LT(std::abs(gradient) / std::sqrt(residual_norm * column_norm), 1e-6);
  for (const auto& call : model.calls) EXPECT_LE(call.p[1], 1.5);
}

TEST(LevenbergMarquardt, PlacesAParameterThatEndsWithinTheStepToleranceOfItsBoundOnIt) {
  const ParameterSpace space = decay_space(1.5);
  const DecayModel model(true);
  const StartResult pinned = levenberg_marquardt(model, space, std::vector{1.0, 1.0});
  ASSERT_EQ(pinned.values[1], 1.5);
  // Starting a hair inside the bound, the step onto it is below the step tolerance:
  // the fit converges at once and the parameter would stay where it began.
  const StartResult near = levenberg_marquardt(model, space, std::vector{pinned.values[0], 1.5 * (1.0 - 3e-7)});
  EXPECT_TRUE(is_converged(near.status)) << near.message;
  EXPECT_EQ(near.values[1], 1.5);
  EXPECT_LE(near.chi_square, pinned.chi_square * (1.0 + 1e-9));
}

// r = p - 2: the optimum is exactly p = 2, where a Gauss-Newton step lands at once.
class OffsetModel : public ResidualModel {
 public:
  std::size_t residual_count() const override { return 1; }
  std::size_t parameter_count() const override { return 1; }
  bool has_jacobian() const override { return true; }
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    r[0] = p[0] - 2.0;
    if (!jacobian.empty()) jacobian[0] = 1.0;
    return true;
  }
};

TEST(LevenbergMarquardt, LeavesAParameterNearABoundWhenTheBoundWouldRaiseChiSquare) {
  // The bound is within the step tolerance of the optimum but on the wrong side of
  // it: placing the parameter there would worsen the fit.
  const double lower = 2.0 * (1.0 - 3e-7);
  const ParameterSpace space({{.log_scale = true, .lower = lower}});
  const StartResult fit = levenberg_marquardt(OffsetModel(), space, std::vector{2.0});
  EXPECT_TRUE(is_converged(fit.status)) << fit.message;
  EXPECT_EQ(fit.values[0], 2.0);
}

TEST(LevenbergMarquardt, NoStepMovesALogParameterByMoreThanTwo) {
  const DecayModel decay(true);
  const RecordingModel model(decay);
  levenberg_marquardt(model, decay_space(), std::vector{true_amplitude * 1e-4, true_lifetime * 5.0});
  ASSERT_GT(model.calls.size(), 2u);
  // The Jacobian is formed at the start and at each accepted point: the bases of trials.
  const std::vector<double>* base = nullptr;
  for (const auto& call : model.calls) {
    if (call.with_jacobian) {
      base = &call.p;
      continue;
    }
    ASSERT_NE(base, nullptr);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_LE(std::abs(std::log(call.p[j] / (*base)[j])), 2.0 + 1e-12);
  }
}

// y = a b exp(-t): only the product a b is determined.
class ProductModel : public ResidualModel {
 public:
  std::size_t residual_count() const override { return 10; }
  std::size_t parameter_count() const override { return 2; }
  bool has_jacobian() const override { return true; }
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    for (std::size_t k = 0; k < 10; ++k) {
      const double decay = std::exp(-0.3 * static_cast<double>(k));
      r[k] = (p[0] * p[1] - 6.0) * decay;
      if (jacobian.empty()) continue;
      jacobian[k] = p[1] * decay;
      jacobian[10 + k] = p[0] * decay;
    }
    return true;
  }
};

TEST(LevenbergMarquardt, RankDeficientProblemFindsTheDeterminedCombination) {
  const StartResult fit = levenberg_marquardt(ProductModel(), ParameterSpace({{}, {}}), std::vector{1.0, 4.0});
  EXPECT_TRUE(is_converged(fit.status)) << fit.message;
  EXPECT_NEAR(fit.values[0] * fit.values[1], 6.0, 1e-6);
  // The undetermined direction is damped, not wandered along: both moved alike in ln p.
  EXPECT_NEAR(fit.values[1] / fit.values[0], 4.0, 1e-9);
}

// The decay model, refusing lifetimes above a limit; counts refusals (single-threaded use).
class RefusingModel : public DecayModel {
 public:
  explicit RefusingModel(double lifetime_limit) : DecayModel(true), limit_(lifetime_limit) {}
  bool evaluate(std::span<const double> p, std::span<double> r, std::span<double> jacobian) const override {
    if (p[1] > limit_) {
      ++refusals;
      return false;
    }
    return DecayModel::evaluate(p, r, jacobian);
  }
  mutable int refusals = 0;

 private:
  double limit_;
};

TEST(LevenbergMarquardt, TreatsModelRefusalAsARejectedTrial) {
  const ParameterSpace space = decay_space();
  const StartResult refused = levenberg_marquardt(RefusingModel(1.0), space, std::vector{3.0, 2.0});
  EXPECT_EQ(refused.status, FitStatus::start_failed);
  EXPECT_EQ(refused.message, "model could not be evaluated at the start values");
  EXPECT_TRUE(std::isnan(refused.chi_square));
  EXPECT_TRUE(refused.residuals.empty());

  // The optimum (tau ~ 2) lies inside the accepted region; from this start the first
  // steps towards large tau overshoot into the refused region.
  const RefusingModel model(2.5);
  const StartResult fit = levenberg_marquardt(model, space, std::vector{0.3, 0.5});
  EXPECT_GT(model.refusals, 0);
  EXPECT_TRUE(is_converged(fit.status)) << fit.message;
  EXPECT_NEAR(fit.values[1], true_lifetime, 0.02);
}

TEST(LevenbergMarquardt, ObserverSeesEveryIterationAndCanStop) {
  std::vector<double> seen;
  SolverHooks hooks;
  hooks.start_index = 7;
  hooks.observer = [&](const IterationReport& report) {
    EXPECT_EQ(report.start, 7u);
    EXPECT_EQ(report.iteration, seen.size());
    seen.push_back(report.chi_square);
    return report.iteration == 2 ? IterationDecision::stop : IterationDecision::proceed;
  };
  const StartResult fit = levenberg_marquardt(DecayModel(true), decay_space(), std::vector{0.6, 0.4}, {}, hooks);
  EXPECT_EQ(fit.status, FitStatus::cancelled);
  EXPECT_EQ(fit.iterations, 2u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_LT(seen[2], seen[1]);
  EXPECT_EQ(fit.chi_square, seen[2]);
}

}  // namespace
}  // namespace tarnok::robust_fit
