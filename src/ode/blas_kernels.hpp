// Level-1 vector kernels for the integrator's linear algebra, with reference
// BLAS semantics so the factorisations reproduce the classic results exactly.
// They run on vectors of a few elements inside the LU loops, so they are
// defined here to be inlined there.
#pragma once

#include <cmath>

namespace tarnok::ode {

// Level-1 BLAS with the reference semantics: arbitrary strides, and a negative
// stride starts at element (1-n)*inc so the vector is walked backwards.
// n <= 0 does nothing (ddot returns 0).

// Offset of the first element visited: a negative stride walks the vector
// from its far end, which is (n-1)*|inc| elements in.
inline constexpr long blas_first_index(int n, int inc) noexcept {
  return inc < 0 ? static_cast<long>(1 - n) * inc : 0L;
}

// y <- a*x + y; a == 0 leaves y untouched.
inline void daxpy(int n, double a, const double* x, int incx, double* y, int incy) noexcept {
  if (n <= 0 || a == 0.0) return;
  long ix = blas_first_index(n, incx);
  long iy = blas_first_index(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) y[iy] = y[iy] + a * x[ix];
}

// sum_i x_i*y_i, accumulated in index order.
inline double ddot(int n, const double* x, int incx, const double* y, int incy) noexcept {
  double sum = 0.0;
  if (n <= 0) return sum;
  long ix = blas_first_index(n, incx);
  long iy = blas_first_index(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) sum = sum + x[ix] * y[iy];
  return sum;
}

// x <- a*x.
inline void dscal(int n, double a, double* x, int incx) noexcept {
  if (n <= 0) return;
  long ix = blas_first_index(n, incx);
  for (int i = 0; i < n; ++i, ix += incx) x[ix] = a * x[ix];
}

// 1-based position of the first element of largest magnitude along a positive
// stride; 0 when n < 1 or incx <= 0. Ties go to the first; a NaN wins only
// in the first position, as in the reference routine.
inline int idamax(int n, const double* x, int incx) noexcept {
  if (n < 1 || incx <= 0) return 0;
  int best = 1;
  double largest = std::abs(x[0]);
  long ix = incx;
  for (int i = 2; i <= n; ++i, ix += incx) {
    const double magnitude = std::abs(x[ix]);
    // Strictly greater, so the first of equal candidates wins a tie.
    if (magnitude > largest) {
      best = i;
      largest = magnitude;
    }
  }
  return best;
}

}  // namespace tarnok::ode
