#include "engine/matrix_exponential.hpp"

#include <Eigen/LU>
#include <array>
#include <bit>
#include <cstdint>
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

  // q^-1 itself: [[Q^-1, -Q^-1 q_c / q_z], [0, 1 / q_z]].
  ConservingMatrix as_matrix() const noexcept {
    ConservingMatrix m;
    m.top.leftCols<4>() = inverse_;
    m.top.col(4) = -(inverse_ * q_c_) / q_z_;
    m.corner = 1.0 / q_z_;
    return m;
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
  for (std::size_t d = 0; d < n; ++d)
    product_sum(a.derivative[d], b.value, a.value, b.derivative[d], out.derivative[d]);
}

// The derivatives alone of a*b, whose value is already known.
void differentiate_product(const Power& a, const Power& b, std::size_t n, Power& out) noexcept {
  for (std::size_t d = 0; d < n; ++d)
    product_sum(a.derivative[d], b.value, a.value, b.derivative[d], out.derivative[d]);
}

// X / 2^s and its even powers up to the sixth, as many as the degree needs.
struct EvenPowers {
  Power x, x2, x4, x6;
};

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
  for (std::size_t d = 0; d < n; ++d) product_sum(x.derivative[d], w, x.value, dw[d], terms.du[d]);
}

// Degrees 3 to 9: both parts are polynomials in X^2, evaluated from the even
// powers up to X^(m-1).
template <std::size_t M>
void low_degree_terms(const std::array<double, M + 1>& b, EvenPowers& p, std::size_t n,
                      PadeTerms& terms) noexcept {
  constexpr std::size_t half = (M + 1) / 2;
  Power x8;
  const std::array<Power*, 5> available{nullptr, &p.x2, &p.x4, &p.x6, &x8};
  if constexpr (half > 4) product<false>(p.x4.value, p.x4.value, x8.value);
  differentiate_product(p.x, p.x, n, p.x2);
  if constexpr (half > 2) differentiate_product(p.x2, p.x2, n, p.x4);
  if constexpr (half > 3) differentiate_product(p.x4, p.x2, n, p.x6);
  if constexpr (half > 4) differentiate_product(p.x4, p.x4, n, x8);

  std::array<double, half> odd_c{};
  std::array<double, half> even_c{};
  std::array<const Power*, half> powers{};
  for (std::size_t k = 0; k < half; ++k) {
    odd_c[k] = b[2 * k + 1];
    even_c[k] = b[2 * k];
    powers[k] = available[k];
  }
  ConservingMatrix w;
  Directions dw;
  combine(odd_c, powers, n, w, dw);
  times_x(p.x, w, dw, n, terms);
  combine(even_c, powers, n, terms.v, terms.dv);
}

// Degree 13 in the factored form that needs only six products.
void degree13_terms(EvenPowers& p, std::size_t n, PadeTerms& terms) noexcept {
  differentiate_product(p.x, p.x, n, p.x2);
  differentiate_product(p.x2, p.x2, n, p.x4);
  differentiate_product(p.x4, p.x2, n, p.x6);
  const std::array<const Power*, 4> powers{nullptr, &p.x2, &p.x4, &p.x6};

  Power inner;  // b13 X^6 + b11 X^4 + b9 X^2, then X^6 times it
  Power outer;
  combine(std::array<double, 4>{0.0, b13[9], b13[11], b13[13]}, powers, n, inner.value,
          inner.derivative);
  multiply(p.x6, inner, n, outer);
  ConservingMatrix w;
  Directions dw;
  combine(std::array<double, 4>{b13[1], b13[3], b13[5], b13[7]}, powers, n, w, dw);
  w.add(outer.value);
  for (std::size_t d = 0; d < n; ++d) dw[d].add(outer.derivative[d]);
  times_x(p.x, w, dw, n, terms);

  combine(std::array<double, 4>{0.0, b13[8], b13[10], b13[12]}, powers, n, inner.value,
          inner.derivative);
  multiply(p.x6, inner, n, outer);
  combine(std::array<double, 4>{b13[0], b13[2], b13[4], b13[6]}, powers, n, terms.v,
          terms.dv);
  terms.v.add(outer.value);
  for (std::size_t d = 0; d < n; ++d) terms.dv[d].add(outer.derivative[d]);
}

// Degree and number of squarings.
struct Scaling {
  int degree;
  int squarings;
};

// 2^exponent for exponents of normal doubles (-1022 to 1023), built directly:
// std::ldexp is a library call that would cost more than the scaling it
// serves. A finite 1-norm needs at most 1022 squarings.
double power_of_two(int exponent) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + exponent) << 52);
}

