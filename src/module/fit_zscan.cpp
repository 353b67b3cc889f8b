// Argument handling of fit_zscan, in the order a caller observes it:
//
//   def fit_zscan(x_data, y_data, populations, t_slices, z_slices,
//                 sample_width, tau, wavelength, w0, M2, pulse_energy,
//                 spec_pars, fit_indices, num_x_pts, num_datasets,
//                 is_sa=False, n_starts=3):
//       bind the arguments; convert each, strictly in parameter order;
//       refuse None arrays; check fit_indices against 0..7;
//       return multistart_fit(..., one_based_indices=fit_indices + 1)
//
// Every failure raises with a fixed message and a traceback entry for
// tarnok_wrapper.fit_zscan; no C++ exception leaves this file.
#include "module/fit_zscan.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <vector>

#include "module/conversions.hpp"
#include "module/function_type.hpp"
#include "module/orchestration.hpp"

namespace tarnok::module {

namespace {

constexpr const char* function_name = "fit_zscan";
constexpr Py_ssize_t required_count = 15;
constexpr Py_ssize_t parameter_count = 17;

constexpr std::array<const char*, parameter_count> parameter_names = {
    "x_data",     "y_data",      "populations", "t_slices",  "z_slices",     "sample_width",
    "tau",        "wavelength",  "w0",          "M2",        "pulse_energy", "spec_pars",
    "fit_indices", "num_x_pts",  "num_datasets", "is_sa",    "n_starts",
};

enum Parameter : std::size_t {
  x_data, y_data, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, M2,
  pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets, is_sa, n_starts,
};

constexpr std::int32_t max_fit_index = 7;

constexpr const char* docstring =
    "Fit z-scan data with multi-start parallel optimization.\n"
    "\n"
    "Fits the spectroscopic parameters listed in fit_indices so that the\n"
    "five-level rate-equation model reproduces all datasets at once, starting\n"
    "from n_starts log-spaced multiples of the given values; the start with\n"
    "the smallest error wins.\n"
    "\n"
    "Parameters:\n"
    "    x_data : 1-D float64 array, sample positions in millimetres, all\n"
    "        datasets one after another (num_x_pts values each)\n"
    "    y_data : 1-D float64 array, normalised transmittance, same layout\n"
    "    populations : 1-D float64 array, initial populations of the five levels\n"
    "    t_slices, z_slices : int, points of the time and depth grids\n"
    "    sample_width : float, sample thickness\n"
    "    tau : float, pulse duration\n"
    "    wavelength, w0 : float, laser wavelength and beam waist (metres)\n"
    "    M2 : float, beam quality factor\n"
    "    pulse_energy : 1-D float64 array, one pulse energy per dataset\n"
    "    spec_pars : 1-D float64 array, the eight spectroscopic parameters\n"
    "        (sigma_12, sigma_23, sigma_45 and the lifetimes of k21, k24, k32,\n"
    "        k41, k54)\n"
    "    fit_indices : 1-D int32 array, 0-based indices into spec_pars of the\n"
    "        parameters to fit (valid range 0 to 7); converted to 1-based\n"
    "        indices for the compute core\n"
    "    num_x_pts : int, number of points in each dataset\n"
    "    num_datasets : int, number of datasets (pulse energies)\n"
    "    is_sa : bool, saturable absorber (True) or reverse saturable absorber\n"
    "        (False).\n"
    "        SA centers around max of y_data, RSA centers around min of y_data.\n"
    "        Default False (RSA).\n"
    "    n_starts : int, number of starting points (default 3)\n"
    "\n"
    "Returns:\n"
    "    residuals, error, spec_pars (best result)\n";

// Interned once, so that keyword lookup usually succeeds by identity.
std::array<PyObject*, parameter_count> interned_names{};

using BoundArguments = std::array<PyObject*, parameter_count>;  // borrowed; null = absent

struct ConvertedArguments {
  ArrayArgument x_data, y_data, populations, pulse_energy, spec_pars, fit_indices;
  std::int32_t t_slices = 0, z_slices = 0, num_x_pts = 0, num_datasets = 0, n_starts = 3;
  double sample_width = 0, tau = 0, wavelength = 0, w0 = 0, M2 = 0;
  bool is_sa = false;
};

int raise_positional_count(const char* more_or_less, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               function_name, more_or_less, expected, expected == 1 ? "" : "s", given);
  return -1;
}

Py_ssize_t keyword_position(PyObject* kwnames, PyObject* name) {
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < count; ++j)
    if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
  for (Py_ssize_t j = 0; j < count; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return j;
  }
  return -1;
}

