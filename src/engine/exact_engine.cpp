#include "engine/exact_engine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <atomic>
#include <limits>
#include <optional>
#include <stdexcept>

#include "engine/cell_batch.hpp"
#include "engine/closed_aperture.hpp"
#include "engine/column_response.hpp"
#include "engine/depth_extrapolation.hpp"
#include "engine/incident_pulse.hpp"
#include "engine/pulse_train.hpp"
#include "engine/slice_propagation.hpp"
#include "engine/worker_pool.hpp"

namespace tarnok::engine {

namespace {

constexpr double edge_weight = 0.1;  // the mean of ten edge values

// Mean of the five first and five last values of a strided row.
double edge_mean(const double* row, std::size_t n, std::size_t stride) noexcept {
  double front = 0.0, back = 0.0;
  for (std::size_t i = 0; i < min_positions; ++i) {
    front += row[i * stride];
    back += row[(n - min_positions + i) * stride];
  }
  return edge_weight * (front + back);
}

// The columns of an evaluation in their fixed order, energy-major, then
// position, then radial node, sent through the lane code batch_lanes
// consecutive columns at a time: neighbouring positions and nodes meet
// similar light, so the Pade degree one lane needs mostly fits the others.
// Each column's sums land in slots of their own, and the positions' sums over
// their nodes are formed afterwards in node order, so the result depends on
// nothing but this order.
struct ColumnBatches {
  std::vector<BatchPartial> partials;
  std::vector<double> lane_incident;    // lane-major, nt values each
  std::vector<double> lane_d_incident;  // lane-major, nt * n_dir each
  std::vector<double> out, in;          // of each column: transmitted and incident sums
  std::vector<double> d_out, d_in;      // of each column, direction fastest
};

// Work storage of one evaluation, sized for it at its start.
struct EvaluationWork {
  void prepare(const SliceSystem& system, const PulseTrain* train, std::size_t pulse_values,
               std::size_t n_dir) {
    system.prepare(slices);
    if (train != nullptr) train->prepare(train_work);
    irradiance.resize(pulse_values);
    d_incident.resize(pulse_values * n_dir);
    for (std::vector<double>* sums : {&d_transmitted, &d_out, &d_in}) sums->resize(n_dir);
  }

  SliceSystem::Workspace slices;
  PulseTrain::Workspace train_work;
  BatchWorkspace batch;
  ColumnBatches columns;
  std::vector<double> irradiance;  // node-major time series
  std::vector<double> d_incident;  // one node, direction fastest
  std::vector<double> d_transmitted, d_out, d_in;
};

// Each thread keeps its work storage from one evaluation to the next. The
// backward pass's record of a pulse runs to hundreds of kilobytes, which the
// allocator maps and unmaps afresh each time it is handed back, and unmapping
// interrupts every other thread of the process. A record beyond a few
// megabytes (grids far finer than usual) is handed back all the same, so that
// a thread does not hold it for good.
constexpr std::size_t cells_kept = 4096;

class ThreadWork {
 public:
  ThreadWork() : work_(storage()) {}
  ThreadWork(const ThreadWork&) = delete;
  ThreadWork& operator=(const ThreadWork&) = delete;
  ~ThreadWork() {
    std::vector<SliceSystem::Workspace::Cell>& tape = work_.slices.tape;
    if (tape.capacity() > cells_kept) std::vector<SliceSystem::Workspace::Cell>().swap(tape);
    // The checkpoints of a record kept in segments come only with such grids.
    std::vector<ConservingVector>& checkpoints = work_.slices.checkpoints;
    if (checkpoints.capacity() > cells_kept) std::vector<ConservingVector>().swap(checkpoints);
  }
  EvaluationWork& operator*() noexcept { return work_; }

