#include "robust_fit/progress_board.hpp"

#include <limits>

namespace tarnok::robust_fit {

ProgressBoard::ProgressBoard(std::size_t starts)
    : slots_(starts), latest_start_(starts), best_chi_square_(std::numeric_limits<double>::infinity()) {}

void ProgressBoard::post(std::size_t start, std::size_t iteration, double chi_square) noexcept {
  Slot& slot = slots_[start];
  const std::uint64_t version = slot.version.load(std::memory_order_relaxed);
  slot.version.store(version + 1, std::memory_order_relaxed);
  // Release on the values keeps the odd version ahead of them: a reader that sees a new
  // value also sees at least the odd version when it checks again.
  slot.iteration.store(iteration, std::memory_order_release);
  slot.chi_square.store(chi_square, std::memory_order_release);
  slot.version.store(version + 2, std::memory_order_release);
  latest_start_.store(start, std::memory_order_release);

  double best = best_chi_square_.load(std::memory_order_relaxed);
  while (chi_square < best && !best_chi_square_.compare_exchange_weak(best, chi_square, std::memory_order_relaxed)) {
  }
}

void ProgressBoard::finish_start() noexcept { finished_.fetch_add(1, std::memory_order_relaxed); }

Progress ProgressBoard::read() const noexcept {
  Progress progress;
  progress.starts_total = slots_.size();
  progress.starts_finished = finished_.load(std::memory_order_relaxed);
  progress.best_chi_square = best_chi_square_.load(std::memory_order_relaxed);
  const std::size_t start = latest_start_.load(std::memory_order_acquire);
  if (start >= slots_.size()) return progress;
  const Slot& slot = slots_[start];
  for (;;) {
    const std::uint64_t before = slot.version.load(std::memory_order_acquire);
    const std::size_t iteration = slot.iteration.load(std::memory_order_acquire);
    const double chi_square = slot.chi_square.load(std::memory_order_acquire);
    const std::uint64_t after = slot.version.load(std::memory_order_relaxed);
    if (before % 2 == 0 && before == after) {
      progress.start = start;
      progress.iteration = iteration;
      progress.chi_square = chi_square;
      return progress;
    }
  }
}

}  // namespace tarnok::robust_fit