Py_ssize_t parameter_position(PyObject* key) {
  for (Py_ssize_t i = 0; i < parameter_count; ++i)
    if (PyUnicode_Compare(key, interned_names[static_cast<std::size_t>(i)]) == 0) return i;
  return -1;
}

// Reports the first keyword that filled no parameter: one that is not a
// string, one that names a parameter already given (by position or, from a C
// caller, by an earlier keyword of the same name), or one that names no
// parameter at all.
int raise_keyword_error(PyObject* kwnames, Py_ssize_t nargs) {
  std::array<bool, parameter_count> given{};
  for (Py_ssize_t i = 0; i < nargs; ++i) given[static_cast<std::size_t>(i)] = true;
  for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
      return -1;
    }
    const Py_ssize_t position = parameter_position(key);
    if (position < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   function_name, key);
      return -1;
    }
    if (given[static_cast<std::size_t>(position)]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   function_name, key);
      return -1;
    }
    given[static_cast<std::size_t>(position)] = true;
  }
  PyErr_SetString(PyExc_SystemError, "fit_zscan: keyword arguments bound inconsistently");
  return -1;
}

int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArguments& bound) {
  bound.fill(nullptr);
  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (keyword_count == 0 && nargs < required_count)
    return raise_positional_count("at least", required_count, nargs);
  if (nargs > parameter_count) return raise_positional_count("at most", parameter_count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  if (keyword_count == 0) return 0;

  PyObject* const* keyword_values = args + nargs;
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = nargs; i < parameter_count; ++i) {
    const Py_ssize_t j = keyword_position(kwnames, interned_names[static_cast<std::size_t>(i)]);
    if (j >= 0) {
      bound[static_cast<std::size_t>(i)] = keyword_values[j];
      ++matched;
    }
  }
  // A keyword that filled nothing is reported before any missing parameter.
  if (matched != keyword_count) return raise_keyword_error(kwnames, nargs);
  for (Py_ssize_t i = nargs; i < required_count; ++i) {
    // The count reported as given is the missing parameter's position.
    if (bound[static_cast<std::size_t>(i)] == nullptr)
      return raise_positional_count("at least", required_count, i);
  }
  return 0;
}

// Strictly in parameter order: the first refusal is the one reported.
int convert_arguments(const BoundArguments& b, ConvertedArguments& c) {
  const bool failed =
      convert_array(b[x_data], ElementType::float64, c.x_data) < 0 ||
      convert_array(b[y_data], ElementType::float64, c.y_data) < 0 ||
      convert_array(b[populations], ElementType::float64, c.populations) < 0 ||
      convert_int32(b[t_slices], c.t_slices) < 0 || convert_int32(b[z_slices], c.z_slices) < 0 ||
      convert_double(b[sample_width], c.sample_width) < 0 || convert_double(b[tau], c.tau) < 0 ||
      convert_double(b[wavelength], c.wavelength) < 0 || convert_double(b[w0], c.w0) < 0 ||
      convert_double(b[M2], c.M2) < 0 ||
      convert_array(b[pulse_energy], ElementType::float64, c.pulse_energy) < 0 ||
      convert_array(b[spec_pars], ElementType::float64, c.spec_pars) < 0 ||
      convert_array(b[fit_indices], ElementType::int32, c.fit_indices) < 0 ||
      convert_int32(b[num_x_pts], c.num_x_pts) < 0 ||
      convert_int32(b[num_datasets], c.num_datasets) < 0 ||
      (b[is_sa] != nullptr && convert_truth(b[is_sa], c.is_sa) < 0) ||
      (b[n_starts] != nullptr && convert_int32(b[n_starts], c.n_starts) < 0);
  return failed ? -1 : 0;
}

