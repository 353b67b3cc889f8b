// The step controller. One call advances the Nordsieck history by one
// successful step, or gives up after repeated failures; the history and the
// controller's bookkeeping live in the caller's work array and state block.
//
//   enter (by start mode) -> [rescale] -> predict -> correct -> error test
//     success: update history, maybe switch method, maybe choose new h and q
//     failure: undo the prediction, shrink h (and perhaps q), predict again
#include "ode/step_controller.hpp"

#include <algorithm>
#include <cmath>

#include "ode/error_weights.hpp"
#include "ode/iteration_matrix.hpp"
#include "ode/method_coefficients.hpp"
#include "ode/method_switching.hpp"
#include "ode/step_ratio.hpp"

namespace tarnok::ode {
namespace {

constexpr double kRefreshThreshold = 0.3;  // |hl_ratio - 1| above this: new matrix
constexpr int kRefreshInterval = 20;       // steps between matrix evaluations at most
constexpr int kMaxCorrectorIterations = 3;
constexpr int kMaxConvergenceFailures = 10;
constexpr int kMaxErrorFailures = 10;
constexpr int kSwitchInterval = 20;        // steps between switching tests
constexpr double kSwitchRatio = 5.0;       // BDF -> Adams: weight of the Adams step
constexpr double kInitialMaxRatio = 10000.0;  // the first step is a guess: let it grow

enum class Next { PREDICT, RESCALE, RESCALE_UNBOUNDED, DONE, GIVE_UP };

// GCC would vectorise the triangle below through a stack copy of the row;
// its wide loads then read back values just stored one at a time, a
// store-forwarding stall that made a whole model evaluation about 1.7 times
// slower than keeping the row in scalar registers.
#if defined(__GNUC__) && !defined(__clang__)
#define TARNOK_SCALAR_LOOPS [[gnu::optimize("no-tree-vectorize")]]
#else
#define TARNOK_SCALAR_LOOPS
#endif

// The prediction multiplies the Nordsieck history by the Pascal triangle:
// for k = q..1 and j = k..q, column j += column j+1 (or -= to undo it). Rows
// never mix, so each row is taken through the whole triangle on its own,
// held in registers: every element sees the same operations in the same
// order as in the column-by-column form. kRows > 0 is NH known at compile
// time.
template <int Q, bool kForward, int kRows>
TARNOK_SCALAR_LOOPS void pascal_rows(double* z, int nh_runtime) noexcept {
  const int nh = kRows > 0 ? kRows : nh_runtime;
  for (int i = 0; i < nh; ++i) {
    double c[Q + 1];
    for (int j = 0; j <= Q; ++j) c[j] = z[i + static_cast<long>(j) * nh];
    for (int k = Q; k >= 1; --k) {
      for (int j = k; j <= Q; ++j) c[j - 1] = kForward ? c[j - 1] + c[j] : c[j - 1] - c[j];
    }
    // Column q + 1 is only read.
    for (int j = 0; j < Q; ++j) z[i + static_cast<long>(j) * nh] = c[j];
  }
}

template <bool kForward, int kRows>
void pascal_pass(int q, double* z, int nh) noexcept {
  switch (q) {
    case 1: return pascal_rows<1, kForward, kRows>(z, nh);
    case 2: return pascal_rows<2, kForward, kRows>(z, nh);
    case 3: return pascal_rows<3, kForward, kRows>(z, nh);
    case 4: return pascal_rows<4, kForward, kRows>(z, nh);
    case 5: return pascal_rows<5, kForward, kRows>(z, nh);
    case 6: return pascal_rows<6, kForward, kRows>(z, nh);
    case 7: return pascal_rows<7, kForward, kRows>(z, nh);
    case 8: return pascal_rows<8, kForward, kRows>(z, nh);
    case 9: return pascal_rows<9, kForward, kRows>(z, nh);
    case 10: return pascal_rows<10, kForward, kRows>(z, nh);
    case 11: return pascal_rows<11, kForward, kRows>(z, nh);
    case 12: return pascal_rows<12, kForward, kRows>(z, nh);
    default: return;  // no order outside 1..MAX_ADAMS_ORDER is ever in use
  }
}

// kRows > 0: a problem of exactly kRows equations whose history also has
// kRows rows, so every vector loop has a length known at compile time and is
// unrolled; the arithmetic is element for element the same as the general
// version (kRows == 0), which reads N and NH from the state.
template <int kRows>
class StepController {
 public:
  StepController(LsodaState& state, const StepArrays& arrays)
      : s_(state), a_(arrays), n_(state.n), nh_(state.nh),
        coef_(&method_coefficients(state.coef_method)) {}

