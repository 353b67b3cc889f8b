// Where the threads of a multi-start fit post their iterations and the calling thread
// reads a consistent Progress, through atomics only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "robust_fit/progress.hpp"

namespace tarnok::robust_fit {

class ProgressBoard {
 public:
  explicit ProgressBoard(std::size_t starts);

  // Posts an iteration of start; only the thread running that start may post for it.
  void post(std::size_t start, std::size_t iteration, double chi_square) noexcept;

  // Counts one more start as ended.
  void finish_start() noexcept;

  // Any thread.
  Progress read() const noexcept;

 private:
  // One start's latest iteration behind a sequence lock: the single writer makes the
  // version odd while it writes, so a reader that sees the same even version before
  // and after has an iteration and chi-square that belong together.
  struct Slot {
    std::atomic<std::uint64_t> version{0};
    std::atomic<std::size_t> iteration{0};
    std::atomic<double> chi_square{0.0};
  };

  std::vector<Slot> slots_;
  std::atomic<std::size_t> latest_start_;  // slots_.size() until the first post
  std::atomic<double> best_chi_square_;
  std::atomic<std::size_t> finished_{0};
};

}  // namespace tarnok::robust_fit
