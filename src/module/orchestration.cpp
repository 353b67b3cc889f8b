// The multi-start loop of fit_zscan. Python objects are made and inspected
// only before and after the loop; the fits themselves run on plain pointers
// with the interpreter lock released, writing straight into the rows of the
// result matrices that the returned arrays view.
#include "module/orchestration.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "fit/fit_one_start.hpp"
#include "module/input_limits.hpp"
#include "module/numpy_api.hpp"

namespace tarnok::module {

namespace {

// What a 1-D buffer access past the end reports; axis 1 is the column of a
// result matrix.
std::nullptr_t raise_out_of_bounds(int axis) noexcept {
  PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
  return nullptr;
}

// argmax/argmin semantics: the first NaN is the extreme when there is one,
// otherwise the first position holding the largest (smallest) value.
std::size_t extreme_position(std::span<const double> y, bool largest) noexcept {
  std::size_t best = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (std::isnan(y[i])) return i;
    if (largest ? y[i] > y[best] : y[i] < y[best]) best = i;
  }
  return best;
}

// 10^(-0.52 + 1.04*i/max(n-1, 1)), evaluated in exactly this order so that the
// middle multiplier of an odd count is exactly 1.
std::vector<double> start_multipliers(std::int32_t n_starts) {
  const std::int64_t spacing = std::max<std::int64_t>(std::int64_t{n_starts} - 1, 1);
  std::vector<double> multipliers(static_cast<std::size_t>(n_starts));
  for (std::int32_t i = 0; i < n_starts; ++i) {
    const double exponent = (i * 1.04) / spacing - 0.52;
    multipliers[static_cast<std::size_t>(i)] = std::pow(10.0, exponent);
  }
  return multipliers;
}

// A new C-ordered float64 matrix; NumPy raises its own errors for negative
// or unaffordable sizes.
PyHandle new_matrix(npy_intp rows, npy_intp cols, bool zeroed) {
  npy_intp dims[2] = {rows, cols};
  return steal(zeroed ? PyArray_ZEROS(2, dims, NPY_DOUBLE, 0)
                      : PyArray_SimpleNew(2, dims, NPY_DOUBLE));
}

// The buffer accesses each start makes, in order, each needing at least one
// element; checked once, since the lengths cannot change from start to start.
// Axis 1 is the column of a start's row in a result matrix.
bool first_elements_exist(const FitRequest& r, std::size_t centered_size) noexcept {
  struct Access {
    std::size_t length;
    int axis;
  };
  const Access accesses[] = {
      {centered_size, 0},           {r.y_data.size(), 0},
      {r.populations.size(), 0},    {r.y_data.size(), 1},
      {r.pulse_energy.size(), 0},   {r.spec_pars.size(), 1},
      {r.one_based_indices.size(), 0},
  };
  for (const Access& access : accesses) {
    if (access.length == 0) {
      raise_out_of_bounds(access.axis);
      return false;
    }
  }
  return true;
}

// The per-start matrices whose rows the returned arrays view: row i of
// spec_pars holds start i's parameters (starting values in, fitted values
// out), row i of residuals its residuals, errors[i] its error.
struct StartResults {
  PyHandle spec_pars;
  PyHandle residuals;
  PyHandle errors;
  std::size_t starts = 0;
  std::size_t spec_length = 0;
  std::size_t residual_length = 0;

  double* spec_row(std::size_t i) const noexcept { return data(spec_pars) + i * spec_length; }
  double* residual_row(std::size_t i) const noexcept {
    return data(residuals) + i * residual_length;
  }
  double* error(std::size_t i) const noexcept { return data(errors) + i; }

