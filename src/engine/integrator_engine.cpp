#include "engine/integrator_engine.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "engine/depth_extrapolation.hpp"
#include "engine/exact_engine.hpp"
#include "engine/incident_pulse.hpp"
#include "model/linspace.hpp"
#include "ode/messages.hpp"

namespace tarnok::engine {

namespace {

constexpr std::size_t kept_diagnostic_lines = 100;

// The depth grid the model reads its step (second point) and slice count
// (length) from: the original model's grid for the on-axis beam, so both
// agree to the bit, and one of step thickness/z_slices for the gaussian beam.
std::vector<double> depth_grid(const Experiment& e) {
  std::vector<double> grid(static_cast<std::size_t>(e.z_slices));
  const double last = e.beam == Beam::on_axis
                          ? e.thickness
                          : e.thickness / e.z_slices * static_cast<double>(e.z_slices - 1);
  model::linspace(grid.data(), 0.0, last, e.z_slices);
  return grid;
}

}  // namespace

IntegratorEngine::IntegratorEngine(const Experiment& experiment, ScanLayout layout)
    : experiment_(experiment.depth_extrapolation ? finer_in_depth(experiment) : experiment),
      grids_(discretise(experiment_)),
      layout_(std::move(layout)) {
  check_depth_extrapolation(experiment);
  check_layout(layout_);
  if (experiment_.repetition_rate != 0.0)
    throw std::invalid_argument(
        "the integrator engine models single pulses only: a repetition_rate needs the exact "
        "engine");
  if (experiment_.has_aperture())
    throw std::invalid_argument(
        "the integrator engine models the open aperture only: a closed aperture needs the "
        "exact engine");
  if (experiment.depth_extrapolation)
    coarse_ = std::make_unique<IntegratorEngine>(coarser_in_depth(experiment), layout_);
}

void IntegratorEngine::evaluate(const ParameterVector& values,
                                std::span<const Parameter> /*varied*/,
                                std::span<double> curves, std::span<double> /*jacobian*/,
                                const std::stop_token& stop) const {
  if (curves.size() < layout_.size())
    throw std::invalid_argument("output array too small for the scan layout");
  curves = curves.first(layout_.size());
  evaluate_on_grid(values, curves, stop);
  if (!coarse_) return;
  std::vector<double> coarse(curves.size());
  coarse_->evaluate_on_grid(values, coarse, stop);
  extrapolate_in_depth(curves, coarse);
}

void IntegratorEngine::evaluate_on_grid(const ParameterVector& values, std::span<double> curves,
                                        const std::stop_token& stop) const {
  if (values[index(Parameter::delta_12)] != 0.0)
    throw std::invalid_argument(
        "the integrator engine has no two-photon absorption: delta_12 must be 0, or use the "
        "exact engine");
  ode::MessageLog log(kept_diagnostic_lines);
  {
    const ode::ScopedMessageRedirect redirect(log);
    for (std::size_t e = 0; e < layout_.n_energies(); ++e) {
      const std::span<double> curve = curves.subspan(e * layout_.n_positions, layout_.n_positions);
      if (stop.stop_requested())
        std::fill(curve.begin(), curve.end(), std::numeric_limits<double>::quiet_NaN());
      else
        evaluate_energy(values, e, curve);
    }
  }
  normalise_on_edges(experiment_.beam, layout_.n_positions, 0, curves.first(layout_.size()), {});

  const std::scoped_lock lock(diagnostics_mutex_);
  diagnostics_.messages += log.message_count();
  diagnostics_.lines += log.line_count();
  for (const std::string& line : log.lines())
    if (diagnostics_.first_lines.size() < kept_diagnostic_lines)
      diagnostics_.first_lines.push_back(line);
}

void IntegratorEngine::evaluate_energy(const ParameterVector& values, std::size_t energy,
                                       std::span<double> curve) const {
  const std::size_t n = layout_.n_positions;
  const std::size_t nt = grids_.t_grid.size();
  const std::size_t nodes = grids_.radial_nodes.size();
  const std::vector<double> z_grid = depth_grid(experiment_);

  // The model reads a plane of (position, time) with the position fastest.
  std::vector<std::vector<double>> planes(nodes, std::vector<double>(n * nt));
  std::vector<double> pulse(nodes * nt);
  for (std::size_t i = 0; i < n; ++i) {
    incident_pulse(experiment_, grids_, layout_.position(energy, i),
                   layout_.pulse_energies[energy], values, pulse);
    for (std::size_t q = 0; q < nodes; ++q)
      for (std::size_t j = 0; j < nt; ++j) planes[q][i + j * n] = pulse[q * nt + j];
  }

  std::vector<double> out(n, 0.0), in(n, 0.0), ratio(n);
  for (std::size_t q = 0; q < nodes; ++q) {
    const model::IrradiancePlane plane(planes[q].data(), n, nt);
    model::raw_transmittance(ratio, z_grid, grids_.t_grid, experiment_.populations, plane,
                             grids_.photon_freq, spectroscopic(values),
                             grids_.attenuating);
    const double weight = grids_.radial_weights[q];
    for (std::size_t i = 0; i < n; ++i) {
      double incident_sum = 0.0;
      for (std::size_t j = 0; j < nt; ++j) incident_sum += plane(i, j);
      out[i] += weight * ratio[i] * incident_sum;
      in[i] += weight * incident_sum;
    }
  }
  for (std::size_t i = 0; i < n; ++i) curve[i] = nodes == 1 ? ratio[i] : out[i] / in[i];
}

Diagnostics IntegratorEngine::diagnostics() const {
  Diagnostics all;
  {
    const std::scoped_lock lock(diagnostics_mutex_);
    all = diagnostics_;
  }
  if (coarse_) {
    const Diagnostics coarse = coarse_->diagnostics();
    all.messages += coarse.messages;
    all.lines += coarse.lines;
    for (const std::string& line : coarse.first_lines)
      if (all.first_lines.size() < kept_diagnostic_lines) all.first_lines.push_back(line);
  }
  return all;
}

}  // namespace tarnok::engine
