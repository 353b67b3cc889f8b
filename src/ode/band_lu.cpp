// Band LU factorisation with partial pivoting and the matching solves, in
// LINPACK band storage: the diagonal lives in storage row m = ml+mu+1 and the
// top ml rows take the fill-in that row swaps push above the upper band.
// Indices below are 1-based like the pivot numbers stored in ipvt.
#include "ode/band_lu.hpp"

#include <algorithm>
#include <cstddef>

#include "ode/blas_kernels.hpp"

namespace tarnok::ode {
namespace {

// Address of storage element (row i, column j), both 1-based.
template <typename T>
T* at(T* abd, int lda, int i, int j) noexcept {
  return abd + (static_cast<std::ptrdiff_t>(j - 1) * lda + (i - 1));
}

// The fill-in rows of the first columns may hold anything on entry; the ones
// that elimination can reach before the main loop clears them are zeroed here.
void zero_initial_fill_in(double* abd, int lda, int n, int ml, int mu, int m) noexcept {
  const int last = std::min(n, m) - 1;
  for (int jz = mu + 2; jz <= last; ++jz) {
    for (int i = m + 1 - jz; i <= ml; ++i) *at(abd, lda, i, jz) = 0.0;
  }
}

// Applies the row swap and the elimination of step k to columns k+1 .. ju.
// Pivot row l and row k move up one storage row per column to the right.
void eliminate_columns(double* abd, int lda, int k, int l, int m, int lm, int ju) noexcept {
  int mm = m;
  for (int j = k + 1; j <= ju; ++j) {
    --l;
    --mm;
    const double t = *at(abd, lda, l, j);
    if (l != mm) {
      *at(abd, lda, l, j) = *at(abd, lda, mm, j);
      *at(abd, lda, mm, j) = t;
    }
    daxpy(lm, t, at(abd, lda, m + 1, k), 1, at(abd, lda, mm + 1, j), 1);
  }
}

void solve_plain(const double* abd, int lda, int n, int ml, int m, const int* ipvt,
                 double* b) noexcept {
  // L y = b, only when there are multipliers.
  if (ml != 0) {
    for (int k = 1; k <= n - 1; ++k) {
      const int lm = std::min(ml, n - k);
      const int l = ipvt[k - 1];
      const double t = b[l - 1];
      if (l != k) {
        b[l - 1] = b[k - 1];
        b[k - 1] = t;
      }
      daxpy(lm, t, at(abd, lda, m + 1, k), 1, &b[k], 1);
    }
  }
  // U x = y, by columns from the last.
  for (int k = n; k >= 1; --k) {
    b[k - 1] = b[k - 1] / *at(abd, lda, m, k);
    const int lm = std::min(k, m) - 1;
    const double t = -b[k - 1];
    daxpy(lm, t, at(abd, lda, m - lm, k), 1, &b[k - 1 - lm], 1);
  }
}

void solve_transposed(const double* abd, int lda, int n, int ml, int m, const int* ipvt,
                      double* b) noexcept {
  // U^T y = b, by rows from the first.
  for (int k = 1; k <= n; ++k) {
    const int lm = std::min(k, m) - 1;
    const double t = ddot(lm, at(abd, lda, m - lm, k), 1, &b[k - 1 - lm], 1);
    b[k - 1] = (b[k - 1] - t) / *at(abd, lda, m, k);
  }
  // L^T x = y, swapping rows back in the reverse order.
  if (ml != 0) {
    for (int k = n - 1; k >= 1; --k) {
      const int lm = std::min(ml, n - k);
      b[k - 1] = b[k - 1] + ddot(lm, at(abd, lda, m + 1, k), 1, &b[k], 1);
      const int l = ipvt[k - 1];
      if (l != k) {
        const double t = b[l - 1];
        b[l - 1] = b[k - 1];
        b[k - 1] = t;
      }
    }
  }
}

}  // namespace

void DGBFA(double* abd, int lda, int n, int ml, int mu, int* ipvt, int* info) noexcept {
  *info = 0;
  if (n <= 0) return;
  const int m = ml + mu + 1;
  zero_initial_fill_in(abd, lda, n, ml, mu, m);
  int jz = std::min(n, m) - 1;
  int ju = 0;
  for (int k = 1; k <= n - 1; ++k) {
    // The column whose fill-in rows the swaps of this step can first reach.
    ++jz;
    if (jz <= n && ml >= 1) {
      for (int i = 1; i <= ml; ++i) *at(abd, lda, i, jz) = 0.0;
    }
    const int lm = std::min(ml, n - k);
    const int l = idamax(lm + 1, at(abd, lda, m, k), 1) + m - 1;
    ipvt[k - 1] = l + k - m;
    if (*at(abd, lda, l, k) == 0.0) {
      *info = k;
      continue;
    }
    if (l != m) {
      const double t = *at(abd, lda, l, k);
      *at(abd, lda, l, k) = *at(abd, lda, m, k);
      *at(abd, lda, m, k) = t;
    }
    const double scale = -1.0 / *at(abd, lda, m, k);
    dscal(lm, scale, at(abd, lda, m + 1, k), 1);
    ju = std::min(std::max(ju, mu + ipvt[k - 1]), n);
    eliminate_columns(abd, lda, k, l, m, lm, ju);
  }
  ipvt[n - 1] = n;
  if (*at(abd, lda, m, n) == 0.0) *info = n;
}

void DGBSL(const double* abd, int lda, int n, int ml, int mu, const int* ipvt, double* b,
           int job) noexcept {
  if (n <= 0) return;
  const int m = ml + mu + 1;
  if (job == 0) {
    solve_plain(abd, lda, n, ml, m, ipvt, b);
  } else {
    solve_transposed(abd, lda, n, ml, m, ipvt, b);
  }
}

}  // namespace tarnok::ode
