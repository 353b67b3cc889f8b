#include "engine/matrix_exponential.hpp"

#include <Eigen/LU>
#include <array>
#include <cmath>
#include <limits>

namespace tarnok::engine {

namespace {

// Coefficients of the diagonal Pade approximants r_m = q_m^-1 p_m of degree m,
// and the largest 1-norm theta_m for which r_m(X) = exp(X + dX) with a
// backward error ||dX|| / ||X|| below the unit roundoff.
constexpr std::array<double, 4> b3{120.0, 60.0, 12.0, 1.0};
constexpr std::array<double, 6> b5{30240.0, 15120.0, 3360.0, 420.0, 30.0, 1.0};
constexpr std::array<double, 8> b7{17297280.0, 8648640.0, 1995840.0, 277200.0,
                                   25200.0,    1512.0,    56.0,      1.0};
constexpr std::array<double, 10> b9{17643225600.0, 8821612800.0, 2075673600.0,
                                    302702400.0,   30270240.0,   2162160.0,
                                    110880.0,      3960.0,       90.0,
                                    1.0};
constexpr std::array<double, 14> b13{
    64764752532480000.0, 32382376266240000.0, 7771770303897600.0,
    1187353796428800.0,  129060195264000.0,   10559470521600.0,
    670442572800.0,      33522128640.0,       1323241920.0,
    40840800.0,          960960.0,            16380.0,
    182.0,               1.0};
constexpr double theta3 = 1.495585217958292e-2;
constexpr double theta5 = 2.539398330063230e-1;
constexpr double theta7 = 9.504178996162932e-1;
constexpr double theta9 = 2.097847961257068e0;
constexpr double theta13 = 5.371920351148152e0;

// A 5x5 matrix in the coordinates (N2, N3, N4, N5, N1 + ... + N5). A
// generator conserves the total population, so in these coordinates its last
// row vanishes, and so does that of its powers and of every derivative; the
// Pade terms and the exponential keep a last row (0, 0, 0, 0, corner). Keeping
// only the top four rows makes every product a 4x4 by 4x5 one with columns
// that fill whole vector registers: about half the work of a full 5x5 product.
// The eliminated level is the ground state, usually the most populated one,
// so the population recovered from the total loses least to cancellation.
struct Reduced {
  Eigen::Matrix<double, 4, 5> top;
  double corner;

  void add(double factor, const Reduced& x) noexcept {
    top += factor * x.top;
    corner += factor * x.corner;
  }
  void add(const Reduced& x) noexcept {
    top += x.top;
    corner += x.corner;
  }
};

Reduced reduce(const Matrix5& generator, double scale) noexcept {
  Reduced r;
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i)
      r.top(i, j) = scale * (generator(i + 1, j + 1) - generator(i + 1, 0));
  for (int i = 0; i < 4; ++i) r.top(i, 4) = scale * generator(i + 1, 0);
  r.corner = 0.0;
  return r;
}

// Back to level populations: the image of level j is that of (e_j, 1) in the
// reduced coordinates, and N1 is the total less the other four.
Matrix5 expand(const Reduced& r) noexcept {
  Matrix5 m;
  for (int j = 0; j < 5; ++j) {
    double moved = 0.0;
    for (int i = 0; i < 4; ++i) {
      const double value = r.top(i, 4) + (j > 0 ? r.top(i, j - 1) : 0.0);
      m(i + 1, j) = value;
      moved += value;
    }
    m(0, j) = r.corner - moved;
  }
  return m;
}

// c = a b, or c += a b. The last row of a is (0, 0, 0, 0, a.corner), so only
// the 4x4 block of a meets the top of b, and a's last column meets b.corner.
template <bool accumulate>
void product(const Reduced& a, const Reduced& b, Reduced& c) noexcept {
  for (int j = 0; j < 5; ++j) {
    Eigen::Vector4d column = accumulate ? c.top.col(j) : Eigen::Vector4d::Zero().eval();
    for (int k = 0; k < 4; ++k) column += a.top.col(k) * b.top(k, j);
    c.top.col(j) = column;
  }
  if (accumulate) {
    c.top.col(4) += a.top.col(4) * b.corner;
    c.corner += a.corner * b.corner;
  } else {
    c.top.col(4) += a.top.col(4) * b.corner;
    c.corner = a.corner * b.corner;
  }
}

double one_norm(const Reduced& a) noexcept {
  const Eigen::Matrix<double, 1, 5> sums = a.top.cwiseAbs().colwise().sum();
  return std::max(sums.head<4>().maxCoeff(), sums(4) + std::abs(a.corner));
}

// Solves q R = P for R. With q = [[Q, q_c], [0, q_z]] and P likewise,
// R_z = P_z / q_z and [R_B, R_c] = Q^-1 [P_B, P_c - q_c R_z]. The denominator
// q of a Pade approximant within its norm bound is well conditioned, so its
// explicit inverse is as good as a factorisation, and applying it is a
// vectorised product instead of scalar substitutions.
class PadeDenominator {
 public:
  explicit PadeDenominator(const Reduced& q) noexcept
      : inverse_(q.top.leftCols<4>().inverse()), q_c_(q.top.col(4)), q_z_(q.corner) {}

