// The outcome of fitting from one start.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "robust_fit/fit_status.hpp"

namespace tarnok::robust_fit {

struct StartResult {
  std::vector<double> start_values;  // natural values the fit started from (clamped into the bounds)
  std::vector<double> values;        // natural values at the lowest chi-square reached
  double chi_square = std::numeric_limits<double>::quiet_NaN();  // sum of squared residuals at values; NaN if never evaluated
  FitStatus status = FitStatus::not_run;  // why the fit ended
  std::string message;                    // status in words
  std::size_t iterations = 0;             // accepted steps
  std::size_t function_evaluations = 0;   // model calls, including those of forward differences
  std::size_t jacobian_evaluations = 0;   // Jacobians formed, analytic or by differences
  std::vector<double> residuals;          // m residuals at values; empty if never evaluated
  std::vector<double> jacobian;           // dr/dp at values, m x n column-major, natural parameters; empty if not formed
  std::optional<std::size_t> duplicate_of;  // for FitStatus::duplicate: the earlier start whose path it joined
};

}  // namespace tarnok::robust_fit
