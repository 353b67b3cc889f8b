#include "robust_fit/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "robust_fit/damped_least_squares.hpp"
#include "robust_fit/model_evaluator.hpp"

namespace tarnok::robust_fit {

namespace {

// Damping is measured against the curvature scale, the largest diagonal entry of
// J_u^T J_u, so that no threshold depends on how the residuals happen to be scaled.
// Starting at 1e-3 of it gives nearly a Gauss-Newton step along well-determined
// directions while directions J barely sees stay damped.
constexpr double initial_damping = 1e-3;
// Keeps [R; sqrt(lambda) I] well conditioned when J is rank-deficient.
constexpr double damping_floor = 1e-12;
// Past this the step is a vanishing gradient step; raising lambda further cannot help.
constexpr double damping_ceiling = 1e16;
constexpr double damping_factor = 10.0;

double sum_of_squares(std::span<const double> values) {
  double sum = 0.0;
  for (const double v : values) sum += v * v;
  return sum;
}

double largest_magnitude(std::span<const double> values) {
  double largest = 0.0;
  for (const double v : values) {
    if (std::isnan(v)) return std::numeric_limits<double>::infinity();
    largest = std::max(largest, std::abs(v));
  }
  return largest;
}

enum class Trial { accepted, worse, failed, cancelled };

}  // namespace

class StartFit::Fit {
 public:
  Fit(const ResidualModel& model, const ParameterSpace& space, std::span<const double> start_values,
      const SolverOptions& options, const SolverHooks& hooks)
      : space_(space),
        options_(options),
        hooks_(hooks),
        m_(model.residual_count()),
        n_(space.size()),
        evaluator_(model, space, hooks.stop),
        least_squares_(m_, n_),
        u_(n_), trial_u_(n_), p_(n_), trial_p_(n_), delta_(n_), gradient_(n_),
        r_(m_), trial_r_(m_),
        jacobian_(m_ * n_), trial_jacobian_(m_ * n_), internal_jacobian_(m_ * n_),
        freedom_(n_, Freedom::free) {
    start_values_ = space_.clamped(start_values);
    p_ = start_values_;
    space_.to_internal(p_, u_);
  }

  // Runs until `iterations` accepted steps in all or the end of the fit;
  // returns true once it has ended. Each call goes on where the last stopped,
  // so a fit advanced in pieces takes the same steps as one run to its end.
  bool advance_to(std::size_t iterations) {
    if (result_) return true;
    if (!begun_) {
      begun_ = true;
      if (const auto status = evaluate_start()) return end(*status);
      if (notify() == IterationDecision::stop) return end(FitStatus::cancelled);
    }
    for (;;) {
      if (iterations_ >= options_.max_iterations) return end(FitStatus::max_iterations);
      if (iterations_ >= iterations) return false;
      if (hooks_.stop.stop_requested()) return end(FitStatus::cancelled);
      prepare_iteration();
      if (const auto status = take_step()) return end(*status);
      ++iterations_;
      const bool stop_asked = notify() == IterationDecision::stop;
      if (chi_square_settled()) return end(FitStatus::converged_chi_square);
      if (stop_asked) return end(FitStatus::cancelled);
    }
  }

  // Ends a fit that has not ended, where it stands.
  void end_here(FitStatus status, std::string message) {
    if (result_) return;
    end(status);
    result_->message = std::move(message);
  }

  bool begun() const { return begun_; }
  bool ended() const { return result_.has_value(); }
  bool converged() const { return result_ && is_converged(result_->status); }
  std::size_t iterations() const { return iterations_; }
  // NaN until the start values have been evaluated.
  double chi_square() const {
    if (result_) return result_->chi_square;
    return evaluated_ ? chi_square_ : std::numeric_limits<double>::quiet_NaN();
  }
  std::span<const double> values() const { return result_ ? result_->values : p_; }
  // dr/dp at values(), column-major; empty when never formed.
  std::span<const double> jacobian() const {
    if (result_) return result_->jacobian;
    return evaluated_ ? std::span<const double>(jacobian_) : std::span<const double>();
  }
  StartResult take_result() { return std::move(*result_); }

 private:
  std::optional<FitStatus> evaluate_start() {
    const Evaluation outcome = evaluator_.residuals_and_jacobian(p_, r_, jacobian_);
    if (outcome == Evaluation::cancelled) return FitStatus::cancelled;
    if (outcome == Evaluation::failed) return FitStatus::start_failed;
    chi_square_ = sum_of_squares(r_);
    if (!std::isfinite(chi_square_)) return FitStatus::start_failed;
    evaluated_ = true;
    return std::nullopt;
  }

