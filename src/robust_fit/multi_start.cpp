#include "robust_fit/multi_start.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <semaphore>
#include <stdexcept>
#include <stop_token>
#include <thread>

#include "robust_fit/progress_board.hpp"

namespace tarnok::robust_fit {

namespace {

using Clock = std::chrono::steady_clock;

// Below the shortest, waiting for the next poll would turn into spinning on the calling
// thread; the longest keeps the conversion to clock ticks from overflowing.
constexpr std::chrono::duration<double> shortest_poll_interval = std::chrono::milliseconds(1);
constexpr std::chrono::duration<double> longest_poll_interval = std::chrono::hours(24);

std::size_t worker_count(std::size_t requested, std::size_t starts) {
  const std::size_t threads = requested != 0 ? requested : std::thread::hardware_concurrency();
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
    if (!std::isfinite(results[i].chi_square)) continue;
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

// One multi-start fit. Worker threads share only the read-only inputs, the atomics
// (stop source, next start, progress board) and result slots, each written by the one
// thread that claimed that start.
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
        errors_(starts.size()) {
    results_.reserve(starts.size());
    for (const auto& start : starts) results_.push_back(not_run_result(space, start, options.solver));
  }

  MultiStartResult run() {
    const std::size_t workers = worker_count(options_.threads, starts_.size());
    if (workers == 1) {
      run_here();
    } else {
      run_on_threads(workers);
    }
    rethrow_first_error();
    poll_if_set();
    const std::optional<std::size_t> best = lowest_chi_square(results_);
    return MultiStartResult{std::move(results_), best, cancelled_};
  }

 private:
  // The calling thread does the fitting, so it polls from inside the iterations.
  void run_here() {
    Clock::time_point next_poll = Clock::now() + poll_interval();
    fit_claimed_starts([&](const IterationReport& report) {
      board_.post(report.start, report.iteration, report.chi_square);
      if (!poll_ || Clock::now() < next_poll) return IterationDecision::proceed;
      next_poll = Clock::now() + poll_interval();
      return poll_once() ? IterationDecision::stop : IterationDecision::proceed;
    });
  }

  void run_on_threads(std::size_t workers) {
    std::binary_semaphore all_done{0};
    std::atomic<std::size_t> running{workers};
    const auto post_only = [this](const IterationReport& report) {
      board_.post(report.start, report.iteration, report.chi_square);
      return IterationDecision::proceed;
    };
    std::vector<std::jthread> threads;
    threads.reserve(workers);
    const StopOnExit stop_on_exit(stop_);
    for (std::size_t w = 0; w < workers; ++w) {
      threads.emplace_back([&] {
        fit_claimed_starts(post_only);
        if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) all_done.release();
      });
    }
    wait_polling(all_done);
  }

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

  template <typename Observer>
  void fit_claimed_starts(const Observer& observer) {
    for (;;) {
      if (stop_.stop_requested()) return;
      const std::size_t index = next_start_.fetch_add(1, std::memory_order_relaxed);
      if (index >= starts_.size()) return;
      try {
        const SolverHooks hooks{stop_.get_token(), observer, index};
        results_[index] = levenberg_marquardt(model_, space_, starts_[index], options_.solver, hooks);
      } catch (...) {
        errors_[index] = std::current_exception();
        stop_.request_stop();
      }
      board_.finish_start();
    }
  }

  void rethrow_first_error() const {
    for (const auto& error : errors_)
      if (error) std::rethrow_exception(error);
  }

  Clock::duration poll_interval() const { return std::chrono::duration_cast<Clock::duration>(poll_interval_); }

  const ResidualModel& model_;
  const ParameterSpace& space_;
  const std::vector<std::vector<double>>& starts_;
  const MultiStartOptions& options_;
  const ProgressPoll& poll_;
  std::chrono::duration<double> poll_interval_;

  std::stop_source stop_;
  std::atomic<std::size_t> next_start_{0};
  ProgressBoard board_;
  std::vector<StartResult> results_;
  std::vector<std::exception_ptr> errors_;
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
