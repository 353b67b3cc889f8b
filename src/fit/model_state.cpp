#include "fit/model_state.hpp"

namespace tarnok::fit {

bool ModelState::empty() const noexcept {
  return model_fn == nullptr && x_pos.empty() && y_obs.empty() &&
         cur_spec_pars.empty() && z_grid.empty() && t_grid.empty() &&
         pop0.empty() && irradiance.data() == nullptr && photon_freq == 0.0 &&
         num_x_pts == 0 && num_datasets == 0 && n_fit == 0 &&
         fit_idx.capacity() == 0 && model_vals.capacity() == 0;
}

void ModelState::clear() noexcept {
  x_pos = {};
  y_obs = {};
  cur_spec_pars = {};
  z_grid = {};
  t_grid = {};
  pop0 = {};
  irradiance = {};
  photon_freq = 0.0;
  num_x_pts = 0;
  num_datasets = 0;
  // Swapping with empty vectors hands the storage back rather than keeping it
  // for a next fit that may never come on this thread.
  std::vector<std::int32_t>().swap(fit_idx);
  n_fit = 0;
  model_fn = nullptr;
  std::vector<double>().swap(model_vals);
}

ModelState& this_thread_model_state() noexcept {
  thread_local ModelState state;
  return state;
}

}  // namespace tarnok::fit
