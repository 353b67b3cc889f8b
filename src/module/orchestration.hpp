// The multi-start fit behind fit_zscan: centres the positions on the extreme
// of the measurements, scales the fitted parameters by log-spaced multipliers
// to make one start per multiplier, runs every start through the compute core
// with the interpreter lock released, and returns the best start's residuals,
// error and parameters.
#pragma once

#include <cstdint>
#include <span>

#include "module/py_handle.hpp"

namespace tarnok::module {

// The converted arguments of one call. The spans view the caller's buffers,
// which stay held for the whole call; one_based_indices is fit_indices + 1.
struct FitRequest {
  std::span<const double> x_data;
  std::span<const double> y_data;
  std::span<const double> populations;
  std::span<const double> pulse_energy;
  std::span<const double> spec_pars;
  std::span<const std::int32_t> fit_indices;
  std::span<const std::int32_t> one_based_indices;
  std::int32_t t_slices;
  std::int32_t z_slices;
  double sample_width;
  double tau;
  double wavelength;
  double w0;
  double M2;
  std::int32_t num_x_pts;
  std::int32_t num_datasets;
  bool is_sa;
  std::int32_t n_starts;
};

// Returns the new tuple (residuals, error, spec_pars), or nullptr with a
// Python exception set. Must be called with the interpreter lock held; may
// throw std::bad_alloc (with the lock held again by then).
PyObject* run_multistart_fit(const FitRequest& request);

}  // namespace tarnok::module
