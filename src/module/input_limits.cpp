// Sizes are compared in 64-bit arithmetic (and the memory estimate saturates)
// so that no product of 32-bit counts can wrap before it is checked.
#include "module/input_limits.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "module/available_memory.hpp"

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

// Values the model takes as amounts or divides by: a NaN or an infinity would
// run through every residual, a negative amount has no physical meaning, and
// a zero thickness, pulse energy or lifetime leaves nothing to model (or a
// rate of 1/0). A zero cross-section or population is a legitimate choice: it
// switches a transition off or leaves a level empty.
enum class Bound { above_zero, at_least_zero };

bool within(double value, Bound bound) noexcept {
  return std::isfinite(value) && (bound == Bound::above_zero ? value > 0.0 : value >= 0.0);
}

bool refuse_value(const std::string& name, double value, Bound bound) {
  PyHandle shown = steal(PyFloat_FromDouble(value));
  if (shown) {
    PyErr_Format(PyExc_ValueError, "%s must be finite and %s, got %R", name.c_str(),
                 bound == Bound::above_zero ? "above zero" : "at least zero", shown.get());
  }
  return false;
}

constexpr std::array<const char*, spec_par_count> spec_par_labels = {
    " (cross-section sigma_12)", " (cross-section sigma_23)", " (cross-section sigma_45)",
    " (lifetime tau_21)",        " (lifetime tau_24)",        " (lifetime tau_32)",
    " (lifetime tau_41)",        " (lifetime tau_54)",
};
constexpr std::size_t first_lifetime = 3;

std::string element(const char* array, std::size_t index, const char* label = "") {
  return std::string(array) + "[" + std::to_string(index) + "]" + label;
}

