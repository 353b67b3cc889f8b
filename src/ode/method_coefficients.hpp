// Coefficients of the two method families in Nordsieck form: the implicit
// Adams methods of orders 1..12 and the BDF methods of orders 1..5. They are
// the same for every problem, so each family is generated once per process.
#pragma once

#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

// All orders of one family. Indices are 1-based to match the algorithm:
// coef(i, q) is l(i) of the order-q method; test(k, q) the error constants
// used at order q - 1 (k = 1), q (k = 2) and q + 1 (k = 3).
struct MethodCoefficients {
  double coeftab[MAX_ADAMS_ORDER][MAX_HISTORY_COLUMNS] = {};
  double testconst[MAX_ADAMS_ORDER][3] = {};

  double coef(int i, int q) const noexcept { return coeftab[q - 1][i - 1]; }
  double test(int k, int q) const noexcept { return testconst[q - 1][k - 1]; }
};

// The generator itself: fills coeftab and testconst for every order of
// family meth (METHOD_ADAMS or METHOD_BDF).
void generate_coefficients(int meth, MethodCoefficients& out) noexcept;

// The process-wide tables of one family, generated on first use.
const MethodCoefficients& method_coefficients(int meth) noexcept;

// testconst(2, q)*coeftab(q + 1, q): the error-constant products that the
// switching test compares between the families (adamserr: q = 1..12,
// bdferr: q = 1..5).
double adamserr(int q) noexcept;
double bdferr(int q) noexcept;

// Largest h*L (L a Lipschitz estimate) that the Adams method of order q
// keeps stable, q = 1..12. Read on every step choice, hence inline.
inline constexpr double kAdamsStabilityLimit[MAX_ADAMS_ORDER] = {
    0.5, 0.575, 0.55, 0.45, 0.35, 0.25, 0.2, 0.15, 0.1, 0.075, 0.05, 0.025};
inline double adams_stability_limit(int q) noexcept { return kAdamsStabilityLimit[q - 1]; }

}  // namespace tarnok::ode
