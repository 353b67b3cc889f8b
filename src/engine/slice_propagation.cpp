#include "engine/slice_propagation.hpp"

#include <cmath>
#include <stdexcept>

namespace tarnok::engine {

SliceSystem::SliceSystem(const Experiment& experiment, const Discretisation& grids,
                         const ParameterVector& values, std::span<const Parameter> varied)
    : rates_(rate_matrices(model::rate_constants_for(grids.photon_freq, spectroscopic(values)))),
      decay_step_(ConservingMatrix::from_generator(rates_.decay, grids.dt)),
      absorption_step_(ConservingMatrix::from_generator(rates_.absorption, grids.dt)),
      dz_(grids.dz),
      z_slices_(grids.z_slices) {
  if (varied.size() > max_directions)
    throw std::invalid_argument("too many parameters to differentiate by");
  partials_.reserve(varied.size());
  for (Parameter p : varied) {
    const RateMatrixPartials partial = rate_matrix_partials(values, p);
    partials_.push_back({ConservingMatrix::from_generator(partial.decay, grids.dt),
                         ConservingMatrix::from_generator(partial.absorption, grids.dt),
                         partial.absorbers});
  }
  Vector5 levels;
  for (std::size_t level = 0; level < model::level_count; ++level)
    levels(static_cast<Eigen::Index>(level)) = experiment.populations[level];
  initial_ = to_conserving(levels);
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
  for (ConservingVector& z : work.populations) z = initial_;
  for (ConservingVector& dz : work.d_populations) dz.setZero();
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
  ConservingVector& z = work.populations[slice];
  ConservingVector* dz = work.d_populations.data() + slice * n_dir;

  // Populations over the time step under the irradiance reaching the slice.
  const double flux = rates_.inv_photon_energy * light;
  ConservingMatrix x;
  x.top = decay_step_.top + flux * absorption_step_.top;
  x.corner = 0.0;
  const std::span<ConservingMatrix> directions(work.directions.data(), n_dir);
  for (std::size_t v = 0; v < n_dir; ++v) {
    // dA = dD + F dS + dF S, where dF carries the change of the light that
    // reaches this slice from the slices in front of it.
    const double d_flux = rates_.inv_photon_energy * work.d_light[v];
    directions[v].top = partials_[v].decay_step.top + flux * partials_[v].absorption_step.top +
                        d_flux * absorption_step_.top;
    directions[v].corner = 0.0;
  }
  propagate(x, directions, z, std::span(dz, n_dir));

  // The light through the slice, attenuated by the updated populations.
  const Vector5 n = to_levels(z);
  const double alpha = rates_.absorbers.dot(n);
  const double attenuation = std::exp(-alpha * dz_);
  for (std::size_t v = 0; v < n_dir; ++v) {
    const double d_alpha = partials_[v].absorbers.dot(n) + rates_.absorbers.dot(to_levels(dz[v]));
    work.d_light[v] = attenuation * (work.d_light[v] - light * dz_ * d_alpha);
  }
  return light * attenuation;
}

}  // namespace tarnok::engine