  void run() noexcept {
    s_.tprev = s_.tcur;
    conv_failures_ = 0;
    s_.jcurrent = 0;
    delp_ = 0.0;
    s_.step_status = 0;
    Next next = enter();
    for (;;) {
      switch (next) {
        case Next::PREDICT: next = attempt(); break;
        case Next::RESCALE: next = rescale(true); break;
        case Next::RESCALE_UNBOUNDED: next = rescale(false); break;
        case Next::DONE: finish(true); return;
        case Next::GIVE_UP: finish(false); return;
      }
    }
  }

 private:
  // --- helpers ---------------------------------------------------------------
  int n() const noexcept {
    if constexpr (kRows > 0) return kRows;
    return n_;
  }
  int nh() const noexcept {
    if constexpr (kRows > 0) return kRows;
    return nh_;
  }
  double* column(int j) const noexcept { return a_.z + static_cast<long>(j - 1) * nh(); }
  double norm(const double* v) const noexcept { return weighted_max_norm(n(), v, a_.ewt); }
  // The table of coef_method, looked up again whenever coef_method changes.
  const MethodCoefficients& coefficients() const noexcept { return *coef_; }

  // --- entry -------------------------------------------------------------------
  Next enter() noexcept {
    switch (s_.start_mode) {
      case start_mode::NORMAL: return Next::PREDICT;
      case start_mode::FIRST_STEP: start_problem(); return Next::PREDICT;
      case start_mode::PARAMETERS_CHANGED: parameters_changed(); break;
      default: break;
    }
    if (s_.h == s_.hprev) return Next::PREDICT;
    r_ = s_.h / s_.hprev;
    s_.h = s_.hprev;
    s_.redo = Redo::STEP_SIZE_CHANGED;
    return Next::RESCALE_UNBOUNDED;
  }

  void start_problem() noexcept {
    s_.order_cols = s_.order_cap + 1;
    s_.q = 1;
    s_.L = 2;
    s_.holdsteps = 2;
    s_.maxratio = kInitialMaxRatio;
    s_.hl_ratio = 0.0;
    s_.l0prev = 1.0;
    s_.convrate = 0.7;
    s_.hprev = s_.h;
    s_.matrix_step = 0;
    s_.refresh = s_.iteration_type;
    s_.switchcount = kSwitchInterval;
    s_.stabrestricted = 0;
    s_.lipest = 0.0;
    s_.liplast = 0.0;
    s_.switch_ratio = kSwitchRatio;
    // Both families' tables exist once per process; a problem starts with Adams.
    s_.coef_method = METHOD_ADAMS;
    coefficient_reset();
  }

  void parameters_changed() noexcept {
    s_.refresh = s_.iteration_type;
    s_.order_cols = s_.order_cap + 1;
    if (s_.holdsteps == 1) s_.holdsteps = 2;
    if (s_.method == s_.method_last) return;
    s_.coef_method = s_.method;
    s_.holdsteps = s_.L;
    coefficient_reset();
  }

