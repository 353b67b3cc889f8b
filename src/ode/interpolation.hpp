// DINTDY: derivatives of the interpolating polynomial held in the Nordsieck
// history, at any time within the last step (widened by a small margin).
#pragma once

#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

// Status codes of DINTDY.
inline constexpr int DINTDY_OK = 0;
inline constexpr int DINTDY_BAD_K = -1;
inline constexpr int DINTDY_BAD_T = -2;

// Stores the k-th derivative of y at time t in dky[0 .. N-1], from the
// Nordsieck array z (NH rows) of the integration in state. An illegal k or t
// prints its diagnostic and leaves dky untouched.
void DINTDY(double t, int k, const double* z, int nh, double* dky, int& iflag,
            const LsodaState& state) noexcept;

}  // namespace tarnok::ode
