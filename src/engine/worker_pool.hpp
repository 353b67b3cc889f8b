// Threads an evaluation can borrow for its columns: a budget shared by
// everything one call runs (a fit's starts and their evaluations), so that
// together they never use more threads than were asked for, and one
// persistent pool of helper threads, so that no evaluation creates threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace tarnok::engine {

// The threads of one call beyond those already working. A thread that works
// on the call holds one share, taken when it was started; a thread lent to an
// evaluation takes one more and gives it back when the evaluation ends.
class ThreadBudget {
 public:
  // threads: the most the call may use at once; `working` of them are
  // already held by the threads that run it.
  ThreadBudget(std::size_t threads, std::size_t working) noexcept;
  ThreadBudget(const ThreadBudget&) = delete;
  ThreadBudget& operator=(const ThreadBudget&) = delete;

  // Takes up to `wanted` spare shares; returns how many it took.
  std::size_t take(std::size_t wanted) noexcept;
  void give_back(std::size_t shares) noexcept;
  std::size_t spare() const noexcept { return spare_.load(std::memory_order_relaxed); }

  // The budget the calling thread's evaluations borrow from; none outside a
  // BudgetScope, and then they run on the calling thread alone.
  static ThreadBudget* current() noexcept;

 private:
  friend class BudgetScope;
  std::atomic<std::size_t> spare_;
};

// Makes a budget the calling thread's for the scope's life (and restores the
// one before, so scopes nest).
class BudgetScope {
 public:
  explicit BudgetScope(ThreadBudget& budget) noexcept;
  BudgetScope(const BudgetScope&) = delete;
  BudgetScope& operator=(const BudgetScope&) = delete;
  ~BudgetScope();

 private:
  ThreadBudget* previous_;
};

// A callable without ownership, so that handing work to the pool allocates
// nothing.
struct TeamTask {
  void (*run)(void* context) noexcept = nullptr;
  void* context = nullptr;
};

// Helper threads, started as the demand first needs them and kept for the
// life of the process (the shared pool is never destroyed).
class WorkerPool {
 public:
  static WorkerPool& shared();

  WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  // Runs task on the calling thread and on up to `helpers` pool threads at
  // once, and returns when every run has returned. A helper that has not
  // begun by the time the calling thread's run returns is not started at all,
  // so the task must share its work out itself (each run claiming pieces until
  // none is left) rather than expect a fixed number of runs.
  void run_team(std::size_t helpers, TeamTask task);

  // Threads started so far (for tests: they stay, whatever the demand).
  std::size_t threads_started() const;

 private:
  struct Team {
    TeamTask task;
    std::size_t running = 0;  // helpers inside task.run
  };
  void serve(const std::stop_token& stop);

  mutable std::mutex mutex_;
  std::condition_variable_any wanted_;    // a helper is wanted, or the pool is closing
  std::condition_variable finished_;      // a helper left a team
  std::vector<Team*> queue_;              // one entry per helper wanted, guarded by mutex_
  std::size_t idle_ = 0;                  // threads waiting for work, guarded by mutex_
  std::vector<std::jthread> threads_;     // guarded by mutex_; joined by the destructor
  // A child forked from this process has none of its threads: it runs
  // everything on the calling thread instead of waiting for helpers forever.
  long process_;
};

// What the threads of a team share while each claims the next piece of
// [0, count) until none is left: the count of claimed pieces, a stop, and the
// first failure. Each piece must write only its own results. The error
// rethrown is that of the lowest failing piece; every piece before it has
// been claimed by the time it fails, so it is the same for any number of
// threads.
class SharedPieces {
 public:
  SharedPieces(std::size_t count, const std::stop_token& stop) noexcept
      : count_(count), stop_(stop) {}

  // Calls piece(k) for each piece k this thread claims, until none is left,
  // a stop is requested or a piece has failed.
  template <typename Piece>
  void claim_each(Piece&& piece) noexcept {
    for (;;) {
      if (stop_.stop_requested()) {
        stopped_.store(true, std::memory_order_relaxed);
        return;
      }
      if (failed_.load(std::memory_order_acquire)) return;
      const std::size_t k = next_.fetch_add(1, std::memory_order_relaxed);
      if (k >= count_) return;
      try {
        piece(k);
      } catch (...) {
        fail(k, std::current_exception());
      }
    }
  }

  void fail(std::size_t piece, std::exception_ptr error) noexcept {
    const std::lock_guard lock(error_mutex_);
    if (!error_ || piece < error_piece_) {
      error_ = std::move(error);
      error_piece_ = piece;
    }
    failed_.store(true, std::memory_order_release);
  }
  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }
  void rethrow_error() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  const std::size_t count_;
  const std::stop_token& stop_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> failed_{false};
  std::mutex error_mutex_;
  std::exception_ptr error_;  // of the lowest failing piece, guarded by error_mutex_
  std::size_t error_piece_ = 0;
};

// Runs body() on the calling thread and on as many pool threads as the
// calling thread's budget lends (at most most_helpers); body claims its pieces
// of work itself and must not throw.
template <typename Body>
void run_with_budget(std::size_t most_helpers, Body& body) {
  static_assert(noexcept(body()), "a team's task must not throw");
  ThreadBudget* budget = ThreadBudget::current();
  const std::size_t helpers = budget == nullptr || most_helpers == 0 ? 0 : budget->take(most_helpers);
  if (helpers == 0) {
    body();
    return;
  }
  struct GiveBack {
    ThreadBudget& budget;
    std::size_t shares;
    ~GiveBack() { budget.give_back(shares); }
  } give_back{*budget, helpers};
  const TeamTask task{[](void* context) noexcept { (*static_cast<Body*>(context))(); }, &body};
  WorkerPool::shared().run_team(helpers, task);
}

}  // namespace tarnok::engine