 private:
  static EvaluationWork& storage() {
    thread_local EvaluationWork work;
    return work;
  }
  EvaluationWork& work_;
};

}  // namespace

void check_layout(const ScanLayout& layout) {
  if (layout.n_positions < min_positions)
    throw std::invalid_argument("each curve needs at least 5 positions");
  if (layout.n_energies() == 0) throw std::invalid_argument("no pulse energy given");
  if (layout.positions_mm.size() != layout.n_energies() * layout.n_positions)
    throw std::invalid_argument("positions do not match pulse energies x positions");
}

ExactEngine::ExactEngine(const Experiment& experiment, ScanLayout layout)
    : experiment_(experiment.depth_extrapolation ? finer_in_depth(experiment) : experiment),
      grids_(discretise(experiment_)),
      layout_(std::move(layout)) {
  check_depth_extrapolation(experiment);
  check_layout(layout_);
  check_aperture_beyond_scan(experiment_, layout_);
  const double transmittance = aperture_transmittance(experiment_, grids_);
  if (experiment_.has_aperture() && transmittance < 1.0)
    aperture_.emplace(transmittance, aperture_field_nodes, aperture_plane_nodes);
  if (experiment.depth_extrapolation)
    coarse_ = std::make_unique<ExactEngine>(coarser_in_depth(experiment), layout_);
}

namespace {

// What the batched columns of one evaluation share.
struct BatchedEvaluation {
  const Experiment& experiment;
  const Discretisation& grids;
  const ScanLayout& layout;
  const ParameterVector& values;
  std::span<const Parameter> varied;  // the n_dir directions
  BatchSystem system;
};

// Sends columns [first, last) through the lane code, batch_lanes at a time from
// first, into their slots of work.columns.
void transmit_columns(const BatchedEvaluation& e, std::size_t first, std::size_t last,
                      EvaluationWork& work) {
  const std::size_t nt = e.grids.t_grid.size(), nodes = e.grids.radial_nodes.size();
  const std::size_t n_dir = e.varied.size();
  ColumnBatches& c = work.columns;
  std::size_t pulse_position = std::numeric_limits<std::size_t>::max();
  BeamLogSlopes slopes;
  BatchColumns batch;
  batch.time_steps = nt;
  for (std::size_t start = first; start < last; start += batch_lanes) {
    const std::size_t count = std::min(batch_lanes, last - start);
    for (std::size_t l = 0; l < batch_lanes; ++l) {
      // Lanes past the last column repeat the batch's first.
      const std::size_t lane = l < count ? l : 0;
      batch.incident[l] = c.lane_incident.data() + lane * nt;
      batch.d_incident[l] = c.lane_d_incident.data() + lane * nt * n_dir;
      batch.d_transmitted[l] = l < count ? c.d_out.data() + (start + l) * n_dir : nullptr;
      if (l >= count) continue;
      const std::size_t column = start + l, position = column / nodes, node = column % nodes;
      if (position != pulse_position) {
        const std::size_t energy = position / e.layout.n_positions;
        slopes = incident_pulse(e.experiment, e.grids,
                                e.layout.position(energy, position % e.layout.n_positions),
                                e.layout.pulse_energies[energy], e.values, work.irradiance);
        pulse_position = position;
      }
      const double* pulse = work.irradiance.data() + node * nt;
      double* lane_incident = c.lane_incident.data() + l * nt;
      double* lane_d_incident = c.lane_d_incident.data() + l * nt * n_dir;
      double incident_sum = 0.0;
      for (std::size_t j = 0; j < nt; ++j) {
        lane_incident[j] = pulse[j];
        incident_sum += pulse[j];
      }
      c.in[column] = incident_sum;
      for (std::size_t v = 0; v < n_dir; ++v) {
        const double slope = slopes.of(e.varied[v]);
        double d_sum = 0.0;
        for (std::size_t j = 0; j < nt; ++j) {
          lane_d_incident[j * n_dir + v] = pulse[j] * slope;
          d_sum += lane_d_incident[j * n_dir + v];
        }
        c.d_in[column * n_dir + v] = d_sum;
      }
    }
    transmit_batch(e.system, batch, work.batch);
    for (std::size_t l = 0; l < count; ++l) c.out[start + l] = batch.transmitted[l];
  }
}

// What every column of one evaluation reads, and nothing writes.
struct ColumnInputs {
  const Experiment& experiment;
  const Discretisation& grids;
  const ScanLayout& layout;
  const ParameterVector& values;
  std::span<const Parameter> varied;  // n_dir directions
  const SliceSystem& system;
  const PulseTrain* train;
  const BatchedEvaluation* batched;  // when the lane code takes the columns
};

// Positions per unit of work when the lane code takes the columns: their
// radial nodes make whole batches, formed the same for any number of threads.
constexpr std::size_t batched_positions = batch_lanes;

// The transmittance (and derivatives) of positions [first, last) through
// the lane code, into their own slots of raw and d_raw; each position's
// nodes are summed in node order.
void transmit_positions(const ColumnInputs& in, std::size_t first, std::size_t last,
                        EvaluationWork& work, std::span<double> raw, std::span<double> d_raw) {
  const std::size_t n_dir = in.varied.size();
  const std::size_t nt = in.grids.t_grid.size(), nodes = in.grids.radial_nodes.size();
  ColumnBatches& c = work.columns;
  const std::size_t columns = in.layout.size() * nodes;
  c.lane_incident.resize(batch_lanes * nt);
  c.lane_d_incident.resize(batch_lanes * nt * n_dir);
  for (std::vector<double>* sums : {&c.out, &c.in}) sums->resize(columns);
  for (std::vector<double>* sums : {&c.d_out, &c.d_in}) sums->resize(columns * n_dir);
  transmit_columns(*in.batched, first * nodes, last * nodes, work);
  for (std::size_t cell = first; cell < last; ++cell) {
    double out = 0.0, incident = 0.0;
    std::fill(work.d_out.begin(), work.d_out.end(), 0.0);
    std::fill(work.d_in.begin(), work.d_in.end(), 0.0);
    for (std::size_t q = 0; q < nodes; ++q) {
      const std::size_t column = cell * nodes + q;
      const double weight = in.grids.radial_weights[q];
      out += weight * c.out[column];
      incident += weight * c.in[column];
      for (std::size_t v = 0; v < n_dir; ++v) {
        work.d_out[v] += weight * c.d_out[column * n_dir + v];
        work.d_in[v] += weight * c.d_in[column * n_dir + v];
      }
    }
    raw[cell] = out / incident;
    for (std::size_t v = 0; v < n_dir; ++v)
      d_raw[cell * n_dir + v] = (work.d_out[v] - raw[cell] * work.d_in[v]) / incident;
  }
}

// Transmittance (and its derivatives) of one column, a position of one pulse
// energy, into its own slots of raw and d_raw. Its radial nodes stay
// together and are summed in node order, so the result does not depend on
// which thread computes it.
void transmit_column(const ColumnInputs& in, std::size_t cell, EvaluationWork& work,
                     std::span<double> raw, std::span<double> d_raw) {
  const std::size_t n_dir = in.varied.size();
  const std::size_t nt = in.grids.t_grid.size();
  const std::size_t nodes = in.grids.radial_nodes.size();
  const std::size_t e = cell / in.layout.n_positions, i = cell % in.layout.n_positions;
  const BeamLogSlopes slopes = incident_pulse(in.experiment, in.grids, in.layout.position(e, i),
                                              in.layout.pulse_energies[e], in.values, work.irradiance);
  double out = 0.0, incident = 0.0;
  std::fill(work.d_out.begin(), work.d_out.end(), 0.0);
  std::fill(work.d_in.begin(), work.d_in.end(), 0.0);
  for (std::size_t q = 0; q < nodes; ++q) {
    const std::span<const double> pulse(work.irradiance.data() + q * nt, nt);
    for (std::size_t j = 0; j < nt; ++j)
      for (std::size_t v = 0; v < n_dir; ++v)
        work.d_incident[j * n_dir + v] = pulse[j] * slopes.of(in.varied[v]);
    const double weight = in.grids.radial_weights[q];
    const double transmitted =
        in.train != nullptr
            ? in.train->transmit(pulse, work.d_incident, work.slices, work.train_work, work.d_transmitted)
            : in.system.transmit(pulse, work.d_incident, work.slices, work.d_transmitted);
    out += weight * transmitted;
    double incident_sum = 0.0;
    for (double value : pulse) incident_sum += value;
    incident += weight * incident_sum;
    for (std::size_t v = 0; v < n_dir; ++v) {
      work.d_out[v] += weight * work.d_transmitted[v];
      for (std::size_t j = 0; j < nt; ++j) work.d_in[v] += weight * work.d_incident[j * n_dir + v];
    }
  }
  raw[cell] = out / incident;
  for (std::size_t v = 0; v < n_dir; ++v)
    d_raw[cell * n_dir + v] = (work.d_out[v] - raw[cell] * work.d_in[v]) / incident;
}

// A cell costs a fraction of a microsecond, waking a helper tens of
// microseconds: with fewer cells than this (about a millisecond's work) for
// each, a helper would cost more than it saves.
constexpr std::size_t cells_per_helper = 4096;

// The columns of one evaluation, shared out among the threads of a team:
// each thread claims the next column until none is left. Each column writes
// only its own slots, so the values are those of one thread in any case.
class ColumnTeam {
 public:
  ColumnTeam(const ColumnInputs& inputs, std::span<double> raw, std::span<double> d_raw,
             const std::stop_token& stop)
      : inputs_(inputs),
        raw_(raw),
        d_raw_(d_raw),
        per_unit_(inputs.batched != nullptr ? batched_positions : 1),
        units_((inputs.layout.size() + per_unit_ - 1) / per_unit_, stop) {}

