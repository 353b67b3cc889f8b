// The exponential of a 5x5 matrix and its derivatives along given directions:
// the propagator of the level populations over one time slice, in which the
// irradiance and so the rate matrix is constant.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "engine/conserving_matrix.hpp"

namespace tarnok::engine {

// The propagator of a generator X (a rate matrix times a time: its columns sum
// to zero, so it conserves the total population) is exp(X), computed by
// scaling and squaring with the diagonal Pade approximant whose degree (3, 5,
// 7, 9 or 13) and number of squarings the norms of X and of its powers call
// for, so the backward error stays at the unit roundoff. Derivatives along a direction E (a generator too) are those
// of every step of the same algorithm, so they are the derivatives of the
// computed exponential, not finite differences. NaN or infinite input gives
// NaN results.
inline constexpr std::size_t max_directions = 16;  // every parameter at once

// The populations half-way through a step, exp(X/2) z, and their
// derivatives. The squaring phase forms exp(X/2) on its way to exp(X), so
// they cost one matrix-vector product each once the step is taken with at
// least one squaring, which asking for them ensures.
struct Midpoint {
  ConservingVector z;
  std::array<ConservingVector, max_directions> dz;
};

// Advances populations z over one step with generator X, z <- exp(X) z, and
// their derivatives along each direction E_d: dz_d <- L(X, E_d) z + exp(X) dz_d,
// where L(X, E) = d/dh exp(X + h E) at h = 0 is the Frechet derivative. At
// most max_directions directions; dz must hold as many vectors. Fills
// midpoint, if given, with the populations half-way, and multiplies
// propagator, if given, by exp(X) from the left (a product of steps' propagators is
// the linear map a sequence of steps makes of the populations; it costs two
// matrix products more).
void propagate(const ConservingMatrix& x, std::span<const ConservingMatrix> directions,
               ConservingVector& z, std::span<ConservingVector> dz,
               Midpoint* midpoint = nullptr, ConservingMatrix* propagator = nullptr) noexcept;

// What the backward pass needs of one step: the scaled generator, its even
// powers, the parts of the degree-13 approximant and the matrices of the
// squaring phase. Kept per step of a pulse and reused from pulse to pulse,
// so its storage is allocated only when a step needs more squarings than
// before.
struct ExponentialRecord {
  ConservingMatrix x, x2, x4, x6;   // X / 2^s and its even powers
  ConservingMatrix inner_w, inner_v;  // the factors X^6 multiplies in W and V
  ConservingMatrix w;                 // U = X W
  ConservingMatrix q_inverse;
  std::vector<ConservingMatrix> squares;  // R, R^2, ..., R^(2^(s-1)); R alone when s = 0
  int squarings = 0;
  bool finite = true;
};

// z <- exp(X) z as propagate does (always with the degree-13 approximant),
// recording what backpropagate needs; midpoint, if given, receives
// exp(X/2) z, and propagator, if given, is multiplied by exp(X) from the left.
void propagate_recorded(const ConservingMatrix& x, ConservingVector& z,
                        ExponentialRecord& record, ConservingVector* midpoint = nullptr,
                        ConservingMatrix* propagator = nullptr);

// The backward (adjoint) pass of one recorded step taken from z_in: on entry
// z_bar is the adjoint of exp(X) z_in (and midpoint_bar, given for a step
// recorded with its midpoint, that of exp(X/2) z_in); on return z_bar is the
// adjoint of z_in, and the adjoint of X has been added to x_bar. Its cost
// does not depend on how many parameters the adjoint is later contracted with.
void backpropagate(const ExponentialRecord& record, const ConservingVector& z_in,
                   ConservingVector& z_bar, ConservingMatrix& x_bar,
                   const ConservingVector* midpoint_bar = nullptr) noexcept;

// exp(X) and L(X, E_d) on level populations, as 5x5 matrices (the first row
// of X is implied by conservation and not read).
Matrix5 matrix_exponential(const Matrix5& x) noexcept;
void matrix_exponential_with_derivatives(const Matrix5& x,
                                         std::span<const Matrix5> directions,
                                         Matrix5& exponential,
                                         std::span<Matrix5> derivatives) noexcept;

}  // namespace tarnok::engine
