#include "fit/fit_one_start.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "fit/lm_fit.hpp"
#include "model/beam.hpp"
#include "model/irradiance.hpp"
#include "model/linspace.hpp"
#include "model/zscan_model.hpp"

namespace tarnok::fit {

namespace {

constexpr double millimetres_to_metres = 0.001;
constexpr double speed_of_light = 299792458.0;  // m/s

// A count that is zero or negative describes an empty array.
std::size_t extent(std::int32_t count) noexcept {
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

// The working arrays of one start, released when it returns.
struct StartArrays {
  StartArrays(std::size_t positions, std::size_t n_pop, std::size_t z_slices,
              std::size_t t_slices, std::size_t num_datasets)
      : x_pos(positions * num_datasets), y_obs(x_pos.size()), pop0(n_pop),
        z_grid(z_slices), t_grid(t_slices),
        irradiance(positions * t_slices * num_datasets), fit_resid(x_pos.size()) {}

  std::vector<double> x_pos;       // positions in metres, dataset-major
  std::vector<double> y_obs;       // measured transmittance
  std::vector<double> pop0;        // initial level populations
  std::vector<double> z_grid;      // depth grid
  std::vector<double> t_grid;      // time grid
  std::vector<double> irradiance;  // (position, time, dataset)
  std::vector<double> fit_resid;   // solver's residual vector, then y - model
};

}  // namespace

void fit_one_start(const double* x_data, const double* y_data,
                   const double* populations, double* residuals, double* error,
                   const std::int32_t* t_slices, const std::int32_t* z_slices,
                   const double* sample_width, const double* tau,
                   const double* wavelength, const double* w0, const double* M2,
                   const double* pulse_energy, double* spec_pars,
                   const std::int32_t* one_based_indices,
                   const std::int32_t* n_fit, const std::int32_t* num_x_pts,
                   const std::int32_t* num_datasets, const std::int32_t* n_pop,
                   const std::int32_t* n_res) {
  // Both counts must be positive for any measurement to exist.
  const std::size_t positions = *num_datasets > 0 ? extent(*num_x_pts) : 0;
  const std::size_t datasets = *num_x_pts > 0 ? extent(*num_datasets) : 0;
  StartArrays arrays(positions, extent(*n_pop), extent(*z_slices), extent(*t_slices),
                     datasets);
  const std::size_t m = arrays.x_pos.size();
  for (std::size_t j = 0; j < m; ++j) arrays.x_pos[j] = x_data[j] * millimetres_to_metres;
  std::copy_n(y_data, m, arrays.y_obs.begin());
  std::copy_n(populations, arrays.pop0.size(), arrays.pop0.begin());

  const double z_R = model::rayleigh_range(*w0, *M2, *wavelength);
  const double photon_freq = speed_of_light / *wavelength;
  model::linspace(arrays.z_grid.data(), 0.0, *sample_width, *z_slices);
  const double half_width = *tau * 0.5;
  model::linspace(arrays.t_grid.data(), -half_width, half_width, *t_slices);
  model::fill_irradiance_table(arrays.irradiance, arrays.x_pos, arrays.t_grid,
                               std::span(pulse_energy, datasets), positions,
                               {*tau, *w0, z_R});

  const model::IrradianceTable irradiance(arrays.irradiance.data(), positions,
                                         arrays.t_grid.size(), datasets);
  const std::span<double, model::spec_par_count> parameters(spec_pars,
                                                            model::spec_par_count);
  lm_fit(arrays.x_pos, arrays.y_obs, model::zscan_model, arrays.z_grid, arrays.t_grid,
         arrays.pop0, irradiance, arrays.fit_resid, photon_freq, parameters,
         static_cast<std::int32_t>(positions), static_cast<std::int32_t>(datasets),
         std::span(one_based_indices, extent(*n_fit)), *error);

  // Never more than the residuals there are, whatever the caller asks for.
  const std::size_t copied = std::min(extent(*n_res), m);
  std::copy_n(arrays.fit_resid.begin(), copied, residuals);
}

}  // namespace tarnok::fit
