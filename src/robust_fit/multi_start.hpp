// Fits one problem from many starts on a pool of threads, with progress reports and
// cancellation on the calling thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "robust_fit/levenberg_marquardt.hpp"
#include "robust_fit/parameter_space.hpp"
#include "robust_fit/progress.hpp"
#include "robust_fit/residual_model.hpp"
#include "robust_fit/start_result.hpp"

namespace tarnok::robust_fit {

// When a start counts as having joined an earlier start's path: its latest
// point i and a point j the earlier start passed through (at the end of one
// of its rounds) satisfy both
//   0 <= chi2_i - chi2_j <= chi_square * chi2_j, and
//   |J_j (u_i - u_j)|^2 <= distance^2 * s^2,   s^2 = (earlier start's latest chi2) / (m - n),
// the second the Mahalanobis distance of the two points under the earlier
// start's approximate covariance s^2 (J_j^T J_j)^-1 in the solver's own
// coordinates, in standard errors. From there it would take the earlier
// start's steps, and it cannot end below where that one ends.
struct DuplicateTest {
  bool enabled = true;
  std::size_t interval = 2;  // iterations between two comparisons of the running starts
  double chi_square = 1e-3;
  double distance = 0.1;
};

struct MultiStartOptions {
  // Threads for the starts and for the columns of their evaluations together;
  // 1 runs everything on the calling thread; 0 = hardware concurrency.
  std::size_t threads = 1;
  std::chrono::duration<double> poll_interval{0.2};  // least time between two progress polls (clamped to [1 ms, 24 h])
  SolverOptions solver;                               // for every start
  DuplicateTest duplicates;                           // ends starts that repeat an earlier one
};

// Called on the calling thread only, while the fit runs and once when it has ended.
// Returning true cancels every start.
using ProgressPoll = std::function<bool(const Progress&)>;

struct MultiStartResult {
  std::vector<StartResult> starts;       // one per start, in the order the starts were given
  std::optional<std::size_t> best_start; // index of the lowest finite chi-square (the first on ties) of the starts
                                         // that did not stop as duplicates; none if no start has one
  bool cancelled = false;                // the poll asked to stop
};

// Fits model from every vector of starts. The starts advance in rounds of
// options.duplicates.interval iterations; after each round a start found on an
// earlier start's path (lower index) ends there as FitStatus::duplicate. Each
// start's result depends only on the start values, never on threads or timing
// (short of cancellation). While fewer starts run than options.threads, the
// idle threads take on columns of the running starts' evaluations. Throws
// std::invalid_argument before any fitting when a start is invalid per
// ParameterSpace::check_point or the model and space disagree on n. An exception
// from the model or the poll ends every start and is rethrown here after all threads
// have joined; with several, the one of the lowest start index.
MultiStartResult fit_multi_start(const ResidualModel& model, const ParameterSpace& space,
                                 const std::vector<std::vector<double>>& starts,
                                 const MultiStartOptions& options = {}, const ProgressPoll& poll = {});

}  // namespace tarnok::robust_fit
