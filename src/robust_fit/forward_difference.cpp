#include "robust_fit/forward_difference.hpp"

#include <algorithm>
#include <cmath>

namespace tarnok::robust_fit {

namespace {
constexpr double relative_step = 1e-3;
}

double forward_difference_step(const ParameterSetting& setting, double p) {
  const double h = setting.log_scale ? p * std::expm1(relative_step)
                                      : relative_step * std::max(std::abs(p), setting.scale);
  if (p + h > setting.upper && p - h >= setting.lower) return -h;
  return h;
}

}  // namespace tarnok::robust_fit
