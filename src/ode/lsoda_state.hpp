// Persistent state of one DLSODA integration: everything the driver and the
// step controller keep from one call to the next. The caller owns the block,
// so integrations on different threads never share state. It holds no
// pointers; the work arrays are located by offsets into the caller's RWORK.
#pragma once

namespace tarnok::ode {

// Method codes, as reported in MLAST / MNEXT.
inline constexpr int METHOD_ADAMS = 1;
inline constexpr int METHOD_BDF = 2;

// Start modes handed to the step controller.
namespace start_mode {
inline constexpr int FIRST_STEP = 0;          // new problem: full initialisation
inline constexpr int NORMAL = 1;              // plain next step
inline constexpr int PARAMETERS_CHANGED = -1;  // ISTATE 3 call, or after a method switch
inline constexpr int STEP_SIZE_CHANGED = -2;   // the driver changed h (critical time)
}  // namespace start_mode

// Why the history is being rescaled or re-predicted within one step call.
enum class Redo : int {
  NONE = 0,                 // after a successful step
  CONVERGENCE_FAILURE = 1,  // corrector failed; h was cut
  ERROR_FAILURE = 2,        // error test failed; new h and order
  STEP_SIZE_CHANGED = 3,    // the driver changed h between calls
};

inline constexpr int MAX_ADAMS_ORDER = 12;
inline constexpr int MAX_BDF_ORDER = 5;
inline constexpr int MAX_HISTORY_COLUMNS = MAX_ADAMS_ORDER + 1;

struct LsodaState {
  // --- problem -------------------------------------------------------------
  bool initialised = false;   // a successful step has been taken since ISTATE 1
  int n = 0;                  // number of equations in use, NEQ(1)
  int nh = 0;                 // rows of the Nordsieck array, fixed on the first call
  int jt = 0;                 // Jacobian type asked for by the caller: 1, 2, 4 or 5
  int ml = 0;                 // lower half-bandwidth accepted on the last checking call
  int mu = 0;                 // upper half-bandwidth accepted on the last checking call
  double roundoff = 0.0;      // unit roundoff of the machine

  // --- work-array layout (0-based offsets into RWORK) ------------------------
  int history_at = 0;         // Nordsieck array, NH rows
  int matrix_at = 0;          // iteration-matrix area
  int ewt_at = 0;             // inverse error weights
  int fwork_at = 0;           // function-value scratch vector
  int corr_at = 0;            // accumulated correction vector
  int real_short = 0;         // 0 long enough, 2 enough for now, 1 a switch happened since
  int int_short = 0;          // the same for IWORK

  // --- method ----------------------------------------------------------------
  int method = 0;             // 1 Adams, 2 BDF: the method in use
  int method_last = 0;        // method of the last successful step (0 before any)
  int coef_method = 0;        // family whose coefficients are loaded in l and used for tests
  int iteration_type = 0;     // 0 functional; else the Jacobian kind of the Newton iteration
  int q = 0;                  // current order
  int L = 0;                  // q + 1, number of history columns in use
  int order_cap = 0;          // order bound of the method in use (MXORDN or MXORDS)
  int order_cols = 0;         // order_cap + 1
  double l[MAX_HISTORY_COLUMNS] = {};  // coefficient vector of the current order

  // --- step data -------------------------------------------------------------
  double tcur = 0.0;          // time reached: the end of the last step
  double h = 0.0;             // current step
  double hu = 0.0;            // step last used successfully
  double hprev = 0.0;         // step at the previous controller exit
  double tprev = 0.0;         // TCUR at controller entry, restored on failure
  double tswitch = 0.0;       // time of the last method switch
  double hl_ratio = 0.0;      // h*l(1) over its value when the matrix was last formed
  double l0prev = 0.0;        // l(1) at the last coefficient reset
  double conv_scale = 0.0;    // 0.5/(q + 2), scales the convergence test
  double convrate = 0.0;      // estimated corrector convergence rate
  double maxratio = 0.0;      // largest step increase allowed next
  double jacnorm = 0.0;       // weighted norm of J from the last matrix evaluation
  double pred_norm = 0.0;     // weighted max-norm of the predicted solution
  double lipest = 0.0;        // current Lipschitz-constant estimate
  double liplast = 0.0;       // last nonzero Lipschitz-constant estimate
  double switch_ratio = 0.0;  // how much larger a step Adams must allow to win back
  int holdsteps = 0;          // steps to wait before changing h or q
  int refresh = 0;            // nonzero: re-evaluate the iteration matrix first
  int matrix_step = 0;        // NST when the matrix was last evaluated
  int jcurrent = 0;           // 1 when the matrix was evaluated on this step
  int switchcount = 0;        // steps left before the next switching test
  int stabrestricted = 0;     // 1 if the last choice of h was cut by Adams stability
  int start_mode = 0;         // see start_mode above
  int step_status = 0;        // 0 success, -1 error-test failure, -2 convergence failure
  Redo redo = Redo::NONE;     // why the current attempt is repeated

  // --- limits ----------------------------------------------------------------
  double hmin = 0.0;          // smallest step allowed
  double hmax_inv = 0.0;      // 1/HMAX, 0 meaning no limit
  int mxstep = 0;             // steps allowed per call
  int mxhnil = 0;             // warnings allowed that TCUR + H == TCUR
  int ixpr = 0;               // 1: print a notice at each method switch
  int mxordn = 0;             // Adams order bound
  int mxords = 0;             // BDF order bound

  // --- counters --------------------------------------------------------------
  int nst = 0;                // steps taken
  int nrhs = 0;               // right-hand-side evaluations
  int njac = 0;               // Jacobian evaluations (and factorisations)
  int qlast = 0;              // order last used successfully
  int nst_at_call_start = 0;  // NST when the current call began
  int hnil_warnings = 0;      // warnings issued that TCUR + H == TCUR
};

}  // namespace tarnok::ode