  void coefficient_reset() noexcept {
    coef_ = &method_coefficients(s_.coef_method);
    const MethodCoefficients& c = coefficients();
    for (int i = 1; i <= s_.L; ++i) s_.l[i - 1] = c.coef(i, s_.q);
    s_.hl_ratio = s_.hl_ratio * s_.l[0] / s_.l0prev;
    s_.l0prev = s_.l[0];
    s_.conv_scale = 0.5 / (s_.q + 2);
  }

  // --- rescale the history to h*r ----------------------------------------------
  Next rescale(bool bounded_by_hmin) noexcept {
    if (bounded_by_hmin) r_ = std::max(r_, s_.hmin / std::abs(s_.h));
    r_ = std::min(r_, s_.maxratio);
    r_ = r_ / std::max(1.0, std::abs(s_.h) * s_.hmax_inv * r_);
    if (s_.method == METHOD_ADAMS) {
      s_.stabrestricted = 0;
      const double hl = std::max(std::abs(s_.h) * s_.liplast, 1.0e-6);
      if (r_ * hl * 1.00001 >= adams_stability_limit(s_.q)) {
        r_ = adams_stability_limit(s_.q) / hl;
        s_.stabrestricted = 1;
      }
    }
    double factor = 1.0;
    for (int j = 2; j <= s_.L; ++j) {
      factor *= r_;
      double* zj = column(j);
      for (int i = 0; i < n(); ++i) zj[i] = zj[i] * factor;
    }
    s_.h = s_.h * r_;
    s_.hl_ratio = s_.hl_ratio * r_;
    s_.holdsteps = s_.L;
    if (s_.redo != Redo::NONE) return Next::PREDICT;
    s_.maxratio = 10.0;
    return Next::DONE;
  }

  // --- prediction: multiply the history by the Pascal triangle ---------------------
  void predict() noexcept {
    if (std::abs(s_.hl_ratio - 1.0) > kRefreshThreshold ||
        s_.nst >= s_.matrix_step + kRefreshInterval) {
      s_.refresh = s_.iteration_type;
    }
    s_.tcur = s_.tcur + s_.h;
    shift_history(+1.0);
    s_.pred_norm = norm(column(1));
  }

  void undo_prediction() noexcept { shift_history(-1.0); }

  // All NH rows; sign -1 is the exact inverse pass.
  void shift_history(double sign) noexcept {
    if (sign > 0) {
      pascal_pass<true, kRows>(s_.q, a_.z, nh());
    } else {
      pascal_pass<false, kRows>(s_.q, a_.z, nh());
    }
  }

  Next attempt() noexcept {
    predict();
    if (!correct()) return convergence_failure();
    return error_test();
  }

  // --- correction ---------------------------------------------------------------
  // Returns true when the corrector converged; m_ and del_ describe the last
  // iteration for the error test.
  bool correct() noexcept {
    for (;;) {
      const CorrectorEnd end = iterate_corrector();
      if (end == CorrectorEnd::CONVERGED) return true;
      if (end == CorrectorEnd::SINGULAR) return false;
      // A stale matrix may be the reason: rebuild it once and try again.
      if (s_.iteration_type == 0 || s_.jcurrent == 1) return false;
      s_.refresh = s_.iteration_type;
    }
  }

  enum class CorrectorEnd { CONVERGED, DIVERGED, SINGULAR };

  CorrectorEnd iterate_corrector() noexcept {
    int m = 0;
    double rate = 0.0;
    double del = 0.0;
    const double* z1 = column(1);
    std::copy(z1, z1 + n(), a_.y);
    a_.rhs(a_.neq, &s_.tcur, a_.y, a_.fwork);
    s_.nrhs += 1;
    if (s_.refresh != 0) {
      const int singular = prepare_iteration_matrix(s_, matrix_problem());
      s_.refresh = 0;
      s_.hl_ratio = 1.0;
      s_.matrix_step = s_.nst;
      s_.convrate = 0.7;
      if (singular != 0) return CorrectorEnd::SINGULAR;
    }
    std::fill(a_.corr, a_.corr + n(), 0.0);
    for (;;) {
      if (s_.iteration_type == 0) {
        del = functional_iteration();
      } else if (!newton_iteration(del)) {
        return CorrectorEnd::DIVERGED;
      }
      if (has_converged(m, del, rate)) {
        m_ = m;
        del_ = del;
        return CorrectorEnd::CONVERGED;
      }
      m += 1;
      if (m == kMaxCorrectorIterations || (m >= 2 && del > 2.0 * delp_)) {
        return CorrectorEnd::DIVERGED;
      }
      delp_ = del;
      a_.rhs(a_.neq, &s_.tcur, a_.y, a_.fwork);
      s_.nrhs += 1;
    }
  }

