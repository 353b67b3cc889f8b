#include "model/zscan_model.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace tarnok::model {

namespace {

// 1/h in 1/(J*s): divided by the optical frequency it turns irradiance into
// photon flux.
constexpr double inverse_planck = 1.5091901796421518e33;
// The normalisation averages this many positions at each end of the scan.
constexpr std::size_t edge_window = 5;
constexpr double edge_weight = 0.1;
constexpr double interval_start = 0.0;
constexpr std::size_t min_grid_points = 2;

// Storage of one evaluation, sized once from the argument lengths.
struct EvaluationWork {
  EvaluationWork(std::size_t n, std::size_t nt, std::size_t nz)
      : populations(level_count * nz), transmitted(n * nt), num_positions(n) {}

  double* slice_populations(std::size_t slice) noexcept {
    return populations.data() + slice * level_count;
  }

  std::vector<double> populations;  // N(level, slice), level fastest
  std::vector<double> transmitted;  // Iout(position, time), position fastest
  std::size_t num_positions;
  RealWork rwork{};
  IntegerWork iwork{};
};

void fill_with_nan(std::span<double> values) noexcept {
  std::ranges::fill(values, std::numeric_limits<double>::quiet_NaN());
}

bool meets_preconditions(std::size_t n, std::size_t nz, std::size_t nt,
                         std::size_t n_pop, IrradiancePlane irradiance) noexcept {
  return n >= edge_window && nz >= min_grid_points && nt >= min_grid_points &&
         n_pop >= level_count && irradiance.rows() >= n && irradiance.cols() >= nt;
}

// One time step of one depth slice: the slice's populations evolve under the
// irradiance that reaches it, then that irradiance is attenuated by the
// updated populations. Returns the irradiance leaving the slice.
double advance_slice_to_end(double* n_slice, double irradiance, double dt, double dz,
                            EvaluationWork& work) noexcept {
  StateVector state{};
  StateVector advanced{};
  std::copy_n(n_slice, level_count, state.begin());
  state[level_count] = irradiance;
  step_populations(state, interval_start, dt, work.rwork, work.iwork, advanced);
  std::copy_n(advanced.begin(), level_count, n_slice);

  state[0] = irradiance;
  std::copy_n(n_slice, level_count, state.begin() + 1);
  step_attenuation(state, interval_start, dz, work.rwork, work.iwork, advanced);
  return advanced[0];
}

// The same step with the irradiance attenuated by the populations averaged
// over the step by Simpson's rule. The absorption is linear in the
// populations, so that of their average is the average absorption.
double advance_slice_averaged(double* n_slice, double irradiance, double dt, double dz,
                              EvaluationWork& work) noexcept {
  StateVector start{};
  std::copy_n(n_slice, level_count, start.begin());
  start[level_count] = irradiance;
  StateVector middle{};
  step_populations(start, interval_start, 0.5 * dt, work.rwork, work.iwork, middle);
  StateVector end{};
  step_populations(middle, interval_start, 0.5 * dt, work.rwork, work.iwork, end);
  std::copy_n(end.begin(), level_count, n_slice);

  StateVector state{};
  state[0] = irradiance;
  for (std::size_t l = 0; l < level_count; ++l)
    state[l + 1] = (start[l] + 4.0 * middle[l] + end[l]) / 6.0;
  StateVector advanced{};
  step_attenuation(state, interval_start, dz, work.rwork, work.iwork, advanced);
  return advanced[0];
}

double advance_slice(double* n_slice, double irradiance, double dt, double dz,
                     AttenuatingPopulations attenuating, EvaluationWork& work) noexcept {
  return attenuating == AttenuatingPopulations::at_step_end
             ? advance_slice_to_end(n_slice, irradiance, dt, dz, work)
             : advance_slice_averaged(n_slice, irradiance, dt, dz, work);
}

// Sends every time slice of the pulse at position i through all depth slices,
// the populations of each slice carrying over from one time slice to the next
// and starting afresh from pop0 at every position.
void propagate_position(std::size_t i, std::size_t nz, std::size_t nt,
                        std::span<const double> pop0, IrradiancePlane irradiance,
                        double dt, double dz, AttenuatingPopulations attenuating,
                        EvaluationWork& work) noexcept {
  for (std::size_t k = 0; k < nz; ++k)
    std::copy_n(pop0.begin(), level_count, work.slice_populations(k));
  for (std::size_t j = 0; j < nt; ++j) {
    double light = irradiance(i, j);
    for (std::size_t k = 0; k < nz; ++k)
      light = advance_slice(work.slice_populations(k), light, dt, dz, attenuating, work);
    work.transmitted[i + j * work.num_positions] = light;
  }
}

}  // namespace

