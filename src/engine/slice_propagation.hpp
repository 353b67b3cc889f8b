// One pulse through the depth slices of the sample, in closed form: within a
// time slice the irradiance reaching a depth slice is constant, so its
// populations advance by exp(A dt) and the light leaving it is attenuated by
// exp(-alpha dz) (with two-photon absorption, by the closed form of
// dI/dz = -alpha I - beta I^2), alpha and beta from the populations at the
// step's end or averaged over the step. Derivatives with respect to any
// chosen parameters are carried forward alongside (forward-mode
// differentiation) or, from two parameters on, gathered by a backward pass.
#pragma once

#include <span>
#include <vector>

#include "engine/cell_batch.hpp"
#include "engine/experiment.hpp"
#include "engine/matrix_exponential.hpp"
#include "engine/parameters.hpp"
#include "engine/rate_matrix.hpp"
#include "engine/refraction_phase.hpp"
#include "engine/two_photon_light.hpp"

namespace tarnok::engine {

// How the derivatives are carried. Forward mode costs about two exponentials
// per parameter and cell; the backward (adjoint) pass one recorded forward
// pass and one backward pass per cell whatever the number of parameters,
// about three exponentials in all, so it pays from two parameters on.
enum class DerivativeMode { automatic, forward, backward };

// Time steps per segment of the backward pass's record for a pulse of
// time_steps steps through z_slices slices: all of them when the record
// holds at most record_limit cells, otherwise as many as keep the record and
// the checkpoints of the populations at each segment's start smallest
// together, near sqrt(T * checkpoint / cell) rows.
std::size_t record_segment_steps(std::size_t time_steps, std::size_t z_slices,
                                 std::size_t record_limit) noexcept;

// Everything about the sample that stays fixed during one evaluation.
class SliceSystem {
 public:
  // varied: the parameters to differentiate by (at most max_directions).
  // record_limit: the most cells the backward pass's record holds whole.
  SliceSystem(const Experiment& experiment, const Discretisation& grids,
              const ParameterVector& values, std::span<const Parameter> varied,
              DerivativeMode mode = DerivativeMode::automatic,
              std::size_t record_limit = tape_cells_whole);

  std::size_t direction_count() const noexcept { return partials_.size(); }
  // Whether derivatives come from a recorded pulse and a backward pass.
  bool records() const noexcept { return backward_ && direction_count() > 0; }
  std::size_t z_slices() const noexcept { return z_slices_; }
  const ConservingVector& initial() const noexcept { return initial_; }
  const RateMatrices& rates() const noexcept { return rates_; }

  // Work storage of one pulse, sized once and reused for every pulse.
  struct Workspace {
    std::vector<ConservingVector> populations;    // of each depth slice
    std::vector<ConservingVector> d_populations;  // slice-major, direction fastest
    std::vector<ConservingVector> adjoint;        // of each slice's populations
    // The linear map the pulse makes of each slice's populations, for the
    // light it met: dP_k / dx_k of the pulse map (with pulse(..., true)).
    std::vector<ConservingMatrix> propagators;
    std::array<ConservingMatrix, max_directions> directions;
    std::array<double, max_directions> d_light;
    Midpoint midpoint;  // of the slice being advanced
    // The backward pass's record of the cells, time-major: of every cell, or,
    // on grids whose record would take more than tape_cells_whole cells, of
    // one segment of time steps at a time, rebuilt during the backward pass
    // from the populations checkpointed at each segment's start.
    struct Cell {
      ConservingVector z_in, z_middle, z_out;
      double light_in = 0.0, flux = 0.0;
      SliceTransmission light;  // the light out and its partials
      ExponentialRecord exponential;
    };
    std::vector<Cell> tape;
    std::size_t tape_segment = 0;                 // the segment the tape holds
    std::vector<ConservingVector> checkpoints;    // segment-major, slice fastest
    std::vector<ConservingVector> replay;         // populations while rebuilding
  };
  // Sizes work for this system, keeping any storage it already holds.
  void prepare(Workspace& work) const;

  // Sends the incident time series through every depth slice (populations
  // start from the initial ones) and returns the sum over time slices of the
  // light that leaves the sample. d_incident[j * P + v] is the derivative of
  // incident[j] along direction v (P = direction_count()); d_transmitted
  // receives the derivative of the result along each direction.
  double transmit(std::span<const double> incident, std::span<const double> d_incident,
                  Workspace& work, std::span<double> d_transmitted) const;

  // The parts of a pulse for callers that choose the populations a pulse
  // meets (a train of pulses): pulse() sends the light through from the
  // populations in work.populations, leaves there those after it and, when
  // records(), keeps the record for backward(); with `propagators`, fills
  // work.propagators.
  double pulse(std::span<const double> incident, Workspace& work, bool propagators) const;
  // The backward pass of the recorded pulse of this incident light: on entry
  // work.adjoint holds the adjoint of the populations after the pulse,
  // light_weight that of its transmitted sum; on return work.adjoint holds
  // the adjoint of those before it. With `contract`, d_transmitted receives
  // the derivative along each direction (d_incident as for transmit).
  void backward(std::span<const double> incident, double light_weight, bool contract,
                std::span<const double> d_incident, Workspace& work,
                std::span<double> d_transmitted) const;

