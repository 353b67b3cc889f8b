// The step ratio that an error estimate allows: the step that would bring
// the estimate to its target, with a safety factor and a floor that keeps the
// ratio finite when the estimate is zero.
#pragma once

#include <cmath>

namespace tarnok::ode {

struct RatioSafety {
  double factor;
  double floor;
};

inline constexpr RatioSafety SAME_ORDER{1.2, 1.2e-6};
inline constexpr RatioSafety ORDER_UP{1.4, 1.4e-6};
inline constexpr RatioSafety ORDER_DOWN{1.3, 1.3e-6};

// 1/(factor*estimate^exponent + floor).
inline double step_ratio(double estimate, double exponent, RatioSafety safety) noexcept {
  return 1.0 / (safety.factor * std::pow(estimate, exponent) + safety.floor);
}

}  // namespace tarnok::ode
