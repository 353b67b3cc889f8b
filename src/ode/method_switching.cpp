// Switching tests. Both compare the step the current method can take at its
// error level with the step the other family could take at the same
// accuracy, the Adams side bounded by its stability limit for the estimated
// Lipschitz constant (or Jacobian norm).
#include "ode/method_switching.hpp"

#include <algorithm>
#include <cmath>

#include "ode/error_weights.hpp"
#include "ode/method_coefficients.hpp"
#include "ode/step_ratio.hpp"

namespace tarnok::ode {
namespace {

// A stiff step must allow this much more than Adams to be worth a switch.
constexpr double kSwitchGain = 5.0;
// Adams orders above this have no BDF counterpart worth switching to.
constexpr int kHighestAdamsOrderToSwitch = 5;

const double* column(const LsodaState& s, const double* z, int j) noexcept {
  return z + static_cast<long>(j - 1) * s.nh;
}

}  // namespace

SwitchChoice consider_switch_to_bdf(const LsodaState& s, const double* z, const double* ewt,
                                    double dsm) noexcept {
  SwitchChoice choice;
  if (s.q > kHighestAdamsOrderToSwitch) return choice;
  if (dsm <= 100.0 * s.pred_norm * s.roundoff || s.lipest == 0.0) {
    // The estimates are roundoff-polluted; only a step held back by the
    // Adams stability limit is evidence of stiffness.
    if (s.stabrestricted == 0) return choice;
    return SwitchChoice{true, 2.0, std::min(s.q, s.mxords)};
  }
  const double exsm = 1.0 / s.L;
  double r1 = step_ratio(dsm, exsm, SAME_ORDER);
  const double hl = s.liplast * std::abs(s.h);
  if (hl * r1 > 1.0e-5) r1 = std::min(r1, adams_stability_limit(s.q) / hl);
  double r2 = 0.0;
  int order = s.q;
  if (s.q > s.mxords) {
    order = s.mxords;
    const double dm2 = weighted_max_norm(s.n, column(s, z, s.mxords + 2), ewt) / bdferr(s.mxords);
    r2 = step_ratio(dm2, 1.0 / (s.mxords + 1), SAME_ORDER);
  } else {
    const double dm2 = dsm * adamserr(s.q) / bdferr(s.q);
    r2 = step_ratio(dm2, exsm, SAME_ORDER);
  }
  // Written as "not at least", so that an undefined ratio never switches.
  if (!(r2 >= kSwitchGain * r1)) return choice;
  return SwitchChoice{true, r2, order};
}

SwitchChoice consider_switch_to_adams(const LsodaState& s, const double* z, const double* ewt,
                                      double dsm) noexcept {
  SwitchChoice choice;
  int order = s.q;
  double dm1 = 0.0;
  double e = 0.0;
  if (s.mxordn < s.q) {
    order = s.mxordn;
    dm1 = weighted_max_norm(s.n, column(s, z, s.mxordn + 2), ewt) / adamserr(s.mxordn);
    e = 1.0 / (s.mxordn + 1);
  } else {
    dm1 = dsm * bdferr(s.q) / adamserr(s.q);
    e = 1.0 / s.L;
  }
  double r1 = step_ratio(dm1, e, SAME_ORDER);
  const double hl = s.jacnorm * std::abs(s.h);
  if (hl * r1 > 1.0e-5) r1 = std::min(r1, adams_stability_limit(order) / hl);
  const double r2 = step_ratio(dsm, 1.0 / s.L, SAME_ORDER);
  if (s.switch_ratio * r1 < kSwitchGain * r2) return choice;
  // The Adams error at the new step must stand above roundoff.
  const double alpha = std::max(0.001, r1);
  if (std::pow(alpha, e) * dm1 <= 1000.0 * s.roundoff * s.pred_norm) return choice;
  return SwitchChoice{true, r1, order};
}

}  // namespace tarnok::ode
