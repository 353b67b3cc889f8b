// Binding of the robust multi-start fit.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "robust_fit/fit_status.hpp"

namespace tarnok::bindings {

// A short, stable name of a status for the Python side.
std::string status_name(robust_fit::FitStatus status);

void bind_fit(nanobind::module_& m);

}  // namespace tarnok::bindings
