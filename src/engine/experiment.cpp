#include "engine/experiment.hpp"

#include <Eigen/Eigenvalues>
#include <cmath>
#include <stdexcept>

#include "model/beam.hpp"
#include "model/linspace.hpp"

namespace tarnok::engine {

namespace {

constexpr double speed_of_light = 299792458.0;  // m/s

std::vector<double> grid(double a, double b, std::int32_t n) {
  std::vector<double> values(static_cast<std::size_t>(n));
  model::linspace(values.data(), a, b, n);
  return values;
}

}  // namespace

// From the eigen-decomposition of the three-term recurrence's Jacobi matrix.
void gauss_laguerre(std::size_t n, std::vector<double>& nodes, std::vector<double>& weights) {
  Eigen::MatrixXd jacobi = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n),
                                                 static_cast<Eigen::Index>(n));
  for (std::size_t k = 0; k < n; ++k) {
    const auto i = static_cast<Eigen::Index>(k);
    jacobi(i, i) = 2.0 * static_cast<double>(k) + 1.0;
    if (k + 1 < n) jacobi(i, i + 1) = jacobi(i + 1, i) = static_cast<double>(k + 1);
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(jacobi);
  nodes.resize(n);
  weights.resize(n);
  for (std::size_t q = 0; q < n; ++q) {
    const auto i = static_cast<Eigen::Index>(q);
    nodes[q] = solver.eigenvalues()(i);
    const double first = solver.eigenvectors()(0, i);
    weights[q] = first * first * std::exp(nodes[q]);
  }
}

void check_aperture(const Experiment& e) {
  const auto finite_at_least_zero = [](double value) { return std::isfinite(value) && value >= 0.0; };
  if (!finite_at_least_zero(e.aperture_transmittance) || e.aperture_transmittance > 1.0)
    throw std::invalid_argument("aperture_transmittance must lie in (0, 1]");
  if (!finite_at_least_zero(e.aperture_radius))
    throw std::invalid_argument("aperture_radius must be above zero (m)");
  if (!finite_at_least_zero(e.aperture_distance))
    throw std::invalid_argument("aperture_distance must be above zero (m)");
  if (!(std::isfinite(e.linear_index) && e.linear_index > 0.0))
    throw std::invalid_argument("linear_index must be above zero");
  if (e.aperture_transmittance > 0.0 && e.aperture_radius > 0.0)
    throw std::invalid_argument(
        "give aperture_transmittance or aperture_radius, not both");
  if (e.aperture_radius > 0.0 && e.aperture_distance == 0.0)
    throw std::invalid_argument(
        "aperture_radius needs a finite aperture_distance (the far field has no radius)");
  if (e.has_aperture() && e.beam != Beam::gaussian)
    throw std::invalid_argument(
        "a closed aperture needs the gaussian beam: the on-axis beam has no radial profile");
  if (e.has_aperture() && e.repetition_rate > 0.0)
    throw std::invalid_argument(
        "a closed aperture is modelled for single pulses only: repetition_rate must be 0");
}

Discretisation discretise(const Experiment& e) {
  check_aperture(e);
  if (e.t_slices < 2 || e.z_slices < 2)
    throw std::invalid_argument("t_slices and z_slices must be at least 2");
  Discretisation d;
  d.z_slices = static_cast<std::size_t>(e.z_slices);
  d.z_R = model::rayleigh_range(e.w0, e.M2, e.wavelength);
  d.photon_freq = speed_of_light / e.wavelength;
  if (e.beam == Beam::on_axis) {
    // Exactly the grids of the integrator-based model, so the curves agree.
    const double half_width = e.tau * 0.5;
    d.t_grid = grid(-half_width, half_width, e.t_slices);
    d.dz = grid(0.0, e.thickness, e.z_slices)[1];
    d.radial_nodes = {0.0};
    d.radial_weights = {1.0};
  } else {
    if (e.radial_nodes < 1) throw std::invalid_argument("radial_nodes must be at least 1");
    const double half_width = gaussian_time_window * e.tau;
    d.t_grid = grid(-half_width, half_width, e.t_slices);
    d.dz = e.thickness / static_cast<double>(e.z_slices);
    // Light at the end of a step meets populations a whole step ahead of it,
    // an error of first order in the step: over this window's long steps it
    // would reach several per cent of the transmittance.
    d.attenuating = model::AttenuatingPopulations::step_average;
    gauss_laguerre(static_cast<std::size_t>(e.radial_nodes), d.radial_nodes, d.radial_weights);
  }
  d.dt = d.t_grid[1] - d.t_grid[0];
  return d;
}

}  // namespace tarnok::engine
