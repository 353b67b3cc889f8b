// Level-1 vector kernels for the integrator's linear algebra, with reference
// BLAS semantics so the factorisations reproduce the classic results exactly.
#include "ode/blas_kernels.hpp"

#include <cmath>

namespace tarnok::ode {
namespace {

// Offset of the first element visited: a negative stride walks the vector
// from its far end, which is (n-1)*|inc| elements in.
constexpr long first_index(int n, int inc) noexcept {
  return inc < 0 ? static_cast<long>(1 - n) * inc : 0L;
}

}  // namespace

void daxpy(int n, double a, const double* x, int incx, double* y, int incy) noexcept {
  if (n <= 0 || a == 0.0) return;
  long ix = first_index(n, incx);
  long iy = first_index(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) y[iy] = y[iy] + a * x[ix];
}

double ddot(int n, const double* x, int incx, const double* y, int incy) noexcept {
  double sum = 0.0;
  if (n <= 0) return sum;
  long ix = first_index(n, incx);
  long iy = first_index(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) sum = sum + x[ix] * y[iy];
  return sum;
}

void dscal(int n, double a, double* x, int incx) noexcept {
  if (n <= 0) return;
  long ix = first_index(n, incx);
  for (int i = 0; i < n; ++i, ix += incx) x[ix] = a * x[ix];
}

int idamax(int n, const double* x, int incx) noexcept {
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
