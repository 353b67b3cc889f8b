// tarnok._core.fit: a multi-start robust fit of one model to one data set.
// The interpreter lock is released while the starts run; progress, the
// caller's callback and Ctrl-C are handled on the calling thread.
#include "bindings/fit_bindings.hpp"

#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <limits>
#include <optional>

#include "bindings/engine_bindings.hpp"
#include "engine/curve_model.hpp"
#include "robust_fit/multi_start.hpp"
#include "robust_fit/start_points.hpp"
#include "robust_fit/zscan_residuals.hpp"

namespace tarnok::bindings {

namespace nb = nanobind;
namespace rf = robust_fit;

namespace {

using DataArray = PositionArray;  // one row per curve: blocks x pulse energies

std::vector<double> copy_of(const DataArray& a) {
  return std::vector<double>(a.data(), a.data() + a.size());
}

// What the poll saw that ends the fit early, to report once the threads joined.
struct StopRequest {
  bool keyboard_interrupt = false;
  bool by_callback = false;
  std::optional<nb::python_error> error;
};

// Runs on the calling thread, which holds no lock while the fit runs.
bool poll_python(const rf::Progress& p, const nb::object& callback, StopRequest& stop) {
  nb::gil_scoped_acquire acquired;
  if (PyErr_CheckSignals() != 0) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      PyErr_Clear();
      stop.keyboard_interrupt = true;
    } else {
      stop.error.emplace();
    }
    return true;
  }
  if (callback.is_none()) return false;
  try {
    const nb::object answer = callback(p.start, p.iteration, p.chi_square, p.best_chi_square,
                                       p.starts_finished);
    if (PyObject_IsTrue(answer.ptr()) == 1) {
      stop.by_callback = true;
      return true;
    }
    return false;
  } catch (nb::python_error& e) {
    stop.error.emplace(std::move(e));
    return true;
  }
}

nb::dict start_dict(const rf::StartResult& s, const rf::SolverOptions& options) {
  nb::dict d;
  d["start"] = s.start_values;
  d["values"] = s.values;
  d["chisqr"] = s.chi_square;
  d["converged"] = rf::is_converged(s.status);
  d["status"] = status_name(s.status);
  d["message"] = s.message.empty() ? rf::describe(s.status, options) : s.message;
  d["iterations"] = s.iterations;
  d["nfev"] = s.function_evaluations;
  d["njev"] = s.jacobian_evaluations;
  d["duplicate_of"] = s.duplicate_of ? nb::cast(*s.duplicate_of) : nb::none();
  return d;
}

}  // namespace

std::string status_name(rf::FitStatus status) {
  switch (status) {
    case rf::FitStatus::converged_chi_square: return "converged";
    case rf::FitStatus::converged_step: return "converged";
    case rf::FitStatus::max_iterations: return "max_iterations";
    case rf::FitStatus::damping_limit: return "damping_limit";
    case rf::FitStatus::model_failed: return "model_failed";
    case rf::FitStatus::start_failed: return "start_failed";
    case rf::FitStatus::cancelled: return "cancelled";
    case rf::FitStatus::duplicate: return "duplicate";
    case rf::FitStatus::not_run: return "not_run";
  }
  return "unknown";
}

