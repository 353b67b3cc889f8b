#include "engine/aperture_diffraction.hpp"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/bessel.hpp"
#include "engine/experiment.hpp"

namespace tarnok::engine {

namespace {

// Gauss-Legendre nodes and weights on [0, 1], from the eigen-decomposition of
// the recurrence's Jacobi matrix.
void gauss_legendre_unit(std::size_t n, std::vector<double>& nodes, std::vector<double>& weights) {
  Eigen::MatrixXd jacobi = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n),
                                                 static_cast<Eigen::Index>(n));
  for (std::size_t k = 1; k < n; ++k) {
    const auto i = static_cast<Eigen::Index>(k);
    const double kk = static_cast<double>(k);
    jacobi(i, i - 1) = jacobi(i - 1, i) = kk / std::sqrt(4.0 * kk * kk - 1.0);
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(jacobi);
  nodes.resize(n);
  weights.resize(n);
  for (std::size_t q = 0; q < n; ++q) {
    const auto i = static_cast<Eigen::Index>(q);
    nodes[q] = 0.5 * (solver.eigenvalues()(i) + 1.0);
    const double first = solver.eigenvectors()(0, i);
    weights[q] = first * first;  // 2 first^2 on [-1, 1], halved on [0, 1]
  }
}

}  // namespace

ApertureDiffraction::ApertureDiffraction(double transmittance, std::size_t field_nodes,
                                         std::size_t aperture_nodes)
    : transmittance_(transmittance), a_(-2.0 * std::log1p(-transmittance)) {
  if (!(transmittance > 0.0 && transmittance < 1.0))
    throw std::invalid_argument("the aperture's diffraction needs a transmittance in (0, 1)");
  if (field_nodes < 2 || aperture_nodes < 1)
    throw std::invalid_argument("too few quadrature nodes for the aperture");
  gauss_laguerre(field_nodes, laguerre_nodes_, laguerre_weights_);
  gauss_legendre_unit(aperture_nodes, legendre_nodes_, legendre_weights_);
}

double ApertureDiffraction::node_scale(double zeta, double delta) noexcept {
  const double b = std::isfinite(delta) ? (1.0 + zeta * zeta) / (delta - zeta) : 0.0;
  return std::max(2.0, 0.5 * std::abs(zeta + b));
}

void ApertureDiffraction::prepare(Kernel& k) const {
  const std::size_t n = field_nodes(), m = aperture_nodes();
  k.v.resize(n);
  k.h.resize(m * n);
  k.h_r.resize(m * n);
  k.linear.resize(m);
  k.weight.resize(m);
  k.y = legendre_nodes_;
  k.change.resize(n);
  k.adjoint.resize(n);
  k.field.resize(m);
  k.field_v.resize(m);
  k.field_r.resize(m);
}

void ApertureDiffraction::build(double zeta, double delta, double scale, bool derivatives,
                                Kernel& k) const {
  const std::size_t n = field_nodes(), m = aperture_nodes();
  const Complex i_unit(0.0, 1.0);
  // The lens of free propagation to a plane at finite distance.
  double b = 0.0, db_dzeta = 0.0, db_ddelta = 0.0;
  if (std::isfinite(delta)) {
    const double gap = delta - zeta;
    b = (1.0 + zeta * zeta) / gap;
    db_dzeta = 2.0 * zeta / gap + b / gap;
    db_ddelta = -b / gap;
  }
  k.p = Complex(1.0, -(zeta + b));
  k.p_squared = std::norm(k.p);
  k.dp_dzeta = -i_unit * (1.0 + db_dzeta);
  k.dp_ddelta = -i_unit * db_ddelta;
  k.dr_dzeta = 2.0 * (zeta + b) * (1.0 + db_dzeta);
  k.dr_ddelta = 2.0 * (zeta + b) * db_ddelta;

  const double kappa_a_squared = a_ * k.p_squared;
  for (std::size_t q = 0; q < n; ++q) k.v[q] = laguerre_nodes_[q] / scale;
  for (std::size_t j = 0; j < m; ++j) {
    const double kappa_squared = kappa_a_squared * legendre_nodes_[j];
    k.linear[j] = std::exp(-0.25 * a_ * legendre_nodes_[j] * std::conj(k.p)) / (2.0 * k.p);
    // 1/2 kappa_a^2 dy per node, over the linear energy S / 4.
    k.weight[j] = 2.0 * kappa_a_squared * legendre_weights_[j] / transmittance_;
    for (std::size_t q = 0; q < n; ++q) {
      const double argument = std::sqrt(kappa_squared * k.v[q]);
      const BesselJ01 bessel = bessel_j01(argument);
      const Complex factor = 0.5 * laguerre_weights_[q] / scale * std::exp(-k.v[q] * k.p);
      k.h[j * n + q] = factor * bessel.j0;
      // d J0(sqrt(r c)) / dr = -J1 * argument / (2 r).
      if (derivatives)
        k.h_r[j * n + q] = -factor * bessel.j1 * (0.5 * argument / k.p_squared);
    }
  }
}