  // Whether transmit_batch can send columns of time_steps steps through
  // this system, batch_lanes at a time (see cell_batch.hpp).
  bool batchable(std::size_t time_steps) const noexcept;
  // The system as the lane code reads it; partials receives the directions'
  // partial matrices, which it points to.
  BatchSystem describe(std::vector<BatchPartial>& partials) const;
  // Sends the incident light through from the initial populations in
  // forward mode, as transmit does, and keeps what leaves the sample at each
  // time slice with the phase it gathered (for a closed aperture, which
  // needs the field, not the sum).
  void transmit_refracting(std::span<const double> incident, std::span<const double> d_incident,
                           const Refraction& refraction, Workspace& work,
                           RefractedPulse& pulse) const;
  // The same values (no derivatives in pulse), from a record of the whole
  // pulse kept in work.tape for backward_refracting; needs records() and a
  // pulse whose record is not kept in segments (refracting_records()).
  void record_refracting(std::span<const double> incident, const Refraction& refraction,
                         Workspace& work, RefractedPulse& pulse) const;
  bool refracting_records(std::size_t time_steps) const noexcept {
    return records() && segment_steps(time_steps) >= time_steps;
  }
  // The backward pass of that record for an output that depends on each
  // time slice's exit light and phase with the weights light_weights[j] and
  // phase_weights[j]: d_out receives its derivative along each direction.
  void backward_refracting(std::span<const double> incident, std::span<const double> light_weights,
                           std::span<const double> phase_weights, const Refraction& refraction,
                           std::span<const double> d_incident, Workspace& work,
                           std::span<double> d_out) const;

  // By default, records beyond this many cells (about 28 MB) are kept in
  // segments.
  static constexpr std::size_t tape_cells_whole = 16384;
  // Time steps per segment of the record for a pulse of this many steps.
  std::size_t segment_steps(std::size_t time_steps) const noexcept;

 private:
  // A slice's level populations at the start, middle and end of a step (the
  // middle only where the attenuation averages over the step), or their
  // derivatives.
  struct StepLevels {
    Vector5 start, middle, end;
  };
  // The coefficient that attenuates the light crossing a slice during a
  // step: coefficients . N for the populations at the step's end, or
  // averaged over it by Simpson's rule. With the partials of the
  // coefficients in their place, or the populations' derivatives in place
  // of the populations, it gives the coefficient's derivatives.
  double attenuating(const Vector5& coefficients, const StepLevels& n) const noexcept {
    if (!averaged_) return coefficients.dot(n.end);
    return (coefficients.dot(n.start) + 4.0 * coefficients.dot(n.middle) +
            coefficients.dot(n.end)) / 6.0;
  }
  // The light leaving a slice with these step populations.
  SliceTransmission slice_light(double light, const StepLevels& n) const noexcept;
  // The rate matrix times the time step under photon flux F:
  // D dt + F S dt + F^2 T dt.
  ConservingMatrix step_generator(double flux) const noexcept;
  double advance_slice(std::size_t slice, double light, Workspace& work,
                       ConservingMatrix* propagator) const noexcept;
  StepLevels levels_of(const Workspace::Cell& cell) const noexcept;
  double transmit_forward(std::span<const double> incident, std::span<const double> d_incident,
                          Workspace& work, std::span<double> d_transmitted,
                          bool propagators) const;
  double transmit_recorded(std::span<const double> incident, Workspace& work,
                           bool propagators) const;
  // One time step through every slice from these populations, recorded into
  // row; returns the light that leaves the last slice.
  double record_step(double light, std::span<ConservingVector> populations,
                     std::span<Workspace::Cell> row,
                     std::span<ConservingMatrix> propagators) const;
  void replay_segment(std::size_t segment_index, std::size_t segment,
                      std::span<const double> incident, Workspace& work) const;

  // The rate matrix over one time step is decay_step_ + F absorption_step_
  // + F^2 two_photon_step_.
  struct Partials {
    ConservingMatrix decay_step;
    ConservingMatrix absorption_step;
    ConservingMatrix two_photon_step;
    Vector5 absorbers;
    Vector5 two_photon_absorbers;
  };

  RateMatrices rates_;
  ConservingMatrix decay_step_;
  ConservingMatrix absorption_step_;
  ConservingMatrix two_photon_step_;
  std::vector<Partials> partials_;
  ConservingVector initial_;
  double dz_;
  std::size_t z_slices_;
  std::size_t t_slices_;
  bool averaged_;    // attenuate by the populations averaged over the step
  bool two_photon_;  // delta_12 is not zero, or is differentiated by
  bool backward_;
  std::size_t record_limit_;
};

}  // namespace tarnok::engine
