// The driver's diagnostic lines. Each constant is one printed line: its text
// (blank-padded to 60 characters when printed), its message number, and how
// many integer and real values follow it. A multi-line message is several
// constants; only the line that carries values has ni or nr set.
#pragma once

#include <string_view>

#include "ode/messages.hpp"

namespace tarnok::ode::msg {

inline constexpr int kBufferLength = 60;

struct Line {
  std::string_view text;
  int nerr;
  int ni = 0;
  int nr = 0;
  int level = 0;
};

// Nominal text length (30, 40, 50 or 60), informational only.
constexpr int nominal_length(std::string_view text) noexcept {
  return text.size() <= 30 ? 30 : text.size() <= 40 ? 40 : text.size() <= 50 ? 50 : 60;
}

inline void write(const Line& line, int i1, int i2, double r1, double r2) noexcept {
  write_message(line.text, kBufferLength, nominal_length(line.text), line.nerr, line.level,
                line.ni, i1, i2, line.nr, r1, r2);
}

// Illegal input (ISTATE -3).
inline constexpr Line ISTATE_ILLEGAL{"DLSODA-  ISTATE (=I1) illegal.", 1, 1};
inline constexpr Line RUN_ABORTED{"DLSODA-  Run aborted.. apparent infinite loop.", 303, 0, 0, 2};
inline constexpr Line ITASK_ILLEGAL{"DLSODA-  ITASK (=I1) illegal.", 2, 1};
inline constexpr Line NOT_INITIALISED{"DLSODA-  ISTATE .gt. 1 but DLSODA not initialized.", 3};
inline constexpr Line NEQ_BELOW_ONE{"DLSODA-  NEQ (=I1) .lt. 1", 4, 1};
inline constexpr Line NEQ_INCREASED{"DLSODA-  ISTATE = 3 and NEQ increased (I1 to I2).", 5, 2};
inline constexpr Line ITOL_ILLEGAL{"DLSODA-  ITOL (=I1) illegal.", 6, 1};
inline constexpr Line IOPT_ILLEGAL{"DLSODA-  IOPT (=I1) illegal.", 7, 1};
inline constexpr Line JT_ILLEGAL{"DLSODA-  JT (=I1) illegal.", 8, 1};
inline constexpr Line ML_ILLEGAL{"DLSODA-  ML (=I1) illegal: .lt.0 or .ge.NEQ (=I2)", 9, 2};
inline constexpr Line MU_ILLEGAL{"DLSODA-  MU (=I1) illegal: .lt.0 or .ge.NEQ (=I2)", 10, 2};
inline constexpr Line IXPR_ILLEGAL{"DLSODA-  IXPR (=I1) illegal.", 11, 1};
inline constexpr Line MXSTEP_NEGATIVE{"DLSODA-  MXSTEP (=I1) .lt. 0", 12, 1};
inline constexpr Line MXHNIL_NEGATIVE{"DLSODA-  MXHNIL (=I1) .lt. 0", 13, 1};
// Both lines of message 14 carry values: TOUT and T, then H0.
inline constexpr Line TOUT_BEHIND_T{"DLSODA-  TOUT (=R1) behind T (=R2)", 14, 0, 2};
inline constexpr Line DIRECTION_FROM_H0{"      Integration direction is given by H0 (=R1)", 14, 0, 1};
inline constexpr Line HMAX_NEGATIVE{"DLSODA-  HMAX (=R1) .lt. 0.0", 15, 0, 1};
inline constexpr Line HMIN_NEGATIVE{"DLSODA-  HMIN (=R1) .lt. 0.0", 16, 0, 1};
inline constexpr Line LRW_TOO_SHORT{
    "DLSODA-  RWORK length needed, LENRW (=I1), exceeds LRW (=I2)", 17, 2};
inline constexpr Line LIW_TOO_SHORT{
    "DLSODA-  IWORK length needed, LENIW (=I1), exceeds LIW (=I2)", 18, 2};
inline constexpr Line RTOL_NEGATIVE{"DLSODA-  RTOL(I1) is R1 .lt. 0.0", 19, 1, 1};
inline constexpr Line ATOL_NEGATIVE{"DLSODA-  ATOL(I1) is R1 .lt. 0.0", 20, 1, 1};
inline constexpr Line EWT_NONPOSITIVE{"DLSODA-  EWT(I1) is R1 .le. 0.0", 21, 1, 1};
inline constexpr Line TOUT_TOO_CLOSE{
    "DLSODA-  TOUT(=R1) too close to T(=R2) to start integration.", 22, 0, 2};
inline constexpr Line TOUT_BEHIND_TCUR_HU{
    "DLSODA-  ITASK = I1 and TOUT (=R1) behind TCUR - HU (= R2)", 23, 1, 2};
inline constexpr Line TCRIT_BEHIND_TCUR{
    "DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TCUR (=R2)", 24, 0, 2};
inline constexpr Line TCRIT_BEHIND_TOUT{
    "DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TOUT (=R2)", 25, 0, 2};
inline constexpr Line TOO_MUCH_ACCURACY_AT_START{
    "DLSODA-  At start of problem, too much accuracy", 26};
inline constexpr Line SEE_TOLSF_AT_START{
    "      requested for precision of machine..  See TOLSF (=R1)", 26, 0, 1};
inline constexpr Line TROUBLE_IN_DINTDY{"DLSODA-  Trouble in DINTDY.  ITASK = I1, TOUT = R1", 27, 1, 1};
inline constexpr Line MXORDN_NEGATIVE{"DLSODA-  MXORDN (=I1) .lt. 0", 28, 1};
inline constexpr Line MXORDS_NEGATIVE{"DLSODA-  MXORDS (=I1) .lt. 0", 29, 1};

// Warnings and notices.
inline constexpr Line T_PLUS_H_EQUALS_T{"DLSODA-  Warning..Internal T (=R1) and H (=R2) are", 101};
inline constexpr Line SUCH_THAT_IN_THE_MACHINE{
    "      such that in the machine, T + H = T on the next step", 101};
inline constexpr Line SOLVER_WILL_CONTINUE{
    "     (H = step size). Solver will continue anyway.", 101, 0, 2};
inline constexpr Line ABOVE_WARNING_ISSUED{"DLSODA-  Above warning has been issued I1 times.", 102};
inline constexpr Line NOT_ISSUED_AGAIN{"     It will not be issued again for this problem.", 102, 1};
inline constexpr Line RWORK_SUFFICIENT_FOR_NOW{
    "DLSODA-  Warning.. RWORK length is sufficient for now, but", 103};
inline constexpr Line MAY_NOT_BE_LATER{
    "      may not be later.  Integration will proceed anyway.", 103};
inline constexpr Line LENRW_NEEDED{"      Length needed is LENRW = I1, while LRW = I2.", 103, 2};
inline constexpr Line IWORK_SUFFICIENT_FOR_NOW{
    "DLSODA-  Warning.. IWORK length is sufficient for now, but", 104};
inline constexpr Line LENIW_NEEDED{"      Length needed is LENIW = I1, while LIW = I2.", 104, 2};
inline constexpr Line SWITCH_TO_BDF{"DLSODA- A switch to the BDF (stiff) method has occurred", 105};
inline constexpr Line SWITCH_TO_ADAMS{"DLSODA- A switch to the Adams (nonstiff) method occurred", 106};
inline constexpr Line SWITCH_DETAILS{
    "     at T = R1,  tentative step size H = R2,  step NST = I1", 107, 1, 2};

// Failures during integration.
inline constexpr Line MXSTEP_REACHED{"DLSODA-  At current T (=R1), MXSTEP (=I1) steps", 201};
inline constexpr Line BEFORE_REACHING_TOUT{"      taken on this call before reaching TOUT", 201, 1, 1};
inline constexpr Line EWT_BECAME_NONPOSITIVE{
    "DLSODA-  At T (=R1), EWT(I1) has become R2 .le. 0.", 202, 1, 2};
inline constexpr Line TOO_MUCH_ACCURACY{"DLSODA-  At T (=R1), too much accuracy requested", 203};
inline constexpr Line SEE_TOLSF{"      for precision of machine..  See TOLSF (=R2)", 203, 0, 2};
inline constexpr Line ERROR_TEST_FAILED{"DLSODA-  At T(=R1) and step size H(=R2), the error", 204};
inline constexpr Line ERROR_TEST_FAILED_2{
    "      test failed repeatedly or with ABS(H) = HMIN", 204, 0, 2};
inline constexpr Line CONVERGENCE_FAILED{"DLSODA-  At T (=R1) and step size H (=R2), the", 205};
inline constexpr Line CONVERGENCE_FAILED_2{"      corrector convergence failed repeatedly", 205};
inline constexpr Line CONVERGENCE_FAILED_3{"      or with ABS(H) = HMIN", 205, 0, 2};
inline constexpr Line RWORK_TOO_SMALL{"DLSODA-  At current T(=R1), RWORK length too small", 206};
inline constexpr Line IWORK_TOO_SMALL{"DLSODA-  At current T(=R1), IWORK length too small", 207};
inline constexpr Line OTHERWISE_SUCCESSFUL{
    "      to proceed.  The integration was otherwise successful.", 206, 0, 1};

}  // namespace tarnok::ode::msg