  // Gradient, active set and factorisation at the current point, shared by every
  // damping tried in this iteration.
  void prepare_iteration() {
    space_.jacobian_to_internal(p_, jacobian_, internal_jacobian_);
    double largest_curvature = 0.0;
    for (std::size_t j = 0; j < n_; ++j) {
      const std::span<const double> column = std::span<const double>(internal_jacobian_).subspan(j * m_, m_);
      double dot = 0.0;
      for (std::size_t i = 0; i < m_; ++i) dot += column[i] * r_[i];
      gradient_[j] = dot;
      largest_curvature = std::max(largest_curvature, sum_of_squares(column));
      freedom_[j] = is_held(j) ? Freedom::held : Freedom::free;
    }
    // With J = 0 the gradient vanishes and the first step ends the fit; any positive
    // scale keeps the arithmetic regular until then.
    curvature_scale_ = largest_curvature > 0.0 ? largest_curvature : 1.0;
    if (lambda_ == 0.0) lambda_ = initial_damping * curvature_scale_;
    lambda_ = std::max(lambda_, damping_floor * curvature_scale_);
    least_squares_.factor(internal_jacobian_, r_, freedom_);
  }

  // A parameter on a bound whose descent direction points out of the box cannot move;
  // holding it lets the others take a full step instead of one cut short by projection.
  bool is_held(std::size_t j) const {
    const double lower = space_.internal_lower(j);
    const double upper = space_.internal_upper(j);
    if (lower == upper) return true;
    return (u_[j] == lower && gradient_[j] > 0.0) || (u_[j] == upper && gradient_[j] < 0.0);
  }

  // Tries dampings until a trial lowers chi-square (then returns nothing) or the fit
  // must end (then returns why).
  std::optional<FitStatus> take_step() {
    for (;;) {
      if (const auto status = propose_step()) return status;
      for (std::size_t j = 0; j < n_; ++j) trial_u_[j] = u_[j] + delta_[j];
      space_.project(trial_u_);
      if (largest_change() < options_.step_tolerance)
        return consecutive_failures_ > 0 ? FitStatus::model_failed : FitStatus::converged_step;
      space_.to_natural(trial_u_, trial_p_);
      const Trial trial = try_trial();
      if (trial == Trial::accepted) return std::nullopt;
      if (trial == Trial::cancelled) return FitStatus::cancelled;
      if (trial == Trial::failed && ++consecutive_failures_ >= options_.max_model_failures)
        return FitStatus::model_failed;
      lambda_ *= damping_factor;
      if (lambda_ > damping_ceiling * curvature_scale_) return FitStatus::damping_limit;
    }
  }

  // Solves for delta, raising lambda (never rescaling delta, which would leave the
  // Levenberg path) until no coordinate moves by more than max_step.
  std::optional<FitStatus> propose_step() {
    least_squares_.solve(lambda_, delta_);
    while (!(largest_magnitude(delta_) <= options_.max_step)) {
      lambda_ *= damping_factor;
      if (lambda_ > damping_ceiling * curvature_scale_) return FitStatus::damping_limit;
      least_squares_.solve(lambda_, delta_);
    }
    return std::nullopt;
  }

  double largest_change() const {
    double largest = 0.0;
    for (std::size_t j = 0; j < n_; ++j) largest = std::max(largest, std::abs(trial_u_[j] - u_[j]));
    return largest;
  }

  // Evaluates the trial point; accepts it (with its Jacobian) when chi-square drops.
  // An analytic model gives its Jacobian in the same pass for a fraction more than
  // the residuals alone and most trials are accepted, so it is asked for at once
  // rather than by a second evaluation of the accepted point.
  Trial try_trial() {
    const bool together = evaluator_.analytic();
    const Evaluation residuals =
        together ? evaluator_.residuals_and_jacobian(trial_p_, trial_r_, trial_jacobian_)
                 : evaluator_.residuals(trial_p_, trial_r_);
    if (residuals != Evaluation::ok) return as_trial(residuals);
    consecutive_failures_ = 0;
    const double trial_chi_square = sum_of_squares(trial_r_);
    if (!(trial_chi_square < chi_square_)) return Trial::worse;
    if (!together) {
      const Evaluation jacobian = evaluator_.jacobian_at(trial_p_, trial_r_, trial_jacobian_);
      if (jacobian != Evaluation::ok) return as_trial(jacobian);
    }
    accept(trial_chi_square);
    return Trial::accepted;
  }

  static Trial as_trial(Evaluation failure) {
    return failure == Evaluation::cancelled ? Trial::cancelled : Trial::failed;
  }

  void accept(double trial_chi_square) {
    std::swap(u_, trial_u_);
    std::swap(p_, trial_p_);
    std::swap(r_, trial_r_);
    std::swap(jacobian_, trial_jacobian_);
    previous_chi_square_ = chi_square_;
    chi_square_ = trial_chi_square;
    lambda_ = std::max(lambda_ / damping_factor, damping_floor * curvature_scale_);
  }

  // One small relative decrease can be a lucky step; two in a row mean the minimum.
  bool chi_square_settled() {
    const double relative_decrease = (previous_chi_square_ - chi_square_) / previous_chi_square_;
    settled_steps_ = relative_decrease < options_.chi_square_tolerance ? settled_steps_ + 1 : 0;
    return settled_steps_ >= 2;
  }

