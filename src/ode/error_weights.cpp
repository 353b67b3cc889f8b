// Error weights from the tolerances and the weighted max-norm that every
// accuracy test of the integrator goes through.
#include "ode/error_weights.hpp"

#include <cmath>

namespace tarnok::ode {

void compute_error_weights(int n, int itol, const double* rtol, const double* atol,
                           const double* ycur, double* ewt) noexcept {
  const bool rtol_per_component = itol == 3 || itol == 4;
  const bool atol_per_component = itol == 2 || itol == 4;
  for (int i = 0; i < n; ++i) {
    const double r = rtol_per_component ? rtol[i] : rtol[0];
    const double a = atol_per_component ? atol[i] : atol[0];
    ewt[i] = r * std::abs(ycur[i]) + a;
  }
}

double weighted_max_norm(int n, const double* v, const double* w) noexcept {
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
