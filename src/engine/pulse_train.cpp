#include "engine/pulse_train.hpp"

#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace tarnok::engine {

namespace {

constexpr std::size_t excited_levels = 4;

// Excited populations below this share of the total are settled to it in
// absolute terms: their effect on the light is far below any measurement.
constexpr double excitation_floor = 1e-4;

// The largest magnitude, or NaN if any value is NaN (a model that cannot be
// evaluated must not look settled).
double max_abs(std::span<const double> v) noexcept {
  double m = 0.0;
  for (double value : v) {
    if (std::isnan(value)) return value;
    m = std::max(m, std::abs(value));
  }
  return m;
}

// The change, relative to `scale`, that rounding alone leaves in a Newton
// step of these matrices: a residual computed to a few units of rounding of
// the largest value it is formed from (the total population, or the largest
// adjoint), amplified by (I - E M)^-1.
double rounding_floor(const std::vector<Eigen::Matrix4d>& newton, double largest_value,
                      double scale) noexcept {
  constexpr double rounding_units = 64.0;
  double largest = 0.0;
  for (const Eigen::Matrix4d& b : newton)
    largest = std::max(largest, b.cwiseAbs().rowwise().sum().maxCoeff());
  return rounding_units * std::numeric_limits<double>::epsilon() * largest * largest_value / scale;
}

double largest_entry(const std::vector<ConservingVector>& vectors) noexcept {
  double m = 0.0;
  for (const ConservingVector& v : vectors) m = std::max(m, v.cwiseAbs().maxCoeff());
  return m;
}

// Decides when an iteration has settled: at the tolerance, or at the level
// rounding leaves if that is within the required one and the change has
// stopped falling.
class SettleMonitor {
 public:
  bool settled(std::size_t pulse, double change, double rounding) noexcept {
    // The floor is a bound on rounding, often far above what rounding does:
    // taken at its word beyond the required tolerance it let a train stop
    // while its change was still falling, with its transmittance off by 1e-5.
    if (change <= std::max(train_tolerance, std::min(rounding, train_tolerance_required))) return true;
    if (change < 0.5 * best_) {
      best_ = change;
      best_pulse_ = pulse;
    }
    constexpr std::size_t stalled_after = 3;
    return change <= train_tolerance_required && pulse >= best_pulse_ + stalled_after;
  }

 private:
  double best_ = std::numeric_limits<double>::infinity();
  std::size_t best_pulse_ = 0;
};

[[noreturn]] void refuse_unsettled(double change) {
  std::ostringstream message;
  message << "the pulse train did not settle into a steady state within " << max_train_pulses
          << " pulses (relative change still " << change
          << "); the excitation that accumulates from pulse to pulse is too strong for the "
             "repetition_rate, or the model's parameters are far from physical";
  throw UnsettledTrain(message.str());
}

}  // namespace

PulseTrain::PulseTrain(const SliceSystem& system, const ParameterVector& values,
                       std::span<const Parameter> varied, double period)
    : system_(system) {
  // E column by column, from the same recorded exponential whose backward
  // pass gives its derivatives, so both describe one matrix.
  const ConservingMatrix x = ConservingMatrix::from_generator(system.rates().decay, period);
  decay_over_period_ = ConservingMatrix::zero();
  for (int column = 0; column < 5; ++column) {
    ConservingVector z = ConservingVector::Zero();
    z(column) = 1.0;
    propagate_recorded(x, z, period_record_);
    decay_over_period_.top.col(column) = z.head<4>();
    if (column == 4) decay_over_period_.corner = z(4);
  }
  for (std::size_t v = 0; v < system.direction_count(); ++v) {
    const RateMatrixPartials partial =
        rate_matrix_partials(values, varied[v], system.rates().inv_photon_energy);
    period_partials_.push_back(ConservingMatrix::from_generator(partial.decay, period));
  }
}

void PulseTrain::prepare(Workspace& work) const {
  const std::size_t n = excited_levels * system_.z_slices();
  work.state.resize(n);
  work.residual.resize(n);
  work.adjoint_seed.resize(n);
  work.newton.resize(system_.z_slices());
  work.accelerator.reset(n);
}

double PulseTrain::transmit(std::span<const double> incident, std::span<const double> d_incident,
                            SliceSystem::Workspace& slices, Workspace& work,
                            std::span<double> d_transmitted) const {
  const double transmitted = settle(incident, slices, work);
  if (!system_.records()) return transmitted;
  settle_adjoint(incident, slices, work);
  // The direct derivatives and those through the steady state, together.
  seed_from_adjoint(work.state, slices);
  system_.backward(incident, 1.0, true, d_incident, slices, d_transmitted);
  ++work.pulses;
  add_period_derivatives(work.state, slices, d_transmitted);
  return transmitted;
}

