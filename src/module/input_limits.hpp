// The checks that keep the compute core inside the caller's arrays, on
// physically meaningful values and inside the memory this process can get.
// The core trusts its arguments: it reads as many values as the counts say,
// sizes its grids from them and divides by the lifetimes, so all
// of this is checked before the first fit runs and before the per-start
// result matrices are allocated.
#pragma once

#include "module/orchestration.hpp"

namespace tarnok::module {

// Returns false with ValueError (an inconsistent or unusable argument, named
// with its actual and its required size or value) or MemoryError (result
// matrices and working arrays larger than the memory available, naming the
// argument that makes them so) set. May throw std::bad_alloc.
bool fits_are_safe(const FitRequest& request);

}  // namespace tarnok::module