  void operator()() noexcept {
    ThreadWork thread_work;
    EvaluationWork& work = *thread_work;
    try {
      work.prepare(inputs_.system, inputs_.train, inputs_.grids.t_grid.size() * inputs_.grids.radial_nodes.size(),
                   inputs_.varied.size());
    } catch (...) {
      units_.fail(0, std::current_exception());
      return;
    }
    work.train_work.pulses = 0;
    const std::size_t columns = inputs_.layout.size();
    units_.claim_each([&](std::size_t unit) {
      const std::size_t cell = unit * per_unit_;
      if (inputs_.batched != nullptr)
        transmit_positions(inputs_, cell, std::min(columns, cell + per_unit_), work, raw_, d_raw_);
      else
        transmit_column(inputs_, cell, work, raw_, d_raw_);
    });
    pulses_.fetch_add(work.train_work.pulses, std::memory_order_relaxed);
  }

  bool stopped() const noexcept { return units_.stopped(); }
  std::size_t pulses() const noexcept { return pulses_.load(std::memory_order_relaxed); }
  void rethrow_error() const { units_.rethrow_error(); }

 private:
  const ColumnInputs& inputs_;
  std::span<double> raw_, d_raw_;
  const std::size_t per_unit_;  // positions per unit of work
  SharedPieces units_;
  std::atomic<std::size_t> pulses_{0};
};

// Evaluations with fewer columns than this send each through; so do those
// with fewer than columns_per_panel for each of the table's first panels,
// since resolving a panel takes up to a few dozen columns.
constexpr std::size_t tabulated_columns = 64;
constexpr std::size_t columns_per_panel = 48;

// How finely the response of a column is tabulated: a single pulse's to
// rounding; a train's to well above the noise its steady state carries
// (settled to a relative 1e-12, up to 1e-10 where it is ill-conditioned).
PanelSettings response_settings(bool train) noexcept {
  PanelSettings settings;
  settings.tolerance = train ? 1e-10 : 1e-13;
  return settings;
}

// An evaluation stopped while its response was being sampled.
struct SamplingStopped {};

// Sends columns of the same pulse shape and the given amplitudes (their
// incident sums) through the sample, and keeps of each the fraction it
// transmits and that fraction's derivative along each direction: by a
// parameter of the sample, or, for the parameters that act on the beam, by
// the logarithm of the amplitude. values[i * (1 + n_dir)] is sample i's
// fraction, the next n_dir its derivatives.
class SampleTeam {
 public:
  SampleTeam(const ColumnInputs& inputs, std::span<const double> shape,
             std::span<const double> log_amplitudes, std::span<double> values,
             const std::stop_token& stop)
      : inputs_(inputs),
        shape_(shape),
        log_amplitudes_(log_amplitudes),
        values_(values),
        per_unit_(inputs.batched != nullptr ? batch_lanes : 1),
        units_((log_amplitudes.size() + per_unit_ - 1) / per_unit_, stop) {}

