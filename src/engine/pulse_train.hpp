// The pulses of a laser of high repetition rate meet a sample that has not
// relaxed since the last one: at every position, radius and depth slice the
// populations a pulse meets are those of the train's periodic steady state,
// in which one pulse and the free decay over the period until the next,
// exp(D T), give back the populations before it. The sample does not move
// between pulses.
//
// The steady state is the fixed point of x -> E(P(x)), P the pulse map of a
// column of depth slices, E = exp(D T). Under the light it meets, a slice's
// populations evolve linearly, so the pulse map's derivative by a slice's own
// populations is the product M_k of its steps' propagators, which the pulse
// forms on the way; the light couples a slice only to those behind it. Each
// step is Newton's for every slice on its own, x_k + (I - E M_k)^-1 (E P_k(x)
// - x_k), exact but for that coupling, and the steps are Anderson-accelerated
// for the coupling's sake. A plain iteration would take thousands of pulses
// where lifetimes are long against the period; these take a few. Derivatives
// of the steady state follow from the implicit-function theorem, by the
// transposed system solved the same way with the pulse's backward pass.
#pragma once

#include <span>
#include <stdexcept>
#include <vector>

#include "engine/anderson.hpp"
#include "engine/slice_propagation.hpp"

namespace tarnok::engine {

// A train that does not settle: the parameters or the repetition rate are
// outside what its steady state can be found for. A fit treats it as a point
// where the model cannot be evaluated.
struct UnsettledTrain : std::domain_error {
  using std::domain_error::domain_error;
};

// Relative change of the populations below which a train has settled, unless
// the steady state is so ill-conditioned (lifetimes far beyond the period)
// that rounding alone moves it by more: then it has settled once the change
// stops falling below train_tolerance_required.
inline constexpr double train_tolerance = 1e-12;
inline constexpr double train_tolerance_required = 1e-10;
// Pulses after which a train that has not settled is refused.
inline constexpr std::size_t max_train_pulses = 200;

class PulseTrain {
 public:
  // period: the time from one pulse to the next (s). varied as for system.
  PulseTrain(const SliceSystem& system, const ParameterVector& values,
             std::span<const Parameter> varied, double period);

  struct Workspace {
    std::vector<double> state, residual;  // the four excited levels of each slice
    std::vector<double> adjoint_seed;     // d transmitted / d state
    std::vector<Eigen::Matrix4d> newton;  // (I - E M_k)^-1 of each slice
    AndersonAccelerator accelerator;
    std::size_t pulses = 0;               // sent so far, for the cost figures
  };
  void prepare(Workspace& work) const;

  // As SliceSystem::transmit, for a pulse that meets the train's steady state.
  // Throws UnsettledTrain when the train does not settle.
  double transmit(std::span<const double> incident, std::span<const double> d_incident,
                  SliceSystem::Workspace& slices, Workspace& work,
                  std::span<double> d_transmitted) const;

 private:
  double settle(std::span<const double> incident, SliceSystem::Workspace& slices,
                Workspace& work) const;
  void settle_adjoint(std::span<const double> incident, SliceSystem::Workspace& slices,
                      Workspace& work) const;
  void seed_from_adjoint(std::span<const double> mu, SliceSystem::Workspace& slices) const;
  void update_newton(const SliceSystem::Workspace& slices, Workspace& work) const;
  void add_period_derivatives(std::span<const double> mu, const SliceSystem::Workspace& slices,
                              std::span<double> d_transmitted) const;

  const SliceSystem& system_;
  ConservingMatrix decay_over_period_;  // E = exp(D T)
  ExponentialRecord period_record_;     // of E, for its derivatives
  std::vector<ConservingMatrix> period_partials_;  // dD/dp T along each direction
};

}  // namespace tarnok::engine
