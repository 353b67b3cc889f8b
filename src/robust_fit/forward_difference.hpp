// Step sizes for Jacobians formed by forward differences, for models without an
// analytic one.
#pragma once

#include "robust_fit/parameter_space.hpp"

namespace tarnok::robust_fit {

// The signed step h to difference parameter value p by. Log-scale: a step of 1e-3 in
// ln p, h = p (e^1e-3 - 1), so the step follows the parameter across decades. Linear:
// h = 1e-3 max(|p|, 1), so a value near zero still gets a step on the scale of one unit.
// Negative (a backward difference) when p + h would pass the upper bound but p - h
// stays inside, since a model may be unable to evaluate outside its box.
double forward_difference_step(const ParameterSetting& setting, double p);

}  // namespace tarnok::robust_fit
