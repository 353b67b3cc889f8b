#include "engine/closed_aperture.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <optional>
#include <stdexcept>

#include "engine/aperture_diffraction.hpp"
#include "engine/incident_pulse.hpp"
#include "engine/slice_propagation.hpp"
#include "engine/worker_pool.hpp"

namespace tarnok::engine {

namespace {

constexpr double millimetres_to_metres = 0.001;

// How the reduced positions zeta = z / z_R and delta = d / z_R change with a
// parameter: z0 moves the sample, w0 and M2 change z_R.
struct ReducedSlopes {
  double zeta = 0.0, delta = 0.0;
};
ReducedSlopes reduced_slopes(Parameter p, double zeta, double delta, const BeamFocus& focus,
                             bool far_field) noexcept {
  ReducedSlopes s;
  switch (p) {
    case Parameter::z0: s.zeta = -millimetres_to_metres / focus.z_R; break;
    case Parameter::w0:
      s.zeta = -2.0 * zeta / focus.w0;
      s.delta = far_field ? 0.0 : -2.0 * delta / focus.w0;
      break;
    case Parameter::M2:
      s.zeta = zeta / focus.M2;
      s.delta = far_field ? 0.0 : delta / focus.M2;
      break;
    default: break;
  }
  return s;
}

// The three phase integrals are the phase's partial derivatives by n2,
// sigma_r2 and sigma_r4.
double phase_partial(const RefractedPulse& pulse, Parameter p, std::size_t j) noexcept {
  if (p == Parameter::n2) return pulse.kerr_integral[j];
  if (p == Parameter::sigma_r2) return pulse.level2_integral[j];
  return pulse.level4_integral[j];
}

}  // namespace

void check_aperture_beyond_scan(const Experiment& e, const ScanLayout& layout) {
  if (!e.has_aperture() || e.aperture_distance == 0.0) return;
  const double farthest_mm =
      *std::max_element(layout.positions_mm.begin(), layout.positions_mm.end());
  if (!(e.aperture_distance > farthest_mm * millimetres_to_metres))
    throw std::invalid_argument(
        "aperture_distance must lie beyond every scan position (the sample must stay in front "
        "of the aperture)");
}

double aperture_transmittance(const Experiment& e, const Discretisation& grids) noexcept {
  if (e.aperture_radius <= 0.0) return e.aperture_transmittance;
  const double reduced = e.aperture_distance / grids.z_R;
  const double w_squared = e.w0 * e.w0 * (1.0 + reduced * reduced);
  return -std::expm1(-2.0 * e.aperture_radius * e.aperture_radius / w_squared);
}

namespace {

// What every position of one evaluation reads, and nothing writes.
struct ClosedInputs {
  const Experiment& experiment;
  const Discretisation& grids;
  const ApertureDiffraction& diffraction;
  const ScanLayout& layout;
  const ParameterVector& values;
  std::span<const Parameter> varied;  // n_dir directions
  std::span<const Parameter> carried;  // those that act through the slices
  std::span<const std::size_t> carried_index;
  const SliceSystem& system;
  bool backward;
  Refraction refraction;
  BeamFocus focus;
  bool far_field;
  double delta;
  std::span<const double> profile;  // the pulse's time profile
};

// Work storage of one thread, sized once per evaluation.
struct ClosedWork {
  explicit ClosedWork(const ClosedInputs& in) {
    const std::size_t nt = in.grids.t_grid.size(), nodes = in.diffraction.field_nodes();
    const std::size_t n_dir = in.varied.size(), n_carried = in.carried.size();
    in.diffraction.prepare(kernel);
    pulses.resize(nodes);
    for (RefractedPulse& pulse : pulses) pulse.resize(nt, in.backward ? 0 : n_carried);
    works.resize(in.backward ? nodes : 1);
    for (SliceSystem::Workspace& work : works) in.system.prepare(work);
    light_seeds.resize(in.backward ? nodes * nt : 0);
    phase_seeds.resize(light_seeds.size());
    d_node.resize(n_carried);
    node_incident.resize(in.backward ? nodes * nt : 0);
    incident.resize(nt);
    d_incident.resize(nt * n_carried);
    scratch.resize(in.grids.radial_nodes.size() * nt);
    g.resize(nodes);
    g_bar.resize(n_dir > 0 ? nodes : 0);
    sums.resize(n_dir);
  }