  void operator()() noexcept {
    ThreadWork thread_work;
    EvaluationWork& work = *thread_work;
    const std::size_t nt = shape_.size(), n_dir = inputs_.varied.size();
    try {
      work.prepare(inputs_.system, inputs_.train, nt, n_dir);
      work.columns.lane_incident.resize(batch_lanes * nt);
      work.columns.lane_d_incident.resize(batch_lanes * nt * n_dir);
      work.columns.d_out.resize(batch_lanes * n_dir);
    } catch (...) {
      units_.fail(0, std::current_exception());
      return;
    }
    work.train_work.pulses = 0;
    units_.claim_each([&](std::size_t unit) {
      const std::size_t first = unit * per_unit_;
      const std::size_t count = std::min(per_unit_, log_amplitudes_.size() - first);
      if (inputs_.batched != nullptr)
        sample_batch(first, count, work);
      else
        sample_alone(first, work);
    });
    pulses_.fetch_add(work.train_work.pulses, std::memory_order_relaxed);
  }

  bool stopped() const noexcept { return units_.stopped(); }
  std::size_t pulses() const noexcept { return pulses_.load(std::memory_order_relaxed); }
  void rethrow_error() const { units_.rethrow_error(); }

 private:
  // The incident light of sample i and its derivatives: only the parameters
  // acting on the beam change it, each by d ln A = 1.
  double fill_incident(std::size_t i, double* incident, double* d_incident) const noexcept {
    const std::size_t nt = shape_.size(), n_dir = inputs_.varied.size();
    const double amplitude = std::exp(log_amplitudes_[i]);
    for (std::size_t j = 0; j < nt; ++j) {
      incident[j] = amplitude * shape_[j];
      for (std::size_t v = 0; v < n_dir; ++v)
        d_incident[j * n_dir + v] = acts_on_beam(inputs_.varied[v]) ? incident[j] : 0.0;
    }
    return amplitude;
  }

