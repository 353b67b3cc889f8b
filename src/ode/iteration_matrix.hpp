// The Newton iteration matrix P = I - h*l(1)*J of the stiff (BDF) corrector:
// formed from a supplied Jacobian or by finite differences, full or banded,
// factorised in place in the matrix area of RWORK, and solved with.
#pragma once

#include "ode/dlsoda.hpp"
#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

// Layout of the matrix area: slot 0 holds the finite-difference increment
// factor sqrt(roundoff), slot 1 is unused, the matrix starts at slot 2.
inline constexpr int MATRIX_FD_FACTOR_SLOT = 0;
inline constexpr int MATRIX_FIRST_SLOT = 2;

// Leading dimension of the band storage: ml rows of pivoting fill-in above
// the ml + mu + 1 rows of the band.
constexpr int band_rows(int ml, int mu) noexcept { return 2 * ml + mu + 1; }

// Everything the matrix preparation reads and writes besides the state.
struct MatrixProblem {
  RhsFn rhs;
  JacFn jacobian;
  const int* neq;
  double* y;               // caller's Y: the predicted solution, perturbed in turn
  const double* z;         // Nordsieck array (column 1: the prediction)
  const double* ewt;       // inverse error weights
  double* f_trial;         // scratch N-vector
  const double* f_saved;   // f(TCUR, y)
  double* matrix_area;     // RWORK's matrix area (fd factor, spare, matrix)
  int* pivots;             // IWORK's N pivot slots
};

// Forms and factorises P for state.iteration_type (1, 2, 4 or 5); counts the
// evaluation, sets jcurrent and jacnorm. Returns 1 if P is singular, else 0.
int prepare_iteration_matrix(LsodaState& state, const MatrixProblem& problem) noexcept;

// x <- P^{-1} x with the stored factors. Returns 0 (no factored type fails).
int solve_iteration_matrix(const LsodaState& state, const double* matrix_area,
                           const int* pivots, double* x) noexcept;

}  // namespace tarnok::ode
