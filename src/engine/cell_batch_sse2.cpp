// The lane code for SSE2, which every x86-64 processor has: the fallback.
#include <cmath>
#include <cstdint>

#include "engine/cell_batch.hpp"

namespace tarnok::engine::batch_kernels::sse2 {
#include "engine/cell_batch_kernel.inc"
}  // namespace tarnok::engine::batch_kernels::sse2
