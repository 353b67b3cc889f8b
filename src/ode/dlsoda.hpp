// DLSODA: variable-order, variable-step integrator for dy/dt = f(t, y) that
// switches automatically between non-stiff Adams and stiff BDF methods.
// Every argument travels by address, as in the original Fortran interface; the
// one addition is the persistent state block, owned by the caller, so that
// integrations on different threads never share anything.
#pragma once

#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

// Right-hand side: stores f(t, y) in ydot[0 .. neq[0]-1]. y is the caller's own
// Y array; elements past neq[0] are never touched by the integrator and can
// carry extra inputs for the right-hand side.
using RhsFn = void (*)(const int* neq, const double* t, const double* y,
                       double* ydot) noexcept;

// Jacobian: stores df_i/dy_j in pd (column-major, leading dimension *nrowpd);
// pd is zeroed before the call. Banded element (i, j) goes into storage row
// i - j + mu + 1 (1-based) of column j.
using JacFn = void (*)(const int* neq, const double* t, const double* y,
                       const int* ml, const int* mu, double* pd,
                       const int* nrowpd) noexcept;

// 0-based positions of the documented 1-based RWORK slots.
namespace rwork_slot {
inline constexpr int TCRIT = 0;
inline constexpr int H0 = 4;
inline constexpr int HMAX = 5;
inline constexpr int HMIN = 6;
inline constexpr int HU = 10;
inline constexpr int HNEXT = 11;
inline constexpr int TCUR = 12;
inline constexpr int TOLSF = 13;
inline constexpr int TSWITCH = 14;
}  // namespace rwork_slot

// 0-based positions of the documented 1-based IWORK slots.
namespace iwork_slot {
inline constexpr int ML = 0;
inline constexpr int MU = 1;
inline constexpr int IXPR = 4;
inline constexpr int MXSTEP = 5;
inline constexpr int MXHNIL = 6;
inline constexpr int MXORDN = 7;
inline constexpr int MXORDS = 8;
inline constexpr int NST = 10;
inline constexpr int NRHS = 11;
inline constexpr int NJAC = 12;
inline constexpr int QLAST = 13;
inline constexpr int QNEXT = 14;
inline constexpr int IWORST = 15;
inline constexpr int LENRW = 16;
inline constexpr int LENIW = 17;
inline constexpr int MLAST = 18;
inline constexpr int MNEXT = 19;
inline constexpr int PIVOTS = 20;  // first of the N pivot indices
}  // namespace iwork_slot

void DLSODA(RhsFn rhs, int* neq, double* y, double* t, const double* tout,
            const int* itol, const double* rtol, const double* atol,
            const int* itask, int* istate, const int* iopt, double* rwork,
            const int* lrw, int* iwork, const int* liw, JacFn jacobian,
            const int* jt, LsodaState& state);

}  // namespace tarnok::ode