void scale(ConservingMatrix& m, int exponent) noexcept {
  const double factor = power_of_two(exponent);
  m.top *= factor;
  m.corner *= factor;
}

// The norms ||X^k||, k = 1..6, or bounds on them, of the scaled matrix.
struct PowerNorms {
  std::array<double, 7> n{};  // n[k] for k >= 1

  // Whether eta <= t, where eta is the least alpha_k = max(d_k, d_(k+1)),
  // d_k = ||X^k||^(1/k), over k = 1..max_k; d_k <= t is n_k <= t^k, so no
  // roots are taken.
  bool eta_within(double t, int max_k) const noexcept {
    std::array<double, 7> t_power{1.0};
    for (std::size_t k = 1; k < t_power.size(); ++k) t_power[k] = t_power[k - 1] * t;
    for (int k = 1; k <= max_k; ++k) {
      const auto i = static_cast<std::size_t>(k);
      if (n[i] <= t_power[i] && n[i + 1] <= t_power[i + 1]) return true;
    }
    return false;
  }
};

// Chooses the degree and the squarings, at least least_squarings of them,
// leaving in p the values of X / 2^s and of its even powers up to those the
// degree needs (all but X^8).
//
// The backward error of the degree-13 approximant is bounded through
// alpha_k = max(d_k, d_(k+1)), d_k = ||X^k||^(1/k), for any k <= 5
// (Al-Mohy and Higham, 2009), not only through ||X||: for the rate matrices
// here, whose fastest decay dominates the 1-norm twice over (its column holds
// the loss and the gain), that usually spares a squaring. The odd powers'
// norms are bounded by those at hand, ||X^3|| <= ||X|| ||X^2|| and
// ||X^5|| <= ||X|| ||X^4||.
Scaling choose_scaling(const ConservingMatrix& x, double norm, bool degree13_only,
                       int least_squarings, EvenPowers& p) noexcept {
  p.x.value = x;
  if (least_squarings > 0) {
    scale(p.x.value, -least_squarings);
    norm *= power_of_two(-least_squarings);
  }
  if (norm <= theta13) {
    // Within reach of a single approximant, the bound could at best lower
    // the degree one step, which would not repay the norms it takes.
    const int degree = degree13_only   ? 13
                     : norm <= theta3 ? 3
                     : norm <= theta5 ? 5
                     : norm <= theta7 ? 7
                     : norm <= theta9 ? 9
                                      : 13;
    product<false>(p.x.value, p.x.value, p.x2.value);
    if (degree >= 5) product<false>(p.x2.value, p.x2.value, p.x4.value);
    if (degree >= 7) product<false>(p.x4.value, p.x2.value, p.x6.value);
    return {degree, least_squarings};
  }

  // First scaled so the 1-norm alone would do (the powers then stay in
  // range), then the squarings the bound shows unnecessary are undone. A
  // generator's spectral radius is at least a tenth of its 1-norm (the trace
  // is the sum of the eigenvalues), so the bound never spares more than a few;
  // the cap keeps the powers of two below exact in range for any input.
  constexpr int most_spared = 8;
  int by_norm = 0;
  for (double limit = theta13; norm > limit; limit *= 2.0) ++by_norm;
  scale(p.x.value, -by_norm);
  product<false>(p.x.value, p.x.value, p.x2.value);
  product<false>(p.x2.value, p.x2.value, p.x4.value);
  product<false>(p.x4.value, p.x2.value, p.x6.value);
  PowerNorms norms;
  norms.n[1] = one_norm(p.x.value);
  norms.n[2] = one_norm(p.x2.value);
  norms.n[3] = norms.n[1] * norms.n[2];
  norms.n[4] = one_norm(p.x4.value);
  norms.n[5] = norms.n[1] * norms.n[4];
  norms.n[6] = one_norm(p.x6.value);
  int spared = 0;
  while (spared < std::min(by_norm, most_spared) &&
         norms.eta_within(theta13 * power_of_two(-(spared + 1)), 5))
    ++spared;
  if (spared > 0) {
    scale(p.x.value, spared);
    scale(p.x2.value, 2 * spared);
    scale(p.x4.value, 4 * spared);
    scale(p.x6.value, 6 * spared);
  }
  return {13, by_norm - spared + least_squarings};
}

