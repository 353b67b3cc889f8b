// One step of the variable-order, variable-step Nordsieck integrator: Adams
// (orders 1..12, functional iteration) or BDF (orders 1..5, chord Newton),
// with error control, order and step choice and automatic switching between
// the two families when the problem turns stiff or non-stiff.
#pragma once

#include "ode/dlsoda.hpp"
#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

// The arrays one step works on. y is the caller's Y array: elements 0..N-1
// are the working vector (the corrected solution on exit), nothing beyond N
// is touched. z is the Nordsieck array, NH rows by order_cols columns.
struct StepArrays {
  RhsFn rhs;
  JacFn jacobian;
  const int* neq;
  double* y;
  double* z;
  double* ewt;          // inverse error weights
  double* fwork;        // scratch N-vector for function values
  double* corr;         // accumulated correction; the local error on success
  double* matrix_area;  // iteration-matrix area of RWORK
  int* pivots;          // pivot slots of IWORK
};

// Attempts steps until one succeeds or the attempt is given up; the result is
// in state (step_status 0, -1 error test, -2 convergence; TCUR, h, q, ...).
void take_step(LsodaState& state, const StepArrays& arrays) noexcept;

}  // namespace tarnok::ode
