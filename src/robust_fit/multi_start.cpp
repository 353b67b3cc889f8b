#include "robust_fit/multi_start.hpp"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cmath>
#include <cstdio>
#include <exception>
#include <semaphore>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>

#include "engine/worker_pool.hpp"
#include "robust_fit/progress_board.hpp"

namespace tarnok::robust_fit {

namespace {

using Clock = std::chrono::steady_clock;

// Below the shortest, waiting for the next poll would turn into spinning on the calling
// thread; the longest keeps the conversion to clock ticks from overflowing.
constexpr std::chrono::duration<double> shortest_poll_interval = std::chrono::milliseconds(1);
constexpr std::chrono::duration<double> longest_poll_interval = std::chrono::hours(24);

std::size_t worker_count(std::size_t threads, std::size_t starts) {
  return std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(starts, 1));
}

StartResult not_run_result(const ParameterSpace& space, const std::vector<double>& start, const SolverOptions& options) {
  StartResult result;
  result.start_values = space.clamped(start);
  result.values = result.start_values;
  result.status = FitStatus::not_run;
  result.message = describe(FitStatus::not_run, options);
  return result;
}

std::optional<std::size_t> lowest_chi_square(const std::vector<StartResult>& results) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (!std::isfinite(results[i].chi_square) || results[i].duplicate_of) continue;
    if (!best || results[i].chi_square < results[*best].chi_square) best = i;
  }
  return best;
}

// Requests a stop when leaving scope, so that threads destroyed after it (jthread joins)
// end promptly when an exception unwinds the caller.
class StopOnExit {
 public:
  explicit StopOnExit(std::stop_source& source) : source_(source) {}
  StopOnExit(const StopOnExit&) = delete;
  StopOnExit& operator=(const StopOnExit&) = delete;
  ~StopOnExit() { source_.request_stop(); }

 private:
  std::stop_source& source_;
};

