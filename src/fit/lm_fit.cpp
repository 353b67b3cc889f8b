#include "fit/lm_fit.hpp"

#include <cminpack.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

#include "fit/model_state.hpp"

namespace tarnok::fit {

namespace {

// lmdif1's termination codes, as far as this file looks at them.
enum LmdifInfo : int {
  improper_input = 0,  // returned at once, the residual function never called
};

// A residual function that returns this asks lmdif1 to stop at once.
constexpr int stop_solver = -1;
constexpr int carry_on = 0;
// The flag lmdif1 passes when it wants plain residuals (not a Jacobian column).
constexpr int residuals_wanted = 1;

// What lmdif1 hands back to the residual function: the thread's model state,
// and a place to note that an evaluation ran out of memory, since an exception
// must not unwind through the C solver.
struct ResidualContext {
  ModelState* state;
  bool out_of_memory = false;
};

// Empties the model state however the fit ends, so no view outlives the
// arrays it points into.
class ModelStateReset {
 public:
  explicit ModelStateReset(ModelState& state) noexcept : state_(state) {}
  ~ModelStateReset() { state_.clear(); }
  ModelStateReset(const ModelStateReset&) = delete;
  ModelStateReset& operator=(const ModelStateReset&) = delete;

 private:
  ModelState& state_;
};

// Focus weighting: 5 at x = 0, tending to 1 far from the focus (x in metres).
double focus_weight(double x) noexcept { return 1.0 + 4.0 * std::exp(-4.0 * (x * x)); }

// Evaluates the model of every dataset with the parameter vector p into
// state.model_vals. May throw std::bad_alloc (the model's work storage).
void evaluate_model(ModelState& state,
                    std::span<const double, model::spec_par_count> p) {
  if (state.num_x_pts <= 0 || state.num_datasets <= 0) return;  // no measurements
  const auto n = static_cast<std::size_t>(state.num_x_pts);
  for (std::size_t k = 0; k < static_cast<std::size_t>(state.num_datasets); ++k) {
    const std::size_t lo = k * n;
    state.model_fn(std::span(state.model_vals).subspan(lo, n),
                   state.x_pos.subspan(lo, n), state.z_grid, state.t_grid,
                   state.pop0, state.irradiance.plane(k), state.photon_freq, p);
  }
}

// The residual function of lmdif1: fvec = sqrt(w)*(y - model) for the start
// vector with the fitted entries replaced by x (a repeated index takes its
// last value). The counts and the flag are not read: the layout comes from
// the model state.
int lm_residuals(void* context, int /*m*/, int /*n*/, const double* x, double* fvec,
                 int /*iflag*/) noexcept {
  auto& ctx = *static_cast<ResidualContext*>(context);
  ModelState& state = *ctx.state;
  std::array<double, model::spec_par_count> p{};
  std::ranges::copy(state.cur_spec_pars, p.begin());
  for (std::size_t i = 0; i < state.fit_idx.size(); ++i)
    p[static_cast<std::size_t>(state.fit_idx[i] - 1)] = x[i];
  try {
    evaluate_model(state, p);
  } catch (const std::bad_alloc&) {
    ctx.out_of_memory = true;
    return stop_solver;
  }
  for (std::size_t j = 0; j < state.model_vals.size(); ++j)
    fvec[j] = std::sqrt(focus_weight(state.x_pos[j])) * (state.y_obs[j] - state.model_vals[j]);
  return carry_on;
}

// lmdif1 needs m*n + 5*n + m; the workspace is sized with 2*m*n instead and
// the excess is never touched.
int workspace_length(int m, int n) {
  const long long length = 2LL * m * n + 5LL * n + m;
  if (length > INT_MAX) throw std::bad_alloc();  // beyond what lmdif1 can index
  return static_cast<int>(length);
}

void fill_model_state(ModelState& state, std::span<const double> x_pos,
                      std::span<const double> y_obs, model::ModelFn model_fn,
                      std::span<const double> z_grid, std::span<const double> t_grid,
                      std::span<const double> pop0, model::IrradianceTable irradiance,
                      double photon_freq, std::span<const double> spec_pars,
                      std::int32_t num_x_pts, std::int32_t num_datasets,
                      std::span<const std::int32_t> one_based_indices) {
  state.x_pos = x_pos;
  state.y_obs = y_obs;
  state.cur_spec_pars = spec_pars;
  state.z_grid = z_grid;
  state.t_grid = t_grid;
  state.pop0 = pop0;
  state.irradiance = irradiance;
  state.photon_freq = photon_freq;
  state.num_x_pts = num_x_pts;
  state.num_datasets = num_datasets;
  state.fit_idx.assign(one_based_indices.begin(), one_based_indices.end());
  state.n_fit = static_cast<std::int32_t>(one_based_indices.size());
  state.model_fn = model_fn;
  state.model_vals.assign(x_pos.size(), 0.0);
}

// Leaves the unweighted residuals y - model at the parameters p in fit_resid.
void final_pass(ModelState& state, std::span<const double, model::spec_par_count> p,
                std::span<double> fit_resid) {
  evaluate_model(state, p);
  for (std::size_t j = 0; j < state.model_vals.size(); ++j)
    fit_resid[j] = state.y_obs[j] - state.model_vals[j];
}

}  // namespace

void lm_fit(std::span<const double> x_pos, std::span<const double> y_obs,
            model::ModelFn model_fn, std::span<const double> z_grid,
            std::span<const double> t_grid, std::span<const double> pop0,
            model::IrradianceTable irradiance, std::span<double> fit_resid,
            double photon_freq, std::span<double, model::spec_par_count> spec_pars,
            std::int32_t num_x_pts, std::int32_t num_datasets,
            std::span<const std::int32_t> one_based_indices, double& error) {
  ModelState& state = this_thread_model_state();
  const ModelStateReset reset(state);
  fill_model_state(state, x_pos, y_obs, model_fn, z_grid, t_grid, pop0, irradiance,
                   photon_freq, spec_pars, num_x_pts, num_datasets, one_based_indices);

  const int n = state.n_fit;
  if (fit_resid.size() > INT_MAX) throw std::bad_alloc();  // beyond lmdif1's int counts
  const int m = static_cast<int>(fit_resid.size());
  std::vector<double> fit_vals(one_based_indices.size());
  for (std::size_t i = 0; i < fit_vals.size(); ++i)
    fit_vals[i] = spec_pars[static_cast<std::size_t>(one_based_indices[i] - 1)];
  std::vector<int> iwa(fit_vals.size());
  const int lwa = workspace_length(m, n);
  std::vector<double> wa(static_cast<std::size_t>(lwa));

  ResidualContext context{&state};
  const int info = lmdif1(lm_residuals, &context, m, n, fit_vals.data(),
                          fit_resid.data(), lm_tolerance, iwa.data(), wa.data(), lwa);
  if (info == improper_input) {
    // The solver refused (no fitted parameter, or fewer residuals than
    // parameters) and left fit_resid untouched: report the weighted norm at
    // the start values rather than a norm of residuals never computed.
    lm_residuals(&context, m, n, fit_vals.data(), fit_resid.data(), residuals_wanted);
  }
  if (context.out_of_memory) throw std::bad_alloc();
  error = enorm(m, fit_resid.data());

  for (std::size_t i = 0; i < fit_vals.size(); ++i)
    spec_pars[static_cast<std::size_t>(one_based_indices[i] - 1)] = fit_vals[i];
  final_pass(state, spec_pars, fit_resid);
}

}  // namespace tarnok::fit
