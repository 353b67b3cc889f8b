// Validation of DLSODA's inputs on a first (ISTATE 1) or changed-parameters
// (ISTATE 3) call: the problem size, the option codes, the optional inputs,
// the work-array lengths and the tolerances, each refusal with its message.
#pragma once

#include "ode/lsoda_state.hpp"
#include "ode/work_layout.hpp"

namespace tarnok::ode {

// The caller's arguments that the checks read, dereferenced.
struct InputArguments {
  const int* neq;
  double t;
  double tout;
  int itol;
  const double* rtol;
  const double* atol;
  int iopt;
  const double* rwork;
  int lrw;
  int* iwork;  // LENRW and LENIW are stored even when a check fails
  int liw;
  int jt;
};

// What a call that passes every check hands to the state.
struct CheckedInputs {
  int n = 0;
  int ml = 0;
  int mu = 0;
  int ixpr = 0;
  int mxstep = 500;
  int mxhnil = 10;
  double h0 = 0.0;
  int mxordn = MAX_ADAMS_ORDER;
  int mxords = MAX_BDF_ORDER;
  double hmax_inv = 0.0;
  double hmin = 0.0;
  WorkLayout layout;
  int ewt_at = 0;      // where the three N-vectors begin
  int real_short = 0;  // 2: RWORK holds the method in use only
  int int_short = 0;   // 2: IWORK holds the method in use only
};

enum class InputVerdict {
  ACCEPTED,
  ILLEGAL,         // ISTATE -3
  TOO_SHORT_NOW,   // ISTATE 3 with arrays too short for the method in use: -7
};

// first: an ISTATE 1 call (state is then ignored); otherwise ISTATE 3, where
// the state supplies the previous N, NH, method and order bounds. Prints the
// diagnostic of the first failed check (for TOO_SHORT_NOW only its first
// line; the caller adds the second with TCUR).
InputVerdict check_inputs(const InputArguments& args, bool first, const LsodaState& state,
                          CheckedInputs& in) noexcept;

}  // namespace tarnok::ode
