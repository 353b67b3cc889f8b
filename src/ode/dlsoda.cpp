// DLSODA driver: checks the inputs, lays out the caller's work arrays, sets
// up the first step, runs the step loop until the task is done and reports
// through ISTATE, the output slots and printed diagnostics.
//
//   checks -> (ISTATE 1) first-call set-up ---------------------+
//          -> (ISTATE 2/3) continuation: answer ready? return   |
//   step loop: weights, accuracy, step, method-switch upkeep <--+ -> return
#include "ode/dlsoda.hpp"

#include <algorithm>
#include <cmath>

#include "ode/dlsoda_diagnostics.hpp"
#include "ode/dlsoda_inputs.hpp"
#include "ode/error_weights.hpp"
#include "ode/interpolation.hpp"
#include "ode/iteration_matrix.hpp"
#include "ode/roundoff.hpp"
#include "ode/step_controller.hpp"
#include "ode/vector_length.hpp"
#include "ode/work_layout.hpp"

namespace tarnok::ode {
namespace {

enum class Outcome { CONTINUE, RETURNED };

class Driver {
 public:
  Driver(RhsFn rhs, int* neq, double* y, double* t, double tout, int itol, const double* rtol,
         const double* atol, int itask, int* istate, int iopt, double* rwork, int lrw,
         int* iwork, int liw, JacFn jacobian, int jt, LsodaState& state)
      : rhs_(rhs), neq_(neq), y_(y), t_(t), tout_(tout), itol_(itol), rtol_(rtol),
        atol_(atol), itask_(itask), istate_(istate), iopt_(iopt), rwork_(rwork), lrw_(lrw),
        iwork_(iwork), liw_(liw), jacobian_(jacobian), jt_(jt), s_(state) {}

  void run() noexcept {
    const int istate_in = *istate_;
    if (istate_in < 1 || istate_in > 3) {
      report(msg::ISTATE_ILLEGAL, istate_in);
      if (istate_in < 0) report_fatal(msg::RUN_ABORTED);
      return refuse();
    }
    if (itask_ < 1 || itask_ > 5) return report(msg::ITASK_ILLEGAL, itask_), refuse();
    if (istate_in == 1) {
      s_ = LsodaState{};
      if (tout_ == *t_) return;
    } else if (!s_.initialised) {
      return report(msg::NOT_INITIALISED), refuse();
    }
    if (istate_in == 2) {
      if (continuation(istate_in) == Outcome::RETURNED) return;
      return step_loop(false);
    }
    CheckedInputs in;
    const InputArguments args{neq_, *t_, tout_, itol_, rtol_, atol_, iopt_,
                              rwork_, lrw_, iwork_, liw_, jt_};
    const InputVerdict verdict = check_inputs(args, istate_in == 1, s_, in);
    if (verdict == InputVerdict::ILLEGAL) return refuse();
    if (verdict == InputVerdict::TOO_SHORT_NOW) return fail(-7);
    commit(in, istate_in == 1);
    if (istate_in == 1) {
      if (first_call_setup(in.h0) == Outcome::RETURNED) return;
      return step_loop(true);
    }
    parameters_changed();
    if (continuation(istate_in) == Outcome::RETURNED) return;
    step_loop(false);
  }

 private:
  // --- messages and returns -------------------------------------------------------
  void refuse() noexcept { *istate_ = -3; }
  double* history() const noexcept { return rwork_ + s_.history_at; }
  double* ewt() const noexcept { return rwork_ + s_.ewt_at; }
  double norm(const double* v) const noexcept {
    const double* w = ewt();
    return with_vector_length(s_.n, [v, w](auto n) { return weighted_max_norm(n, v, w); });
  }

  void store_outputs() noexcept {
    rwork_[rwork_slot::HU] = s_.hu;
    rwork_[rwork_slot::HNEXT] = s_.h;
    rwork_[rwork_slot::TCUR] = s_.tcur;
    rwork_[rwork_slot::TSWITCH] = s_.tswitch;
    iwork_[iwork_slot::NST] = s_.nst;
    iwork_[iwork_slot::NRHS] = s_.nrhs;
    iwork_[iwork_slot::NJAC] = s_.njac;
    iwork_[iwork_slot::QLAST] = s_.qlast;
    iwork_[iwork_slot::QNEXT] = s_.q;
    iwork_[iwork_slot::MLAST] = s_.method_last;
    iwork_[iwork_slot::MNEXT] = s_.method;
  }