  void solve_in_place(Reduced& p) const noexcept {
    p.corner /= q_z_;
    p.top.col(4) -= q_c_ * p.corner;
    const Eigen::Matrix<double, 4, 5> rhs = p.top;
    p.top.noalias() = inverse_.lazyProduct(rhs);
  }

 private:
  Eigen::Matrix4d inverse_;
  Eigen::Vector4d q_c_;
  double q_z_;
};

using Directions = std::array<Reduced, max_directions>;

// A matrix power and its derivative along every direction.
struct Power {
  Reduced value;
  Directions derivative;
};

// Product a*b with the product rule along n directions.
void multiply(const Power& a, const Power& b, std::size_t n, Power& out) noexcept {
  product<false>(a.value, b.value, out.value);
  for (std::size_t d = 0; d < n; ++d) {
    product<false>(a.derivative[d], b.value, out.derivative[d]);
    product<true>(a.value, b.derivative[d], out.derivative[d]);
  }
}

// The odd part U and even part V of the numerator, p_m = V + U and
// q_m = V - U, with their derivatives.
struct PadeTerms {
  Reduced u;
  Reduced v;
  Directions du;
  Directions dv;
};

// Sum_k c[k] * powers[k] along the value and every direction; powers[0] is
// the identity (whose derivative is zero) and is passed as nullptr.
template <std::size_t K>
void combine(const std::array<double, K>& c, const std::array<const Power*, K>& powers,
             std::size_t n, Reduced& value, Directions& derivative) noexcept {
  value.top = c[1] * powers[1]->value.top;
  value.corner = c[1] * powers[1]->value.corner;
  for (std::size_t k = 2; k < K; ++k) value.add(c[k], powers[k]->value);
  value.top.leftCols<4>().diagonal().array() += c[0];
  value.corner += c[0];
  for (std::size_t d = 0; d < n; ++d) {
    derivative[d].top = c[1] * powers[1]->derivative[d].top;
    derivative[d].corner = 0.0;
    for (std::size_t k = 2; k < K; ++k) derivative[d].top += c[k] * powers[k]->derivative[d].top;
  }
}

// U = X * W with the product rule: dU = E W + X dW.
void times_x(const Power& x, const Reduced& w, const Directions& dw, std::size_t n,
             PadeTerms& terms) noexcept {
  product<false>(x.value, w, terms.u);
  for (std::size_t d = 0; d < n; ++d) {
    product<false>(x.derivative[d], w, terms.du[d]);
    product<true>(x.value, dw[d], terms.du[d]);
  }
}

// Degrees 3 to 9: both parts are polynomials in X^2, evaluated from the even
// powers up to X^(m-1).
template <std::size_t M>
void low_degree_terms(const std::array<double, M + 1>& b, const Power& x, std::size_t n,
                      PadeTerms& terms) noexcept {
  constexpr std::size_t half = (M + 1) / 2;
  std::array<Power, half> even;  // even[k] = X^(2k); even[0] unused (identity)
  multiply(x, x, n, even[1]);
  for (std::size_t k = 2; k < half; ++k) multiply(even[k - 1], even[1], n, even[k]);

  std::array<double, half> odd_c{};
  std::array<double, half> even_c{};
  std::array<const Power*, half> powers{};
  for (std::size_t k = 0; k < half; ++k) {
    odd_c[k] = b[2 * k + 1];
    even_c[k] = b[2 * k];
    powers[k] = k == 0 ? nullptr : &even[k];
  }
  Reduced w;
  Directions dw;
  combine(odd_c, powers, n, w, dw);
  times_x(x, w, dw, n, terms);
  combine(even_c, powers, n, terms.v, terms.dv);
}

// Degree 13 in the factored form that needs only six products.
void degree13_terms(const Power& x, std::size_t n, PadeTerms& terms) noexcept {
  Power x2, x4, x6;
  multiply(x, x, n, x2);
  multiply(x2, x2, n, x4);
  multiply(x4, x2, n, x6);
  const std::array<const Power*, 4> powers{nullptr, &x2, &x4, &x6};

  Power inner;  // b13 X^6 + b11 X^4 + b9 X^2, then X^6 times it
  Power outer;
  combine(std::array<double, 4>{0.0, b13[9], b13[11], b13[13]}, powers, n, inner.value,
          inner.derivative);
  multiply(x6, inner, n, outer);
  Reduced w;
  Directions dw;
  combine(std::array<double, 4>{b13[1], b13[3], b13[5], b13[7]}, powers, n, w, dw);
  w.add(outer.value);
  for (std::size_t d = 0; d < n; ++d) dw[d].add(outer.derivative[d]);
  times_x(x, w, dw, n, terms);

  combine(std::array<double, 4>{0.0, b13[8], b13[10], b13[12]}, powers, n, inner.value,
          inner.derivative);
  multiply(x6, inner, n, outer);
  combine(std::array<double, 4>{b13[0], b13[2], b13[4], b13[6]}, powers, n, terms.v,
          terms.dv);
  terms.v.add(outer.value);
  for (std::size_t d = 0; d < n; ++d) terms.dv[d].add(outer.derivative[d]);
}

// Degree and number of squarings for a matrix of the given 1-norm.
struct Scaling {
  int degree;
  int squarings;
};

Scaling choose_scaling(double norm) noexcept {
  if (norm <= theta3) return {3, 0};
  if (norm <= theta5) return {5, 0};
  if (norm <= theta7) return {7, 0};
  if (norm <= theta9) return {9, 0};
  if (norm <= theta13) return {13, 0};
  return {13, static_cast<int>(std::ceil(std::log2(norm / theta13)))};
}

void pade_terms(int degree, const Power& x, std::size_t n, PadeTerms& terms) noexcept {
  switch (degree) {
    case 3: low_degree_terms<3>(b3, x, n, terms); break;
    case 5: low_degree_terms<5>(b5, x, n, terms); break;
    case 7: low_degree_terms<7>(b7, x, n, terms); break;
    case 9: low_degree_terms<9>(b9, x, n, terms); break;
    default: degree13_terms(x, n, terms); break;
  }
}

}  // namespace

