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

struct MultiStartOptions {
  std::size_t threads = 1;  // worker threads; 1 runs every start on the calling thread; 0 = hardware concurrency
  std::chrono::duration<double> poll_interval{0.2};  // least time between two progress polls (clamped to [1 ms, 24 h])
  SolverOptions solver;                               // for every start
};

// Called on the calling thread only, while the fit runs and once when it has ended.
// Returning true cancels every start.
using ProgressPoll = std::function<bool(const Progress&)>;

struct MultiStartResult {
  std::vector<StartResult> starts;       // one per start, in the order the starts were given
  std::optional<std::size_t> best_start; // index of the lowest finite chi-square (the first on ties); none if no start has one
  bool cancelled = false;                // the poll asked to stop
};

// Fits model from every vector of starts. Each start's result depends only on its
// start values, never on threads or timing (short of cancellation). Throws
// std::invalid_argument before any fitting when a start is invalid per
// ParameterSpace::check_point or the model and space disagree on n. An exception
// from the model or the poll ends every start and is rethrown here after all threads
// have joined; with several, the one of the lowest start index.
MultiStartResult fit_multi_start(const ResidualModel& model, const ParameterSpace& space,
                                 const std::vector<std::vector<double>>& starts,
                                 const MultiStartOptions& options = {}, const ProgressPoll& poll = {});

}  // namespace tarnok::robust_fit
