// Dense LU factorisation with partial pivoting and the matching solves, the
// column-oriented LINPACK elimination that the Newton iteration relies on.
// Indices k, l, j below are 1-based like the pivot numbers stored in ipvt.
#include "ode/dense_lu.hpp"

#include <cstddef>

#include "ode/blas_kernels.hpp"

namespace tarnok::ode {
namespace {

// Address of element (i, j), both 1-based, of a column-major matrix.
template <typename T>
T* at(T* a, int lda, int i, int j) noexcept {
  return a + (static_cast<std::ptrdiff_t>(j - 1) * lda + (i - 1));
}

// Eliminates below the pivot of column k, applying the row swap of that step
// to each later column just before its update.
void eliminate_column(double* a, int lda, int n, int k, int l) noexcept {
  if (l != k) {
    const double t = *at(a, lda, l, k);
    *at(a, lda, l, k) = *at(a, lda, k, k);
    *at(a, lda, k, k) = t;
  }
  const double scale = -1.0 / *at(a, lda, k, k);
  dscal(n - k, scale, at(a, lda, k + 1, k), 1);
  for (int j = k + 1; j <= n; ++j) {
    const double t = *at(a, lda, l, j);
    if (l != k) {
      *at(a, lda, l, j) = *at(a, lda, k, j);
      *at(a, lda, k, j) = t;
    }
    daxpy(n - k, t, at(a, lda, k + 1, k), 1, at(a, lda, k + 1, j), 1);
  }
}

void solve_plain(const double* a, int lda, int n, const int* ipvt, double* b) noexcept {
  // L y = b, undoing the row swaps in the order they were made.
  for (int k = 1; k <= n - 1; ++k) {
    const int l = ipvt[k - 1];
    const double t = b[l - 1];
    if (l != k) {
      b[l - 1] = b[k - 1];
      b[k - 1] = t;
    }
    daxpy(n - k, t, at(a, lda, k + 1, k), 1, &b[k], 1);
  }
  // U x = y, by columns from the last.
  for (int k = n; k >= 1; --k) {
    b[k - 1] = b[k - 1] / *at(a, lda, k, k);
    const double t = -b[k - 1];
    daxpy(k - 1, t, at(a, lda, 1, k), 1, b, 1);
  }
}

void solve_transposed(const double* a, int lda, int n, const int* ipvt, double* b) noexcept {
  // U^T y = b, by rows from the first.
  for (int k = 1; k <= n; ++k) {
    const double t = ddot(k - 1, at(a, lda, 1, k), 1, b, 1);
    b[k - 1] = (b[k - 1] - t) / *at(a, lda, k, k);
  }
  // L^T x = y, swapping rows back in the reverse order.
  for (int k = n - 1; k >= 1; --k) {
    b[k - 1] = b[k - 1] + ddot(n - k, at(a, lda, k + 1, k), 1, &b[k], 1);
    const int l = ipvt[k - 1];
    if (l != k) {
      const double t = b[l - 1];
      b[l - 1] = b[k - 1];
      b[k - 1] = t;
    }
  }
}

}  // namespace

void DGEFA(double* a, int lda, int n, int* ipvt, int* info) noexcept {
  *info = 0;
  if (n <= 0) return;
  for (int k = 1; k <= n - 1; ++k) {
    const int l = idamax(n - k + 1, at(a, lda, k, k), 1) + k - 1;
    ipvt[k - 1] = l;
    // An exactly zero pivot column is already eliminated; note it and go on.
    if (*at(a, lda, l, k) == 0.0) {
      *info = k;
      continue;
    }
    eliminate_column(a, lda, n, k, l);
  }
  ipvt[n - 1] = n;
  if (*at(a, lda, n, n) == 0.0) *info = n;
}

void DGESL(const double* a, int lda, int n, const int* ipvt, double* b, int job) noexcept {
  if (n <= 0) return;
  if (job == 0) {
    solve_plain(a, lda, n, ipvt, b);
  } else {
    solve_transposed(a, lda, n, ipvt, b);
  }
}

}  // namespace tarnok::ode