void pade_terms(int degree, EvenPowers& p, std::size_t n, PadeTerms& terms) noexcept {
  switch (degree) {
    case 3: low_degree_terms<3>(b3, p, n, terms); break;
    case 5: low_degree_terms<5>(b5, p, n, terms); break;
    case 7: low_degree_terms<7>(b7, p, n, terms); break;
    case 9: low_degree_terms<9>(b9, p, n, terms); break;
    default: degree13_terms(p, n, terms); break;
  }
}

}  // namespace

namespace {

// propagator <- exp(X) propagator, from R = exp(X / 2^s) after s - 1
// squarings: one more squaring (unless s = 0) and one product.
void accumulate_propagator(const ConservingMatrix& r, int squarings,
                           ConservingMatrix& propagator) noexcept {
  const ConservingMatrix before = propagator;
  if (squarings == 0) {
    product<false>(r, before, propagator);
    return;
  }
  ConservingMatrix full;
  product<false>(r, r, full);
  product<false>(full, before, propagator);
}

}  // namespace

void propagate(const ConservingMatrix& x, std::span<const ConservingMatrix> directions,
               ConservingVector& z, std::span<ConservingVector> dz, Midpoint* midpoint,
               ConservingMatrix* propagator) noexcept {
  const std::size_t n = std::min({directions.size(), dz.size(), max_directions});
  const double norm = one_norm(x);
  if (!std::isfinite(norm)) {
    z.setConstant(std::numeric_limits<double>::quiet_NaN());
    if (propagator != nullptr) propagator->top.setConstant(z(0));
    for (std::size_t d = 0; d < n; ++d) dz[d] = z;
    if (midpoint != nullptr) {
      midpoint->z = z;
      for (std::size_t d = 0; d < n; ++d) midpoint->dz[d] = z;
    }
    return;
  }
  // Scaling by a power of two is exact, so the squarings undo it exactly.
  EvenPowers powers;
  const Scaling scaling = choose_scaling(x, norm, false, midpoint != nullptr ? 1 : 0, powers);
  for (std::size_t d = 0; d < n; ++d) {
    powers.x.derivative[d] = directions[d];
    scale(powers.x.derivative[d], -scaling.squarings);
  }

  PadeTerms terms;
  pade_terms(scaling.degree, powers, n, terms);

  // R = q^-1 p with p = V + U and q = V - U; differentiating, q dR = dp - dq R.
  ConservingMatrix q = terms.v;
  q.add(-1.0, terms.u);
  const PadeDenominator denominator(q);
  ConservingMatrix power = terms.v;
  power.add(terms.u);
  denominator.solve_in_place(power);
  if (propagator != nullptr && scaling.squarings == 0) accumulate_propagator(power, 0, *propagator);

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
      product_sum(d_power[d], power, power, d_power[d], squared);
      d_power[d] = squared;
    }
    product<false>(power, power, squared);
    power = squared;
  }
  if (propagator != nullptr) accumulate_propagator(power, scaling.squarings, *propagator);
  // The last squaring: exp(X) = R R and d exp(X) = dR R + R dR, R = exp(X/2).
  const ConservingVector half = power * z;
  for (std::size_t d = 0; d < n; ++d) {
    const ConservingVector d_half = d_power[d] * z + power * dz[d];
    if (midpoint != nullptr) midpoint->dz[d] = d_half;
    dz[d] = d_power[d] * half + power * d_half;
  }
  if (midpoint != nullptr) midpoint->z = half;
  z = power * half;
}