  void keep(std::size_t i, double amplitude, double transmitted, const double* d) const noexcept {
    const std::size_t n_dir = inputs_.varied.size();
    double* row = values_.data() + i * (1 + n_dir);
    row[0] = transmitted / amplitude;
    for (std::size_t v = 0; v < n_dir; ++v) row[1 + v] = d[v] / amplitude;
  }

  void sample_batch(std::size_t first, std::size_t count, EvaluationWork& work) const {
    const std::size_t nt = shape_.size(), n_dir = inputs_.varied.size();
    ColumnBatches& c = work.columns;
    BatchColumns batch;
    batch.time_steps = nt;
    std::array<double, batch_lanes> amplitudes{};
    for (std::size_t l = 0; l < batch_lanes; ++l) {
      // Lanes past the last sample repeat the batch's first.
      const std::size_t lane = l < count ? l : 0;
      batch.incident[l] = c.lane_incident.data() + lane * nt;
      batch.d_incident[l] = c.lane_d_incident.data() + lane * nt * n_dir;
      batch.d_transmitted[l] = l < count ? c.d_out.data() + l * n_dir : nullptr;
      if (l < count)
        amplitudes[l] = fill_incident(first + l, c.lane_incident.data() + l * nt,
                                      c.lane_d_incident.data() + l * nt * n_dir);
    }
    transmit_batch(inputs_.batched->system, batch, work.batch);
    for (std::size_t l = 0; l < count; ++l)
      keep(first + l, amplitudes[l], batch.transmitted[l], c.d_out.data() + l * n_dir);
  }

  void sample_alone(std::size_t i, EvaluationWork& work) const {
    const std::size_t nt = shape_.size();
    const double amplitude = fill_incident(i, work.irradiance.data(), work.d_incident.data());
    const std::span<const double> pulse(work.irradiance.data(), nt);
    const double transmitted =
        inputs_.train != nullptr
            ? inputs_.train->transmit(pulse, work.d_incident, work.slices, work.train_work, work.d_transmitted)
            : inputs_.system.transmit(pulse, work.d_incident, work.slices, work.d_transmitted);
    keep(i, amplitude, transmitted, work.d_transmitted.data());
  }