// Only the entries the model reads: pulse_energy past num_datasets,
// populations past the five levels and spec_pars past eight are never used.
bool values_usable(const FitRequest& r) {
  if (!within(r.sample_width, Bound::above_zero))
    return refuse_value("sample_width", r.sample_width, Bound::above_zero);
  for (std::size_t k = 0; k < static_cast<std::size_t>(r.num_datasets); ++k) {
    if (!within(r.pulse_energy[k], Bound::above_zero))
      return refuse_value(element("pulse_energy", k), r.pulse_energy[k], Bound::above_zero);
  }
  for (std::size_t k = 0; k < static_cast<std::size_t>(level_count); ++k) {
    if (!within(r.populations[k], Bound::at_least_zero))
      return refuse_value(element("populations", k), r.populations[k], Bound::at_least_zero);
  }
  for (std::size_t k = 0; k < spec_par_labels.size(); ++k) {
    const Bound bound = k < first_lifetime ? Bound::at_least_zero : Bound::above_zero;
    if (!within(r.spec_pars[k], bound))
      return refuse_value(element("spec_pars", k, spec_par_labels[k]), r.spec_pars[k], bound);
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

// The per-start matrices live until the caller drops the returned rows: for
// every start its parameters, residuals, error and start multiplier.
std::uint64_t result_bytes(const FitRequest& r) noexcept {
  const std::uint64_t per_start = plus(plus(r.spec_pars.size(), r.y_data.size()), 2);
  return times(times(static_cast<std::uint64_t>(r.n_starts), per_start), sizeof(double));
}

// One start's working set, and the argument responsible for most of it. The
// starts run one after another, so only one such set is held at a time.
struct WorkingSet {
  std::uint64_t bytes = 0;
  const char* culprit = "";
  long long culprit_value = 0;
};

// Counted per argument, in doubles (an int32 pair counts as one double):
//   t_slices: the irradiance table (position, time, dataset), one model
//     evaluation's transmitted irradiance (position, time) and the time grid;
//   z_slices: the depth grid and the five level populations of every slice;
//   fit_indices: MINPACK's work array (2*m*n + 5*n + m, the m counted with the
//     measured points), the fitted values and two index arrays;
//   measured points m: the start's positions, measurements and residuals, the
//     model values of the ModelState and the work array's m;
//   populations: the start's copy.
WorkingSet working_set(const FitRequest& r) noexcept {
  const auto nx = static_cast<std::uint64_t>(r.num_x_pts);
  const auto nd = static_cast<std::uint64_t>(r.num_datasets);
  const auto nt = static_cast<std::uint64_t>(r.t_slices);
  const auto nz = static_cast<std::uint64_t>(r.z_slices);
  const std::uint64_t n_fit = r.fit_indices.size();
  const std::uint64_t m = nx * nd;  // at most 2^31 - 1, checked before
  const struct {
    const char* name;
    long long value;
    std::uint64_t doubles;
  } shares[] = {
      {"t_slices", r.t_slices, plus(plus(times(times(nx, nt), nd), times(nx, nt)), nt)},
      {"z_slices", r.z_slices, times(6, nz)},
      {"len(fit_indices)", static_cast<long long>(n_fit), times(n_fit, 2 * m + 7)},
      {"num_x_pts*num_datasets", static_cast<long long>(m), 5 * m},
      {"len(populations)", static_cast<long long>(r.populations.size()), r.populations.size()},
  };
  WorkingSet set;
  std::uint64_t largest = 0;
  for (const auto& share : shares) {
    const std::uint64_t bytes = times(share.doubles, sizeof(double));
    set.bytes = plus(set.bytes, bytes);
    if (bytes > largest) {
      largest = bytes;
      set.culprit = share.name;
      set.culprit_value = share.value;
    }
  }
  return set;
}

std::string readable(std::uint64_t bytes) {
  constexpr std::array<const char*, 4> units = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < units.size()) {
    value /= 1024.0;
    ++unit;
  }
  std::array<char, 48> text{};
  std::snprintf(text.data(), text.size(), "%.1f %s", value, units[unit]);
  return text.data();
}

// MINPACK indexes its work array (2*m*n + 5*n + m values for m measured
// points and n fitted parameters) with an int: beyond that no amount of
// memory helps.
bool workspace_indexable(const FitRequest& r) {
  const std::uint64_t m =
      static_cast<std::uint64_t>(r.num_x_pts) * static_cast<std::uint64_t>(r.num_datasets);
  const std::uint64_t n = r.fit_indices.size();
  const std::uint64_t length = plus(times(2 * m + 5, n), m);
  if (length <= static_cast<std::uint64_t>(max_count)) return true;
  PyErr_Format(PyExc_MemoryError,
               "len(fit_indices) = %zd with %llu measured points needs a work array of %llu "
               "values, more than the %lld the least-squares solver can index",
               static_cast<Py_ssize_t>(n), static_cast<unsigned long long>(m),
               static_cast<unsigned long long>(length), max_count);
  return false;
}

// The larger of the two parts is named, as the one whose argument to reduce.
bool memory_suffices(const FitRequest& r) {
  if (!workspace_indexable(r)) return false;
  const std::uint64_t results = result_bytes(r);
  const WorkingSet working = working_set(r);
  const std::uint64_t available = available_memory();
  if (plus(results, working.bytes) <= available) return true;
  const std::string have = readable(available);
  if (results >= working.bytes) {
    const std::string need = readable(results);
    if (results > available) {
      PyErr_Format(PyExc_MemoryError,
                   "n_starts = %d needs %s of result matrices, more than the %s available",
                   r.n_starts, need.c_str(), have.c_str());
    } else {
      PyErr_Format(PyExc_MemoryError,
                   "n_starts = %d needs %s of result matrices, which with the %s of working "
                   "memory of a start is more than the %s available",
                   r.n_starts, need.c_str(), readable(working.bytes).c_str(), have.c_str());
    }
    return false;
  }
  const auto bytes = static_cast<unsigned long long>(working.bytes);
  const std::string need = readable(working.bytes);
  if (working.bytes > available) {
    PyErr_Format(PyExc_MemoryError,
                 "fit_zscan needs %llu bytes of working memory (%s), most of it for %s = %lld, "
                 "more than the %s available",
                 bytes, need.c_str(), working.culprit, working.culprit_value, have.c_str());
  } else {
    PyErr_Format(PyExc_MemoryError,
                 "fit_zscan needs %llu bytes of working memory (%s), most of it for %s = %lld, "
                 "which with the %s of result matrices is more than the %s available",
                 bytes, need.c_str(), working.culprit, working.culprit_value,
                 readable(results).c_str(), have.c_str());
  }
  return false;
}

}  // namespace

// Memory comes last: the value checks do not depend on the machine, so an
// unusable argument is reported the same everywhere.
bool fits_are_safe(const FitRequest& request) {
  return sizes_match(request) && grids_usable(request) && beam_usable(request) &&
         values_usable(request) && memory_suffices(request);
}

}  // namespace tarnok::module
