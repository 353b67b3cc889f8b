#pragma once

namespace tarnok::ode {

// LU factorisation with partial pivoting of a band matrix in LINPACK band
// storage: column j of abd holds the band of column j, the diagonal sits in
// 1-based storage row ml+mu+1, and the top ml rows are fill-in room, so
// lda >= 2*ml+mu+1. ipvt and info as for DGEFA (1-based).
void DGBFA(double* abd, int lda, int n, int ml, int mu, int* ipvt, int* info) noexcept;

// Solves with the factors of DGBFA, overwriting b. job == 0 solves A x = b,
// any other job solves A^T x = b.
void DGBSL(const double* abd, int lda, int n, int ml, int mu, const int* ipvt, double* b,
           int job) noexcept;

}  // namespace tarnok::ode