  // Y <- the solution at TCUR (or at TCRIT when the critical time was hit).
  void return_at(double time, int istate) noexcept {
    std::copy(history(), history() + s_.n, y_);
    *t_ = time;
    *istate_ = istate;
    store_outputs();
  }

  // Y <- y(TOUT) by interpolation. False (with ISTATE -3) if TOUT lies
  // outside the last step.
  bool return_interpolated() noexcept {
    int iflag = DINTDY_OK;
    DINTDY(tout_, 0, history(), s_.nh, y_, iflag, s_);
    if (iflag != DINTDY_OK) {
      report(msg::TROUBLE_IN_DINTDY, itask_, 0, tout_);
      refuse();
      return false;
    }
    *t_ = tout_;
    *istate_ = 2;
    store_outputs();
    return true;
  }

  void fail(int istate) noexcept { return_at(s_.tcur, istate); }

  // The component whose local error is largest against its tolerance.
  int worst_component() const noexcept {
    const double* corr = rwork_ + s_.corr_at;
    double biggest = 0.0;
    int worst = 1;
    for (int i = 0; i < s_.n; ++i) {
      const double size = std::abs(corr[i] * ewt()[i]);
      if (size > biggest) {
        biggest = size;
        worst = i + 1;
      }
    }
    return worst;
  }

  Outcome refused() noexcept {
    refuse();
    return Outcome::RETURNED;
  }

  void commit(const CheckedInputs& in, bool first) noexcept {
    s_.n = in.n;
    s_.jt = jt_;
    s_.ml = in.ml;
    s_.mu = in.mu;
    s_.ixpr = in.ixpr;
    s_.mxstep = in.mxstep;
    s_.mxhnil = in.mxhnil;
    s_.hmax_inv = in.hmax_inv;
    s_.hmin = in.hmin;
    if (first) {
      s_.method = METHOD_ADAMS;
      s_.nh = in.n;
      s_.mxordn = in.mxordn;
      s_.mxords = in.mxords;
    }
    s_.history_at = in.layout.history_at;
    s_.matrix_at = in.layout.matrix_at;
    s_.ewt_at = in.ewt_at;
    s_.fwork_at = in.ewt_at + in.n;
    s_.corr_at = s_.fwork_at + in.n;
    s_.real_short = in.real_short;
    s_.int_short = in.int_short;
  }

  // ISTATE 3: the step controller re-reads everything that may have changed.
  void parameters_changed() noexcept {
    s_.start_mode = start_mode::PARAMETERS_CHANGED;
    if (s_.n != s_.nh) {
      // Rows beyond the new N must not feed the order-raise estimate.
      double* first = rwork_ + s_.history_at + static_cast<long>(s_.nh) * (s_.q + 1);
      double* last = rwork_ + s_.history_at + static_cast<long>(s_.nh) * (s_.order_cap + 1);
      if (first < last) std::fill(first, last, 0.0);
    }
    if (s_.method == METHOD_BDF) {
      // A new JT must also change the kind of Newton matrix, or a full matrix
      // could be written into an area sized for a band.
      s_.iteration_type = s_.jt;
      rwork_[s_.matrix_at + MATRIX_FD_FACTOR_SLOT] = std::sqrt(s_.roundoff);
    }
  }

  // --- first call ----------------------------------------------------------------------
  Outcome first_call_setup(double h0) noexcept {
    s_.roundoff = unit_roundoff();
    s_.tcur = *t_;
    s_.tswitch = *t_;
    s_.order_cap = s_.mxordn;
    if (itask_ == 4 || itask_ == 5) {
      tcrit_ = rwork_[rwork_slot::TCRIT];
      if ((tcrit_ - tout_) * (tout_ - *t_) < 0.0) {
        return report(msg::TCRIT_BEHIND_TOUT, 0, 0, tcrit_, tout_), refused();
      }
      if (h0 != 0.0 && (*t_ + h0 - tcrit_) * h0 > 0.0) h0 = tcrit_ - *t_;
    }
    s_.start_mode = start_mode::FIRST_STEP;
    s_.hnil_warnings = 0;
    s_.nst_at_call_start = 0;
    s_.nst = 0;
    s_.njac = 0;
    s_.qlast = 0;
    s_.hu = 0.0;
    s_.method_last = 0;
    s_.iteration_type = 0;

    const int n = s_.n;
    double* z1 = history();
    double* z2 = history() + s_.nh;
    rhs_(neq_, t_, y_, z2);
    s_.nrhs = 1;
    std::copy(y_, y_ + n, z1);
    s_.q = 1;
    s_.h = 1.0;

    compute_error_weights(n, itol_, rtol_, atol_, z1, ewt());
    const int bad = first_nonpositive_weight();
    if (bad >= 0) return report(msg::EWT_NONPOSITIVE, bad + 1, 0, ewt()[bad]), refused();
    invert_weights();

    if (h0 == 0.0 && initial_step(h0) == Outcome::RETURNED) return Outcome::RETURNED;
    const double rh = std::abs(h0) * s_.hmax_inv;
    if (rh > 1.0) h0 = h0 / rh;
    s_.h = h0;
    for (int i = 0; i < n; ++i) z2[i] = h0 * z2[i];
    return Outcome::CONTINUE;
  }