  IterationDecision notify() const {
    if (!hooks_.observer) return IterationDecision::proceed;
    return hooks_.observer(IterationReport{hooks_.start_index, iterations_, chi_square_});
  }

  // A parameter that ends within the step tolerance of a bound presses on it: the
  // steps that would have reached the bound were below the tolerance and not taken.
  // Placing it on the bound (kept only if chi-square does not rise) makes "at a bound"
  // a property of the result instead of an accident of where the last step stopped.
  void place_on_bounds() {
    bool moved = false;
    for (std::size_t j = 0; j < n_; ++j) {
      trial_u_[j] = u_[j];
      for (const double bound : {space_.internal_lower(j), space_.internal_upper(j)}) {
        if (u_[j] != bound && std::abs(u_[j] - bound) <= options_.step_tolerance) {
          trial_u_[j] = bound;
          moved = true;
        }
      }
    }
    if (!moved) return;
    space_.to_natural(trial_u_, trial_p_);
    const bool together = evaluator_.analytic();
    const Evaluation residuals =
        together ? evaluator_.residuals_and_jacobian(trial_p_, trial_r_, trial_jacobian_)
                 : evaluator_.residuals(trial_p_, trial_r_);
    if (residuals != Evaluation::ok) return;
    const double trial_chi_square = sum_of_squares(trial_r_);
    if (!(trial_chi_square <= chi_square_)) return;
    if (!together && evaluator_.jacobian_at(trial_p_, trial_r_, trial_jacobian_) != Evaluation::ok) return;
    accept(trial_chi_square);
  }

  bool end(FitStatus status) {
    result_ = finish(status);
    return true;
  }

  StartResult finish(FitStatus status) {
    if (evaluated_ && is_converged(status)) place_on_bounds();
    StartResult result;
    result.start_values = std::move(start_values_);
    result.values = p_;
    result.status = status;
    result.message = describe(status, options_);
    result.iterations = iterations_;
    result.function_evaluations = evaluator_.function_evaluations();
    result.jacobian_evaluations = evaluator_.jacobian_evaluations();
    if (evaluated_) {
      result.chi_square = chi_square_;
      result.residuals = std::move(r_);
      result.jacobian = std::move(jacobian_);
    }
    return result;
  }

  const ParameterSpace& space_;
  const SolverOptions& options_;
  const SolverHooks& hooks_;
  std::size_t m_;
  std::size_t n_;
  ModelEvaluator evaluator_;
  DampedLeastSquares least_squares_;

  // Work storage, sized once: the current point and a trial point.
  std::vector<double> start_values_;
  std::vector<double> u_, trial_u_, p_, trial_p_, delta_, gradient_;
  std::vector<double> r_, trial_r_;
  std::vector<double> jacobian_, trial_jacobian_, internal_jacobian_;
  std::vector<Freedom> freedom_;

  double chi_square_ = 0.0;
  double previous_chi_square_ = 0.0;
  double lambda_ = 0.0;  // 0 until the first iteration sets it from the curvature scale
  double curvature_scale_ = 1.0;
  std::size_t iterations_ = 0;
  std::size_t settled_steps_ = 0;
  std::size_t consecutive_failures_ = 0;
  bool evaluated_ = false;
  bool begun_ = false;
  std::optional<StartResult> result_;  // once the fit has ended
};

StartResult levenberg_marquardt(const ResidualModel& model, const ParameterSpace& space,
                                std::span<const double> start_values, const SolverOptions& options,
                                const SolverHooks& hooks) {
  StartFit fit(model, space, start_values, options, hooks);
  fit.advance_to(options.max_iterations);
  return fit.take_result();
}

StartFit::StartFit(const ResidualModel& model, const ParameterSpace& space,
                   std::span<const double> start_values, const SolverOptions& options,
                   const SolverHooks& hooks) {
  if (model.parameter_count() != space.size())
    throw std::invalid_argument("the model and the parameter space disagree on the number of parameters");
  space.check_point(start_values);
  fit_ = std::make_unique<Fit>(model, space, start_values, options, hooks);
}

StartFit::StartFit(StartFit&&) noexcept = default;
StartFit& StartFit::operator=(StartFit&&) noexcept = default;
StartFit::~StartFit() = default;

bool StartFit::advance_to(std::size_t iterations) { return fit_->advance_to(iterations); }
void StartFit::end_here(FitStatus status, std::string message) { fit_->end_here(status, std::move(message)); }
bool StartFit::begun() const { return fit_->begun(); }
bool StartFit::ended() const { return fit_->ended(); }
bool StartFit::converged() const { return fit_->converged(); }
std::size_t StartFit::iterations() const { return fit_->iterations(); }
double StartFit::chi_square() const { return fit_->chi_square(); }
std::span<const double> StartFit::values() const { return fit_->values(); }
std::span<const double> StartFit::jacobian() const { return fit_->jacobian(); }
StartResult StartFit::take_result() { return fit_->take_result(); }

}  // namespace tarnok::robust_fit
