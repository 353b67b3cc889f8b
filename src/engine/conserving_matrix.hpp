// Rate matrices and propagators of the five level populations in the
// coordinates (N2, N3, N4, N5, N1 + ... + N5). A generator conserves the total
// population, so in these coordinates its last row vanishes, and so does that
// of its powers and of every derivative; the Pade terms and the exponential
// keep a last row (0, 0, 0, 0, corner). Keeping only the top four rows makes
// every product a 4x4 by 4x5 one whose columns fill whole vector registers:
// about half the work of a full 5x5 product.
//
// The eliminated level is the ground state, usually the most populated one,
// so recovering its population from the total loses least to cancellation.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cmath>

namespace tarnok::engine {

using Matrix5 = Eigen::Matrix<double, 5, 5>;
using Vector5 = Eigen::Matrix<double, 5, 1>;

// Populations in the conserving coordinates: (N2, N3, N4, N5, total).
using ConservingVector = Vector5;

struct ConservingMatrix {
  Eigen::Matrix<double, 4, 5> top;
  double corner;  // left uninitialised: work arrays of these are built per step

  static ConservingMatrix zero() noexcept {
    ConservingMatrix m;
    m.top.setZero();
    m.corner = 0.0;
    return m;
  }

  // scale * G for a generator G on the levels (columns summing to zero; its
  // first row, implied by conservation, is not read).
  static ConservingMatrix from_generator(const Matrix5& generator, double scale) noexcept {
    ConservingMatrix r;
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 4; ++i)
        r.top(i, j) = scale * (generator(i + 1, j + 1) - generator(i + 1, 0));
    for (int i = 0; i < 4; ++i) r.top(i, 4) = scale * generator(i + 1, 0);
    r.corner = 0.0;
    return r;
  }

  ConservingVector operator*(const ConservingVector& z) const noexcept {
    ConservingVector out;
    out.head<4>().noalias() = top * z;
    out(4) = corner * z(4);
    return out;
  }

  // The transpose applied to z.
  ConservingVector transpose_times(const ConservingVector& z) const noexcept {
    ConservingVector out;
    out.head<4>().noalias() = top.leftCols<4>().transpose() * z.head<4>();
    out(4) = top.col(4).dot(z.head<4>()) + corner * z(4);
    return out;
  }

  void add(double factor, const ConservingMatrix& x) noexcept {
    top += factor * x.top;
    corner += factor * x.corner;
  }
  void add(const ConservingMatrix& x) noexcept {
    top += x.top;
    corner += x.corner;
  }
};

inline ConservingVector to_conserving(const Vector5& levels) noexcept {
  ConservingVector z;
  z << levels.tail<4>(), levels.sum();
  return z;
}

inline Vector5 to_levels(const ConservingVector& z) noexcept {
  Vector5 levels;
  levels << z(4) - z.head<4>().sum(), z.head<4>();
  return levels;
}

// c = a b, or c += a b with accumulate. The last row of a is
// (0, 0, 0, 0, a.corner), so only a's 4x4 block meets the top of b, and a's
// last column meets b.corner.
template <bool accumulate>
inline void product(const ConservingMatrix& a, const ConservingMatrix& b,
                    ConservingMatrix& c) noexcept {
  for (int j = 0; j < 5; ++j) {
    Eigen::Vector4d column = accumulate ? c.top.col(j) : Eigen::Vector4d::Zero().eval();
    for (int k = 0; k < 4; ++k) column += a.top.col(k) * b.top(k, j);
    c.top.col(j) = column;
  }
  c.top.col(4) += a.top.col(4) * b.corner;
  c.corner = (accumulate ? c.corner : 0.0) + a.corner * b.corner;
}

// c = a b + e f in one pass: the product rule's two terms, each column summed
// in registers.
inline void product_sum(const ConservingMatrix& a, const ConservingMatrix& b,
                        const ConservingMatrix& e, const ConservingMatrix& f,
                        ConservingMatrix& c) noexcept {
  for (int j = 0; j < 5; ++j) {
    Eigen::Vector4d column = a.top.col(0) * b.top(0, j);
    for (int k = 1; k < 4; ++k) column += a.top.col(k) * b.top(k, j);
    for (int k = 0; k < 4; ++k) column += e.top.col(k) * f.top(k, j);
    c.top.col(j) = column;
  }
  c.top.col(4) += a.top.col(4) * b.corner + e.top.col(4) * f.corner;
  c.corner = a.corner * b.corner + e.corner * f.corner;
}

// The adjoints of a product for the backward pass. With the inner product
// <A, B> = sum(A.top .* B.top) + A.corner B.corner on these matrices, the
// adjoint of c = a b with respect to a is the part of c_bar b^T that the
// representation keeps, and with respect to b that of a^T c_bar; these add
// them to out.
inline void add_times_transpose(const ConservingMatrix& c_bar, const ConservingMatrix& b,
                                ConservingMatrix& out) noexcept {
  // Columns 0..3: c_bar.top (4x5) times the transpose of b.top (4x5), as
  // column combinations like product's.
  for (int j = 0; j < 4; ++j) {
    Eigen::Vector4d column = out.top.col(j);
    for (int k = 0; k < 5; ++k) column += c_bar.top.col(k) * b.top(j, k);
    out.top.col(j) = column;
  }
  out.top.col(4) += c_bar.top.col(4) * b.corner;
  out.corner += c_bar.corner * b.corner;
}

inline void add_transpose_times(const ConservingMatrix& a, const ConservingMatrix& c_bar,
                                ConservingMatrix& out) noexcept {
  // Transposed once, a's block multiplies like product's left factor.
  const Eigen::Matrix4d a_t = a.top.leftCols<4>().transpose();
  for (int j = 0; j < 5; ++j) {
    Eigen::Vector4d column = out.top.col(j);
    for (int k = 0; k < 4; ++k) column += a_t.col(k) * c_bar.top(k, j);
    out.top.col(j) = column;
  }
  out.corner += a.top.col(4).dot(c_bar.top.col(4)) + a.corner * c_bar.corner;
}

// out += factor a b^T, the part the representation keeps: the adjoint of a
// matrix applied to a vector, b -> a, comes as such outer products.
inline void add_outer(double factor, const ConservingVector& a, const ConservingVector& b,
                      ConservingMatrix& out) noexcept {
  out.top.noalias() += (factor * a.head<4>()) * b.transpose();
  out.corner += factor * a(4) * b(4);
}

inline double inner(const ConservingMatrix& a, const ConservingMatrix& b) noexcept {
  return a.top.cwiseProduct(b.top).sum() + a.corner * b.corner;
}

inline double one_norm(const ConservingMatrix& a) noexcept {
  const Eigen::Matrix<double, 1, 5> sums = a.top.cwiseAbs().colwise().sum();
  return std::max(sums.head<4>().maxCoeff(), sums(4) + std::abs(a.corner));
}

}  // namespace tarnok::engine
