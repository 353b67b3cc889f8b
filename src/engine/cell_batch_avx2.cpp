// The lane code for AVX2 (compiled with -mavx2, chosen at run time only on
// processors that have it): each lane vector fills one 256-bit register.
#include <cmath>
#include <cstdint>

#include "engine/cell_batch.hpp"

namespace tarnok::engine::batch_kernels::avx2 {
#include "engine/cell_batch_kernel.inc"
}  // namespace tarnok::engine::batch_kernels::avx2