RateConstants rate_constants_for(double photon_freq,
                                 std::span<const double, spec_par_count> spec_pars) noexcept {
  RateConstants rates;
  rates.inv_photon_energy = inverse_planck / photon_freq;
  rates.sigma_12 = spec_pars[0];
  rates.sigma_23 = spec_pars[1];
  rates.sigma_45 = spec_pars[2];
  rates.k21 = 1.0 / spec_pars[3];
  rates.k24 = 1.0 / spec_pars[4];
  rates.k32 = 1.0 / spec_pars[5];
  rates.k41 = 1.0 / spec_pars[6];
  rates.k54 = 1.0 / spec_pars[7];
  return rates;
}

void raw_transmittance(std::span<double> raw, std::span<const double> z_grid,
                       std::span<const double> t_grid, std::span<const double> pop0,
                       IrradiancePlane irradiance, double photon_freq,
                       std::span<const double, spec_par_count> spec_pars,
                       AttenuatingPopulations attenuating) {
  const std::size_t n = raw.size();
  const std::size_t nz = z_grid.size();
  const std::size_t nt = t_grid.size();
  if (!meets_preconditions(n, nz, nt, pop0.size(), irradiance)) {
    // Defends against reading past the grids or the plane: an input the model
    // cannot evaluate gives a visibly undefined curve.
    fill_with_nan(raw);
    return;
  }
  set_rate_constants(rate_constants_for(photon_freq, spec_pars));
  const double dt = t_grid[1] - t_grid[0];
  const double dz = z_grid[1];  // the depth grid starts at 0

  EvaluationWork work(n, nt, nz);
  for (std::size_t i = 0; i < n; ++i)
    propagate_position(i, nz, nt, pop0, irradiance, dt, dz, attenuating, work);

  // Plain sums from 0 in ascending time: the time step cancels in the ratio.
  for (std::size_t i = 0; i < n; ++i) {
    double transmitted_sum = 0.0;
    for (std::size_t j = 0; j < nt; ++j) transmitted_sum += work.transmitted[i + j * n];
    double incident_sum = 0.0;
    for (std::size_t j = 0; j < irradiance.cols(); ++j) incident_sum += irradiance(i, j);
    raw[i] = transmitted_sum / incident_sum;
  }
}

void shift_to_unit_edges(std::span<double> values) noexcept {
  const std::size_t n = values.size();
  if (n < edge_window) {
    fill_with_nan(values);
    return;
  }
  const double front = values[0] + values[1] + values[2] + values[3] + values[4];
  const double back =
      values[n - 5] + values[n - 4] + values[n - 3] + values[n - 2] + values[n - 1];
  const double edge_mean = edge_weight * (front + back);
  // A shift rather than a scaling, the same whichever side of 1 the edges lie.
  const double shift = 1.0 - edge_mean;
  for (double& value : values) value += shift;
}

void zscan_model(std::span<double> model_out, std::span<const double> positions,
                 std::span<const double> z_grid, std::span<const double> t_grid,
                 std::span<const double> pop0, IrradiancePlane irradiance,
                 double photon_freq,
                 std::span<const double, spec_par_count> spec_pars) {
  const std::size_t n = positions.size();
  if (model_out.size() < n) {
    fill_with_nan(model_out);
    return;
  }
  const std::span<double> curve = model_out.first(n);
  raw_transmittance(curve, z_grid, t_grid, pop0, irradiance, photon_freq, spec_pars);
  shift_to_unit_edges(curve);
}

}  // namespace tarnok::model
