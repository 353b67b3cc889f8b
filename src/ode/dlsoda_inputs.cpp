// DLSODA's input checks, in the order the caller is told about them. Nothing
// here touches the integration state: a refused call leaves it as it was.
#include "ode/dlsoda_inputs.hpp"

#include <algorithm>

#include "ode/dlsoda.hpp"
#include "ode/dlsoda_diagnostics.hpp"

namespace tarnok::ode {
namespace {

constexpr int kDefaultMxstep = 500;
constexpr int kDefaultMxhnil = 10;

InputVerdict refuse(const msg::Line& line, int i1 = 0, int i2 = 0, double r1 = 0.0,
                    double r2 = 0.0) noexcept {
  msg::write(line, i1, i2, r1, r2);
  return InputVerdict::ILLEGAL;
}

InputVerdict check_problem(const InputArguments& a, bool first, const LsodaState& state,
                           CheckedInputs& in) noexcept {
  in.n = a.neq[0];
  if (in.n < 1) return refuse(msg::NEQ_BELOW_ONE, in.n);
  if (!first && in.n > state.n) return refuse(msg::NEQ_INCREASED, state.n, in.n);
  if (a.itol < 1 || a.itol > 4) return refuse(msg::ITOL_ILLEGAL, a.itol);
  if (a.iopt < 0 || a.iopt > 1) return refuse(msg::IOPT_ILLEGAL, a.iopt);
  if (a.jt == 3 || a.jt < 1 || a.jt > 5) return refuse(msg::JT_ILLEGAL, a.jt);
  if (a.jt > 2) {
    in.ml = a.iwork[iwork_slot::ML];
    in.mu = a.iwork[iwork_slot::MU];
    if (in.ml < 0 || in.ml >= in.n) return refuse(msg::ML_ILLEGAL, in.ml, in.n);
    if (in.mu < 0 || in.mu >= in.n) return refuse(msg::MU_ILLEGAL, in.mu, in.n);
  }
  return InputVerdict::ACCEPTED;
}

// H0 and the order bounds are read on the first call only.
InputVerdict read_first_call_options(const InputArguments& a, CheckedInputs& in) noexcept {
  in.h0 = a.rwork[rwork_slot::H0];
  in.mxordn = a.iwork[iwork_slot::MXORDN];
  if (in.mxordn < 0) return refuse(msg::MXORDN_NEGATIVE, in.mxordn);
  if (in.mxordn == 0 || in.mxordn > MAX_ADAMS_ORDER) in.mxordn = MAX_ADAMS_ORDER;
  in.mxords = a.iwork[iwork_slot::MXORDS];
  if (in.mxords < 0) return refuse(msg::MXORDS_NEGATIVE, in.mxords);
  if (in.mxords == 0 || in.mxords > MAX_BDF_ORDER) in.mxords = MAX_BDF_ORDER;
  if ((a.tout - a.t) * in.h0 < 0.0) {
    msg::write(msg::TOUT_BEHIND_T, 0, 0, a.tout, a.t);
    return refuse(msg::DIRECTION_FROM_H0, 0, 0, in.h0);
  }
  return InputVerdict::ACCEPTED;
}

InputVerdict read_optional_inputs(const InputArguments& a, bool first,
                                  CheckedInputs& in) noexcept {
  in.ixpr = a.iwork[iwork_slot::IXPR];
  if (in.ixpr < 0 || in.ixpr > 1) return refuse(msg::IXPR_ILLEGAL, in.ixpr);
  in.mxstep = a.iwork[iwork_slot::MXSTEP];
  if (in.mxstep < 0) return refuse(msg::MXSTEP_NEGATIVE, in.mxstep);
  if (in.mxstep == 0) in.mxstep = kDefaultMxstep;
  in.mxhnil = a.iwork[iwork_slot::MXHNIL];
  if (in.mxhnil < 0) return refuse(msg::MXHNIL_NEGATIVE, in.mxhnil);
  if (in.mxhnil == 0) in.mxhnil = kDefaultMxhnil;
  if (first && read_first_call_options(a, in) != InputVerdict::ACCEPTED) {
    return InputVerdict::ILLEGAL;
  }
  const double hmax = a.rwork[rwork_slot::HMAX];
  if (hmax < 0.0) return refuse(msg::HMAX_NEGATIVE, 0, 0, hmax);
  in.hmax_inv = hmax > 0.0 ? 1.0 / hmax : 0.0;
  in.hmin = a.rwork[rwork_slot::HMIN];
  if (in.hmin < 0.0) return refuse(msg::HMIN_NEGATIVE, 0, 0, in.hmin);
  return InputVerdict::ACCEPTED;
}

InputVerdict too_short_now(const msg::Line& first_line, double tcur) noexcept {
  msg::write(first_line, 0, 0, 0.0, 0.0);
  msg::write(msg::OTHERWISE_SUCCESSFUL, 0, 0, tcur, 0.0);
  return InputVerdict::TOO_SHORT_NOW;
}

// Lays out the work arrays for the method in use. Arrays long enough for
// that method but not for the other one are accepted with a warning.
InputVerdict check_lengths(const InputArguments& a, bool first, const LsodaState& state,
                           CheckedInputs& in) noexcept {
  const int method = first ? METHOD_ADAMS : state.method;
  const int nh = first ? in.n : state.nh;
  in.layout = compute_work_layout(in.n, nh, in.mxordn, in.mxords, a.jt, in.ml, in.mu, method);
  const WorkLayout& w = in.layout;
  const int lenrw = clamp_length(w.lenrw);
  const int leniw = clamp_length(w.leniw);
  a.iwork[iwork_slot::LENRW] = lenrw;
  a.iwork[iwork_slot::LENIW] = leniw;
  if (a.lrw < w.real_need) {
    return first ? refuse(msg::LRW_TOO_SHORT, lenrw, a.lrw)
                 : too_short_now(msg::RWORK_TOO_SMALL, state.tcur);
  }
  if (a.liw < w.int_need) {
    return first ? refuse(msg::LIW_TOO_SHORT, leniw, a.liw)
                 : too_short_now(msg::IWORK_TOO_SMALL, state.tcur);
  }
  in.ewt_at = clamp_length(std::max(w.prefix_adams, w.prefix_bdf));
  if (a.lrw < w.lenrw) {
    in.real_short = 2;
    in.ewt_at = clamp_length(w.prefix_current);
    msg::write(msg::RWORK_SUFFICIENT_FOR_NOW, 0, 0, 0.0, 0.0);
    msg::write(msg::MAY_NOT_BE_LATER, 0, 0, 0.0, 0.0);
    msg::write(msg::LENRW_NEEDED, lenrw, a.lrw, 0.0, 0.0);
  }
  if (a.liw < w.leniw) {
    in.int_short = 2;
    msg::write(msg::IWORK_SUFFICIENT_FOR_NOW, 0, 0, 0.0, 0.0);
    msg::write(msg::MAY_NOT_BE_LATER, 0, 0, 0.0, 0.0);
    msg::write(msg::LENIW_NEEDED, leniw, a.liw, 0.0, 0.0);
  }
  return InputVerdict::ACCEPTED;
}

InputVerdict check_tolerances(const InputArguments& a, int n) noexcept {
  for (int i = 0; i < n; ++i) {
    const double rtoli = a.itol >= 3 ? a.rtol[i] : a.rtol[0];
    const double atoli = (a.itol == 2 || a.itol == 4) ? a.atol[i] : a.atol[0];
    if (rtoli < 0.0) return refuse(msg::RTOL_NEGATIVE, i + 1, 0, rtoli);
    if (atoli < 0.0) return refuse(msg::ATOL_NEGATIVE, i + 1, 0, atoli);
  }
  return InputVerdict::ACCEPTED;
}

}  // namespace

InputVerdict check_inputs(const InputArguments& args, bool first, const LsodaState& state,
                          CheckedInputs& in) noexcept {
  in = CheckedInputs{};
  if (!first) {
    in.mxordn = state.mxordn;
    in.mxords = state.mxords;
  }
  InputVerdict verdict = check_problem(args, first, state, in);
  if (verdict == InputVerdict::ACCEPTED && args.iopt == 1) {
    verdict = read_optional_inputs(args, first, in);
  }
  if (verdict == InputVerdict::ACCEPTED) verdict = check_lengths(args, first, state, in);
  if (verdict == InputVerdict::ACCEPTED) verdict = check_tolerances(args, in.n);
  return verdict;
}

}  // namespace tarnok::ode