  const ColumnInputs& inputs_;
  std::span<const double> shape_, log_amplitudes_;
  std::span<double> values_;
  const std::size_t per_unit_;
  SharedPieces units_;
  std::atomic<std::size_t> pulses_{0};
};

// The incident sum of every column and the beam's log slopes of every
// position, with the pulse shape all columns share (that of the first,
// scaled to a unit sum). False if some column meets no light, which has no
// logarithm.
struct ColumnAmplitudes {
  std::vector<double> amplitudes;  // position-major, node fastest
  std::vector<double> logs;        // their logarithms, where the table is read
  std::vector<BeamLogSlopes> slopes;
  std::vector<double> shape;
  double lo = 0.0, hi = 0.0;       // of the logarithms
};

bool column_amplitudes(const ColumnInputs& in, ColumnAmplitudes& a) {
  const std::size_t nt = in.grids.t_grid.size(), nodes = in.grids.radial_nodes.size();
  std::vector<double> irradiance(nt * nodes);
  a.amplitudes.resize(in.layout.size() * nodes);
  a.logs.resize(a.amplitudes.size());
  a.slopes.resize(in.layout.size());
  a.lo = std::numeric_limits<double>::infinity();
  a.hi = -a.lo;
  for (std::size_t cell = 0; cell < in.layout.size(); ++cell) {
    const std::size_t e = cell / in.layout.n_positions, i = cell % in.layout.n_positions;
    a.slopes[cell] = incident_pulse(in.experiment, in.grids, in.layout.position(e, i),
                                    in.layout.pulse_energies[e], in.values, irradiance);
    for (std::size_t q = 0; q < nodes; ++q) {
      double sum = 0.0;
      for (std::size_t j = 0; j < nt; ++j) sum += irradiance[q * nt + j];
      if (!(sum > 0.0) || !std::isfinite(sum)) return false;
      a.amplitudes[cell * nodes + q] = sum;
      a.logs[cell * nodes + q] = std::log(sum);
      a.lo = std::min(a.lo, a.logs[cell * nodes + q]);
      a.hi = std::max(a.hi, a.logs[cell * nodes + q]);
      if (a.shape.empty()) {
        a.shape.assign(irradiance.begin(), irradiance.begin() + static_cast<std::ptrdiff_t>(nt));
        for (double& value : a.shape) value /= sum;
      }
    }
  }
  return true;
}

// The transmittance of every position from the tabulated response of its
// columns; returns the pulses sent, or nothing where a column meets no light
// or the table would not pay.
std::optional<std::size_t> tabulated_transmittance(const ColumnInputs& in, std::span<double> raw,
                                                   std::span<double> d_raw,
                                                   const std::stop_token& stop) {
  ColumnAmplitudes a;
  if (!column_amplitudes(in, a)) return std::nullopt;
  const PanelSettings settings = response_settings(in.train != nullptr);
  const double first_panels = std::ceil(std::max(a.hi - a.lo, ChebyshevPanels::min_span) / settings.first_width);
  if (static_cast<double>(a.amplitudes.size()) < columns_per_panel * first_panels) return std::nullopt;
  const std::size_t n_dir = in.varied.size(), width = 1 + n_dir;
  const std::size_t nodes = in.grids.radial_nodes.size();
  std::size_t pulses = 0;
  const PanelSampler sample = [&](std::span<const double> x, std::span<double> values) {
    SampleTeam team(in, a.shape, x, values, stop);
    const std::size_t cells = x.size() * a.shape.size() * in.grids.z_slices;
    run_with_budget(std::min(x.size() - 1, cells / cells_per_helper), team);
    team.rethrow_error();
    if (team.stopped()) throw SamplingStopped{};
    pulses += in.train != nullptr ? team.pulses() : x.size() * (in.system.records() ? 2 : 1);
  };
  const ChebyshevPanels response(a.lo, a.hi, width, sample, settings);
  std::array<double, 1 + max_directions> at{};
  std::array<double, max_directions> d_out{}, d_in{};
  for (std::size_t cell = 0; cell < in.layout.size(); ++cell) {
    double out = 0.0, incident = 0.0;
    d_out.fill(0.0);
    d_in.fill(0.0);
    for (std::size_t q = 0; q < nodes; ++q) {
      const double amplitude = a.amplitudes[cell * nodes + q];
      const double weight = in.grids.radial_weights[q];
      response.evaluate(a.logs[cell * nodes + q], std::span(at).first(width));
      out += weight * amplitude * at[0];
      incident += weight * amplitude;
      for (std::size_t v = 0; v < n_dir; ++v) {
        const double slope = a.slopes[cell].of(in.varied[v]);
        const bool beam = acts_on_beam(in.varied[v]);
        d_out[v] += weight * amplitude * at[1 + v] * (beam ? slope : 1.0);
        if (beam) d_in[v] += weight * amplitude * slope;
      }
    }
    raw[cell] = out / incident;
    for (std::size_t v = 0; v < n_dir; ++v)
      d_raw[cell * n_dir + v] = (d_out[v] - raw[cell] * d_in[v]) / incident;
  }
  return pulses;
}

}  // namespace

void ExactEngine::raw_transmittance(const ParameterVector& values,
                                    std::span<const Parameter> varied, std::span<double> raw,
                                    std::span<double> d_raw, const std::stop_token& stop,
                                    std::size_t* pulses_sent) const {
  const std::size_t n_dir = d_raw.empty() ? 0 : varied.size();
  if (raw.size() < layout_.size() || d_raw.size() < layout_.size() * n_dir)
    throw std::invalid_argument("output arrays too small for the scan layout");
  raw = raw.first(layout_.size());
  d_raw = d_raw.first(layout_.size() * n_dir);
  raw_on_grid(values, varied, raw, d_raw, stop, pulses_sent);
  if (!coarse_) return;
  std::vector<double> coarse(raw.size()), d_coarse(d_raw.size());
  std::size_t coarse_pulses = 0;
  coarse_->raw_on_grid(values, varied, coarse, d_coarse, stop, &coarse_pulses);
  extrapolate_in_depth(raw, coarse);
  extrapolate_in_depth(d_raw, d_coarse);
  if (pulses_sent != nullptr) *pulses_sent += coarse_pulses;
}

void ExactEngine::raw_on_grid(const ParameterVector& values, std::span<const Parameter> varied,
                              std::span<double> raw, std::span<double> d_raw,
                              const std::stop_token& stop, std::size_t* pulses_sent) const {
  const std::size_t n_dir = d_raw.empty() ? 0 : varied.size();
  const bool train = experiment_.repetition_rate > 0.0;
  // A train's steady state is differentiated through the transposed system,
  // which the backward pass solves for one parameter as for many.
  const DerivativeMode mode = train ? DerivativeMode::backward : derivative_mode_;
  const SliceSystem used(experiment_, grids_, values, varied.first(n_dir), mode, record_limit_);
  std::optional<PulseTrain> pulse_train;
  if (train) pulse_train.emplace(used, values, varied.first(n_dir), 1.0 / experiment_.repetition_rate);
  std::vector<BatchPartial> batch_partials;
  std::optional<BatchedEvaluation> batched;
  if (vectorised_ && !train && used.batchable(grids_.t_grid.size()))
    batched.emplace(BatchedEvaluation{experiment_, grids_, layout_, values, varied.first(n_dir),
                                      used.describe(batch_partials)});
  const ColumnInputs inputs{experiment_, grids_, layout_, values, varied.first(n_dir), used,
                            pulse_train ? &*pulse_train : nullptr, batched ? &*batched : nullptr};
  const std::size_t columns = layout_.size();
  if (tabulated_ && columns * grids_.radial_nodes.size() >= tabulated_columns) {
    try {
      if (const std::optional<std::size_t> pulses = tabulated_transmittance(inputs, raw, d_raw, stop)) {
        if (pulses_sent != nullptr) *pulses_sent = *pulses;
        return;
      }
    } catch (const SamplingStopped&) {
      std::fill(raw.begin(), raw.end(), std::numeric_limits<double>::quiet_NaN());
      return;
    }
  }
  ColumnTeam team(inputs, raw, d_raw, stop);
  const std::size_t cells = columns * grids_.radial_nodes.size() * grids_.t_grid.size() * grids_.z_slices;
  run_with_budget(std::min(columns - 1, cells / cells_per_helper), team);
  team.rethrow_error();
  if (team.stopped()) {
    std::fill(raw.begin(), raw.end(), std::numeric_limits<double>::quiet_NaN());
    return;
  }
  if (pulses_sent != nullptr)
    *pulses_sent = pulse_train ? team.pulses() : columns * grids_.radial_nodes.size() * (used.records() ? 2 : 1);
}

void ExactEngine::evaluate(const ParameterVector& values, std::span<const Parameter> varied,
                           std::span<double> curves, std::span<double> jacobian,
                           const std::stop_token& stop) const {
  const std::size_t n_dir = jacobian.empty() ? 0 : varied.size();
  if (curves.size() < curve_count() || jacobian.size() < curve_count() * n_dir)
    throw std::invalid_argument("output arrays too small for the scan layout");
  curves = curves.first(curve_count());
  jacobian = jacobian.first(curve_count() * n_dir);
  evaluate_on_grid(values, varied, curves, jacobian, stop);
  if (!coarse_) return;
  // Each grid's normalised curves are first-order accurate in the depth
  // step, so the extrapolation of the normalised curves is second order.
  std::vector<double> coarse(curves.size()), d_coarse(jacobian.size());
  coarse_->evaluate_on_grid(values, varied, coarse, d_coarse, stop);
  extrapolate_in_depth(curves, coarse);
  extrapolate_in_depth(jacobian, d_coarse);
}

void ExactEngine::evaluate_on_grid(const ParameterVector& values,
                                   std::span<const Parameter> varied, std::span<double> curves,
                                   std::span<double> jacobian, const std::stop_token& stop) const {
  const std::size_t n_dir = jacobian.empty() ? 0 : varied.size();
  if (!experiment_.has_aperture()) {
    raw_on_grid(values, varied, curves, jacobian, stop, nullptr);
    normalise_on_edges(experiment_.beam, layout_.n_positions, n_dir, curves, jacobian);
    return;
  }
  const std::size_t points = layout_.size();
  raw_on_grid(values, varied, curves.first(points), jacobian.first(points * n_dir), stop, nullptr);
  closed_aperture_transmittance(experiment_, grids_, aperture_ ? &*aperture_ : nullptr, layout_,
                                values, varied.first(n_dir),
                                curves.first(points), jacobian.first(points * n_dir),
                                curves.subspan(points, points),
                                jacobian.subspan(points * n_dir, points * n_dir), stop,
                                derivative_mode_);
  normalise_on_edges(experiment_.beam, layout_.n_positions, n_dir, curves.first(2 * points),
                     jacobian.first(2 * points * n_dir));
  if (experiment_.closed_divided)
    divide_closed_by_open(points, n_dir, curves.first(2 * points),
                          jacobian.first(2 * points * n_dir));
}

std::vector<double> ExactEngine::peak_irradiance(const ParameterVector& values) const {
  std::vector<double> peaks(layout_.size());
  for (std::size_t e = 0; e < layout_.n_energies(); ++e)
    for (std::size_t i = 0; i < layout_.n_positions; ++i)
      peaks[e * layout_.n_positions + i] = engine::peak_irradiance(
          experiment_, grids_, layout_.position(e, i), layout_.pulse_energies[e], values);
  return peaks;
}

void normalise_on_edges(Beam beam, std::size_t n, std::size_t n_dir, std::span<double> curves,
                        std::span<double> d) noexcept {
  const std::size_t rows = curves.size() / n;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<double> curve = curves.subspan(r * n, n);
    double* d_row = n_dir == 0 ? nullptr : d.data() + r * n * n_dir;
    if (beam == Beam::on_axis) {
      for (std::size_t v = 0; v < n_dir; ++v) {
        const double shift = edge_mean(d_row + v, n, n_dir);
        for (std::size_t i = 0; i < n; ++i) d_row[i * n_dir + v] -= shift;
      }
      model::shift_to_unit_edges(curve);
    } else {
      const double mean = edge_mean(curve.data(), n, 1);
      for (double& value : curve) value /= mean;
      for (std::size_t v = 0; v < n_dir; ++v) {
        const double d_mean = edge_mean(d_row + v, n, n_dir);
        for (std::size_t i = 0; i < n; ++i)
          d_row[i * n_dir + v] = (d_row[i * n_dir + v] - curve[i] * d_mean) / mean;
      }
    }
  }
}

}  // namespace tarnok::engine