int refuse_none(const ConvertedArguments& c) {
  const std::pair<const ArrayArgument*, Parameter> arrays[] = {
      {&c.x_data, x_data},       {&c.y_data, y_data},       {&c.populations, populations},
      {&c.pulse_energy, pulse_energy}, {&c.spec_pars, spec_pars}, {&c.fit_indices, fit_indices},
  };
  for (const auto& [array, parameter] : arrays) {
    if (array->is_none()) {
      PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None",
                   parameter_names[parameter]);
      return -1;
    }
  }
  return 0;
}

// Checks every index against 0..7 (the first offender is reported) and makes
// the 1-based copy the compute core works with.
int one_based_copy(std::span<const std::int32_t> indices, std::vector<std::int32_t>& one_based) {
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] < 0 || indices[i] > max_fit_index) {
      PyErr_Format(PyExc_ValueError, "fit_indices[%zd]=%d out of range [0,7]",
                   static_cast<Py_ssize_t>(i), indices[i]);
      return -1;
    }
  }
  one_based.resize(indices.size());
  for (std::size_t i = 0; i < indices.size(); ++i) one_based[i] = indices[i] + 1;
  return 0;
}

PyObject* fit_zscan_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArguments bound;
  if (bind_arguments(args, nargs, kwnames, bound) < 0) return nullptr;
  ConvertedArguments c;
  if (convert_arguments(bound, c) < 0 || refuse_none(c) < 0) return nullptr;
  std::vector<std::int32_t> one_based;
  if (one_based_copy(c.fit_indices.int32s(), one_based) < 0) return nullptr;
  const FitRequest request{
      c.x_data.doubles(), c.y_data.doubles(), c.populations.doubles(),
      c.pulse_energy.doubles(), c.spec_pars.doubles(), c.fit_indices.int32s(), one_based,
      c.t_slices, c.z_slices, c.sample_width, c.tau, c.wavelength, c.w0, c.M2,
      c.num_x_pts, c.num_datasets, c.is_sa, c.n_starts,
  };
  return run_multistart_fit(request);
}

// The one place where C++ exceptions end: they become Python exceptions.
PyObject* fit_zscan_call(PyObject* self, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) noexcept {
  PyObject* result = nullptr;
  try {
    result = fit_zscan_body(args, PyVectorcall_NARGS(nargsf), kwnames);
  } catch (const std::bad_alloc&) {
    // The memory check runs before any fit, but it is an estimate and other
    // processes keep allocating: say where the memory ran out.
    PyErr_SetString(PyExc_MemoryError,
                    "out of memory while fitting: a working array of a start could not be "
                    "allocated");
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "fit_zscan: unexpected C++ exception");
  }
  if (result == nullptr && PyErr_Occurred())
    add_traceback_entry("tarnok_wrapper.fit_zscan", "fit_zscan.cpp", __LINE__,
                        function_globals(self));
  return result;
}

}  // namespace

int init_fit_zscan_names() noexcept {
  for (std::size_t i = 0; i < interned_names.size(); ++i) {
    if (interned_names[i] != nullptr) continue;
    interned_names[i] = PyUnicode_InternFromString(parameter_names[i]);
    if (interned_names[i] == nullptr) return -1;
  }
  return 0;
}

PyObject* new_fit_zscan(PyObject* globals) noexcept {
  PyHandle defaults = steal(Py_BuildValue("(Oi)", Py_False, 3));
  if (!defaults) return nullptr;
  const FunctionDescription description{
      function_name, docstring,  "tarnok_wrapper", fit_zscan_call,
      parameter_names, defaults.get(), globals,
  };
  return new_function(description);
}

}  // namespace tarnok::module
