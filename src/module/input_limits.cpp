// Sizes are compared in 64-bit arithmetic (and the memory estimate saturates)
// so that no product of 32-bit counts can wrap before it is checked.
#include "module/input_limits.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdint>

namespace tarnok::module {

namespace {

// The model shifts each curve so that its five first and five last positions
// average 1, and it carries five level populations.
constexpr std::int32_t min_positions = 5;
constexpr Py_ssize_t level_count = 5;
constexpr Py_ssize_t spec_par_count = 8;
// A time or depth step is the distance between the first two grid points.
constexpr std::int32_t min_grid_points = 2;
// Counts that reach the core as 32-bit integers.
constexpr long long max_count = INT32_MAX;

bool sizes_match(const FitRequest& r) {
  const long long measured = static_cast<long long>(r.num_x_pts) * r.num_datasets;
  if (r.num_x_pts < min_positions) {
    PyErr_Format(PyExc_ValueError,
                 "num_x_pts is %d, but at least %d positions per dataset are required",
                 r.num_x_pts, min_positions);
  } else if (r.num_datasets < 1) {
    PyErr_Format(PyExc_ValueError, "num_datasets is %d, but at least 1 dataset is required",
                 r.num_datasets);
  } else if (measured > max_count) {
    PyErr_Format(PyExc_ValueError,
                 "num_x_pts*num_datasets is %lld, but at most %lld measured points are supported",
                 measured, max_count);
  } else if (static_cast<long long>(r.y_data.size()) != measured) {
    PyErr_Format(PyExc_ValueError,
                 "y_data holds %zd values, but num_x_pts*num_datasets = %lld are required",
                 static_cast<Py_ssize_t>(r.y_data.size()), measured);
  } else if (static_cast<long long>(r.x_data.size()) < measured) {
    PyErr_Format(PyExc_ValueError,
                 "x_data holds %zd values, but at least num_x_pts*num_datasets = %lld are required",
                 static_cast<Py_ssize_t>(r.x_data.size()), measured);
  } else if (static_cast<long long>(r.pulse_energy.size()) < r.num_datasets) {
    PyErr_Format(PyExc_ValueError,
                 "pulse_energy holds %zd values, but at least num_datasets = %d are required",
                 static_cast<Py_ssize_t>(r.pulse_energy.size()), r.num_datasets);
  } else if (static_cast<Py_ssize_t>(r.spec_pars.size()) < spec_par_count) {
    PyErr_Format(PyExc_ValueError, "spec_pars holds %zd values, but at least %zd are required",
                 static_cast<Py_ssize_t>(r.spec_pars.size()), spec_par_count);
  } else if (static_cast<Py_ssize_t>(r.populations.size()) < level_count) {
    PyErr_Format(PyExc_ValueError, "populations holds %zd values, but at least %zd are required",
                 static_cast<Py_ssize_t>(r.populations.size()), level_count);
  } else if (static_cast<long long>(r.populations.size()) > max_count) {
    PyErr_Format(PyExc_ValueError, "populations holds %zd values, but at most %lld are supported",
                 static_cast<Py_ssize_t>(r.populations.size()), max_count);
  } else if (static_cast<long long>(r.fit_indices.size()) > max_count) {
    PyErr_Format(PyExc_ValueError, "fit_indices holds %zd values, but at most %lld are supported",
                 static_cast<Py_ssize_t>(r.fit_indices.size()), max_count);
  } else {
    return true;
  }
  return false;
}

bool grids_usable(const FitRequest& r) {
  const char* name = r.t_slices < min_grid_points ? "t_slices"
                     : r.z_slices < min_grid_points ? "z_slices"
                                                    : nullptr;
  if (name == nullptr) return true;
  PyErr_Format(PyExc_ValueError, "%s is %d, but at least %d grid points are required", name,
               name[0] == 't' ? r.t_slices : r.z_slices, min_grid_points);
  return false;
}

// The beam and pulse enter as divisors and square roots: each must be a
// finite positive number.
bool beam_usable(const FitRequest& r) {
  const struct {
    const char* name;
    double value;
  } scalars[] = {{"tau", r.tau}, {"w0", r.w0}, {"M2", r.M2}, {"wavelength", r.wavelength}};
  for (const auto& scalar : scalars) {
    if (std::isfinite(scalar.value) && scalar.value > 0.0) continue;
    PyHandle value = steal(PyFloat_FromDouble(scalar.value));
    if (value) {
      PyErr_Format(PyExc_ValueError, "%s is %R, but a finite number above zero is required",
                   scalar.name, value.get());
    }
    return false;
  }
  return true;
}

std::uint64_t times(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::uint64_t plus(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Bytes of the largest working set one start holds at once: its own arrays
// (positions, measurements, residuals, populations, both grids and the
// irradiance table), the solver's model values, residuals and work array, and
// one model evaluation's slice populations and transmitted irradiance.
std::uint64_t working_bytes(const FitRequest& r) noexcept {
  const auto nx = static_cast<std::uint64_t>(r.num_x_pts);
  const auto nd = static_cast<std::uint64_t>(r.num_datasets);
  const auto nt = static_cast<std::uint64_t>(r.t_slices);
  const auto nz = static_cast<std::uint64_t>(r.z_slices);
  const auto n_fit = static_cast<std::uint64_t>(r.fit_indices.size());
  const std::uint64_t m = nx * nd;  // at most 2^31 - 1, checked before
  std::uint64_t values = times(times(nx, nt), nd);
  values = plus(values, plus(plus(nt, nz), plus(6 * m, r.populations.size())));
  values = plus(values, plus(times(2 * m + 6, n_fit), times(5, nz)));
  values = plus(values, times(nx, nt));
  return times(values, sizeof(double));
}

bool memory_suffices(const FitRequest& r) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return true;  // unknown: let the allocator decide
  const std::uint64_t available = times(static_cast<std::uint64_t>(pages),
                                        static_cast<std::uint64_t>(page_size));
  const std::uint64_t needed = working_bytes(r);
  if (needed <= available) return true;
  PyErr_Format(PyExc_MemoryError,
               "fit_zscan needs %llu bytes of working memory for t_slices=%d, z_slices=%d, "
               "but this machine has %llu bytes",
               static_cast<unsigned long long>(needed), r.t_slices, r.z_slices,
               static_cast<unsigned long long>(available));
  return false;
}

}  // namespace

bool fits_are_safe(const FitRequest& request) {
  return sizes_match(request) && grids_usable(request) && beam_usable(request) &&
         memory_suffices(request);
}

}  // namespace tarnok::module
