// A snapshot of a running multi-start fit, for a progress display.
#pragma once

#include <cstddef>
#include <limits>

namespace tarnok::robust_fit {

struct Progress {
  std::size_t start = 0;      // start that reported an iteration most recently
  std::size_t iteration = 0;  // that iteration (0: its start values were just evaluated)
  double chi_square = std::numeric_limits<double>::quiet_NaN();      // its chi-square; NaN before any report
  double best_chi_square = std::numeric_limits<double>::infinity();  // lowest chi-square reported by any start
  std::size_t starts_finished = 0;  // starts that have ended, for any reason
  std::size_t starts_total = 0;     // starts in the fit
};

}  // namespace tarnok::robust_fit
