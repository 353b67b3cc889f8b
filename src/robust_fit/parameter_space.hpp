// The space the solver moves in: each parameter is fitted either in u = ln p (positive
// quantities spanning decades) or in u = p / scale (e.g. a focus position in mm, scale 1,
// or a Kerr index of either sign near 1e-19 m^2/W, scale 1e-19), within optional bounds.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace tarnok::robust_fit {

// How one parameter is fitted.
struct ParameterSetting {
  bool log_scale = true;                                      // fit u = ln p (p must stay > 0)
  double lower = -std::numeric_limits<double>::infinity();   // natural lower bound, -inf = none
  double upper = std::numeric_limits<double>::infinity();    // natural upper bound, +inf = none
  // Linear parameters only: u = p / scale, so that the solver's absolute tolerances
  // mean the same for a parameter of order 1e-19 as for one of order 1.
  double scale = 1.0;
};

// The parameters of one problem, with conversions between natural values p and the
// solver's internal coordinates u.
class ParameterSpace {
 public:
  // Throws std::invalid_argument when a bound is NaN, lower > upper, a finite bound
  // of a log-scale parameter is not positive, or a scale is not finite and positive.
  explicit ParameterSpace(std::vector<ParameterSetting> settings);

  std::size_t size() const { return settings_.size(); }
  const ParameterSetting& setting(std::size_t i) const { return settings_[i]; }

  // Bounds in u: ln of the natural bounds for log-scale parameters (-inf for none),
  // the natural bounds over the scale for linear ones.
  double internal_lower(std::size_t i) const { return internal_lower_[i]; }
  double internal_upper(std::size_t i) const { return internal_upper_[i]; }

  // Throws std::invalid_argument unless p has size() finite values, positive where log-scale.
  void check_point(std::span<const double> p) const;

  // Copies p into the box [lower, upper].
  std::vector<double> clamped(std::span<const double> p) const;

  // u from p (p valid per check_point).
  void to_internal(std::span<const double> p, std::span<double> u) const;

  // p from u, clamped to the natural bounds so that rounding in exp(ln bound) never
  // leaves the box; u on an internal bound gives exactly the natural bound.
  void to_natural(std::span<const double> u, std::span<double> p) const;

  // Moves u onto the box [internal_lower, internal_upper].
  void project(std::span<double> u) const;

  // Chain rule: dr/du from dr/dp (rows x size(), column-major) at natural values p;
  // a log-scale column is multiplied by p since dp/du = p, a linear one by its scale.
  void jacobian_to_internal(std::span<const double> p, std::span<const double> jacobian,
                            std::span<double> internal_jacobian) const;

 private:
  std::vector<ParameterSetting> settings_;
  std::vector<double> internal_lower_;
  std::vector<double> internal_upper_;
};

}  // namespace tarnok::robust_fit