 private:
  static double* data(const PyHandle& array) noexcept {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  }
};

// Every row starts as a copy of the caller's spec_pars; the residuals and
// errors start at zero. A negative n_starts fails here, with NumPy's own
// error, since the checks before run only when there are starts.
bool make_start_results(const FitRequest& r, StartResults& out) {
  const auto n_spec = static_cast<npy_intp>(r.spec_pars.size());
  const auto n_res = static_cast<npy_intp>(r.y_data.size());
  out.spec_pars = new_matrix(r.n_starts, n_spec, false);
  if (!out.spec_pars) return false;
  out.residuals = new_matrix(r.n_starts, n_res, true);
  if (!out.residuals) return false;
  npy_intp error_dims[1] = {r.n_starts};
  out.errors = steal(PyArray_ZEROS(1, error_dims, NPY_DOUBLE, 0));
  if (!out.errors) return false;
  out.starts = static_cast<std::size_t>(r.n_starts);
  out.spec_length = r.spec_pars.size();
  out.residual_length = r.y_data.size();
  for (std::size_t i = 0; i < out.starts; ++i)
    std::copy(r.spec_pars.begin(), r.spec_pars.end(), out.spec_row(i));
  return true;
}

// The first access scaling the starting values makes past spec_pars; only
// starts scale, so with none this goes unnoticed.
bool fitted_entries_exist(const FitRequest& r) noexcept {
  for (const std::int32_t index : r.fit_indices) {
    if (static_cast<std::size_t>(index) >= r.spec_pars.size()) {
      raise_out_of_bounds(0);
      return false;
    }
  }
  return true;
}

// Start i's fitted parameters are the caller's values times multiplier i,
// always scaled from the caller's unscaled values. Every index lies inside
// spec_pars (fitted_entries_exist).
void scale_starting_values(const FitRequest& r, const StartResults& results) {
  const std::vector<double> multipliers = start_multipliers(r.n_starts);
  for (std::size_t i = 0; i < results.starts; ++i) {
    for (const std::int32_t index : r.fit_indices) {
      const auto k = static_cast<std::size_t>(index);
      results.spec_row(i)[k] = multipliers[i] * r.spec_pars[k];
    }
  }
}

// All starts, one after another on this thread, without the interpreter lock.
void run_starts(const FitRequest& r, std::span<const double> centered_x,
                const StartResults& results) {
  const auto n_fit = static_cast<std::int32_t>(r.one_based_indices.size());
  const auto n_pop = static_cast<std::int32_t>(r.populations.size());
  const auto n_res = static_cast<std::int32_t>(r.y_data.size());
  GilRelease unlocked;
  for (std::size_t i = 0; i < results.starts; ++i) {
    fit::fit_one_start(centered_x.data(), r.y_data.data(), r.populations.data(),
                       results.residual_row(i), results.error(i), &r.t_slices, &r.z_slices,
                       &r.sample_width, &r.tau, &r.wavelength, &r.w0, &r.M2,
                       r.pulse_energy.data(), results.spec_row(i),
                       r.one_based_indices.data(), &n_fit, &r.num_x_pts, &r.num_datasets,
                       &n_pop, &n_res);
  }
}

// The strictly smallest error wins: ties keep the earlier start, and a NaN
// never replaces the current best, nor is a NaN of start 0 ever replaced.
PyObject* best_result(const StartResults& results) {
  if (results.starts == 0) return raise_out_of_bounds(0);
  std::size_t best_idx = 0;
  double best_error = *results.error(0);
  for (std::size_t i = 1; i < results.starts; ++i) {
    if (*results.error(i) < best_error) {
      best_idx = i;
      best_error = *results.error(i);
    }
  }
  const auto best = static_cast<Py_ssize_t>(best_idx);
  PyHandle residuals = steal(PySequence_GetItem(results.residuals.get(), best));
  if (!residuals) return nullptr;
  PyHandle error = steal(PyFloat_FromDouble(best_error));
  if (!error) return nullptr;
  PyHandle fitted = steal(PySequence_GetItem(results.spec_pars.get(), best));
  if (!fitted) return nullptr;
  return PyTuple_Pack(3, residuals.get(), error.get(), fitted.get());
}

}  // namespace

PyObject* run_multistart_fit(const FitRequest& r) {
  // One centre for all datasets: the extreme of y_data taken as a whole.
  if (r.y_data.empty()) {
    PyErr_Format(PyExc_ValueError, "attempt to get %s of an empty sequence",
                 r.is_sa ? "argmax" : "argmin");
    return nullptr;
  }
  const std::size_t centre = extreme_position(r.y_data, r.is_sa);
  if (centre >= r.x_data.size()) return raise_out_of_bounds(0);
  const double center_x = r.x_data[centre];
  std::vector<double> centered_x(r.x_data.size());
  for (std::size_t i = 0; i < centered_x.size(); ++i) centered_x[i] = r.x_data[i] - center_x;

  // Every refusal comes before the result matrices exist: their size grows
  // with n_starts, and an unusable call must not first fill gigabytes. The
  // refusals keep the order in which the starts would meet them: an index
  // past spec_pars while scaling, the first element of each buffer, then the
  // sizes, values and memory.
  if (r.n_starts > 0 && (!fitted_entries_exist(r) ||
                         !first_elements_exist(r, centered_x.size()) || !fits_are_safe(r)))
    return nullptr;
  StartResults results;
  if (!make_start_results(r, results)) return nullptr;
  scale_starting_values(r, results);
  if (results.starts > 0) run_starts(r, centered_x, results);
  return best_result(results);
}

}  // namespace tarnok::module
