#include "robust_fit/fit_status.hpp"

#include <cstdio>

#include "robust_fit/levenberg_marquardt.hpp"

namespace tarnok::robust_fit {

namespace {

// Tolerances print as "1e-08", the way they are usually written in options.
std::string format_tolerance(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0e", value);
  return text;
}

}  // namespace

bool is_converged(FitStatus status) {
  return status == FitStatus::converged_chi_square || status == FitStatus::converged_step;
}

std::string describe(FitStatus status, const SolverOptions& options) {
  switch (status) {
    case FitStatus::converged_chi_square:
      return "converged: relative chi-square change below " + format_tolerance(options.chi_square_tolerance) +
             " twice";
    case FitStatus::converged_step:
      return "converged: step below " + format_tolerance(options.step_tolerance);
    case FitStatus::max_iterations:
      return "maximum number of iterations reached";
    case FitStatus::damping_limit:
      return "stopped: damping grew too large without lowering chi-square";
    case FitStatus::model_failed:
      return "stopped: model could not be evaluated at the trial points around the current values";
    case FitStatus::start_failed:
      return "model could not be evaluated at the start values";
    case FitStatus::cancelled:
      return "cancelled";
    case FitStatus::duplicate:
      return "stopped: joined the path of an earlier start";
    case FitStatus::not_run:
      return "not run: cancelled before this start began";
  }
  return "unknown status";
}

}  // namespace tarnok::robust_fit
