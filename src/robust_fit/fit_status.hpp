// Why a start's fit ended.
#pragma once

#include <string>

namespace tarnok::robust_fit {

struct SolverOptions;

enum class FitStatus {
  converged_chi_square,  // relative chi-square decrease below tolerance on two accepted steps in a row
  converged_step,        // the next step moves no internal coordinate by more than the step tolerance
  max_iterations,        // the iteration limit was reached first
  damping_limit,         // lambda grew past its ceiling without finding a lower chi-square
  model_failed,          // the model could not be evaluated at the trial points around the current values
  start_failed,          // the model could not be evaluated at the start values
  cancelled,             // stopped on request; the result holds the best point reached
  duplicate,             // stopped where it had joined an earlier start's path (StartResult::duplicate_of)
  not_run,               // cancelled before this start began
};

// True for the two converged statuses.
bool is_converged(FitStatus status);

// One line for a person, with the tolerances of options where they matter, e.g.
// "converged: relative chi-square change below 1e-08 twice".
std::string describe(FitStatus status, const SolverOptions& options);

}  // namespace tarnok::robust_fit
