// Where DLSODA keeps its vectors in the caller's RWORK and IWORK, and how
// long those arrays must be for each method.
#pragma once

namespace tarnok::ode {

// Slots 1..20 of both work arrays are the optional inputs and outputs.
inline constexpr int WORK_HEADER = 20;

struct WorkLayout {
  int history_at = WORK_HEADER;  // 0-based start of the Nordsieck array
  int matrix_at = 0;             // 0-based start of the iteration-matrix area
  long long prefix_adams = 0;    // header + Adams history
  long long prefix_bdf = 0;      // header + BDF history + matrix area
  long long lenrw = 0;           // real length both methods need
  long long leniw = 0;           // integer length both methods need
  long long real_need = 0;       // real length the method in use needs
  long long int_need = 0;        // integer length the method in use needs
  long long prefix_current = 0;  // prefix of the method in use
};

// n equations, nh history rows, order bounds, Jacobian type jt (1, 2, 4, 5)
// with half-bandwidths ml, mu, and the method in use. 64-bit sums, so that a
// huge NEQ is reported as too long rather than wrapping around.
WorkLayout compute_work_layout(int n, int nh, int mxordn, int mxords, int jt, int ml, int mu,
                               int method) noexcept;

// A length for an int slot of IWORK or a message: values past INT_MAX
// (which no declared length can reach) are shown as INT_MAX.
int clamp_length(long long length) noexcept;

}  // namespace tarnok::ode