ApertureDiffraction::SliceEnergy ApertureDiffraction::slice_energy(
    Kernel& k, std::span<const Complex> g, std::span<Complex> g_bar) const {
  const std::size_t n = field_nodes(), m = aperture_nodes(), ref = n - 1;
  const Complex g_ref = g[ref];
  for (std::size_t q = 0; q < n; ++q) k.change[q] = g[q] - g_ref;
  SliceEnergy out;
  out.energy = std::norm(g_ref);
  const bool derivatives = !g_bar.empty();
  for (std::size_t j = 0; j < m; ++j) {
    const Complex* row = k.h.data() + j * n;
    Complex sum = 0.0;
    for (std::size_t q = 0; q < ref; ++q) sum += row[q] * k.change[q];
    k.field[j] = sum;
    out.energy += k.weight[j] * (2.0 * std::real(std::conj(g_ref * k.linear[j]) * sum) +
                                 std::norm(sum));
  }
  if (!derivatives) return out;

  // The adjoint of the field change at each aperture node, then of g.
  std::fill(g_bar.begin(), g_bar.end(), Complex(0.0));
  Complex ref_bar = 2.0 * std::conj(g_ref);
  for (std::size_t j = 0; j < m; ++j) {
    const Complex a = 2.0 * k.weight[j] * (std::conj(g_ref * k.linear[j]) + std::conj(k.field[j]));
    ref_bar += 2.0 * k.weight[j] * k.linear[j] * std::conj(k.field[j]);
    const Complex* row = k.h.data() + j * n;
    for (std::size_t q = 0; q < ref; ++q) g_bar[q] += a * row[q];
    // For the kernel's own change with zeta and delta.
    const Complex* row_r = k.h_r.data() + j * n;
    Complex by_v = 0.0, by_r = 0.0;
    for (std::size_t q = 0; q < ref; ++q) {
      by_v += k.v[q] * row[q] * k.change[q];
      by_r += row_r[q] * k.change[q];
    }
    k.field_v[j] = by_v;
    k.field_r[j] = by_r;
  }
  for (std::size_t q = 0; q < ref; ++q) ref_bar -= g_bar[q];
  g_bar[ref] = ref_bar;

  const auto along = [&](Complex dp, double dr) {
    double d = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      const Complex field = k.field[j];
      const Complex linear = k.linear[j];
      const Complex d_linear = linear * (-dp / k.p - 0.25 * a_ * k.y[j] * std::conj(dp));
      const Complex d_field = -dp * k.field_v[j] + dr * k.field_r[j];
      const double d_weight = k.weight[j] * dr / k.p_squared;
      const Complex a = 2.0 * k.weight[j] * (std::conj(g_ref * linear) + std::conj(field));
      d += d_weight * (2.0 * std::real(std::conj(g_ref * linear) * field) + std::norm(field)) +
           2.0 * k.weight[j] * std::real(std::conj(g_ref * d_linear) * field) +
           std::real(a * d_field);
    }
    return d;
  };
  out.d_zeta = along(k.dp_dzeta, k.dr_dzeta);
  out.d_delta = along(k.dp_ddelta, k.dr_ddelta);
  return out;
}

}  // namespace tarnok::engine