  int first_nonpositive_weight() const noexcept {
    for (int i = 0; i < s_.n; ++i) {
      if (ewt()[i] <= 0.0) return i;
    }
    return -1;
  }

  void invert_weights() noexcept {
    for (int i = 0; i < s_.n; ++i) ewt()[i] = 1.0 / ewt()[i];
  }

  // First step from the size of f and the tolerances, bounded by the
  // distance to TOUT.
  Outcome initial_step(double& h0) noexcept {
    const int n = s_.n;
    const double t = *t_;
    const double tdist = std::abs(tout_ - t);
    const double w0 = std::max(std::abs(t), std::abs(tout_));
    if (tdist < 2.0 * s_.roundoff * w0) {
      return report(msg::TOUT_TOO_CLOSE, 0, 0, tout_, t), refused();
    }
    double tol = rtol_[0];
    if (itol_ > 2) {
      for (int i = 0; i < n; ++i) tol = std::max(tol, rtol_[i]);
    }
    if (tol <= 0.0) {
      // Pure absolute control: the tolerance relative to each nonzero y_i.
      for (int i = 0; i < n; ++i) {
        const double atoli = (itol_ == 2 || itol_ == 4) ? atol_[i] : atol_[0];
        const double ayi = std::abs(y_[i]);
        if (ayi != 0.0) tol = std::max(tol, atoli / ayi);
      }
    }
    tol = std::max(tol, 100.0 * s_.roundoff);
    tol = std::min(tol, 0.001);
    const double fnorm = norm(history() + s_.nh);
    const double sum = 1.0 / (tol * (w0 * w0)) + tol * (fnorm * fnorm);
    h0 = 1.0 / std::sqrt(sum);
    h0 = std::min(h0, tdist);
    h0 = std::copysign(h0, tout_ - t);
    return Outcome::CONTINUE;
  }

  // --- continuation --------------------------------------------------------------------
  Outcome continuation(int istate_in) noexcept {
    s_.nst_at_call_start = s_.nst;
    const bool may_mark = istate_in == 2;
    switch (itask_) {
      case 1:
        if ((s_.tcur - tout_) * s_.h >= 0.0) return return_interpolated(), Outcome::RETURNED;
        return Outcome::CONTINUE;
      case 3: {
        const double tp = s_.tcur - s_.hu * (1.0 + 100.0 * s_.roundoff);
        if ((tp - tout_) * s_.h > 0.0) {
          return report(msg::TOUT_BEHIND_TCUR_HU, itask_, 0, tout_, tp), refused();
        }
        if ((s_.tcur - tout_) * s_.h >= 0.0) return return_at(s_.tcur, 2), Outcome::RETURNED;
        return Outcome::CONTINUE;
      }
      case 4: {
        tcrit_ = rwork_[rwork_slot::TCRIT];
        if (tcrit_passed()) return Outcome::RETURNED;
        if ((tcrit_ - tout_) * s_.h < 0.0) {
          return report(msg::TCRIT_BEHIND_TOUT, 0, 0, tcrit_, tout_), refused();
        }
        if ((s_.tcur - tout_) * s_.h >= 0.0) return return_interpolated(), Outcome::RETURNED;
        return critical_time_rule(may_mark);
      }
      case 5:
        tcrit_ = rwork_[rwork_slot::TCRIT];
        if (tcrit_passed()) return Outcome::RETURNED;
        return critical_time_rule(may_mark);
      default:
        return Outcome::CONTINUE;
    }
  }

  bool tcrit_passed() noexcept {
    if ((s_.tcur - tcrit_) * s_.h <= 0.0) return false;
    report(msg::TCRIT_BEHIND_TCUR, 0, 0, tcrit_, s_.tcur);
    refuse();
    return true;
  }