  MatrixProblem matrix_problem() const noexcept {
    // corr doubles as the scratch vector: it is cleared right after.
    return MatrixProblem{a_.rhs, a_.jacobian, a_.neq, a_.y, a_.z, a_.ewt,
                         a_.corr, a_.fwork, a_.matrix_area, a_.pivots};
  }

  double functional_iteration() noexcept {
    const double* z1 = column(1);
    const double* z2 = column(2);
    const double h = s_.h;
    const double l1 = s_.l[0];
    for (int i = 0; i < n(); ++i) a_.fwork[i] = h * a_.fwork[i] - z2[i];
    // y serves as scratch for the change, before it takes the new iterate.
    for (int i = 0; i < n(); ++i) a_.y[i] = a_.fwork[i] - a_.corr[i];
    const double del = norm(a_.y);
    for (int i = 0; i < n(); ++i) {
      a_.y[i] = z1[i] + l1 * a_.fwork[i];
      a_.corr[i] = a_.fwork[i];
    }
    return del;
  }

  bool newton_iteration(double& del) noexcept {
    const double* z1 = column(1);
    const double* z2 = column(2);
    const double h = s_.h;
    const double l1 = s_.l[0];
    for (int i = 0; i < n(); ++i) a_.y[i] = h * a_.fwork[i] - (z2[i] + a_.corr[i]);
    if (solve_iteration_matrix(s_, a_.matrix_area, a_.pivots, a_.y) != 0) return false;
    del = norm(a_.y);
    for (int i = 0; i < n(); ++i) {
      a_.corr[i] = a_.corr[i] + a_.y[i];
      a_.y[i] = z1[i] + l1 * a_.corr[i];
    }
    return true;
  }

  bool has_converged(int m, double del, double& rate) noexcept {
    // A change at roundoff level of the prediction cannot shrink further.
    if (del <= 100.0 * s_.pred_norm * s_.roundoff) return true;
    // Adams always iterates twice so that a Lipschitz estimate can be formed.
    if (m == 0 && s_.method == METHOD_ADAMS) return false;
    if (m > 0) {
      const double rm = del > 1024.0 * delp_ ? 1024.0 : del / delp_;
      rate = std::max(rate, rm);
      s_.convrate = std::max(0.2 * s_.convrate, rm);
    }
    const double dcon = del * std::min(1.0, 1.5 * s_.convrate) /
                        (coefficients().test(2, s_.q) * s_.conv_scale);
    if (dcon > 1.0) return false;
    s_.lipest = std::max(s_.lipest, rate / std::abs(s_.h * s_.l[0]));
    if (s_.lipest != 0.0) s_.liplast = s_.lipest;
    return true;
  }

  Next convergence_failure() noexcept {
    conv_failures_ += 1;
    s_.maxratio = 2.0;
    s_.tcur = s_.tprev;
    undo_prediction();
    if (std::abs(s_.h) <= 1.00001 * s_.hmin || conv_failures_ == kMaxConvergenceFailures) {
      s_.step_status = -2;
      return Next::GIVE_UP;
    }
    r_ = 0.25;
    s_.refresh = s_.iteration_type;
    s_.redo = Redo::CONVERGENCE_FAILURE;
    return Next::RESCALE;
  }

