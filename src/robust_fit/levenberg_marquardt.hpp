// Bounded Levenberg-Marquardt least squares in the internal coordinates of a
// ParameterSpace: one fit from one start.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <stop_token>

#include "robust_fit/parameter_space.hpp"
#include "robust_fit/residual_model.hpp"
#include "robust_fit/start_result.hpp"

namespace tarnok::robust_fit {

struct SolverOptions {
  std::size_t max_iterations = 200;      // accepted steps at most
  double chi_square_tolerance = 1e-8;    // relative chi-square decrease that counts as no progress
  double step_tolerance = 1e-6;          // converged once the next step moves every u by less;
                                         // a converged u this close to a bound is placed on it
  double max_step = 2.0;                 // largest |delta u| of one step (a factor e^2 for log parameters)
  std::size_t max_model_failures = 10;   // trial points in a row the model may refuse before the fit stops
};

// What the solver tells its observer after an iteration.
struct IterationReport {
  std::size_t start = 0;      // SolverHooks::start_index of the fit
  std::size_t iteration = 0;  // accepted steps so far (0: the start values were just evaluated)
  double chi_square = 0.0;    // chi-square at the current values
};

enum class IterationDecision { proceed, stop };

using IterationObserver = std::function<IterationDecision(const IterationReport&)>;

// Ways to watch and stop a running fit.
struct SolverHooks {
  std::stop_token stop;          // checked every iteration and before every model call
  IterationObserver observer;    // called on the fitting thread; returning stop ends the fit as cancelled
  std::size_t start_index = 0;   // passed through to the observer
};

// One start's fit, advanced a number of iterations at a time, so that a driver
// can compare starts at the same iteration and end those it no longer needs.
// Advanced in pieces it takes the same steps as levenberg_marquardt whole.
// The model, space, options and hooks must outlive it.
class StartFit {
 public:
  // Throws as levenberg_marquardt.
  StartFit(const ResidualModel& model, const ParameterSpace& space,
           std::span<const double> start_values, const SolverOptions& options,
           const SolverHooks& hooks);
  StartFit(StartFit&&) noexcept;
  StartFit& operator=(StartFit&&) noexcept;
  ~StartFit();

  // Runs until `iterations` accepted steps in all, or the end of the fit;
  // true once it has ended. Exceptions of the model or observer propagate.
  bool advance_to(std::size_t iterations);
  // Ends a fit that has not ended where it stands, with this status and message.
  void end_here(FitStatus status, std::string message);

  bool begun() const;
  bool ended() const;
  bool converged() const;                  // ended with a converged status
  std::size_t iterations() const;          // accepted steps so far
  double chi_square() const;               // at values(); NaN before the start was evaluated
  std::span<const double> values() const;  // natural values of the current (or final) point
  // dr/dp at values(), m x n column-major, natural parameters; empty if not formed.
  std::span<const double> jacobian() const;
  // The outcome, once ended (then only once).
  StartResult take_result();

 private:
  class Fit;
  std::unique_ptr<Fit> fit_;
};

// Minimises chi-square = sum r^2 over u from start_values (natural, clamped into the
// bounds). Throws std::invalid_argument when the model and space disagree on n or
// start_values is invalid per ParameterSpace::check_point. Exceptions of the model or
// the observer propagate.
StartResult levenberg_marquardt(const ResidualModel& model, const ParameterSpace& space,
                                std::span<const double> start_values, const SolverOptions& options = {},
                                const SolverHooks& hooks = {});

}  // namespace tarnok::robust_fit
