// One complete least-squares fit from one starting parameter vector: the entry
// point of the compute core. Builds grids and the incident irradiance table,
// fits the chosen parameters of spec_pars and returns residuals and error.
// Every argument is passed by address; it may run without the interpreter lock
// and on several threads at once (all its state is per call or per thread).
#pragma once

#include <cstdint>

namespace tarnok::fit {

void fit_one_start(const double* x_data, const double* y_data,
                   const double* populations, double* residuals, double* error,
                   const std::int32_t* t_slices, const std::int32_t* z_slices,
                   const double* sample_width, const double* tau,
                   const double* wavelength, const double* w0, const double* M2,
                   const double* pulse_energy, double* spec_pars,
                   const std::int32_t* one_based_indices,
                   const std::int32_t* n_fit, const std::int32_t* num_x_pts,
                   const std::int32_t* num_datasets, const std::int32_t* n_pop,
                   const std::int32_t* n_res);

}  // namespace tarnok::fit