// Finds the steady state; leaves it in work.state, the pulse from it recorded
// in slices and the populations after it in slices.populations.
double PulseTrain::settle(std::span<const double> incident, SliceSystem::Workspace& slices,
                          Workspace& work) const {
  const std::size_t nz = system_.z_slices();
  const ConservingVector& initial = system_.initial();
  for (std::size_t k = 0; k < nz; ++k)
    for (std::size_t i = 0; i < excited_levels; ++i) work.state[k * excited_levels + i] = initial(i);
  work.accelerator.reset(work.state.size());
  const double floor = excitation_floor * std::abs(initial(4));
  double change = 0.0;
  SettleMonitor monitor;
  for (std::size_t pulse = 0; pulse < max_train_pulses; ++pulse) {
    for (std::size_t k = 0; k < nz; ++k) {
      slices.populations[k].head<4>() = Eigen::Map<const Eigen::Vector4d>(&work.state[k * excited_levels]);
      slices.populations[k](4) = initial(4);
    }
    const double transmitted = system_.pulse(incident, slices, true);
    ++work.pulses;
    update_newton(slices, work);
    for (std::size_t k = 0; k < nz; ++k) {
      const ConservingVector next = decay_over_period_ * slices.populations[k];
      const Eigen::Map<const Eigen::Vector4d> x(&work.state[k * excited_levels]);
      Eigen::Map<Eigen::Vector4d>(&work.residual[k * excited_levels]) =
          work.newton[k] * (next.head<4>() - x);
    }
    const double scale = std::max(max_abs(work.state), floor);
    change = max_abs(work.residual) / scale;
    const double settled = rounding_floor(work.newton, std::abs(initial(4)), scale);
    if (monitor.settled(pulse, change, settled)) return transmitted;
    if (!std::isfinite(change)) break;
    work.accelerator.step(work.state, work.residual);
  }
  refuse_unsettled(change);
}

// The adjoint of the steady state, mu = c + J^T mu with J the derivative of
// x -> E(P(x)) and c the derivative of the transmitted light by the
// populations the pulse meets; left in work.state (the state itself is no
// longer needed).
void PulseTrain::settle_adjoint(std::span<const double> incident,
                                SliceSystem::Workspace& slices, Workspace& work) const {
  const std::size_t nz = system_.z_slices();
  for (ConservingVector& z_bar : slices.adjoint) z_bar.setZero();
  system_.backward(incident, 1.0, false, {}, slices, {});
  ++work.pulses;
  for (std::size_t k = 0; k < nz; ++k)
    Eigen::Map<Eigen::Vector4d>(&work.adjoint_seed[k * excited_levels]) = slices.adjoint[k].head<4>();
  std::copy(work.adjoint_seed.begin(), work.adjoint_seed.end(), work.state.begin());
  work.accelerator.reset(work.state.size());
  const double seed_size = max_abs(work.adjoint_seed);
  if (seed_size == 0.0) return;
  double change = 0.0;
  SettleMonitor monitor;
  for (std::size_t pulse = 0; pulse < max_train_pulses; ++pulse) {
    seed_from_adjoint(work.state, slices);
    system_.backward(incident, 0.0, false, {}, slices, {});
    ++work.pulses;
    for (std::size_t k = 0; k < nz; ++k) {
      const Eigen::Map<const Eigen::Vector4d> mu(&work.state[k * excited_levels]);
      const Eigen::Map<const Eigen::Vector4d> c(&work.adjoint_seed[k * excited_levels]);
      Eigen::Map<Eigen::Vector4d>(&work.residual[k * excited_levels]) =
          work.newton[k].transpose() * (c + slices.adjoint[k].head<4>() - mu);
    }
    const double scale = std::max(max_abs(work.state), seed_size);
    change = max_abs(work.residual) / scale;
    const double settled = rounding_floor(work.newton, largest_entry(slices.adjoint), scale);
    if (monitor.settled(pulse, change, settled)) return;
    if (!std::isfinite(change)) break;
    work.accelerator.step(work.state, work.residual);
  }
  refuse_unsettled(change);
}

// Newton's matrices from the pulse just sent: the steady state of slice k
// under that pulse's light solves x = E M_k x.
void PulseTrain::update_newton(const SliceSystem::Workspace& slices, Workspace& work) const {
  for (std::size_t k = 0; k < system_.z_slices(); ++k) {
    ConservingMatrix one_period;
    product<false>(decay_over_period_, slices.propagators[k], one_period);
    work.newton[k] = (Eigen::Matrix4d::Identity() - one_period.top.leftCols<4>()).inverse();
  }
}

// The adjoint of the populations after the pulse that an adjoint mu of the
// next pulse's populations implies: E^T mu (the total is fixed, so mu has no
// part on it).
void PulseTrain::seed_from_adjoint(std::span<const double> mu,
                                   SliceSystem::Workspace& slices) const {
  for (std::size_t k = 0; k < system_.z_slices(); ++k) {
    ConservingVector m = ConservingVector::Zero();
    m.head<4>() = Eigen::Map<const Eigen::Vector4d>(&mu[k * excited_levels]);
    slices.adjoint[k] = decay_over_period_.transpose_times(m);
  }
}

// mu^T (dE/dp) P(x) for each direction: E = exp(D T) depends on the lifetimes.
void PulseTrain::add_period_derivatives(std::span<const double> mu,
                                        const SliceSystem::Workspace& slices,
                                        std::span<double> d_transmitted) const {
  if (period_partials_.empty()) return;
  ConservingMatrix x_bar = ConservingMatrix::zero();
  for (std::size_t k = 0; k < system_.z_slices(); ++k) {
    ConservingVector z_bar = ConservingVector::Zero();
    z_bar.head<4>() = Eigen::Map<const Eigen::Vector4d>(&mu[k * excited_levels]);
    backpropagate(period_record_, slices.populations[k], z_bar, x_bar);
  }
  for (std::size_t v = 0; v < period_partials_.size(); ++v)
    d_transmitted[v] += inner(x_bar, period_partials_[v]);
}

}  // namespace tarnok::engine