std::string format_number(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Where each start has been, at the end of every round, and whether a start
// has reached a point of an earlier start's path: from there it would take
// the earlier start's steps and end where that one ends.
class PathRecord {
 public:
  PathRecord(const ParameterSpace& space, std::size_t m, std::size_t starts, const DuplicateTest& test)
      : space_(space), test_(test), m_(m), n_(space.size()), paths_(starts) {}

  // Records where `start` stands (a start without a value or Jacobian yet leaves no point).
  void record(std::size_t start, const StartFit& fit) {
    const std::span<const double> jacobian = fit.jacobian();
    if (!std::isfinite(fit.chi_square()) || jacobian.size() != m_ * n_) return;
    Point& point = paths_[start].emplace_back();
    point.iteration = fit.iterations();
    point.chi_square = fit.chi_square();
    point.u.resize(n_);
    point.jacobian.resize(m_ * n_);
    space_.to_internal(fit.values(), point.u);
    space_.jacobian_to_internal(fit.values(), jacobian, point.jacobian);
  }

  struct Meeting {
    std::size_t iteration;  // of the earlier start's point
    double distance;        // standard errors
  };

  // The first point of earlier's path that later's latest point agrees with,
  // as DuplicateTest says. The standard errors are those of the lowest
  // chi-square on earlier's path, its latest.
  std::optional<Meeting> meeting(std::size_t later, std::size_t earlier) const {
    if (paths_[later].empty() || paths_[earlier].empty()) return std::nullopt;
    const Point& now = paths_[later].back();
    const double variance = paths_[earlier].back().chi_square / static_cast<double>(m_ > n_ ? m_ - n_ : 1);
    for (const Point& point : paths_[earlier]) {
      // A later start below the earlier one's point may be on its way somewhere
      // better; one at or above it can only end at or above where the earlier one ends.
      if (!(now.chi_square >= point.chi_square && now.chi_square - point.chi_square <= test_.chi_square * point.chi_square))
        continue;
      double squared = 0.0;
      for (std::size_t i = 0; i < m_; ++i) {
        double change = 0.0;
        for (std::size_t j = 0; j < n_; ++j) change += point.jacobian[j * m_ + i] * (now.u[j] - point.u[j]);
        squared += change * change;
      }
      if (!(squared <= test_.distance * test_.distance * variance)) continue;
      return Meeting{point.iteration, variance > 0.0 ? std::sqrt(squared / variance) : 0.0};
    }
    return std::nullopt;
  }

 private:
  struct Point {
    std::size_t iteration = 0;
    double chi_square = 0.0;
    std::vector<double> u;         // the solver's coordinates
    std::vector<double> jacobian;  // dr/du there, m x n column-major
  };

  const ParameterSpace& space_;
  const DuplicateTest& test_;
  std::size_t m_, n_;
  std::vector<std::vector<Point>> paths_;
};

// One multi-start fit. The starts advance in rounds; within a round worker threads
// claim starts one by one, and between rounds, with every worker waiting, one of them
// compares the starts in index order, so which starts end as duplicates depends on
// their paths alone. Worker threads share only the read-only inputs, the atomics (stop
// source, next claim, progress board, thread budget) and the start slots, each advanced
// by the one thread that claimed it in a round.
class MultiStartRun {
 public:
  MultiStartRun(const ResidualModel& model, const ParameterSpace& space, const std::vector<std::vector<double>>& starts,
                const MultiStartOptions& options, const ProgressPoll& poll)
      : model_(model),
        space_(space),
        starts_(starts),
        options_(options),
        poll_(poll),
        poll_interval_(std::clamp(options.poll_interval, shortest_poll_interval, longest_poll_interval)),
        board_(starts.size()),
        errors_(starts.size()),
        duplicate_of_(starts.size()),
        paths_(space, model.residual_count(), starts.size(), options.duplicates),
        threads_(options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency())),
        workers_(worker_count(threads_, starts.size())),
        budget_(threads_, workers_) {
    hooks_.reserve(starts.size());
    fits_.reserve(starts.size());
    claims_.reserve(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
      hooks_.push_back(SolverHooks{stop_.get_token(), {}, i});
      fits_.emplace_back(model, space, starts[i], options.solver, hooks_[i]);
    }
    plan_round();
  }

  MultiStartResult run() {
    if (workers_ == 1) {
      run_here();
    } else {
      run_on_threads();
    }
    // Starts that were waiting for their next round when the fit was stopped.
    for (StartFit& fit : fits_) {
      if (!fit.begun() || fit.ended()) continue;
      fit.end_here(FitStatus::cancelled, describe(FitStatus::cancelled, options_.solver));
      board_.finish_start();
    }
    rethrow_first_error();
    poll_if_set();
    std::vector<StartResult> results;
    results.reserve(fits_.size());
    for (std::size_t i = 0; i < fits_.size(); ++i) {
      results.push_back(fits_[i].ended() ? fits_[i].take_result()
                                         : not_run_result(space_, starts_[i], options_.solver));
      results.back().duplicate_of = duplicate_of_[i];
    }
    const std::optional<std::size_t> best = lowest_chi_square(results);
    return MultiStartResult{std::move(results), best, cancelled_};
  }

 private:
  // The calling thread does the fitting, so it polls from inside the iterations.
  void run_here() {
    Clock::time_point next_poll = Clock::now() + poll_interval();
    const IterationObserver observer = [&](const IterationReport& report) {
      board_.post(report.start, report.iteration, report.chi_square);
      if (!poll_ || Clock::now() < next_poll) return IterationDecision::proceed;
      next_poll = Clock::now() + poll_interval();
      return poll_once() ? IterationDecision::stop : IterationDecision::proceed;
    };
    for (SolverHooks& hooks : hooks_) hooks.observer = observer;
    const engine::BudgetScope scope(budget_);
    while (!claims_.empty()) {
      fit_claimed_starts();
      end_round();
    }
  }

  void run_on_threads() {
    const IterationObserver post_only = [this](const IterationReport& report) {
      board_.post(report.start, report.iteration, report.chi_square);
      return IterationDecision::proceed;
    };
    for (SolverHooks& hooks : hooks_) hooks.observer = post_only;
    std::binary_semaphore all_done{0};
    std::atomic<std::size_t> running{workers_};
    std::barrier round_end(static_cast<std::ptrdiff_t>(workers_), [this]() noexcept { end_round(); });
    std::vector<std::jthread> threads;
    threads.reserve(workers_);
    const StopOnExit stop_on_exit(stop_);
    try {
      for (std::size_t w = 0; w < workers_; ++w) {
        threads.emplace_back([&] {
          const engine::BudgetScope scope(budget_);
          while (!round_over()) {
            fit_claimed_starts();
            // A worker without a start lends its thread to the evaluations still running.
            budget_.give_back(1);
            round_end.arrive_and_wait();
          }
          if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) all_done.release();
        });
      }
    } catch (const std::system_error&) {
      if (threads.empty()) throw;
      // The rounds go on with the workers that started; the others never arrive.
      for (std::size_t w = threads.size(); w < workers_; ++w) {
        round_end.arrive_and_drop();
        if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) all_done.release();
      }
    }
    wait_polling(all_done);
  }

  // Read between rounds only, when no worker changes it.
  bool round_over() const { return claims_.empty(); }

  void wait_polling(std::binary_semaphore& all_done) {
    if (!poll_) {
      all_done.acquire();
      return;
    }
    Clock::time_point next_poll = Clock::now() + poll_interval();
    while (!all_done.try_acquire_until(next_poll)) {
      next_poll = Clock::now() + poll_interval();
      if (!cancelled_) poll_once();
    }
  }

  // Returns whether the poll cancelled the fit.
  bool poll_once() {
    if (!poll_(board_.read())) return false;
    cancelled_ = true;
    stop_.request_stop();
    return true;
  }

  void poll_if_set() {
    if (poll_) poll_(board_.read());
  }

  void fit_claimed_starts() {
    for (;;) {
      if (stop_.stop_requested()) return;
      const std::size_t claim = next_claim_.fetch_add(1, std::memory_order_relaxed);
      if (claim >= claims_.size()) return;
      const std::size_t index = claims_[claim];
      try {
        if (fits_[index].advance_to(round_target_)) board_.finish_start();
      } catch (...) {
        errors_[index] = std::current_exception();
        stop_.request_stop();
      }
    }
  }

  // Runs with every worker waiting: records the paths, ends the duplicates of this
  // round and plans the next. Should an allocation fail, the fit stops and the
  // error is rethrown on the caller.
  void end_round() noexcept {
    try {
      end_duplicates();
    } catch (...) {
      round_error_ = std::current_exception();
      stop_.request_stop();
    }
    plan_round();
    // Every evaluation has ended, so every share lent has come back: the workers
    // take theirs again for the next round.
    if (!claims_.empty() && workers_ > 1) budget_.take(workers_);
  }

  void end_duplicates() {
    if (!options_.duplicates.enabled || stop_.stop_requested()) return;
    for (const std::size_t start : claims_) paths_.record(start, fits_[start]);
    for (const std::size_t later : claims_) {
      if (fits_[later].ended()) continue;
      for (std::size_t earlier = 0; earlier < later; ++earlier) {
        if (!comparable(earlier)) continue;
        if (const auto meeting = paths_.meeting(later, earlier)) {
          end_as_duplicate(later, earlier, *meeting);
          break;
        }
      }
    }
  }

  // A start whose path another may join: one still running, or one that converged,
  // and not a duplicate itself.
  bool comparable(std::size_t start) const {
    if (duplicate_of_[start] || !fits_[start].begun()) return false;
    return !fits_[start].ended() || fits_[start].converged();
  }

  void end_as_duplicate(std::size_t later, std::size_t earlier, const PathRecord::Meeting& meeting) {
    duplicate_of_[later] = earlier;
    std::string message = "stopped after " + std::to_string(fits_[later].iterations()) +
                          " iterations: joined the path of start " + std::to_string(earlier) + " at its iteration " +
                          std::to_string(meeting.iteration) + " (" + format_number("%.2g", meeting.distance) +
                          " standard errors apart, chi-square within " +
                          format_number("%.0e", options_.duplicates.chi_square) + ")";
    fits_[later].end_here(FitStatus::duplicate, std::move(message));
    board_.finish_start();
  }

  void plan_round() noexcept {
    claims_.clear();
    if (!stop_.stop_requested())
      for (std::size_t i = 0; i < fits_.size(); ++i)
        if (!fits_[i].ended()) claims_.push_back(i);
    next_claim_.store(0, std::memory_order_relaxed);
    const std::size_t interval = options_.duplicates.enabled ? std::max<std::size_t>(options_.duplicates.interval, 1)
                                                             : options_.solver.max_iterations;
    round_target_ += interval;
  }

  void rethrow_first_error() const {
    for (const auto& error : errors_)
      if (error) std::rethrow_exception(error);
    if (round_error_) std::rethrow_exception(round_error_);
  }

  Clock::duration poll_interval() const { return std::chrono::duration_cast<Clock::duration>(poll_interval_); }

  const ResidualModel& model_;
  const ParameterSpace& space_;
  const std::vector<std::vector<double>>& starts_;
  const MultiStartOptions& options_;
  const ProgressPoll& poll_;
  std::chrono::duration<double> poll_interval_;

  std::stop_source stop_;
  ProgressBoard board_;
  std::vector<std::exception_ptr> errors_;
  std::vector<SolverHooks> hooks_;  // one per start, at fixed addresses (the fits refer to them)
  std::vector<StartFit> fits_;
  std::vector<std::optional<std::size_t>> duplicate_of_;
  PathRecord paths_;
  std::size_t threads_;
  std::size_t workers_;
  engine::ThreadBudget budget_;

  // The round: written between rounds only.
  std::vector<std::size_t> claims_;  // starts still running, in index order, sized once
  std::size_t round_target_ = 0;     // iterations every start of the round advances to
  std::atomic<std::size_t> next_claim_{0};
  std::exception_ptr round_error_;
  bool cancelled_ = false;  // touched by the calling thread only
};

}  // namespace

MultiStartResult fit_multi_start(const ResidualModel& model, const ParameterSpace& space,
                                 const std::vector<std::vector<double>>& starts, const MultiStartOptions& options,
                                 const ProgressPoll& poll) {
  if (model.parameter_count() != space.size())
    throw std::invalid_argument("the model and the parameter space disagree on the number of parameters");
  for (const auto& start : starts) space.check_point(start);
  return MultiStartRun(model, space, starts, options, poll).run();
}

}  // namespace tarnok::robust_fit
