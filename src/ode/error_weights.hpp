// Error weights from the tolerances and the weighted max-norm that every
// accuracy test of the integrator goes through. Both run several times per
// step on vectors of a few elements, so they live here to be inlined (and
// unrolled where the length is known) at every call site.
#pragma once

#include <cmath>

namespace tarnok::ode {

// ewt_i = rtol_i*|ycur_i| + atol_i. itol (1..4) chooses which tolerance is an
// array: 2 and 4 take atol per component, 3 and 4 take rtol per component;
// otherwise element 0 is used for every component.
inline void compute_error_weights(int n, int itol, const double* rtol, const double* atol,
                                  const double* ycur, double* ewt) noexcept {
  const bool rtol_per_component = itol == 3 || itol == 4;
  const bool atol_per_component = itol == 2 || itol == 4;
  for (int i = 0; i < n; ++i) {
    const double r = rtol_per_component ? rtol[i] : rtol[0];
    const double a = atol_per_component ? atol[i] : atol[0];
    ewt[i] = r * std::abs(ycur[i]) + a;
  }
}

// max_i |v_i|*w_i, and 0 for an empty vector (n <= 0).
inline double weighted_max_norm(int n, const double* v, const double* w) noexcept {
  double norm = 0.0;
  for (int i = 0; i < n; ++i) {
    // A NaN term loses every comparison and is skipped, like MAX in the
    // original; the NaN itself still travels on in the solution vectors.
    const double term = std::abs(v[i]) * w[i];
    if (term > norm) norm = term;
  }
  return norm;
}

}  // namespace tarnok::ode
