// The checks that keep the compute core inside the caller's arrays and inside
// this machine's memory. The core trusts its arguments: it reads as many
// values as the counts say and sizes its grids from them, so every count is
// compared with the array it describes before the first fit runs.
#pragma once

#include "module/orchestration.hpp"

namespace tarnok::module {

// Returns false with ValueError (an inconsistent or unusable argument, named
// with its actual and its required size) or MemoryError (working arrays
// larger than this machine's memory) set.
bool fits_are_safe(const FitRequest& request);

}  // namespace tarnok::module
