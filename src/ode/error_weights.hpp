#pragma once

namespace tarnok::ode {

// ewt_i = rtol_i*|ycur_i| + atol_i. itol (1..4) chooses which tolerance is an
// array: 2 and 4 take atol per component, 3 and 4 take rtol per component;
// otherwise element 0 is used for every component.
void compute_error_weights(int n, int itol, const double* rtol, const double* atol,
                           const double* ycur, double* ewt) noexcept;

// max_i |v_i|*w_i, and 0 for an empty vector (n <= 0).
double weighted_max_norm(int n, const double* v, const double* w) noexcept;

}  // namespace tarnok::ode
