// The problem a robust fit minimises: residuals of a model at natural parameter values.
#pragma once

#include <cstddef>
#include <span>
#include <stop_token>

namespace tarnok::robust_fit {

// A least-squares problem: the solver minimises chi-square = sum of squared residuals.
// Implementations are shared by every worker thread of a multi-start fit, so evaluate()
// must not modify shared state (or must synchronise it itself).
class ResidualModel {
 public:
  virtual ~ResidualModel() = default;

  // Number m of residuals.
  virtual std::size_t residual_count() const = 0;

  // Number n of parameters.
  virtual std::size_t parameter_count() const = 0;

  // Writes the m residuals at natural parameter values p (n values). When jacobian is
  // non-empty (only ever when has_jacobian() is true) also writes dr/dp, m x n,
  // column-major. Returns false when the model cannot be evaluated at p; the solver then
  // treats p as a rejected trial. Must be safe to call concurrently from several threads.
  virtual bool evaluate(std::span<const double> p, std::span<double> residuals,
                        std::span<double> jacobian) const = 0;

  // The same, for a model whose evaluation is long enough to be worth
  // abandoning when `stop` is requested; it then returns false. The solver
  // calls this form.
  virtual bool evaluate_until(std::span<const double> p, std::span<double> residuals,
                              std::span<double> jacobian, const std::stop_token& stop) const {
    (void)stop;
    return evaluate(p, residuals, jacobian);
  }

  // True when evaluate() can write an analytic Jacobian. Otherwise the solver forms one
  // by forward differences and never passes a non-empty jacobian span.
  virtual bool has_jacobian() const { return false; }
};

}  // namespace tarnok::robust_fit
