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

// Solves q R = P for R. With q = [[Q, q_c], [0, q_z]] and P likewise,
// R_z = P_z / q_z and [R_B, R_c] = Q^-1 [P_B, P_c - q_c R_z]. The denominator
// q of a Pade approximant within its norm bound is well conditioned, so its
// explicit inverse is as good as a factorisation, and applying it is a
// vectorised product instead of scalar substitutions.
class PadeDenominator {
 public:
  explicit PadeDenominator(const ConservingMatrix& q) noexcept
      : inverse_(q.top.leftCols<4>().inverse()), q_c_(q.top.col(4)), q_z_(q.corner) {}

  void solve_in_place(ConservingMatrix& p) const noexcept {
    p.corner /= q_z_;
    p.top.col(4) -= q_c_ * p.corner;
    const Eigen::Matrix<double, 4, 5> rhs = p.top;
    p.top.noalias() = inverse_.lazyProduct(rhs);
  }

  ConservingVector solve(const ConservingVector& b) const noexcept {
    ConservingVector r;
    r(4) = b(4) / q_z_;
    r.head<4>().noalias() = inverse_ * (b.head<4>() - q_c_ * r(4));
    return r;
  }

 private:
  Eigen::Matrix4d inverse_;
  Eigen::Vector4d q_c_;
  double q_z_;
};

using Directions = std::array<ConservingMatrix, max_directions>;

// A matrix power and its derivative along every direction.
struct Power {
  ConservingMatrix value;
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
  ConservingMatrix u;
  ConservingMatrix v;
  Directions du;
  Directions dv;
};

// Sum_k c[k] * powers[k] along the value and every direction; powers[0] is
// the identity (whose derivative is zero) and is passed as nullptr.
template <std::size_t K>
void combine(const std::array<double, K>& c, const std::array<const Power*, K>& powers,
             std::size_t n, ConservingMatrix& value, Directions& derivative) noexcept {
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
void times_x(const Power& x, const ConservingMatrix& w, const Directions& dw, std::size_t n,
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
  ConservingMatrix w;
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
  ConservingMatrix w;
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

void propagate(const ConservingMatrix& x, std::span<const ConservingMatrix> directions,
               ConservingVector& z, std::span<ConservingVector> dz) noexcept {
  const std::size_t n = std::min({directions.size(), dz.size(), max_directions});
  const double norm = one_norm(x);
  if (!std::isfinite(norm)) {
    z.setConstant(std::numeric_limits<double>::quiet_NaN());
    for (std::size_t d = 0; d < n; ++d) dz[d] = z;
    return;
  }
  const Scaling scaling = choose_scaling(norm);
  // Scaling by a power of two is exact, so the squarings undo it exactly.
  const double scale = std::ldexp(1.0, -scaling.squarings);
  Power scaled;
  scaled.value.top = scale * x.top;
  scaled.value.corner = scale * x.corner;
  for (std::size_t d = 0; d < n; ++d) {
    scaled.derivative[d].top = scale * directions[d].top;
    scaled.derivative[d].corner = scale * directions[d].corner;
  }

  PadeTerms terms;
  pade_terms(scaling.degree, scaled, n, terms);

  // R = q^-1 p with p = V + U and q = V - U; differentiating, q dR = dp - dq R.
  ConservingMatrix q = terms.v;
  q.add(-1.0, terms.u);
  const PadeDenominator denominator(q);
  ConservingMatrix power = terms.v;
  power.add(terms.u);
  denominator.solve_in_place(power);

  // Only exp(X) z and the derivatives applied to z are wanted, so the last
  // stage (the solve, or the last squaring) acts on vectors: a few
  // matrix-vector products instead of two matrix products per direction.
  if (scaling.squarings == 0) {
    // dR z = q^-1 (dp z - dq R z) = q^-1 (dV (z - R z) + dU (z + R z)).
    const ConservingVector moved = power * z;
    const ConservingVector behind = z - moved, ahead = z + moved;
    for (std::size_t d = 0; d < n; ++d)
      dz[d] = denominator.solve(terms.dv[d] * behind + terms.du[d] * ahead) + power * dz[d];
    z = moved;
    return;
  }

  const std::span<ConservingMatrix> d_power(terms.dv.data(), n);  // dp is spent once dR is
  for (std::size_t d = 0; d < n; ++d) {
    ConservingMatrix dq = terms.du[d];
    dq.add(-1.0, terms.dv[d]);
    d_power[d].add(terms.du[d]);
    product<true>(dq, power, d_power[d]);
    denominator.solve_in_place(d_power[d]);
  }
  ConservingMatrix squared;
  for (int s = 1; s < scaling.squarings; ++s) {
    for (std::size_t d = 0; d < n; ++d) {
      product<false>(d_power[d], power, squared);
      product<true>(power, d_power[d], squared);
      d_power[d] = squared;
    }
    product<false>(power, power, squared);
    power = squared;
  }
  // The last squaring: exp(X) = R R and d exp(X) = dR R + R dR.
  const ConservingVector half = power * z;
  for (std::size_t d = 0; d < n; ++d)
    dz[d] = d_power[d] * half + power * (d_power[d] * z + power * dz[d]);
  z = power * half;
}

void matrix_exponential_with_derivatives(const Matrix5& x,
                                         std::span<const Matrix5> directions,
                                         Matrix5& exponential,
                                         std::span<Matrix5> derivatives) noexcept {
  const std::size_t n = std::min({directions.size(), derivatives.size(), max_directions});
  std::array<ConservingMatrix, max_directions> conserving_directions;
  for (std::size_t d = 0; d < n; ++d)
    conserving_directions[d] = ConservingMatrix::from_generator(directions[d], 1.0);
  const ConservingMatrix generator = ConservingMatrix::from_generator(x, 1.0);
  // Column j is where the populations of level j alone go.
  for (int j = 0; j < 5; ++j) {
    ConservingVector z = to_conserving(Vector5::Unit(j));
    std::array<ConservingVector, max_directions> dz;
    for (std::size_t d = 0; d < n; ++d) dz[d].setZero();
    propagate(generator, std::span(conserving_directions.data(), n), z,
              std::span(dz.data(), n));
    exponential.col(j) = to_levels(z);
    for (std::size_t d = 0; d < n; ++d) derivatives[d].col(j) = to_levels(dz[d]);
  }
}

Matrix5 matrix_exponential(const Matrix5& x) noexcept {
  Matrix5 exponential;
  matrix_exponential_with_derivatives(x, {}, exponential, {});
  return exponential;
}

}  // namespace tarnok::engine
