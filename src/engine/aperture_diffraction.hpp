// The energy that passes a closed aperture behind a thin sample, for the
// field leaving the sample at one time slice. The incident beam at the
// sample is a Gaussian of radius w and reduced position zeta = z / z_R; in
// v = r^2 / w^2 its field is e^{-v (1 - i zeta)} (diverging beyond the
// focus), and the sample multiplies it by g(v) = sqrt(I_out / I_in) e^{i phi}.
// The Fresnel (Hankel) integral carries it to the aperture plane, in the
// reduced radius kappa (k w rho / L at sample-aperture distance L, k w theta
// in the far field):
//   E(kappa) = 1/2 int_0^inf e^{-v p} g(v) J0(kappa sqrt(v)) dv,
// p = 1 - i zeta - i b, where b = k w^2 / (2 L) = (1 + zeta^2) / (delta - zeta)
// (delta = d / z_R, b = 0 in the far field). The linear beam there is
// e^{-kappa^2 / (4 p)} / (2 p), whose irradiance falls as
// e^{-kappa^2 / (2 |p|^2)}, so an aperture of linear transmittance S has
// kappa_a^2 = A |p|^2, A = -2 ln(1 - S).
//
// The beam's own curvature makes e^{-v p} oscillate across it far from the
// focus, which no fixed quadrature follows, while the change the sample makes
// is confined to the bright part of the beam. So g is split into its value
// g_ref at the outermost node, whose diffraction is the linear beam's in
// closed form, and g - g_ref, integrated by Gauss-Laguerre nodes in v
// compressed by a factor that grows with |zeta|. The energy integral over
// kappa^2 in [0, kappa_a^2] is a Gauss-Legendre rule.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace tarnok::engine {

using Complex = std::complex<double>;

class ApertureDiffraction {
 public:
  // transmittance: S in (0, 1). field_nodes: Gauss-Laguerre nodes in v;
  // aperture_nodes: Gauss-Legendre nodes in kappa^2.
  ApertureDiffraction(double transmittance, std::size_t field_nodes, std::size_t aperture_nodes);

  std::size_t field_nodes() const noexcept { return laguerre_nodes_.size(); }
  std::size_t aperture_nodes() const noexcept { return legendre_nodes_.size(); }
  // Node q of the field in v at a position whose nodes are compressed by
  // `scale` (at least 1).
  double field_node(std::size_t q, double scale) const noexcept {
    return laguerre_nodes_[q] / scale;
  }
  // The compression that keeps the phase of e^{-v p} across the bright
  // part of the beam within what the nodes resolve: 2, or |Im p| / 2 beyond
  // (the beam's curvature and, at a finite distance, the propagation's).
  static double node_scale(double zeta, double delta) noexcept;

  // Everything one position needs, for one (zeta, delta): the Hankel kernel
  // H[m][q] = 1/2 w_q e^{-v_q p} J0(kappa_m sqrt(v_q)), the linear beam at
  // the aperture nodes and their weights, with what their derivatives by
  // zeta and delta need; and scratch for the time slices.
  struct Kernel {
    std::vector<double> v;           // field nodes
    std::vector<Complex> h, h_r;     // H and dH / d|p|^2, aperture node major
    std::vector<Complex> linear;     // e^{-kappa_m^2 / (4 p)} / (2 p)
    std::vector<double> weight;      // of |E|^2 at kappa_m, over the linear energy
    std::vector<double> y;           // kappa_m^2 / kappa_a^2
    Complex p;
    double p_squared = 0.0;          // |p|^2
    Complex dp_dzeta, dp_ddelta;
    double dr_dzeta = 0.0, dr_ddelta = 0.0;  // of |p|^2
    // Scratch of one time slice.
    std::vector<Complex> change, field, field_v, field_r, adjoint;
  };
  void prepare(Kernel& kernel) const;
  // delta: d / z_R, or infinity for the far field. With `derivatives`, also
  // the partials slice_energy needs for its derivatives.
  void build(double zeta, double delta, double scale, bool derivatives, Kernel& kernel) const;

  // The energy of one time slice through the aperture over the linear
  // beam's (1 for g = 1 everywhere), for g at the field nodes. With g_bar
  // non-empty, also its derivatives: d energy = Re(sum_q g_bar[q] dg_q) +
  // d_zeta d zeta + d_delta d delta.
  struct SliceEnergy {
    double energy = 0.0;
    double d_zeta = 0.0;
    double d_delta = 0.0;
  };
  SliceEnergy slice_energy(Kernel& kernel, std::span<const Complex> g,
                           std::span<Complex> g_bar) const;

 private:
  double transmittance_;
  double a_;  // -2 ln(1 - S)
  std::vector<double> laguerre_nodes_, laguerre_weights_;  // weights times e^s
  std::vector<double> legendre_nodes_, legendre_weights_;  // on [0, 1]
};

}  // namespace tarnok::engine