  // --- error test ---------------------------------------------------------------
  Next error_test() noexcept {
    s_.jcurrent = 0;
    const double test = coefficients().test(2, s_.q);
    dsm_ = m_ == 0 ? del_ / test : norm(a_.corr) / test;
    if (dsm_ > 1.0) return error_failure();
    return successful_step();
  }

  Next error_failure() noexcept {
    s_.step_status -= 1;
    s_.tcur = s_.tprev;
    undo_prediction();
    s_.maxratio = 2.0;
    if (std::abs(s_.h) <= 1.00001 * s_.hmin) {
      s_.step_status = -1;
      return Next::GIVE_UP;
    }
    if (s_.step_status > -3) {
      s_.redo = Redo::ERROR_FAILURE;
      return choose_order_and_step();
    }
    if (s_.step_status == -kMaxErrorFailures) {
      s_.step_status = -1;
      return Next::GIVE_UP;
    }
    restart_at_order_one();
    return Next::PREDICT;
  }

  // After repeated error failures the higher derivatives are not trusted:
  // restart from order 1 with a fresh derivative and a tenfold smaller step.
  void restart_at_order_one() noexcept {
    const double r = std::max(0.1, s_.hmin / std::abs(s_.h));
    s_.h = s_.h * r;
    const double* z1 = column(1);
    std::copy(z1, z1 + n(), a_.y);
    a_.rhs(a_.neq, &s_.tcur, a_.y, a_.fwork);
    s_.nrhs += 1;
    double* z2 = column(2);
    for (int i = 0; i < n(); ++i) z2[i] = s_.h * a_.fwork[i];
    s_.refresh = s_.iteration_type;
    s_.holdsteps = 5;
    if (s_.q == 1) return;
    s_.q = 1;
    s_.L = 2;
    coefficient_reset();
  }

  // --- success ------------------------------------------------------------------
  Next successful_step() noexcept {
    s_.step_status = 0;
    s_.redo = Redo::NONE;
    s_.nst += 1;
    s_.hu = s_.h;
    s_.qlast = s_.q;
    s_.method_last = s_.method;
    for (int j = 1; j <= s_.L; ++j) {
      double* zj = column(j);
      const double lj = s_.l[j - 1];
      for (int i = 0; i < n(); ++i) zj[i] = zj[i] + lj * a_.corr[i];
    }
    s_.switchcount -= 1;
    if (s_.switchcount < 0 && switched_method()) return Next::RESCALE;
    s_.holdsteps -= 1;
    if (s_.holdsteps == 0) return choose_order_and_step();
    if (s_.holdsteps > 1) return Next::DONE;
    if (s_.L < s_.order_cols) {
      // Kept for the next step's estimate of the error at order q + 1.
      std::copy(a_.corr, a_.corr + n(), column(s_.order_cols));
    }
    return Next::DONE;
  }

  // --- switching tests ------------------------------------------------------------
  // Carries out a switch decided by the stiffness test of the current method.
  bool switched_method() noexcept {
    const bool adams = s_.method == METHOD_ADAMS;
    const SwitchChoice choice = adams ? consider_switch_to_bdf(s_, a_.z, a_.ewt, dsm_)
                                      : consider_switch_to_adams(s_, a_.z, a_.ewt, dsm_);
    if (!choice.switch_method) return false;
    r_ = choice.ratio;
    s_.switchcount = kSwitchInterval;
    s_.method = adams ? METHOD_BDF : METHOD_ADAMS;
    s_.iteration_type = adams ? s_.jt : 0;
    s_.liplast = 0.0;
    s_.q = choice.order;
    s_.L = choice.order + 1;
    return true;
  }