void propagate_recorded(const ConservingMatrix& x, ConservingVector& z,
                        ExponentialRecord& record, ConservingVector* midpoint,
                        ConservingMatrix* propagator) {
  const double norm = one_norm(x);
  record.finite = std::isfinite(norm);
  if (!record.finite) {
    z.setConstant(std::numeric_limits<double>::quiet_NaN());
    if (propagator != nullptr) propagator->top.setConstant(z(0));
    if (midpoint != nullptr) *midpoint = z;
    return;
  }
  EvenPowers powers;
  const Scaling scaling = choose_scaling(x, norm, true, midpoint != nullptr ? 1 : 0, powers);
  record.squarings = scaling.squarings;
  record.x = powers.x.value;
  record.x2 = powers.x2.value;
  record.x4 = powers.x4.value;
  record.x6 = powers.x6.value;

  // The degree-13 approximant as degree13_terms forms it, keeping its parts.
  const std::array<const Power*, 4> terms{nullptr, &powers.x2, &powers.x4, &powers.x6};
  Directions unused;
  combine(std::array<double, 4>{0.0, b13[9], b13[11], b13[13]}, terms, 0, record.inner_w, unused);
  combine(std::array<double, 4>{0.0, b13[8], b13[10], b13[12]}, terms, 0, record.inner_v, unused);
  ConservingMatrix v, u;
  combine(std::array<double, 4>{b13[1], b13[3], b13[5], b13[7]}, terms, 0, record.w, unused);
  product<true>(record.x6, record.inner_w, record.w);
  combine(std::array<double, 4>{b13[0], b13[2], b13[4], b13[6]}, terms, 0, v, unused);
  product<true>(record.x6, record.inner_v, v);
  product<false>(record.x, record.w, u);

  ConservingMatrix q = v;
  q.add(-1.0, u);
  const PadeDenominator denominator(q);
  record.q_inverse = denominator.as_matrix();
  ConservingMatrix power = v;
  power.add(u);
  denominator.solve_in_place(power);

  record.squares.resize(static_cast<std::size_t>(std::max(scaling.squarings, 1)));
  record.squares[0] = power;
  for (int s = 1; s < scaling.squarings; ++s)
    product<false>(record.squares[static_cast<std::size_t>(s) - 1],
                   record.squares[static_cast<std::size_t>(s) - 1],
                   record.squares[static_cast<std::size_t>(s)]);
  const ConservingMatrix& last = record.squares.back();
  if (propagator != nullptr) accumulate_propagator(last, scaling.squarings, *propagator);
  if (scaling.squarings == 0) {
    z = last * z;
    return;
  }
  const ConservingVector half = last * z;
  if (midpoint != nullptr) *midpoint = half;
  z = last * half;
}

