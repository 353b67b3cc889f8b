// The per-thread block through which a fit hands its data, grids, irradiance
// table and model routine to the residual function that the least-squares
// solver calls back (that callback receives nothing but the trial point).
//
// The nine rate constants of the level system belong to the same per-thread
// state but live beside the right-hand sides that read them, in
// model::RateConstants (model/rate_equations.hpp): the model writes them at
// every evaluation, so this block never touches them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/irradiance.hpp"
#include "model/zscan_model.hpp"

namespace tarnok::fit {

struct ModelState {
  // Routine: the model that every evaluation calls.
  model::ModelFn model_fn = nullptr;

  // Views onto arrays owned by the start being fitted (never owning).
  std::span<const double> x_pos;          // positions in metres, dataset-major
  std::span<const double> y_obs;          // measured transmittance, same layout
  std::span<const double> cur_spec_pars;  // start values: base of every trial vector
  std::span<const double> z_grid;         // depth grid
  std::span<const double> t_grid;         // time grid
  std::span<const double> pop0;           // initial level populations
  model::IrradianceTable irradiance;      // (position, time, dataset)

  // Scalars.
  double photon_freq = 0.0;       // speed of light / wavelength
  std::int32_t num_x_pts = 0;     // positions per dataset
  std::int32_t num_datasets = 0;  // datasets (pulse energies)
  std::int32_t n_fit = 0;         // number of fitted parameters

  // Owned arrays, created when a fit starts and released when it ends.
  std::vector<std::int32_t> fit_idx;  // 1-based indices of the fitted parameters
  std::vector<double> model_vals;     // model of every position, last evaluation

  // True when no fit is in progress: no routine, views, arrays or counts.
  bool empty() const noexcept;
  // Disassociates the views, releases the owned arrays, zeroes the scalars.
  void clear() noexcept;
};

// The calling thread's ModelState; empty until a fit on this thread fills it.
ModelState& this_thread_model_state() noexcept;

}  // namespace tarnok::fit
