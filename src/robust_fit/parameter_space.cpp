#include "robust_fit/parameter_space.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace tarnok::robust_fit {

namespace {

void check_setting(const ParameterSetting& setting, std::size_t i) {
  const std::string which = "parameter " + std::to_string(i) + ": ";
  if (std::isnan(setting.lower) || std::isnan(setting.upper))
    throw std::invalid_argument(which + "a bound is NaN");
  if (setting.lower > setting.upper) throw std::invalid_argument(which + "lower bound above upper bound");
  if (!setting.log_scale) {
    if (!(std::isfinite(setting.scale) && setting.scale > 0.0))
      throw std::invalid_argument(which + "the scale of a linear parameter must be finite and positive");
    return;
  }
  // ln of a bound <= 0 does not exist; an absent bound is spelled -inf, not 0.
  if (std::isfinite(setting.lower) && setting.lower <= 0.0)
    throw std::invalid_argument(which + "log-scale lower bound must be positive (omit it for none)");
  if (setting.upper <= 0.0) throw std::invalid_argument(which + "log-scale upper bound must be positive");
}

double internal_bound(const ParameterSetting& setting, double bound) {
  if (std::isinf(bound)) return bound;
  return setting.log_scale ? std::log(bound) : bound / setting.scale;
}

}  // namespace

ParameterSpace::ParameterSpace(std::vector<ParameterSetting> settings) : settings_(std::move(settings)) {
  internal_lower_.reserve(settings_.size());
  internal_upper_.reserve(settings_.size());
  for (std::size_t i = 0; i < settings_.size(); ++i) {
    check_setting(settings_[i], i);
    // An absent lower bound of a log parameter is -inf in u as well (p -> 0).
    internal_lower_.push_back(internal_bound(settings_[i], settings_[i].lower));
    internal_upper_.push_back(internal_bound(settings_[i], settings_[i].upper));
  }
}

void ParameterSpace::check_point(std::span<const double> p) const {
  if (p.size() != settings_.size())
    throw std::invalid_argument("expected " + std::to_string(settings_.size()) + " parameter values, got " +
                                std::to_string(p.size()));
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!std::isfinite(p[i]))
      throw std::invalid_argument("parameter " + std::to_string(i) + ": value is not finite");
    if (settings_[i].log_scale && p[i] <= 0.0)
      throw std::invalid_argument("parameter " + std::to_string(i) + ": log-scale value must be positive");
  }
}

std::vector<double> ParameterSpace::clamped(std::span<const double> p) const {
  std::vector<double> out(p.begin(), p.end());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::clamp(out[i], settings_[i].lower, settings_[i].upper);
  return out;
}

void ParameterSpace::to_internal(std::span<const double> p, std::span<double> u) const {
  for (std::size_t i = 0; i < settings_.size(); ++i)
    u[i] = settings_[i].log_scale ? std::log(p[i]) : p[i] / settings_[i].scale;
}

void ParameterSpace::to_natural(std::span<const double> u, std::span<double> p) const {
  for (std::size_t i = 0; i < settings_.size(); ++i) {
    // On an internal bound p is the natural bound itself: exp(ln b) may differ from b
    // in the last bit, and a parameter placed on its bound must read as exactly there.
    if (u[i] == internal_lower_[i]) {
      p[i] = settings_[i].lower;
    } else if (u[i] == internal_upper_[i]) {
      p[i] = settings_[i].upper;
    } else {
      const double value = settings_[i].log_scale ? std::exp(u[i]) : u[i] * settings_[i].scale;
      p[i] = std::clamp(value, settings_[i].lower, settings_[i].upper);
    }
  }
}

void ParameterSpace::project(std::span<double> u) const {
  for (std::size_t i = 0; i < settings_.size(); ++i) u[i] = std::clamp(u[i], internal_lower_[i], internal_upper_[i]);
}

void ParameterSpace::jacobian_to_internal(std::span<const double> p, std::span<const double> jacobian,
                                          std::span<double> internal_jacobian) const {
  const std::size_t rows = settings_.empty() ? 0 : jacobian.size() / settings_.size();
  for (std::size_t j = 0; j < settings_.size(); ++j) {
    const double factor = settings_[j].log_scale ? p[j] : settings_[j].scale;
    for (std::size_t i = 0; i < rows; ++i) internal_jacobian[j * rows + i] = jacobian[j * rows + i] * factor;
  }
}

}  // namespace tarnok::robust_fit
