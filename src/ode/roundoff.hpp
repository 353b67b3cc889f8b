#pragma once

namespace tarnok::ode {

// The machine unit roundoff: the smallest power of two u with 1 + u != 1 in
// double arithmetic. Computed once per process and cached.
double unit_roundoff() noexcept;

}  // namespace tarnok::ode
