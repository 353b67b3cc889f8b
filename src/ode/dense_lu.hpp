#pragma once

namespace tarnok::ode {

// LU factorisation with partial pivoting of the n x n column-major matrix a
// (leading dimension lda), in place. ipvt receives 1-based pivot row numbers
// (they are stored in the integer work array). info = 0 on success, otherwise
// the 1-based column k whose pivot is exactly zero; factorisation continues.
void DGEFA(double* a, int lda, int n, int* ipvt, int* info) noexcept;

// Solves with the factors of DGEFA, overwriting b with the solution.
// job == 0 solves A x = b, any other job solves A^T x = b.
void DGESL(const double* a, int lda, int n, const int* ipvt, double* b, int job) noexcept;

}  // namespace tarnok::ode