  bool tcrit_hit() const noexcept {
    return std::abs(s_.tcur - tcrit_) <=
           100.0 * s_.roundoff * (std::abs(s_.tcur) + std::abs(s_.h));
  }

  // Never step past TCRIT: return there once reached, and shorten a step
  // that would overshoot it.
  Outcome critical_time_rule(bool may_mark_step_change) noexcept {
    if (tcrit_hit()) return return_at(tcrit_, 2), Outcome::RETURNED;
    const double tnext = s_.tcur + s_.h * (1.0 + 4.0 * s_.roundoff);
    if ((tnext - tcrit_) * s_.h > 0.0) {
      s_.h = (tcrit_ - s_.tcur) * (1.0 - 4.0 * s_.roundoff);
      const bool plain = s_.start_mode == start_mode::NORMAL ||
                         s_.start_mode == start_mode::FIRST_STEP;
      if (may_mark_step_change && plain) s_.start_mode = start_mode::STEP_SIZE_CHANGED;
    }
    return Outcome::CONTINUE;
  }

  // --- step loop -----------------------------------------------------------------------
  void step_loop(bool first_step) noexcept {
    // The layout is fixed for the whole call.
    const StepArrays arrays = step_arrays();
    for (bool skip_checks = first_step;; skip_checks = false) {
      if (!skip_checks && before_step() == Outcome::RETURNED) return;
      if (accuracy_check() == Outcome::RETURNED) return;
      warn_if_step_vanishes();
      take_step(s_, arrays);
      if (s_.step_status == -1) return step_failed(msg::ERROR_TEST_FAILED, -4);
      if (s_.step_status == -2) return step_failed(msg::CONVERGENCE_FAILED, -5);
      s_.initialised = true;
      if (s_.method != s_.method_last) after_switch();
      if (task_done() == Outcome::RETURNED) return;
    }
  }

  Outcome before_step() noexcept {
    if (s_.method != s_.method_last) {
      if (s_.real_short == 1) return too_short_to_proceed(msg::RWORK_TOO_SMALL);
      if (s_.int_short == 1) return too_short_to_proceed(msg::IWORK_TOO_SMALL);
    }
    if (s_.nst - s_.nst_at_call_start >= s_.mxstep) {
      report(msg::MXSTEP_REACHED);
      report(msg::BEFORE_REACHING_TOUT, s_.mxstep, 0, s_.tcur);
      fail(-1);
      return Outcome::RETURNED;
    }
    const int bad = refresh_weights();
    if (bad >= 0) {
      report(msg::EWT_BECAME_NONPOSITIVE, bad + 1, 0, s_.tcur, ewt()[bad]);
      fail(-6);
      return Outcome::RETURNED;
    }
    return Outcome::CONTINUE;
  }

  // The weights of the step about to be taken, inverted; or, if one is not
  // positive, the index of the first such (the weights left uninverted).
  int refresh_weights() noexcept {
    const double* ycur = history();
    double* w = ewt();
    return with_vector_length(s_.n, [this, ycur, w](auto n) {
      compute_error_weights(n, itol_, rtol_, atol_, ycur, w);
      for (int i = 0; i < n; ++i) {
        if (w[i] <= 0.0) return i;
      }
      for (int i = 0; i < n; ++i) w[i] = 1.0 / w[i];
      return -1;
    });
  }

  // The work arrays cannot hold the method now in use (ISTATE -7).
  Outcome too_short_to_proceed(msg::Line first_line) noexcept {
    report(first_line);
    report(msg::OTHERWISE_SUCCESSFUL, 0, 0, s_.tcur);
    fail(-7);
    return Outcome::RETURNED;
  }

  Outcome accuracy_check() noexcept {
    double tolsf = s_.roundoff * norm(history());
    if (tolsf <= 1.0) return Outcome::CONTINUE;
    tolsf = tolsf * 2.0;
    rwork_[rwork_slot::TOLSF] = tolsf;
    if (s_.nst == 0) {
      report(msg::TOO_MUCH_ACCURACY_AT_START);
      report(msg::SEE_TOLSF_AT_START, 0, 0, tolsf);
      return refused();
    }
    report(msg::TOO_MUCH_ACCURACY);
    report(msg::SEE_TOLSF, 0, 0, s_.tcur, tolsf);
    fail(-2);
    return Outcome::RETURNED;
  }

