#include "engine/exact_engine.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "engine/closed_aperture.hpp"
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
    : experiment_(experiment), grids_(discretise(experiment)), layout_(std::move(layout)) {
  check_layout(layout_);
  check_aperture_beyond_scan(experiment_, layout_);
  const double transmittance = aperture_transmittance(experiment_, grids_);
  if (experiment_.has_aperture() && transmittance < 1.0)
    aperture_.emplace(transmittance, aperture_field_nodes, aperture_plane_nodes);
}

namespace {

// What every column of one evaluation reads, and nothing writes.
struct ColumnInputs {
  const Experiment& experiment;
  const Discretisation& grids;
  const ScanLayout& layout;
  const ParameterVector& values;
  std::span<const Parameter> varied;  // n_dir directions
  const SliceSystem& system;
  const PulseTrain* train;
};

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
      : inputs_(inputs), raw_(raw), d_raw_(d_raw), stop_(stop) {}

  void operator()() noexcept {
    ThreadWork thread_work;
    EvaluationWork& work = *thread_work;
    try {
      work.prepare(inputs_.system, inputs_.train, inputs_.grids.t_grid.size() * inputs_.grids.radial_nodes.size(),
                   inputs_.varied.size());
    } catch (...) {
      fail(0, std::current_exception());
      return;
    }
    work.train_work.pulses = 0;
    const std::size_t columns = inputs_.layout.size();
    for (;;) {
      if (stop_.stop_requested()) {
        stopped_.store(true, std::memory_order_relaxed);
        break;
      }
      if (failed_.load(std::memory_order_acquire)) break;
      const std::size_t cell = next_.fetch_add(1, std::memory_order_relaxed);
      if (cell >= columns) break;
      try {
        transmit_column(inputs_, cell, work, raw_, d_raw_);
      } catch (...) {
        fail(cell, std::current_exception());
      }
    }
    pulses_.fetch_add(work.train_work.pulses, std::memory_order_relaxed);
  }

  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }
  std::size_t pulses() const noexcept { return pulses_.load(std::memory_order_relaxed); }
  // Every column before the one that failed first has been claimed by then,
  // so the lowest failing column, whose error is rethrown, is the same for
  // any number of threads.
  void rethrow_error() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void fail(std::size_t cell, std::exception_ptr error) noexcept {
    const std::lock_guard lock(error_mutex_);
    if (!error_ || cell < error_cell_) {
      error_ = std::move(error);
      error_cell_ = cell;
    }
    failed_.store(true, std::memory_order_release);
  }

  const ColumnInputs& inputs_;
  std::span<double> raw_, d_raw_;
  const std::stop_token& stop_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> pulses_{0};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> failed_{false};
  std::mutex error_mutex_;
  std::exception_ptr error_;  // of the lowest failing column, guarded by error_mutex_
  std::size_t error_cell_ = 0;
};

}  // namespace

void ExactEngine::raw_transmittance(const ParameterVector& values,
                                    std::span<const Parameter> varied, std::span<double> raw,
                                    std::span<double> d_raw, const std::stop_token& stop,
                                    std::size_t* pulses_sent) const {
  const std::size_t n_dir = d_raw.empty() ? 0 : varied.size();
  if (raw.size() < layout_.size() || d_raw.size() < layout_.size() * n_dir)
    throw std::invalid_argument("output arrays too small for the scan layout");
  const bool train = experiment_.repetition_rate > 0.0;
  // A train's steady state is differentiated through the transposed system,
  // which the backward pass solves for one parameter as for many.
  const DerivativeMode mode = train ? DerivativeMode::backward : derivative_mode_;
  const SliceSystem used(experiment_, grids_, values, varied.first(n_dir), mode, record_limit_);
  std::optional<PulseTrain> pulse_train;
  if (train) pulse_train.emplace(used, values, varied.first(n_dir), 1.0 / experiment_.repetition_rate);
  const ColumnInputs inputs{experiment_, grids_, layout_, values, varied.first(n_dir), used,
                            pulse_train ? &*pulse_train : nullptr};
  ColumnTeam team(inputs, raw, d_raw, stop);
  const std::size_t columns = layout_.size();
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
  if (!experiment_.has_aperture()) {
    raw_transmittance(values, varied, curves, jacobian, stop);
    normalise_on_edges(experiment_.beam, layout_.n_positions, n_dir, curves, jacobian);
    return;
  }
  const std::size_t points = layout_.size();
  raw_transmittance(values, varied, curves.first(points), jacobian.first(points * n_dir), stop);
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