  ApertureDiffraction::Kernel kernel;
  std::vector<RefractedPulse> pulses;
  std::vector<SliceSystem::Workspace> works;
  // The aperture's adjoint of each node's exit light and phase, time-major.
  std::vector<double> light_seeds, phase_seeds;
  std::vector<double> d_node, node_incident, incident, d_incident, scratch;
  std::vector<Complex> g, g_bar;
  std::vector<double> sums;
};

// The closed transmittance (and its derivatives) of one position of one
// pulse energy, into its own slots of closed and d_closed.
void closed_position(const ClosedInputs& in, std::size_t cell, ClosedWork& w,
                     std::span<double> closed, std::span<double> d_closed) {
  const Experiment& experiment = in.experiment;
  const Discretisation& grids = in.grids;
  const ApertureDiffraction* diffraction = &in.diffraction;
  const SliceSystem& system = in.system;
  const std::span<const Parameter> varied = in.varied, carried = in.carried;
  const std::span<const std::size_t> carried_index = in.carried_index;
  const bool backward = in.backward, far_field = in.far_field;
  const double delta = in.delta;
  const BeamFocus& focus = in.focus;
  const Refraction& refraction = in.refraction;
  const std::span<const double> profile = in.profile;
  const std::size_t n_dir = varied.size(), n_carried = carried.size();
  const std::size_t nt = grids.t_grid.size(), nodes = diffraction->field_nodes();
  ApertureDiffraction::Kernel& kernel = w.kernel;
  std::vector<RefractedPulse>& pulses = w.pulses;
  std::vector<SliceSystem::Workspace>& works = w.works;
  std::vector<double>&light_seeds = w.light_seeds, &phase_seeds = w.phase_seeds;
  std::vector<double>&d_node = w.d_node, &node_incident = w.node_incident;
  std::vector<double>&incident = w.incident, &d_incident = w.d_incident, &scratch = w.scratch;
  std::vector<Complex>&g = w.g, &g_bar = w.g_bar;
  std::vector<double>& sums = w.sums;
  const std::size_t e = cell / in.layout.n_positions, i = cell % in.layout.n_positions;
  const ScanLayout& layout = in.layout;
  const ParameterVector& values = in.values;
  const double position = layout.position(e, i);
  const double energy = layout.pulse_energies[e];
  const BeamLogSlopes slopes = incident_pulse(experiment, grids, position, energy, values, scratch);
  const double peak = peak_irradiance(experiment, grids, position, energy, values);
  const double zeta =
      (position - values[index(Parameter::z0)]) * millimetres_to_metres / focus.z_R;
  // The nodes follow the nominal position, not the fitted focus, so that
  // they stay put while a fit moves z0.
  const double scale = ApertureDiffraction::node_scale(
      position * millimetres_to_metres / grids.z_R,
      far_field ? delta : experiment.aperture_distance / grids.z_R);
  diffraction->build(zeta, delta, scale, n_dir > 0, kernel);

  for (std::size_t q = 0; q < nodes; ++q) {
    const double radial = std::exp(-2.0 * kernel.v[q]);  // e^{-u}, u = 2 v
    for (std::size_t j = 0; j < nt; ++j) {
      incident[j] = peak * radial * profile[j];
      if (backward) continue;
      for (std::size_t c = 0; c < n_carried; ++c)
        d_incident[j * n_carried + c] = incident[j] * slopes.of(carried[c]);
    }
    if (backward) {
      std::copy(incident.begin(), incident.end(), node_incident.begin() + static_cast<std::ptrdiff_t>(q * nt));
      system.record_refracting(incident, refraction, works[q], pulses[q]);
    } else {
      system.transmit_refracting(incident, d_incident, refraction, works[0], pulses[q]);
    }
  }

  double through = 0.0, incident_sum = 0.0;
  std::fill(sums.begin(), sums.end(), 0.0);
  for (std::size_t j = 0; j < nt; ++j) {
    const double on_axis = peak * profile[j];
    for (std::size_t q = 0; q < nodes; ++q) {
      const double in = on_axis * std::exp(-2.0 * kernel.v[q]);
      const double ratio = in > 0.0 ? pulses[q].light[j] / in : 1.0;
      g[q] = std::polar(std::sqrt(std::max(ratio, 0.0)), pulses[q].phase[j]);
    }
    const ApertureDiffraction::SliceEnergy slice = diffraction->slice_energy(kernel, g, g_bar);
    through += on_axis * slice.energy;
    incident_sum += on_axis;
    if (backward) {
      // d energy = Re(g_bar dg), dg = g (d ln I_out / 2 - d ln I_in / 2 + i d phi).
      for (std::size_t q = 0; q < nodes; ++q) {
        const Complex w = g_bar[q] * g[q];
        const double out = pulses[q].light[j];
        light_seeds[q * nt + j] = out > 0.0 ? on_axis * 0.5 * std::real(w) / out : 0.0;
        phase_seeds[q * nt + j] = -on_axis * std::imag(w);
      }
      for (std::size_t v = 0; v < n_dir; ++v) {
        const Parameter p = varied[v];
        double d = 0.0;
        for (std::size_t q = 0; q < nodes; ++q) {
          const Complex w = g_bar[q] * g[q];
          d += acts_on_phase(p) ? -std::imag(w) * phase_partial(pulses[q], p, j)
                                : -0.5 * std::real(w) * slopes.of(p);
        }
        const ReducedSlopes reduced = reduced_slopes(p, zeta, delta, focus, far_field);
        d += slice.d_zeta * reduced.zeta + (far_field ? 0.0 : slice.d_delta * reduced.delta);
        sums[v] += on_axis * d;
      }
      continue;
    }
    for (std::size_t v = 0; v < n_dir; ++v) {
      const Parameter p = varied[v];
      double d = 0.0;
      for (std::size_t q = 0; q < nodes; ++q) {
        const RefractedPulse& pulse = pulses[q];
        Complex dg;
        if (acts_on_phase(p)) {
          dg = Complex(0.0, phase_partial(pulse, p, j)) * g[q];
        } else {
          const std::size_t c = carried_index[v];
          const double out = pulse.light[j];
          const double log_out = out > 0.0 ? pulse.d_light[j * n_carried + c] / out : 0.0;
          dg = Complex(0.5 * (log_out - slopes.of(p)), pulse.d_phase[j * n_carried + c]) * g[q];
        }
        d += std::real(g_bar[q] * dg);
      }
      const ReducedSlopes reduced = reduced_slopes(p, zeta, delta, focus, far_field);
      d += slice.d_zeta * reduced.zeta + (far_field ? 0.0 : slice.d_delta * reduced.delta);
      sums[v] += on_axis * d;
    }
  }
  if (backward) {
    // What the nodes' exit light and phase pass on to the parameters
    // that act through the populations and the incident light.
    for (std::size_t q = 0; q < nodes; ++q) {
      const std::span<const double> in(node_incident.data() + q * nt, nt);
      for (std::size_t j = 0; j < nt; ++j)
        for (std::size_t c = 0; c < n_carried; ++c)
          d_incident[j * n_carried + c] = in[j] * slopes.of(carried[c]);
      system.backward_refracting(in, std::span(light_seeds).subspan(q * nt, nt),
                                 std::span(phase_seeds).subspan(q * nt, nt), refraction,
                                 d_incident, works[q], d_node);
      for (std::size_t v = 0; v < n_dir; ++v)
        if (!acts_on_phase(varied[v])) sums[v] += d_node[carried_index[v]];
    }
  }
  // Every time slice's incident light scales alike with the beam
  // parameters, so only the energies' own changes remain in the ratio.
  closed[cell] = through / incident_sum;
  for (std::size_t v = 0; v < n_dir; ++v) d_closed[cell * n_dir + v] = sums[v] / incident_sum;
}

// A position costs the field nodes' passes through the sample, far more than
// waking a helper; with fewer positions than this for each, a helper would
// cost more than it saves.
constexpr std::size_t positions_per_helper = 8;

// The positions of one evaluation shared out among a team of threads, each
// claiming the next until none is left. Each writes only its own slots, so
// the values are those of one thread in any case.
class ClosedTeam {
 public:
  ClosedTeam(const ClosedInputs& inputs, std::span<double> closed, std::span<double> d_closed,
             const std::stop_token& stop)
      : inputs_(inputs), closed_(closed), d_closed_(d_closed), positions_(inputs.layout.size(), stop) {}

