#include "engine/rate_matrix.hpp"

namespace tarnok::engine {

namespace {

// Level indices of N1 .. N5.
constexpr int n1 = 0, n2 = 1, n3 = 2, n4 = 3, n5 = 4;

// Adds a transfer from level `from` to level `to` at `rate` to a generator:
// the column of `from` loses what the row of `to` gains, so populations are
// conserved.
void add_transfer(Matrix5& a, int from, int to, double rate) noexcept {
  a(from, from) -= rate;
  a(to, from) += rate;
}

struct Transfer {
  int from;
  int to;
};
// The absorption and decay each parameter governs.
constexpr std::array<Transfer, model::spec_par_count> transfers{{
    {n1, n2},  // sigma_12
    {n2, n3},  // sigma_23
    {n4, n5},  // sigma_45
    {n2, n1},  // tau_21
    {n2, n4},  // tau_24
    {n3, n2},  // tau_32
    {n4, n1},  // tau_41
    {n5, n4},  // tau_54
}};
constexpr std::size_t cross_section_count = 3;

}  // namespace

// Each two-photon transition takes two photons: a rate delta F^2 / 2 per
// molecule in level 1 removes delta F^2 photons.
constexpr double photons_per_transition = 2.0;

RateMatrices rate_matrices(const model::RateConstants& r, double delta_12) noexcept {
  RateMatrices m;
  m.decay.setZero();
  m.absorption.setZero();
  m.two_photon.setZero();
  add_transfer(m.two_photon, n1, n2, delta_12 / photons_per_transition);
  m.two_photon_absorbers.setZero();
  m.two_photon_absorbers(n1) = delta_12 * r.inv_photon_energy;
  const std::array<double, 3> sigmas{r.sigma_12, r.sigma_23, r.sigma_45};
  const std::array<double, 5> rates{r.k21, r.k24, r.k32, r.k41, r.k54};
  for (std::size_t p = 0; p < cross_section_count; ++p)
    add_transfer(m.absorption, transfers[p].from, transfers[p].to, sigmas[p]);
  for (std::size_t p = 0; p < rates.size(); ++p)
    add_transfer(m.decay, transfers[p + cross_section_count].from,
                 transfers[p + cross_section_count].to, rates[p]);
  m.absorbers << r.sigma_12, r.sigma_23, 0.0, r.sigma_45, 0.0;
  m.inv_photon_energy = r.inv_photon_energy;
  return m;
}

RateMatrixPartials rate_matrix_partials(const ParameterVector& values, Parameter parameter,
                                        double inv_photon_energy) noexcept {
  RateMatrixPartials partials;
  partials.decay.setZero();
  partials.absorption.setZero();
  partials.two_photon.setZero();
  partials.absorbers.setZero();
  partials.two_photon_absorbers.setZero();
  if (parameter == Parameter::delta_12) {
    add_transfer(partials.two_photon, n1, n2, 1.0 / photons_per_transition);
    partials.two_photon_absorbers(n1) = inv_photon_energy;
    return partials;
  }
  const std::size_t p = index(parameter);
  if (p >= model::spec_par_count) return partials;
  const Transfer t = transfers[p];
  if (p < cross_section_count) {
    add_transfer(partials.absorption, t.from, t.to, 1.0);
    partials.absorbers(t.from) = 1.0;
  } else {
    // The rate is 1/tau, so d(rate)/d(tau) = -1/tau^2.
    const double tau = values[p];
    add_transfer(partials.decay, t.from, t.to, -1.0 / (tau * tau));
  }
  return partials;
}

}  // namespace tarnok::engine