namespace {

// The adjoints of X^2, X^4 and X^6 on to that of X / 2^s, through
// X^6 = X^4 X^2, X^4 = X^2 X^2 and X^2 = X X.
void backpropagate_powers(const ExponentialRecord& record, ConservingMatrix& x2_bar,
                          ConservingMatrix& x4_bar, const ConservingMatrix& x6_bar,
                          ConservingMatrix& xs_bar) noexcept {
  add_times_transpose(x6_bar, record.x2, x4_bar);
  add_transpose_times(record.x4, x6_bar, x2_bar);
  add_times_transpose(x4_bar, record.x2, x2_bar);
  add_transpose_times(record.x2, x4_bar, x2_bar);
  add_times_transpose(x2_bar, record.x, xs_bar);
  add_transpose_times(record.x, x2_bar, xs_bar);
}

// Without squarings exp(X) z = R z, whose adjoint with respect to R is the
// outer product z_bar z^T; every adjoint up to those of the powers is then an
// outer product too, formed from matrix-vector products alone.
void backpropagate_unsquared(const ExponentialRecord& record, const ConservingVector& z_in,
                             ConservingVector& z_bar, ConservingMatrix& xs_bar) noexcept {
  const ConservingMatrix& r = record.squares[0];
  const ConservingVector moved = r * z_in;
  // R = q^-1 p: p_bar = g z^T and q_bar = -g (R z)^T with g = q^-T z_bar; with
  // p = V + U and q = V - U, V_bar = g (z - R z)^T and U_bar = g (z + R z)^T.
  const ConservingVector g = record.q_inverse.transpose_times(z_bar);
  const ConservingVector behind = z_in - moved, ahead = z_in + moved;
  z_bar = r.transpose_times(z_bar);

  ConservingMatrix x2_bar = ConservingMatrix::zero(), x4_bar = ConservingMatrix::zero(), x6_bar = ConservingMatrix::zero();
  // U = X W: X_bar += U_bar W^T and W_bar = X^T U_bar = (X^T g) (z + R z)^T.
  add_outer(1.0, g, record.w * ahead, xs_bar);
  const auto through_polynomial = [&](const ConservingVector& left, const ConservingVector& right,
                                      const ConservingMatrix& inner, double c2, double c4,
                                      double c6, double i2, double i4, double i6) {
    // P = c0 I + c2 X^2 + c4 X^4 + c6 X^6 + X^6 (i2 X^2 + i4 X^4 + i6 X^6), with
    // P_bar = left right^T.
    add_outer(c2, left, right, x2_bar);
    add_outer(c4, left, right, x4_bar);
    add_outer(c6, left, right, x6_bar);
    add_outer(1.0, left, inner * right, x6_bar);
    const ConservingVector inner_left = record.x6.transpose_times(left);
    add_outer(i2, inner_left, right, x2_bar);
    add_outer(i4, inner_left, right, x4_bar);
    add_outer(i6, inner_left, right, x6_bar);
  };
  through_polynomial(record.x.transpose_times(g), ahead, record.inner_w, b13[3], b13[5], b13[7],
                     b13[9], b13[11], b13[13]);
  through_polynomial(g, behind, record.inner_v, b13[2], b13[4], b13[6], b13[8], b13[10], b13[12]);
  backpropagate_powers(record, x2_bar, x4_bar, x6_bar, xs_bar);
}

void backpropagate_squared(const ExponentialRecord& record, const ConservingVector& z_in,
                           ConservingVector& z_bar, const ConservingVector* midpoint_bar,
                           ConservingMatrix& xs_bar) noexcept {
  const std::vector<ConservingMatrix>& squares = record.squares;
  const std::size_t s = squares.size();
  // exp(X) z = R (R z) with R = R_(s-1) = exp(X/2): with h = R z, whose
  // adjoint is R^T z_bar plus any of the midpoint's own,
  // R_bar = z_bar h^T + h_bar z^T, two outer products.
  const ConservingMatrix& last = squares.back();
  ConservingVector half_bar = last.transpose_times(z_bar);
  if (midpoint_bar != nullptr) half_bar += *midpoint_bar;
  ConservingMatrix r_bar = ConservingMatrix::zero();
  add_outer(1.0, z_bar, last * z_in, r_bar);
  add_outer(1.0, half_bar, z_in, r_bar);
  z_bar = last.transpose_times(half_bar);
  // R_(i+1) = R_i R_i for the squarings before.
  for (std::size_t i = s - 1; i-- > 0;) {
    ConservingMatrix below = ConservingMatrix::zero();
    add_times_transpose(r_bar, squares[i], below);
    add_transpose_times(squares[i], r_bar, below);
    r_bar = below;
  }

  // R = q^-1 p: p_bar = q^-T R_bar and q_bar = -p_bar R^T; p = V + U, q = V - U.
  ConservingMatrix p_bar = ConservingMatrix::zero(), pr = ConservingMatrix::zero();
  add_transpose_times(record.q_inverse, r_bar, p_bar);
  add_times_transpose(p_bar, squares[0], pr);
  ConservingMatrix v_bar = p_bar, u_bar = p_bar;
  v_bar.add(-1.0, pr);
  u_bar.add(pr);

  // U = X W.
  ConservingMatrix w_bar = ConservingMatrix::zero(), x2_bar = ConservingMatrix::zero(), x4_bar = ConservingMatrix::zero(),
                   x6_bar = ConservingMatrix::zero();
  add_times_transpose(u_bar, record.w, xs_bar);
  add_transpose_times(record.x, u_bar, w_bar);
  // W = b1 I + b3 X^2 + b5 X^4 + b7 X^6 + X^6 inner_w, and V likewise.
  const auto through_polynomial = [&](const ConservingMatrix& bar, const ConservingMatrix& inner,
                                      double c2, double c4, double c6, double i2, double i4,
                                      double i6) {
    x2_bar.add(c2, bar);
    x4_bar.add(c4, bar);
    x6_bar.add(c6, bar);
    add_times_transpose(bar, inner, x6_bar);
    ConservingMatrix inner_bar = ConservingMatrix::zero();
    add_transpose_times(record.x6, bar, inner_bar);
    x2_bar.add(i2, inner_bar);
    x4_bar.add(i4, inner_bar);
    x6_bar.add(i6, inner_bar);
  };
  through_polynomial(w_bar, record.inner_w, b13[3], b13[5], b13[7], b13[9], b13[11], b13[13]);
  through_polynomial(v_bar, record.inner_v, b13[2], b13[4], b13[6], b13[8], b13[10], b13[12]);
  backpropagate_powers(record, x2_bar, x4_bar, x6_bar, xs_bar);
}

}  // namespace

void backpropagate(const ExponentialRecord& record, const ConservingVector& z_in,
                   ConservingVector& z_bar, ConservingMatrix& x_bar,
                   const ConservingVector* midpoint_bar) noexcept {
  if (!record.finite) {
    z_bar.setConstant(std::numeric_limits<double>::quiet_NaN());
    x_bar.top.setConstant(std::numeric_limits<double>::quiet_NaN());
    return;
  }
  ConservingMatrix xs_bar = ConservingMatrix::zero();
  // A step recorded with its midpoint has at least one squaring.
  if (record.squarings == 0)
    backpropagate_unsquared(record, z_in, z_bar, xs_bar);
  else
    backpropagate_squared(record, z_in, z_bar, midpoint_bar, xs_bar);
  // X / 2^s.
  x_bar.add(power_of_two(-record.squarings), xs_bar);
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
