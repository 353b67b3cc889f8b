// Evenly spaced grid values, as used for the depth and time grids of the model.
#pragma once

#include <cstdint>

namespace tarnok::model {

// Writes n values a, a + step, ..., a + (n-1)*step with step = (b - a)/(n - 1)
// to out[0 .. n-1]; out must hold at least n values. The last value is computed
// like the others rather than set to b, so it may differ from b in the last
// bit. n = 1 writes a alone; n <= 0 writes nothing.
void linspace(double* out, double a, double b, std::int32_t n) noexcept;

}  // namespace tarnok::model
