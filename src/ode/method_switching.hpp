// The stiffness tests run after a successful step: would the other method
// family allow a markedly larger step? Each test only decides; the step
// controller carries the switch out.
#pragma once

#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

struct SwitchChoice {
  bool switch_method = false;
  double ratio = 0.0;  // step ratio to rescale by when switching
  int order = 0;       // order to continue with in the new family
};

// Adams -> BDF, from the last step's error ratio dsm. z is the Nordsieck
// array (NH rows) and ewt the inverse error weights.
SwitchChoice consider_switch_to_bdf(const LsodaState& state, const double* z, const double* ewt,
                                    double dsm) noexcept;

// BDF -> Adams, likewise.
SwitchChoice consider_switch_to_adams(const LsodaState& state, const double* z,
                                      const double* ewt, double dsm) noexcept;

}  // namespace tarnok::ode
