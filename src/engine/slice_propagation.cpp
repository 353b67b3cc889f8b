#include "engine/slice_propagation.hpp"

#include <cmath>
#include <stdexcept>

namespace tarnok::engine {

SliceSystem::SliceSystem(const Experiment& experiment, const Discretisation& grids,
                         const ParameterVector& values, std::span<const Parameter> varied,
                         DerivativeMode mode, std::size_t record_limit)
    : rates_(rate_matrices(model::rate_constants_for(grids.photon_freq, spectroscopic(values)),
                           values[index(Parameter::delta_12)])),
      decay_step_(ConservingMatrix::from_generator(rates_.decay, grids.dt)),
      absorption_step_(ConservingMatrix::from_generator(rates_.absorption, grids.dt)),
      two_photon_step_(ConservingMatrix::from_generator(rates_.two_photon, grids.dt)),
      dz_(grids.dz),
      z_slices_(grids.z_slices),
      t_slices_(grids.t_grid.size()),
      averaged_(grids.attenuating == model::AttenuatingPopulations::step_average),
      two_photon_(values[index(Parameter::delta_12)] != 0.0),
      backward_(mode == DerivativeMode::backward ||
                (mode == DerivativeMode::automatic && varied.size() >= 2)),
      record_limit_(record_limit) {
  if (varied.size() > max_directions)
    throw std::invalid_argument("too many parameters to differentiate by");
  partials_.reserve(varied.size());
  for (Parameter p : varied) {
    // A derivative by delta_12 at delta_12 = 0 needs the two-photon terms.
    if (p == Parameter::delta_12) two_photon_ = true;
    const RateMatrixPartials partial = rate_matrix_partials(values, p, rates_.inv_photon_energy);
    partials_.push_back({ConservingMatrix::from_generator(partial.decay, grids.dt),
                         ConservingMatrix::from_generator(partial.absorption, grids.dt),
                         ConservingMatrix::from_generator(partial.two_photon, grids.dt),
                         partial.absorbers, partial.two_photon_absorbers});
  }
  Vector5 levels;
  for (std::size_t level = 0; level < model::level_count; ++level)
    levels(static_cast<Eigen::Index>(level)) = experiment.populations[level];
  initial_ = to_conserving(levels);
}

void SliceSystem::prepare(Workspace& work) const {
  work.populations.resize(z_slices_);
  work.adjoint.resize(z_slices_);
  work.propagators.resize(z_slices_);
  work.d_populations.resize(z_slices_ * direction_count());
  const std::size_t cells = segment_steps(t_slices_) * z_slices_;
  if (records() && work.tape.size() < cells) work.tape.resize(cells);
}

double SliceSystem::transmit(std::span<const double> incident,
                             std::span<const double> d_incident, Workspace& work,
                             std::span<double> d_transmitted) const {
  for (ConservingVector& z : work.populations) z = initial_;
  if (!records()) return transmit_forward(incident, d_incident, work, d_transmitted, false);
  const double transmitted = pulse(incident, work, false);
  for (ConservingVector& z_bar : work.adjoint) z_bar.setZero();
  backward(incident, 1.0, true, d_incident, work, d_transmitted);
  return transmitted;
}

double SliceSystem::pulse(std::span<const double> incident, Workspace& work,
                          bool propagators) const {
  if (propagators)
    for (ConservingMatrix& m : work.propagators) {
      m = ConservingMatrix::zero();
      m.top.leftCols<4>().setIdentity();
      m.corner = 1.0;
    }
  if (records()) {
    const std::size_t cells = segment_steps(incident.size()) * z_slices_;
    if (work.tape.size() < cells) work.tape.resize(cells);
    return transmit_recorded(incident, work, propagators);
  }
  if (direction_count() > 0)
    throw std::logic_error("a pulse from chosen populations needs the backward pass");
  return transmit_forward(incident, {}, work, {}, propagators);
}

double SliceSystem::transmit_forward(std::span<const double> incident,
                                     std::span<const double> d_incident, Workspace& work,
                                     std::span<double> d_transmitted, bool propagators) const {
  const std::size_t n_dir = direction_count();
  for (ConservingVector& dz : work.d_populations) dz.setZero();
  for (std::size_t v = 0; v < n_dir; ++v) d_transmitted[v] = 0.0;

  double transmitted = 0.0;
  for (std::size_t j = 0; j < incident.size(); ++j) {
    double light = incident[j];
    for (std::size_t v = 0; v < n_dir; ++v) work.d_light[v] = d_incident[j * n_dir + v];
    for (std::size_t k = 0; k < z_slices_; ++k)
      light = advance_slice(k, light, work, propagators ? &work.propagators[k] : nullptr);
    // Plain sums in ascending time, as the integrator-based model forms them.
    transmitted += light;
    for (std::size_t v = 0; v < n_dir; ++v) d_transmitted[v] += work.d_light[v];
  }
  return transmitted;
}

SliceTransmission SliceSystem::slice_light(double light, const StepLevels& n) const noexcept {
  const double alpha = attenuating(rates_.absorbers, n);
  if (two_photon_)
    return two_photon_transmission(light, alpha, attenuating(rates_.two_photon_absorbers, n), dz_);
  SliceTransmission t;
  t.d_in = std::exp(-alpha * dz_);
  t.out = light * t.d_in;
  t.d_alpha = -dz_ * t.out;
  return t;
}

double SliceSystem::advance_slice(std::size_t slice, double light, Workspace& work,
                                  ConservingMatrix* propagator) const noexcept {
  const std::size_t n_dir = direction_count();
  ConservingVector& z = work.populations[slice];
  ConservingVector* dz = work.d_populations.data() + slice * n_dir;

  // Populations over the time step under the irradiance reaching the slice.
  const double flux = rates_.inv_photon_energy * light;
  const ConservingMatrix x = step_generator(flux);
  StepLevels n;
  std::array<StepLevels, max_directions> dn;
  n.start = to_levels(z);
  for (std::size_t v = 0; v < n_dir; ++v) dn[v].start = to_levels(dz[v]);
  const std::span<ConservingMatrix> directions(work.directions.data(), n_dir);
  for (std::size_t v = 0; v < n_dir; ++v) {
    // dA = dD + F dS + F^2 dT + dF (S + 2 F T), where dF carries the change of
    // the light that reaches this slice from the slices in front of it.
    const double d_flux = rates_.inv_photon_energy * work.d_light[v];
    directions[v].top = partials_[v].decay_step.top + flux * partials_[v].absorption_step.top +
                        d_flux * absorption_step_.top;
    if (two_photon_)
      directions[v].top += flux * flux * partials_[v].two_photon_step.top +
                           (2.0 * flux * d_flux) * two_photon_step_.top;
    directions[v].corner = 0.0;
  }
  Midpoint& midpoint = work.midpoint;
  propagate(x, directions, z, std::span(dz, n_dir), averaged_ ? &midpoint : nullptr, propagator);
  n.end = to_levels(z);
  for (std::size_t v = 0; v < n_dir; ++v) dn[v].end = to_levels(dz[v]);
  if (averaged_) {
    n.middle = to_levels(midpoint.z);
    for (std::size_t v = 0; v < n_dir; ++v) dn[v].middle = to_levels(midpoint.dz[v]);
  }

  // The light through the slice; alpha and beta are bilinear in their
  // coefficients and the populations.
  const SliceTransmission out = slice_light(light, n);
  for (std::size_t v = 0; v < n_dir; ++v) {
    const double d_alpha = attenuating(partials_[v].absorbers, n) +
                           attenuating(rates_.absorbers, dn[v]);
    if (!two_photon_) {
      work.d_light[v] = out.d_in * (work.d_light[v] - light * dz_ * d_alpha);
      continue;
    }
    const double d_beta = attenuating(partials_[v].two_photon_absorbers, n) +
                          attenuating(rates_.two_photon_absorbers, dn[v]);
    work.d_light[v] = out.d_in * work.d_light[v] + out.d_alpha * d_alpha + out.d_beta * d_beta;
  }
  return out.out;
}

SliceSystem::StepLevels SliceSystem::levels_of(const Workspace::Cell& cell) const noexcept {
  StepLevels n;
  n.start = to_levels(cell.z_in);
  n.end = to_levels(cell.z_out);
  if (averaged_) n.middle = to_levels(cell.z_middle);
  return n;
}

ConservingMatrix SliceSystem::step_generator(double flux) const noexcept {
  ConservingMatrix x;
  x.top = decay_step_.top + flux * absorption_step_.top;
  if (two_photon_) x.top += (flux * flux) * two_photon_step_.top;
  x.corner = 0.0;
  return x;
}

double SliceSystem::record_step(double light, std::span<ConservingVector> populations,
                                std::span<Workspace::Cell> row,
                                std::span<ConservingMatrix> propagators) const {
  for (std::size_t k = 0; k < z_slices_; ++k) {
    Workspace::Cell& cell = row[k];
    ConservingVector& z = populations[k];
    cell.z_in = z;
    cell.light_in = light;
    cell.flux = rates_.inv_photon_energy * light;
    propagate_recorded(step_generator(cell.flux), z, cell.exponential,
                       averaged_ ? &cell.z_middle : nullptr,
                       propagators.empty() ? nullptr : &propagators[k]);
    cell.z_out = z;
    cell.light = slice_light(light, levels_of(cell));
    light = cell.light.out;
  }
  return light;
}

double SliceSystem::transmit_recorded(std::span<const double> incident, Workspace& work,
                                      bool propagators) const {
  const std::size_t segment = segment_steps(incident.size());
  const bool checkpointed = segment < incident.size();
  if (checkpointed)
    work.checkpoints.resize(((incident.size() + segment - 1) / segment) * z_slices_);
  const std::span<ConservingMatrix> products =
      propagators ? std::span<ConservingMatrix>(work.propagators) : std::span<ConservingMatrix>();
  double transmitted = 0.0;
  for (std::size_t j = 0; j < incident.size(); ++j) {
    const std::size_t row = j % segment;
    if (checkpointed && row == 0)
      std::copy(work.populations.begin(), work.populations.end(),
                work.checkpoints.begin() + static_cast<std::ptrdiff_t>((j / segment) * z_slices_));
    transmitted += record_step(incident[j], work.populations,
                               std::span(work.tape).subspan(row * z_slices_, z_slices_), products);
  }
  work.tape_segment = checkpointed ? (incident.size() - 1) / segment : 0;
  return transmitted;
}

void SliceSystem::replay_segment(std::size_t segment_index, std::size_t segment,
                                 std::span<const double> incident, Workspace& work) const {
  work.replay.assign(work.checkpoints.begin() + static_cast<std::ptrdiff_t>(segment_index * z_slices_),
                     work.checkpoints.begin() +
                         static_cast<std::ptrdiff_t>((segment_index + 1) * z_slices_));
  const std::size_t first = segment_index * segment;
  const std::size_t end = std::min(incident.size(), first + segment);
  for (std::size_t j = first; j < end; ++j)
    record_step(incident[j], work.replay,
                std::span(work.tape).subspan((j - first) * z_slices_, z_slices_), {});
  work.tape_segment = segment_index;
}

std::size_t SliceSystem::segment_steps(std::size_t time_steps) const noexcept {
  return record_segment_steps(time_steps, z_slices_, record_limit_);
}

std::size_t record_segment_steps(std::size_t time_steps, std::size_t z_slices,
                                 std::size_t record_limit) noexcept {
  if (time_steps * z_slices <= record_limit) return std::max<std::size_t>(time_steps, 1);
  const double rows = std::sqrt(static_cast<double>(time_steps) * sizeof(ConservingVector) /
                                static_cast<double>(sizeof(SliceSystem::Workspace::Cell)));
  return std::clamp<std::size_t>(static_cast<std::size_t>(std::ceil(rows)), 1, time_steps);
}

namespace {

// Adds the adjoint of populations whose coefficient c . N has the adjoint
// c_bar. N1 = total - (N2 + ... + N5), and N2..N5 are the first four
// conserving coordinates.
void add_coefficient_adjoint(double c_bar, const Vector5& coefficients,
                             ConservingVector& z_bar) noexcept {
  const Vector5 levels_bar = c_bar * coefficients;
  z_bar.head<4>().array() += levels_bar.tail<4>().array() - levels_bar(0);
  z_bar(4) += levels_bar(0);
}

}  // namespace

// The adjoint of the transmitted sum, cell by cell in reverse order: light
// flows down the slices within a time step, populations from one time step
// to the next in each slice, so each cell hands the adjoint of its incoming
// light to the slice in front and that of its populations to its own slice's
// previous time step. Contracting each cell's rate-matrix adjoint with the
// parameters' partial matrices gives all derivatives at once.
void SliceSystem::backward(std::span<const double> incident, double light_weight, bool contract,
                           std::span<const double> d_incident, Workspace& work,
                           std::span<double> d_transmitted) const {
  const std::size_t n_dir = contract ? direction_count() : 0;
  for (std::size_t v = 0; v < n_dir; ++v) d_transmitted[v] = 0.0;
  std::vector<ConservingVector>& z_bar = work.adjoint;
  // Simpson's weights, or all on the end.
  const double end_weight = averaged_ ? 1.0 / 6.0 : 1.0;
  const std::size_t time_steps = incident.size();
  const std::size_t segment = segment_steps(time_steps);
  for (std::size_t j = time_steps; j-- > 0;) {
    // A record kept in segments is rebuilt, segment by segment, from the
    // checkpoint at its start.
    if (j / segment != work.tape_segment) replay_segment(j / segment, segment, incident, work);
    double light_bar = light_weight;  // the transmitted sum takes each step's exit light once
    for (std::size_t k = z_slices_; k-- > 0;) {
      const Workspace::Cell& cell = work.tape[(j % segment) * z_slices_ + k];
      const double alpha_bar = cell.light.d_alpha * light_bar;
      const double beta_bar = cell.light.d_beta * light_bar;
      light_bar *= cell.light.d_in;
      const StepLevels levels = levels_of(cell);
      for (std::size_t v = 0; v < n_dir; ++v) {
        d_transmitted[v] += alpha_bar * attenuating(partials_[v].absorbers, levels);
        if (two_photon_)
          d_transmitted[v] += beta_bar * attenuating(partials_[v].two_photon_absorbers, levels);
      }

      add_coefficient_adjoint(end_weight * alpha_bar, rates_.absorbers, z_bar[k]);
      if (two_photon_)
        add_coefficient_adjoint(end_weight * beta_bar, rates_.two_photon_absorbers, z_bar[k]);
      ConservingVector middle_bar = ConservingVector::Zero();
      if (averaged_) {
        add_coefficient_adjoint(4.0 / 6.0 * alpha_bar, rates_.absorbers, middle_bar);
        if (two_photon_)
          add_coefficient_adjoint(4.0 / 6.0 * beta_bar, rates_.two_photon_absorbers, middle_bar);
      }
      ConservingMatrix x_bar = ConservingMatrix::zero();
      backpropagate(cell.exponential, cell.z_in, z_bar[k], x_bar, averaged_ ? &middle_bar : nullptr);
      if (averaged_) {
        add_coefficient_adjoint(1.0 / 6.0 * alpha_bar, rates_.absorbers, z_bar[k]);
        if (two_photon_)
          add_coefficient_adjoint(1.0 / 6.0 * beta_bar, rates_.two_photon_absorbers, z_bar[k]);
      }
      // X = D dt + F S dt + F^2 T dt with F = light_in / (h nu).
      for (std::size_t v = 0; v < n_dir; ++v) {
        d_transmitted[v] += inner(x_bar, partials_[v].decay_step) +
                            cell.flux * inner(x_bar, partials_[v].absorption_step);
        if (two_photon_)
          d_transmitted[v] += cell.flux * cell.flux * inner(x_bar, partials_[v].two_photon_step);
      }
      double flux_bar = inner(x_bar, absorption_step_);
      if (two_photon_) flux_bar += 2.0 * cell.flux * inner(x_bar, two_photon_step_);
      light_bar += rates_.inv_photon_energy * flux_bar;
    }
    for (std::size_t v = 0; v < n_dir; ++v) d_transmitted[v] += light_bar * d_incident[j * n_dir + v];
  }
}

}  // namespace tarnok::engine