  // --- order and step choice ----------------------------------------------------------
  // After a success (holdsteps ran out) or an error-test failure.
  Next choose_order_and_step() noexcept {
    const bool failed = s_.step_status < 0;
    const int q = s_.q;
    const int L = s_.L;
    double rup = 0.0;
    if (!failed && L < s_.order_cols) {
      const double* saved = column(s_.order_cols);
      for (int i = 0; i < n(); ++i) a_.fwork[i] = a_.corr[i] - saved[i];
      const double dup = norm(a_.fwork) / coefficients().test(3, q);
      rup = step_ratio(dup, 1.0 / (L + 1), ORDER_UP);
    }
    double rsame = step_ratio(dsm_, 1.0 / L, SAME_ORDER);
    double rdown = 0.0;
    if (q > 1) {
      const double ddn = norm(column(L)) / coefficients().test(1, q);
      rdown = step_ratio(ddn, 1.0 / q, ORDER_DOWN);
    }
    double hl = 0.0;
    if (s_.method == METHOD_ADAMS) {
      hl = std::max(std::abs(s_.h) * s_.liplast, 1.0e-6);
      if (L < s_.order_cols) rup = std::min(rup, adams_stability_limit(L) / hl);
      rsame = std::min(rsame, adams_stability_limit(q) / hl);
      if (q > 1) rdown = std::min(rdown, adams_stability_limit(q - 1) / hl);
      s_.lipest = 0.0;
    }

    const bool raise = rsame < rup && rup > rdown;
    if (raise) return raise_order(rup);
    const bool lower = rsame >= rup ? rdown > rsame : true;
    int new_q = q;
    r_ = rsame;
    if (lower) {
      new_q = q - 1;
      r_ = rdown;
      if (failed && r_ > 1.0) r_ = 1.0;
    }
    const bool stability_binds =
        s_.method == METHOD_ADAMS && r_ * hl * 1.00001 >= adams_stability_limit(new_q);
    if (!stability_binds && !failed && r_ < 1.1) {
      s_.holdsteps = 3;
      return Next::DONE;
    }
    if (s_.step_status <= -2) r_ = std::min(r_, 0.2);
    if (new_q != q) change_order(new_q);
    return Next::RESCALE;
  }

  Next raise_order(double rup) noexcept {
    r_ = rup;
    if (r_ < 1.1) {
      s_.holdsteps = 3;
      return Next::DONE;
    }
    // The new highest column: corr*l(L)/L estimates h^(q+1) y^(q+1)/(q+1)!.
    const int L = s_.L;
    const double lL = s_.l[L - 1];
    double* top = column(L + 1);
    for (int i = 0; i < n(); ++i) top[i] = a_.corr[i] * lL / L;
    change_order(L);
    return Next::RESCALE;
  }

  void change_order(int new_q) noexcept {
    s_.q = new_q;
    s_.L = new_q + 1;
    coefficient_reset();
  }

  // --- exit ----------------------------------------------------------------------------
  void finish(bool success) noexcept {
    if (success) {
      // corr becomes the local error estimate of the step just taken.
      const double test = coefficients().test(2, s_.qlast);
      for (int i = 0; i < n(); ++i) a_.corr[i] = a_.corr[i] / test;
    }
    s_.hprev = s_.h;
    s_.start_mode = start_mode::NORMAL;
  }

  LsodaState& s_;
  const StepArrays& a_;
  const int n_;   // N, when kRows is 0
  const int nh_;  // NH, when kRows is 0
  const MethodCoefficients* coef_;
  double r_ = 0.0;     // proposed ratio of the new to the current step
  int m_ = 0;          // corrector iterations done before convergence
  double del_ = 0.0;   // last corrector change
  double delp_ = 0.0;  // the change before it
  double dsm_ = 0.0;   // weighted local error over its tolerance
  int conv_failures_ = 0;
};

}  // namespace

void take_step(LsodaState& state, const StepArrays& arrays) noexcept {
  // The model's two problems (five populations, one irradiance) get their own
  // unrolled controllers; everything else takes the general one.
  if (state.n == state.nh) {
    if (state.n == 5) return StepController<5>(state, arrays).run();
    if (state.n == 1) return StepController<1>(state, arrays).run();
  }
  StepController<0>(state, arrays).run();
}

}  // namespace tarnok::ode