  void warn_if_step_vanishes() noexcept {
    if (s_.tcur + s_.h != s_.tcur) return;
    s_.hnil_warnings += 1;
    if (s_.hnil_warnings > s_.mxhnil) return;
    report(msg::T_PLUS_H_EQUALS_T);
    report(msg::SUCH_THAT_IN_THE_MACHINE);
    report(msg::SOLVER_WILL_CONTINUE, 0, 0, s_.tcur, s_.h);
    if (s_.hnil_warnings < s_.mxhnil) return;
    report(msg::ABOVE_WARNING_ISSUED);
    report(msg::NOT_ISSUED_AGAIN, s_.mxhnil);
  }

  StepArrays step_arrays() const noexcept {
    return StepArrays{rhs_, jacobian_, neq_, y_, history(), ewt(), rwork_ + s_.fwork_at,
                      rwork_ + s_.corr_at, rwork_ + s_.matrix_at, iwork_ + iwork_slot::PIVOTS};
  }

  void step_failed(msg::Line first_line, int istate) noexcept {
    report(first_line);
    if (istate == -4) {
      report(msg::ERROR_TEST_FAILED_2, 0, 0, s_.tcur, s_.h);
    } else {
      report(msg::CONVERGENCE_FAILED_2);
      report(msg::CONVERGENCE_FAILED_3, 0, 0, s_.tcur, s_.h);
    }
    iwork_[iwork_slot::IWORST] = worst_component();
    fail(istate);
  }

  void after_switch() noexcept {
    s_.tswitch = s_.tcur;
    const bool to_bdf = s_.method == METHOD_BDF;
    s_.order_cap = to_bdf ? s_.mxords : s_.mxordn;
    // With a short RWORK the matrix area may lie past LRW; the call stops
    // with ISTATE -7 before any BDF step, and an ISTATE 3 call that supplies
    // the room stores the factor then.
    if (to_bdf && s_.matrix_at + MATRIX_FD_FACTOR_SLOT < lrw_) {
      rwork_[s_.matrix_at + MATRIX_FD_FACTOR_SLOT] = std::sqrt(s_.roundoff);
    }
    if (s_.real_short == 2) s_.real_short = 1;
    if (s_.int_short == 2) s_.int_short = 1;
    s_.start_mode = start_mode::PARAMETERS_CHANGED;
    if (s_.ixpr != 1) return;
    report(to_bdf ? msg::SWITCH_TO_BDF : msg::SWITCH_TO_ADAMS);
    report(msg::SWITCH_DETAILS, s_.nst, 0, s_.tcur, s_.h);
  }

  Outcome task_done() noexcept {
    const bool reached_tout = (s_.tcur - tout_) * s_.h >= 0.0;
    switch (itask_) {
      case 1:
        if (!reached_tout) return Outcome::CONTINUE;
        return_interpolated();
        return Outcome::RETURNED;
      case 2: return return_at(s_.tcur, 2), Outcome::RETURNED;
      case 3:
        if (!reached_tout) return Outcome::CONTINUE;
        return return_at(s_.tcur, 2), Outcome::RETURNED;
      case 4:
        if (reached_tout) return return_interpolated(), Outcome::RETURNED;
        return critical_time_rule(true);
      default:
        return return_at(tcrit_hit() ? tcrit_ : s_.tcur, 2), Outcome::RETURNED;
    }
  }

  void report(msg::Line line, int i1 = 0, int i2 = 0, double r1 = 0.0,
              double r2 = 0.0) const noexcept {
    msg::write(line, i1, i2, r1, r2);
  }
  void report_fatal(msg::Line line) const noexcept { msg::write(line, 0, 0, 0.0, 0.0); }

  RhsFn rhs_;
  int* neq_;
  double* y_;
  double* t_;
  double tout_;
  int itol_;
  const double* rtol_;
  const double* atol_;
  int itask_;
  int* istate_;
  int iopt_;
  double* rwork_;
  int lrw_;
  int* iwork_;
  int liw_;
  JacFn jacobian_;
  int jt_;
  LsodaState& s_;
  double tcrit_ = 0.0;
};

}  // namespace

void DLSODA(RhsFn rhs, int* neq, double* y, double* t, const double* tout, const int* itol,
            const double* rtol, const double* atol, const int* itask, int* istate,
            const int* iopt, double* rwork, const int* lrw, int* iwork, const int* liw,
            JacFn jacobian, const int* jt, LsodaState& state) {
  Driver(rhs, neq, y, t, *tout, *itol, rtol, atol, *itask, istate, *iopt, rwork, *lrw, iwork,
         *liw, jacobian, *jt, state)
      .run();
}

}  // namespace tarnok::ode