void bind_fit(nb::module_& m) {
  m.def(
      "fit",
      [](const engine::CurveModel& model, DataArray data, nb::object sigma,
         const engine::ParameterVector& values, const std::vector<std::size_t>& varied_indices,
         const std::vector<bool>& log_scale, const std::vector<double>& lower,
         const std::vector<double>& upper, std::size_t n_starts, std::size_t threads,
         std::uint64_t seed, nb::object callback, std::size_t duplicate_interval,
         double duplicate_chi_square, double duplicate_distance,
         const std::vector<double>& scales) {
        const std::size_t n = varied_indices.size();
        if (log_scale.size() != n || lower.size() != n || upper.size() != n)
          throw nb::value_error("one scale and bound per varied parameter");
        if (!scales.empty() && scales.size() != n)
          throw nb::value_error("one linear scale per varied parameter, or none");
        std::vector<engine::Parameter> varied;
        std::vector<rf::ParameterSetting> settings;
        std::vector<double> user;
        for (std::size_t k = 0; k < n; ++k) {
          if (varied_indices[k] >= engine::parameter_count)
            throw nb::value_error("parameter index out of range");
          varied.push_back(static_cast<engine::Parameter>(varied_indices[k]));
          settings.push_back({log_scale[k], lower[k], upper[k], scales.empty() ? 1.0 : scales[k]});
          user.push_back(values[varied_indices[k]]);
        }
        std::vector<double> sigma_values;
        if (!sigma.is_none()) sigma_values = copy_of(nb::cast<DataArray>(sigma));
        const rf::ZScanResiduals residuals(model, copy_of(data), std::move(sigma_values), values,
                                           varied);
        const rf::ParameterSpace space(settings);
        const auto starts = rf::make_start_points(space, user, n_starts, seed);
        rf::MultiStartOptions options;
        options.threads = threads;
        // Zero turns the comparison of starts off (for benchmarks of what it saves).
        options.duplicates.enabled = duplicate_interval > 0;
        options.duplicates.interval = duplicate_interval;
        options.duplicates.chi_square = duplicate_chi_square;
        options.duplicates.distance = duplicate_distance;

        StopRequest stop;
        rf::MultiStartResult result;
        {
          nb::gil_scoped_release released;
          result = rf::fit_multi_start(residuals, space, starts, options,
                                       [&](const rf::Progress& p) {
                                         return poll_python(p, callback, stop);
                                       });
        }
        if (stop.error) throw *stop.error;

        nb::list start_list;
        for (const rf::StartResult& s : result.starts) start_list.append(start_dict(s, options.solver));
        nb::dict out;
        out["starts"] = start_list;
        out["cancelled"] = result.cancelled;
        // How close to a bound counts as on it, in the solver's own coordinates.
        out["step_tolerance"] = options.solver.step_tolerance;
        out["abort_reason"] = stop.keyboard_interrupt ? "interrupted (KeyboardInterrupt)"
                              : stop.by_callback      ? "stopped by the callback"
                                                      : "";
        const long best = result.best_start ? static_cast<long>(*result.best_start) : -1;
        out["best"] = best;
        if (best >= 0) {
          const rf::StartResult& b = result.starts[static_cast<std::size_t>(best)];
          // Residuals and Jacobian rows go back to the places of the data
          // they belong to, NaN where a value was absent; the Jacobian from
          // the solver is column-major m x n, handed over as the row-major
          // array (one row per data value) the statistics expect.
          const std::vector<std::size_t>& present = residuals.present();
          const std::size_t m = present.size(), values_count = model.curve_count();
          const double absent = std::numeric_limits<double>::quiet_NaN();
          std::vector<double> residual(b.residuals.empty() ? 0 : values_count, absent);
          for (std::size_t i = 0; i < m && !b.residuals.empty(); ++i)
            residual[present[i]] = b.residuals[i];
          std::vector<double> row_major(b.jacobian.empty() ? 0 : values_count * n, absent);
          for (std::size_t k = 0; k < n && !b.jacobian.empty(); ++k)
            for (std::size_t i = 0; i < m; ++i)
              row_major[present[i] * n + k] = b.jacobian[k * m + i];
          out["residual"] = residual;
          out["jacobian"] = row_major;
          // The model at the best values everywhere, absent data included.
          engine::ParameterVector best_values = values;
          for (std::size_t k = 0; k < n; ++k) best_values[varied_indices[k]] = b.values[k];
          std::vector<double> best_fit(values_count);
          {
            nb::gil_scoped_release released;
            model.evaluate(best_values, {}, best_fit, {});
          }
          out["best_fit"] = best_fit;
        }
        return out;
      },
      nb::arg("model"), nb::arg("data"), nb::arg("sigma").none(), nb::arg("values"),
      nb::arg("varied"), nb::arg("log_scale"), nb::arg("lower"), nb::arg("upper"),
      nb::arg("n_starts"), nb::arg("threads"), nb::arg("seed"), nb::arg("callback").none(),
      nb::arg("duplicate_interval") = rf::DuplicateTest{}.interval,
      nb::arg("duplicate_chi_square") = rf::DuplicateTest{}.chi_square,
      nb::arg("duplicate_distance") = rf::DuplicateTest{}.distance,
      nb::arg("scales") = std::vector<double>{});
}

}  // namespace tarnok::bindings