  void operator()() noexcept {
    std::optional<ClosedWork> work;
    try {
      work.emplace(inputs_);
    } catch (...) {
      positions_.fail(0, std::current_exception());
      return;
    }
    positions_.claim_each(
        [&](std::size_t cell) { closed_position(inputs_, cell, *work, closed_, d_closed_); });
  }

  bool stopped() const noexcept { return positions_.stopped(); }
  void rethrow_error() const { positions_.rethrow_error(); }

 private:
  const ClosedInputs& inputs_;
  std::span<double> closed_, d_closed_;
  SharedPieces positions_;
};

}  // namespace

void closed_aperture_transmittance(const Experiment& experiment, const Discretisation& grids,
                                   const ApertureDiffraction* diffraction,
                                   const ScanLayout& layout, const ParameterVector& values,
                                   std::span<const Parameter> varied,
                                   std::span<const double> open, std::span<const double> d_open,
                                   std::span<double> closed, std::span<double> d_closed,
                                   const std::stop_token& stop, DerivativeMode mode) {
  const std::size_t points = layout.size(), n_dir = d_closed.empty() ? 0 : varied.size();
  if (diffraction == nullptr) {
    // An aperture that passes everything measures the energy, as the open one does.
    std::copy_n(open.begin(), points, closed.begin());
    std::copy_n(d_open.begin(), points * n_dir, d_closed.begin());
    return;
  }
  // The phase parameters change no irradiance and no population: only the
  // others are carried through the slices.
  std::vector<Parameter> carried;
  std::vector<std::size_t> carried_index(n_dir, 0);
  for (std::size_t v = 0; v < n_dir; ++v) {
    if (acts_on_phase(varied[v])) continue;
    carried_index[v] = carried.size();
    carried.push_back(varied[v]);
  }
  const std::size_t n_carried = carried.size();
  const std::size_t nt = grids.t_grid.size();
  // The backward pass keeps every node's record of a position at once: it
  // takes the whole pulse's record (no segments) of each.
  const bool backward =
      n_carried > 0 && (mode == DerivativeMode::backward ||
                        (mode == DerivativeMode::automatic && n_carried >= 2)) &&
      nt * grids.z_slices <= SliceSystem::tape_cells_whole;
  const SliceSystem system(experiment, grids, values, carried,
                           backward ? DerivativeMode::backward : DerivativeMode::forward);
  const Refraction refraction = refraction_of(values, experiment.wavelength);
  const BeamFocus focus = beam_focus(experiment, values);
  const bool far_field = experiment.aperture_distance == 0.0;
  const double delta = far_field ? std::numeric_limits<double>::infinity()
                                 : experiment.aperture_distance / focus.z_R;

  std::vector<double> profile(nt);
  for (std::size_t j = 0; j < nt; ++j) {
    const double t_rel = grids.t_grid[j] / experiment.tau;
    profile[j] = std::exp(-(t_rel * t_rel));
  }
  const ClosedInputs inputs{experiment, grids,         *diffraction, layout, values,
                            varied.first(n_dir), carried, carried_index, system, backward,
                            refraction, focus,  far_field,   delta,  profile};
  ClosedTeam team(inputs, closed, d_closed, stop);
  run_with_budget(std::min(points - 1, points / positions_per_helper), team);
  team.rethrow_error();
  if (team.stopped())
    std::fill(closed.begin(), closed.end(), std::numeric_limits<double>::quiet_NaN());
}

void divide_closed_by_open(std::size_t points, std::size_t n_dir, std::span<double> curves,
                           std::span<double> d) noexcept {
  for (std::size_t i = 0; i < points; ++i) {
    const double open = curves[i];
    const double ratio = curves[points + i] / open;
    for (std::size_t v = 0; v < n_dir; ++v) {
      double& d_closed = d[(points + i) * n_dir + v];
      d_closed = (d_closed - ratio * d[i * n_dir + v]) / open;
    }
    curves[points + i] = ratio;
  }
}

}  // namespace tarnok::engine
