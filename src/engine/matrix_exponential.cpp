#include "engine/matrix_exponential.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace tarnok::engine {

namespace {

using Directions = std::array<Matrix5, max_directions>;

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

// LU factorisation with partial pivoting of a 5x5 matrix, solving for matrix
// right-hand sides in place. Eigen's general solver goes through its blocked
// triangular kernels, which cost more than the whole factorisation at this size.
class SmallLu {
 public:
  explicit SmallLu(const Matrix5& a) noexcept : lu_(a) {
    for (int k = 0; k < 5; ++k) {
      int pivot = k;
      for (int i = k + 1; i < 5; ++i)
        if (std::abs(lu_(i, k)) > std::abs(lu_(pivot, k))) pivot = i;
      pivots_[static_cast<std::size_t>(k)] = pivot;
      if (pivot != k) lu_.row(k).swap(lu_.row(pivot));
      const double inverse = 1.0 / lu_(k, k);
      for (int i = k + 1; i < 5; ++i) {
        lu_(i, k) *= inverse;
        for (int j = k + 1; j < 5; ++j) lu_(i, j) -= lu_(i, k) * lu_(k, j);
      }
    }
  }

  void solve_in_place(Matrix5& b) const noexcept {
    for (int k = 0; k < 5; ++k) {
      const int pivot = pivots_[static_cast<std::size_t>(k)];
      if (pivot != k) b.row(k).swap(b.row(pivot));
    }
    for (int c = 0; c < 5; ++c) {
      for (int i = 1; i < 5; ++i)
        for (int k = 0; k < i; ++k) b(i, c) -= lu_(i, k) * b(k, c);
      for (int i = 4; i >= 0; --i) {
        for (int k = i + 1; k < 5; ++k) b(i, c) -= lu_(i, k) * b(k, c);
        b(i, c) /= lu_(i, i);
      }
    }
  }

 private:
  Matrix5 lu_;
  std::array<int, 5> pivots_{};
};

// c = a b, or c += a b, as column combinations: for these tiny fixed sizes
// the compiler unrolls and vectorises this better than a general product.
template <bool accumulate>
void product(const Matrix5& a, const Matrix5& b, Matrix5& c) noexcept {
  for (int j = 0; j < 5; ++j) {
    double column[5];
    for (int i = 0; i < 5; ++i) column[i] = accumulate ? c(i, j) : 0.0;
    for (int k = 0; k < 5; ++k) {
      const double factor = b(k, j);
      for (int i = 0; i < 5; ++i) column[i] += a(i, k) * factor;
    }
    for (int i = 0; i < 5; ++i) c(i, j) = column[i];
  }
}

double one_norm(const Matrix5& a) noexcept {
  return a.cwiseAbs().colwise().sum().maxCoeff();
}

// A matrix power and its derivative along every direction.
struct Power {
  Matrix5 value;
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
  Matrix5 u;
  Matrix5 v;
  Directions du;
  Directions dv;
};

// Sum_k c[k] * powers[k] along the value and every direction; powers[0] is
// the identity (whose derivative is zero) and is passed as nullptr.
template <std::size_t K>
void combine(const std::array<double, K>& c, const std::array<const Power*, K>& powers,
             std::size_t n, Matrix5& value, Directions& derivative) noexcept {
  value = c[0] * Matrix5::Identity();
  for (std::size_t d = 0; d < n; ++d) derivative[d].setZero();
  for (std::size_t k = 1; k < K; ++k) {
    value += c[k] * powers[k]->value;
    for (std::size_t d = 0; d < n; ++d) derivative[d] += c[k] * powers[k]->derivative[d];
  }
}

// U = X * W with the product rule: dU = E W + X dW.
void times_x(const Power& x, const Matrix5& w, const Directions& dw, std::size_t n,
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
  Matrix5 w;
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
  Matrix5 w;
  Directions dw;
  combine(std::array<double, 4>{b13[1], b13[3], b13[5], b13[7]}, powers, n, w, dw);
  w += outer.value;
  for (std::size_t d = 0; d < n; ++d) dw[d] += outer.derivative[d];
  times_x(x, w, dw, n, terms);

  combine(std::array<double, 4>{0.0, b13[8], b13[10], b13[12]}, powers, n, inner.value,
          inner.derivative);
  multiply(x6, inner, n, outer);
  combine(std::array<double, 4>{b13[0], b13[2], b13[4], b13[6]}, powers, n, terms.v,
          terms.dv);
  terms.v += outer.value;
  for (std::size_t d = 0; d < n; ++d) terms.dv[d] += outer.derivative[d];
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
  const double norm = one_norm(x);
  if (!std::isfinite(norm)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    exponential.setConstant(nan);
    for (std::size_t d = 0; d < n; ++d) derivatives[d].setConstant(nan);
    return;
  }
  const Scaling scaling = choose_scaling(norm);
  // Scaling by a power of two is exact, so the squarings undo it exactly.
  Power scaled;
  scaled.value = x * std::ldexp(1.0, -scaling.squarings);
  for (std::size_t d = 0; d < n; ++d)
    scaled.derivative[d] = directions[d] * std::ldexp(1.0, -scaling.squarings);

  PadeTerms terms;
  pade_terms(scaling.degree, scaled, n, terms);

  // q R = p, and differentiating, q dR = dp - dq R.
  const SmallLu q(terms.v - terms.u);
  exponential = terms.v + terms.u;
  q.solve_in_place(exponential);
  for (std::size_t d = 0; d < n; ++d) {
    const Matrix5 dq = terms.du[d] - terms.dv[d];
    derivatives[d] = terms.dv[d] + terms.du[d];
    product<true>(dq, exponential, derivatives[d]);
    q.solve_in_place(derivatives[d]);
  }

  Matrix5 squared;
  for (int s = 0; s < scaling.squarings; ++s) {
    for (std::size_t d = 0; d < n; ++d) {
      product<false>(derivatives[d], exponential, squared);
      product<true>(exponential, derivatives[d], squared);
      derivatives[d] = squared;
    }
    product<false>(exponential, exponential, squared);
    exponential = squared;
  }
}

Matrix5 matrix_exponential(const Matrix5& x) noexcept {
  Matrix5 exponential;
  matrix_exponential_with_derivatives(x, {}, exponential, {});
  return exponential;
}

}  // namespace tarnok::engine
