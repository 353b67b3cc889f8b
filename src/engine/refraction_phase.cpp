#include "engine/refraction_phase.hpp"

#include "engine/slice_propagation.hpp"
#include "engine/two_photon_light.hpp"

namespace tarnok::engine {

namespace {

constexpr double two_pi = 6.283185307179586;

// log(1 + D) / D, 1 at D = 0.
double log_ratio(double d) noexcept { return d == 0.0 ? 1.0 : std::log1p(d) / d; }

// (log(1 + D) - D / (1 + D)) / D^2, whose plain form cancels for small D;
// below |D| = 1e-3 its series 1/2 - 2D/3 + 3D^2/4 - 4D^3/5 + 5D^4/6 is exact
// to rounding.
double log_ratio_curvature(double d) noexcept {
  if (std::abs(d) < 1e-3)
    return 0.5 + d * (-2.0 / 3.0 + d * (0.75 + d * (-0.8 + d * (5.0 / 6.0))));
  return (std::log1p(d) - d / (1.0 + d)) / (d * d);
}

}  // namespace

Refraction refraction_of(const ParameterVector& values, double wavelength) noexcept {
  return {two_pi / wavelength, values[index(Parameter::n2)],
          values[index(Parameter::sigma_r2)], values[index(Parameter::sigma_r4)]};
}

SliceIrradianceIntegral slice_irradiance_integral(double light, double alpha, double beta,
                                                  double dz) noexcept {
  const double x = alpha * dz;
  const double g = detail::mean_attenuation(x);
  const double linear = light * dz * g;  // the integral without two-photon absorption
  const double d = beta * linear;
  SliceIrradianceIntegral q;
  q.value = linear * log_ratio(d);
  const double inverse = 1.0 / (1.0 + d);
  q.d_light = dz * g * inverse;
  q.d_alpha = light * dz * dz * detail::mean_attenuation_slope(x, g) * inverse;
  q.d_beta = -linear * linear * log_ratio_curvature(d);
  return q;
}

// The forward pass of advance_slice with the phase gathered beside the light;
// kept apart from it so that the open aperture's hot loop stays as it is.
void SliceSystem::transmit_refracting(std::span<const double> incident,
                                      std::span<const double> d_incident,
                                      const Refraction& refraction, Workspace& work,
                                      RefractedPulse& pulse) const {
  const std::size_t n_dir = direction_count();
  const double kerr_coefficient = refraction.wavenumber * refraction.n2;
  for (ConservingVector& z : work.populations) z = initial_;
  for (ConservingVector& dz : work.d_populations) dz.setZero();
  Vector5 level2 = Vector5::Zero(), level4 = Vector5::Zero();
  level2(1) = 1.0;
  level4(3) = 1.0;

  for (std::size_t j = 0; j < incident.size(); ++j) {
    double light = incident[j];
    for (std::size_t v = 0; v < n_dir; ++v) work.d_light[v] = d_incident[j * n_dir + v];
    double kerr = 0.0, n2_integral = 0.0, n4_integral = 0.0;
    std::array<double, max_directions> d_phase{};
    for (std::size_t k = 0; k < z_slices_; ++k) {
      ConservingVector& z = work.populations[k];
      ConservingVector* dz = work.d_populations.data() + k * n_dir;
      const double flux = rates_.inv_photon_energy * light;
      const ConservingMatrix x = step_generator(flux);
      StepLevels n;
      std::array<StepLevels, max_directions> dn;
      n.start = to_levels(z);
      for (std::size_t v = 0; v < n_dir; ++v) dn[v].start = to_levels(dz[v]);
      const std::span<ConservingMatrix> directions(work.directions.data(), n_dir);
      for (std::size_t v = 0; v < n_dir; ++v) {
        const double d_flux = rates_.inv_photon_energy * work.d_light[v];
        directions[v].top = partials_[v].decay_step.top +
                            flux * partials_[v].absorption_step.top +
                            d_flux * absorption_step_.top;
        if (two_photon_)
          directions[v].top += flux * flux * partials_[v].two_photon_step.top +
                               (2.0 * flux * d_flux) * two_photon_step_.top;
        directions[v].corner = 0.0;
      }
      Midpoint& midpoint = work.midpoint;
      propagate(x, directions, z, std::span(dz, n_dir), averaged_ ? &midpoint : nullptr);
      n.end = to_levels(z);
      for (std::size_t v = 0; v < n_dir; ++v) dn[v].end = to_levels(dz[v]);
      if (averaged_) {
        n.middle = to_levels(midpoint.z);
        for (std::size_t v = 0; v < n_dir; ++v) dn[v].middle = to_levels(midpoint.dz[v]);
      }

      const double alpha = attenuating(rates_.absorbers, n);
      const double beta = two_photon_ ? attenuating(rates_.two_photon_absorbers, n) : 0.0;
      const SliceTransmission out = slice_light(light, n);
      const SliceIrradianceIntegral q = slice_irradiance_integral(light, alpha, beta, dz_);
      kerr += q.value;
      n2_integral += attenuating(level2, n) * dz_;
      n4_integral += attenuating(level4, n) * dz_;
      for (std::size_t v = 0; v < n_dir; ++v) {
        const double d_alpha = attenuating(partials_[v].absorbers, n) +
                               attenuating(rates_.absorbers, dn[v]);
        const double d_beta = two_photon_ ? attenuating(partials_[v].two_photon_absorbers, n) +
                                                attenuating(rates_.two_photon_absorbers, dn[v])
                                          : 0.0;
        d_phase[v] += kerr_coefficient * (q.d_light * work.d_light[v] + q.d_alpha * d_alpha +
                                         q.d_beta * d_beta) +
                      (refraction.level2 * attenuating(level2, dn[v]) +
                       refraction.level4 * attenuating(level4, dn[v])) * dz_;
        work.d_light[v] = two_photon_ ? out.d_in * work.d_light[v] + out.d_alpha * d_alpha +
                                            out.d_beta * d_beta
                                      : out.d_in * (work.d_light[v] - light * dz_ * d_alpha);
      }
      light = out.out;
    }
    pulse.light[j] = light;
    pulse.kerr_integral[j] = kerr * refraction.wavenumber;
    pulse.level2_integral[j] = n2_integral;
    pulse.level4_integral[j] = n4_integral;
    pulse.phase[j] = kerr_coefficient * kerr + refraction.level2 * n2_integral +
                     refraction.level4 * n4_integral;
    for (std::size_t v = 0; v < n_dir; ++v) {
      pulse.d_light[j * n_dir + v] = work.d_light[v];
      pulse.d_phase[j * n_dir + v] = d_phase[v];
    }
  }
}

namespace {

// Adds the adjoint of populations whose coefficient c . N has the adjoint
// c_bar. N1 = total - (N2 + ... + N5), and N2..N5 are the first four
// conserving coordinates.
void add_levels_adjoint(const Vector5& levels_bar, ConservingVector& z_bar) noexcept {
  z_bar.head<4>().array() += levels_bar.tail<4>().array() - levels_bar(0);
  z_bar(4) += levels_bar(0);
}

Vector5 refracting_levels(const Refraction& refraction) noexcept {
  Vector5 c = Vector5::Zero();
  c(1) = refraction.level2;
  c(3) = refraction.level4;
  return c;
}

}  // namespace

void SliceSystem::record_refracting(std::span<const double> incident,
                                    const Refraction& refraction, Workspace& work,
                                    RefractedPulse& pulse) const {
  const std::size_t cells = incident.size() * z_slices_;
  if (work.tape.size() < cells) work.tape.resize(cells);
  for (ConservingVector& z : work.populations) z = initial_;
  const double kerr_coefficient = refraction.wavenumber * refraction.n2;
  for (std::size_t j = 0; j < incident.size(); ++j) {
    const std::span<Workspace::Cell> row = std::span(work.tape).subspan(j * z_slices_, z_slices_);
    pulse.light[j] = record_step(incident[j], work.populations, row, {});
    double kerr = 0.0, n2_integral = 0.0, n4_integral = 0.0;
    for (const Workspace::Cell& cell : row) {
      const StepLevels n = levels_of(cell);
      const double alpha = attenuating(rates_.absorbers, n);
      const double beta = two_photon_ ? attenuating(rates_.two_photon_absorbers, n) : 0.0;
      kerr += slice_irradiance_integral(cell.light_in, alpha, beta, dz_).value;
      n2_integral += (averaged_ ? (n.start(1) + 4.0 * n.middle(1) + n.end(1)) / 6.0 : n.end(1)) * dz_;
      n4_integral += (averaged_ ? (n.start(3) + 4.0 * n.middle(3) + n.end(3)) / 6.0 : n.end(3)) * dz_;
    }
    pulse.kerr_integral[j] = kerr * refraction.wavenumber;
    pulse.level2_integral[j] = n2_integral;
    pulse.level4_integral[j] = n4_integral;
    pulse.phase[j] = kerr_coefficient * kerr + refraction.level2 * n2_integral +
                     refraction.level4 * n4_integral;
  }
}

// The backward pass of backward() with the phase's own paths: each cell's
// phase depends on the light reaching it and on its alpha and beta (through
// the irradiance integral) and on its populations (through sigma_r2 N2 +
// sigma_r4 N4), and every cell of a time step adds to that step's exit phase.
void SliceSystem::backward_refracting(std::span<const double> incident,
                                      std::span<const double> light_weights,
                                      std::span<const double> phase_weights,
                                      const Refraction& refraction,
                                      std::span<const double> d_incident, Workspace& work,
                                      std::span<double> d_out) const {
  const std::size_t n_dir = direction_count();
  for (std::size_t v = 0; v < n_dir; ++v) d_out[v] = 0.0;
  std::vector<ConservingVector>& z_bar = work.adjoint;
  for (ConservingVector& adjoint : z_bar) adjoint.setZero();
  const double kerr_coefficient = refraction.wavenumber * refraction.n2;
  const Vector5 phase_levels = refracting_levels(refraction);
  const double end_weight = averaged_ ? 1.0 / 6.0 : 1.0;
  for (std::size_t j = incident.size(); j-- > 0;) {
    double light_bar = light_weights[j];
    const double phase_bar = phase_weights[j];
    for (std::size_t k = z_slices_; k-- > 0;) {
      const Workspace::Cell& cell = work.tape[j * z_slices_ + k];
      const StepLevels levels = levels_of(cell);
      const double alpha = attenuating(rates_.absorbers, levels);
      const double beta = two_photon_ ? attenuating(rates_.two_photon_absorbers, levels) : 0.0;
      const SliceIrradianceIntegral q = slice_irradiance_integral(cell.light_in, alpha, beta, dz_);
      const double kerr_bar = phase_bar * kerr_coefficient;
      const double alpha_bar = cell.light.d_alpha * light_bar + kerr_bar * q.d_alpha;
      const double beta_bar = cell.light.d_beta * light_bar + kerr_bar * q.d_beta;
      light_bar = cell.light.d_in * light_bar + kerr_bar * q.d_light;
      for (std::size_t v = 0; v < n_dir; ++v) {
        d_out[v] += alpha_bar * attenuating(partials_[v].absorbers, levels);
        if (two_photon_)
          d_out[v] += beta_bar * attenuating(partials_[v].two_photon_absorbers, levels);
      }
      // The adjoint of the coefficients' populations: attenuation and phase.
      Vector5 levels_bar = alpha_bar * rates_.absorbers + (phase_bar * dz_) * phase_levels;
      if (two_photon_) levels_bar += beta_bar * rates_.two_photon_absorbers;
      add_levels_adjoint(end_weight * levels_bar, z_bar[k]);
      ConservingVector middle_bar = ConservingVector::Zero();
      if (averaged_) add_levels_adjoint(4.0 / 6.0 * levels_bar, middle_bar);
      ConservingMatrix x_bar = ConservingMatrix::zero();
      backpropagate(cell.exponential, cell.z_in, z_bar[k], x_bar, averaged_ ? &middle_bar : nullptr);
      if (averaged_) add_levels_adjoint(1.0 / 6.0 * levels_bar, z_bar[k]);
      for (std::size_t v = 0; v < n_dir; ++v) {
        d_out[v] += inner(x_bar, partials_[v].decay_step) +
                    cell.flux * inner(x_bar, partials_[v].absorption_step);
        if (two_photon_)
          d_out[v] += cell.flux * cell.flux * inner(x_bar, partials_[v].two_photon_step);
      }
      double flux_bar = inner(x_bar, absorption_step_);
      if (two_photon_) flux_bar += 2.0 * cell.flux * inner(x_bar, two_photon_step_);
      light_bar += rates_.inv_photon_energy * flux_bar;
    }
    for (std::size_t v = 0; v < n_dir; ++v) d_out[v] += light_bar * d_incident[j * n_dir + v];
  }
}

}  // namespace tarnok::engine
