#include "engine/slice_propagation.hpp"

#include <cmath>
#include <stdexcept>

namespace tarnok::engine {

SliceSystem::SliceSystem(const Experiment& experiment, const Discretisation& grids,
                         const ParameterVector& values, std::span<const Parameter> varied)
    : rates_(rate_matrices(model::rate_constants_for(grids.photon_freq, spectroscopic(values)))),
      dt_(grids.dt),
      dz_(grids.dz),
      z_slices_(grids.z_slices) {
  if (varied.size() > max_directions)
    throw std::invalid_argument("too many parameters to differentiate by");
  partials_.reserve(varied.size());
  for (Parameter p : varied) partials_.push_back(rate_matrix_partials(values, p));
  for (std::size_t level = 0; level < model::level_count; ++level)
    initial_(static_cast<Eigen::Index>(level)) = experiment.populations[level];
}

SliceSystem::Workspace SliceSystem::make_workspace() const {
  Workspace work;
  work.populations.resize(z_slices_);
  work.d_populations.resize(z_slices_ * direction_count());
  return work;
}

double SliceSystem::transmit(std::span<const double> incident,
                             std::span<const double> d_incident, Workspace& work,
                             std::span<double> d_transmitted) const noexcept {
  const std::size_t n_dir = direction_count();
  for (Vector5& n : work.populations) n = initial_;
  for (Vector5& dn : work.d_populations) dn.setZero();
  for (std::size_t v = 0; v < n_dir; ++v) d_transmitted[v] = 0.0;

  double transmitted = 0.0;
  for (std::size_t j = 0; j < incident.size(); ++j) {
    double light = incident[j];
    for (std::size_t v = 0; v < n_dir; ++v) work.d_light[v] = d_incident[j * n_dir + v];
    for (std::size_t k = 0; k < z_slices_; ++k) light = advance_slice(k, light, work);
    // Plain sums in ascending time, as the integrator-based model forms them.
    transmitted += light;
    for (std::size_t v = 0; v < n_dir; ++v) d_transmitted[v] += work.d_light[v];
  }
  return transmitted;
}

double SliceSystem::advance_slice(std::size_t slice, double light,
                                  Workspace& work) const noexcept {
  const std::size_t n_dir = direction_count();
  Vector5& n = work.populations[slice];
  Vector5* dn = work.d_populations.data() + slice * n_dir;

  // Populations over the time step under the irradiance reaching the slice.
  const double flux = rates_.inv_photon_energy * light;
  const Matrix5 x = dt_ * (rates_.decay + flux * rates_.absorption);
  Matrix5 propagator;
  if (n_dir == 0) {
    propagator = matrix_exponential(x);
    n = propagator * n;
  } else {
    for (std::size_t v = 0; v < n_dir; ++v) {
      // dA = dD + F dS + dF S, where dF carries the change of the light that
      // reaches this slice from the slices in front of it.
      const double d_flux = rates_.inv_photon_energy * work.d_light[v];
      work.directions[v] = dt_ * (partials_[v].decay + flux * partials_[v].absorption +
                                  d_flux * rates_.absorption);
    }
    matrix_exponential_with_derivatives(x, std::span(work.directions.data(), n_dir),
                                        propagator,
                                        std::span(work.d_propagator.data(), n_dir));
    for (std::size_t v = 0; v < n_dir; ++v)
      dn[v] = work.d_propagator[v] * n + propagator * dn[v];
    n = propagator * n;
  }

  // The light through the slice, attenuated by the updated populations.
  const double alpha = rates_.absorbers.dot(n);
  const double attenuation = std::exp(-alpha * dz_);
  for (std::size_t v = 0; v < n_dir; ++v) {
    const double d_alpha = partials_[v].absorbers.dot(n) + rates_.absorbers.dot(dn[v]);
    work.d_light[v] = attenuation * (work.d_light[v] - light * dz_ * d_alpha);
  }
  return light * attenuation;
}

}  // namespace tarnok::engine
