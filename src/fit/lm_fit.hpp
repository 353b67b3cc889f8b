// Weighted least-squares fit of a chosen subset of the spectroscopic
// parameters to all datasets at once, with MINPACK's Levenberg-Marquardt
// driver lmdif1 (forward-difference Jacobian).
#pragma once

#include <cstdint>
#include <span>

#include "model/irradiance.hpp"
#include "model/zscan_model.hpp"

namespace tarnok::fit {

// Relative tolerance of lmdif1 on the sum of squares and on the parameters.
inline constexpr double lm_tolerance = 0.001;

// Fits spec_pars[one_based_indices[i] - 1] (i = 0 .. n_fit-1) so that
// model_fn matches y_obs in the sense of sum w*(y - model)^2 with
// w = 1 + 4*exp(-4*x^2) (x in metres). On return:
//   error     the Euclidean norm of the weighted residuals at the fitted point
//             (at the start values when the solver refuses to run: no fitted
//             parameter, or fewer residuals than fitted parameters);
//   spec_pars the fitted values at the fitted indices (a repeated index takes
//             its last occurrence), the other entries untouched;
//   fit_resid the unweighted residuals y - model at the fitted values.
// x_pos, y_obs and fit_resid hold num_x_pts*num_datasets values, dataset after
// dataset; irradiance is num_x_pts x t_grid.size() x num_datasets. Uses and
// then empties this thread's ModelState. Throws std::bad_alloc when storage
// cannot be had (the ModelState is emptied all the same).
void lm_fit(std::span<const double> x_pos, std::span<const double> y_obs,
            model::ModelFn model_fn, std::span<const double> z_grid,
            std::span<const double> t_grid, std::span<const double> pop0,
            model::IrradianceTable irradiance, std::span<double> fit_resid,
            double photon_freq, std::span<double, model::spec_par_count> spec_pars,
            std::int32_t num_x_pts, std::int32_t num_datasets,
            std::span<const std::int32_t> one_based_indices, double& error);

}  // namespace tarnok::fit
