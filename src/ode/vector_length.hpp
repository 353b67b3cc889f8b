// Vector lengths known at compile time for the problem sizes the model runs
// millions of times (one and five equations), so that the integrator's short
// per-step loops unroll there. Every other length takes the same code with a
// run-time bound; the arithmetic is element for element identical either way.
#pragma once

#include <type_traits>

namespace tarnok::ode {

// Calls f(len) where len is std::integral_constant<int, n> for n = 1 or 5 and
// the plain int n otherwise; f compares against len as against an int.
template <typename F>
inline decltype(auto) with_vector_length(int n, F&& f) {
  switch (n) {
    case 1: return f(std::integral_constant<int, 1>{});
    case 5: return f(std::integral_constant<int, 5>{});
    default: return f(n);
  }
}

}  // namespace tarnok::ode
