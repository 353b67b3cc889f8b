#include "model/linspace.hpp"

namespace tarnok::model {

void linspace(double* out, double a, double b, std::int32_t n) noexcept {
  if (n <= 0) return;
  if (n == 1) {
    out[0] = a;
    return;
  }
  // The reciprocal is formed first and the step is a product, so every value
  // carries the same rounding as the reference grids the data were made with.
  const double reciprocal = 1.0 / static_cast<double>(n - 1);
  const double step = (b - a) * reciprocal;
  for (std::int32_t k = 0; k < n; ++k) out[k] = a + static_cast<double>(k) * step;
}

}  // namespace tarnok::model
