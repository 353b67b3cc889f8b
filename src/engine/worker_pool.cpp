#include "engine/worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>

namespace tarnok::engine {

namespace {

thread_local ThreadBudget* current_budget = nullptr;

}  // namespace

ThreadBudget::ThreadBudget(std::size_t threads, std::size_t working) noexcept
    : spare_(threads > working ? threads - working : 0) {}

std::size_t ThreadBudget::take(std::size_t wanted) noexcept {
  std::size_t spare = spare_.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t taken = std::min(spare, wanted);
    if (taken == 0) return 0;
    if (spare_.compare_exchange_weak(spare, spare - taken, std::memory_order_acq_rel,
                                     std::memory_order_relaxed))
      return taken;
  }
}

void ThreadBudget::give_back(std::size_t shares) noexcept {
  spare_.fetch_add(shares, std::memory_order_acq_rel);
}

ThreadBudget* ThreadBudget::current() noexcept { return current_budget; }

BudgetScope::BudgetScope(ThreadBudget& budget) noexcept : previous_(current_budget) {
  current_budget = &budget;
}

BudgetScope::~BudgetScope() { current_budget = previous_; }

WorkerPool& WorkerPool::shared() {
  // Never destroyed: an evaluation that Ctrl-C abandoned may still run on its
  // threads when the process exits, and joining them would hold the exit
  // until that evaluation ended; the process ends them instead.
  alignas(WorkerPool) static unsigned char storage[sizeof(WorkerPool)];
  static WorkerPool* const pool = std::construct_at(reinterpret_cast<WorkerPool*>(storage));
  return *pool;
}

WorkerPool::WorkerPool() : process_(static_cast<long>(::getpid())) {}

WorkerPool::~WorkerPool() {
  std::vector<std::jthread> threads;
  {
    const std::lock_guard lock(mutex_);
    threads.swap(threads_);
    for (std::jthread& thread : threads) thread.request_stop();
  }
  wanted_.notify_all();
}  // the threads join here, each after the task it may still be running

void WorkerPool::run_team(std::size_t helpers, TeamTask task) {
  if (static_cast<long>(::getpid()) != process_) {
    task.run(task.context);
    return;
  }
  Team team{task};
  {
    const std::lock_guard lock(mutex_);
    // A thread that cannot be started leaves the work to those that are.
    try {
      while (idle_ < queue_.size() + helpers) {
        threads_.emplace_back([this](const std::stop_token& stop) { serve(stop); });
        ++idle_;
      }
    } catch (const std::system_error&) {
    }
    for (std::size_t h = 0; h < helpers; ++h) queue_.push_back(&team);
  }
  wanted_.notify_all();
  task.run(task.context);
  std::unique_lock lock(mutex_);
  // Helpers that have not begun would find nothing left to do.
  std::erase(queue_, &team);
  finished_.wait(lock, [&] { return team.running == 0; });
}

std::size_t WorkerPool::threads_started() const {
  const std::lock_guard lock(mutex_);
  return threads_.size();
}

void WorkerPool::serve(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!wanted_.wait(lock, stop, [&] { return !queue_.empty(); })) return;
    Team* team = queue_.back();
    queue_.pop_back();
    --idle_;
    ++team->running;
    lock.unlock();
    team->task.run(team->task.context);
    lock.lock();
    --team->running;
    ++idle_;
    finished_.notify_all();
  }
}

}  // namespace tarnok::engine