void matrix_exponential_with_derivatives(const Matrix5& x,
                                         std::span<const Matrix5> directions,
                                         Matrix5& exponential,
                                         std::span<Matrix5> derivatives) noexcept {
  const std::size_t n = std::min({directions.size(), derivatives.size(), max_directions});
  Power scaled;
  scaled.value = reduce(x, 1.0);
  const double norm = one_norm(scaled.value);
  if (!std::isfinite(norm)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    exponential.setConstant(nan);
    for (std::size_t d = 0; d < n; ++d) derivatives[d].setConstant(nan);
    return;
  }
  const Scaling scaling = choose_scaling(norm);
  // Scaling by a power of two is exact, so the squarings undo it exactly.
  const double scale = std::ldexp(1.0, -scaling.squarings);
  scaled.value.top *= scale;
  for (std::size_t d = 0; d < n; ++d) scaled.derivative[d] = reduce(directions[d], scale);

  PadeTerms terms;
  pade_terms(scaling.degree, scaled, n, terms);

  // q R = p, and differentiating, q dR = dp - dq R.
  Reduced q = terms.v;
  q.add(-1.0, terms.u);
  const PadeDenominator lu(q);
  Reduced power = terms.v;
  power.add(terms.u);
  lu.solve_in_place(power);
  Directions& d_power = terms.dv;  // dp is not needed once dR is formed
  for (std::size_t d = 0; d < n; ++d) {
    Reduced dq = terms.du[d];
    dq.add(-1.0, terms.dv[d]);
    d_power[d].add(terms.du[d]);
    product<true>(dq, power, d_power[d]);
    lu.solve_in_place(d_power[d]);
  }

  Reduced squared;
  for (int s = 0; s < scaling.squarings; ++s) {
    for (std::size_t d = 0; d < n; ++d) {
      product<false>(d_power[d], power, squared);
      product<true>(power, d_power[d], squared);
      d_power[d] = squared;
    }
    product<false>(power, power, squared);
    power = squared;
  }
  exponential = expand(power);
  for (std::size_t d = 0; d < n; ++d) derivatives[d] = expand(d_power[d]);
}

Matrix5 matrix_exponential(const Matrix5& x) noexcept {
  Matrix5 exponential;
  matrix_exponential_with_derivatives(x, {}, exponential, {});
  return exponential;
}

}  // namespace tarnok::engine
