#pragma once

namespace tarnok::ode {

// Level-1 BLAS with the reference semantics: arbitrary strides, and a negative
// stride starts at element (1-n)*inc so the vector is walked backwards.
// n <= 0 does nothing (ddot returns 0).

// y <- a*x + y; a == 0 leaves y untouched.
void daxpy(int n, double a, const double* x, int incx, double* y, int incy) noexcept;
// sum_i x_i*y_i, accumulated in index order.
double ddot(int n, const double* x, int incx, const double* y, int incy) noexcept;
// x <- a*x.
void dscal(int n, double a, double* x, int incx) noexcept;
// 1-based position of the first element of largest magnitude along a positive
// stride; 0 when n < 1 or incx <= 0. Ties go to the first; a NaN wins only
// in the first position, as in the reference routine.
int idamax(int n, const double* x, int incx) noexcept;

}  // namespace tarnok::ode
