// The exponential of a 5x5 matrix and its derivatives along given directions:
// the propagator of the level populations over one time slice, in which the
// irradiance and so the rate matrix is constant.
#pragma once

#include <Eigen/Core>
#include <span>

namespace tarnok::engine {

using Matrix5 = Eigen::Matrix<double, 5, 5>;
using Vector5 = Eigen::Matrix<double, 5, 1>;

// exp(X) of a generator X (a rate matrix times a time: its columns sum to
// zero, so it conserves the total population), by scaling and squaring with
// the diagonal Pade approximant whose degree (3, 5, 7, 9 or 13) the 1-norm of
// X calls for, so the backward error stays at the unit roundoff. The first
// row of X is not read: conservation implies it. NaN or infinite input gives
// a NaN matrix.
Matrix5 matrix_exponential(const Matrix5& x) noexcept;

// exp(X) and, for each direction E_d (a generator too), the Frechet derivative
// L(X, E_d) = d/dh exp(X + h E_d) at h = 0, obtained by differentiating every
// step of the same algorithm (so the derivative is that of the computed
// exponential, not a finite difference). derivatives must hold
// directions.size() matrices; at most max_directions are supported.
inline constexpr std::size_t max_directions = 10;
void matrix_exponential_with_derivatives(const Matrix5& x,
                                         std::span<const Matrix5> directions,
                                         Matrix5& exponential,
                                         std::span<Matrix5> derivatives) noexcept;

}  // namespace tarnok::engine
