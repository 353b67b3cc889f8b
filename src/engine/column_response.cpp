#include "engine/column_response.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace tarnok::engine {

namespace {

constexpr std::size_t most_width = 32;

// cos(pi m / (n - 1)) for m in [0, 2 (n - 1)), for the point counts used:
// the Chebyshev points cos(pi k / (n - 1)) and the cosine transform that
// turns values there into coefficients.
class CosineTable {
 public:
  explicit CosineTable(std::size_t points) : intervals_(points - 1), cosines_(2 * intervals_) {
    for (std::size_t m = 0; m < cosines_.size(); ++m)
      cosines_[m] = std::cos(std::numbers::pi * static_cast<double>(m) / static_cast<double>(intervals_));
  }
  double of(std::size_t j, std::size_t k) const noexcept { return cosines_[(j * k) % cosines_.size()]; }
  double point(std::size_t k) const noexcept { return cosines_[k]; }

 private:
  std::size_t intervals_;
  std::vector<double> cosines_;
};

const CosineTable& cosines(std::size_t points) {
  static const std::array<CosineTable, 3> tables{CosineTable(9), CosineTable(17), CosineTable(33)};
  switch (points) {
    case 9: return tables[0];
    case 17: return tables[1];
    case 33: return tables[2];
    default: throw std::logic_error("no Chebyshev points of that count");
  }
}

// A panel being refined: its samples at its n Chebyshev points, point-major
// (point k at the panel's centre + half-width cos(pi k / (n - 1))).
struct Pending {
  double lo = 0.0, hi = 0.0;
  std::size_t points = 0;
  std::size_t splits = 0;
  std::vector<double> values;  // points * width; empty before the first samples
};

double point_of(const Pending& p, std::size_t k) noexcept {
  return 0.5 * (p.lo + p.hi) + 0.5 * (p.hi - p.lo) * cosines(p.points).point(k);
}

// The Chebyshev coefficients of function f from its values at the n points.
void coefficients_of(const Pending& p, std::size_t width, std::size_t f, std::span<double> c) {
  const std::size_t n = p.points;
  const CosineTable& table = cosines(n);
  const double scale = 2.0 / static_cast<double>(n - 1);
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      const double term = p.values[k * width + f] * table.of(j, k);
      sum += (k == 0 || k == n - 1) ? 0.5 * term : term;
    }
    c[j] = scale * sum;
  }
  c[0] *= 0.5;
  c[n - 1] *= 0.5;
}

// Whether function 0 is resolved: its last three coefficients below the
// tolerance on its scale.
bool resolved(const Pending& p, std::size_t width, double tolerance, double scale) {
  std::array<double, ChebyshevPanels::most_points> c{};
  coefficients_of(p, width, 0, std::span(c).first(p.points));
  double tail = 0.0;
  for (std::size_t j = p.points - 3; j < p.points; ++j) {
    // A curve that cannot be evaluated there (NaN) gains nothing from more points.
    if (!std::isfinite(c[j])) return true;
    tail = std::max(tail, std::abs(c[j]));
  }
  return tail <= tolerance * scale;
}

}  // namespace

ChebyshevPanels::ChebyshevPanels(double lo, double hi, std::size_t width,
                                 const PanelSampler& sample, const PanelSettings& settings)
    : width_(width) {
  if (width == 0 || width > most_width) throw std::invalid_argument("panel functions: 1 to 32");
  if (!(lo <= hi) || !std::isfinite(lo) || !std::isfinite(hi))
    throw std::invalid_argument("panel range must be finite and ordered");
  if (hi - lo < min_span) {
    const double centre = 0.5 * (lo + hi);
    lo = centre - 0.5 * min_span;
    hi = centre + 0.5 * min_span;
  }
  const auto first_panels = static_cast<std::size_t>(std::ceil((hi - lo) / settings.first_width));
  std::vector<Pending> pending(std::max<std::size_t>(first_panels, 1));
  for (std::size_t i = 0; i < pending.size(); ++i) {
    const double step = (hi - lo) / static_cast<double>(pending.size());
    pending[i].lo = lo + step * static_cast<double>(i);
    pending[i].hi = i + 1 == pending.size() ? hi : lo + step * static_cast<double>(i + 1);
    pending[i].points = first_points;
  }
  std::vector<Pending> finished;
  std::vector<double> x, values;
  double scale = 0.0;  // of function 0, over every sample so far
  while (!pending.empty()) {
    // Sample every pending panel's new points in one call: the points a
    // panel lacks are all of them at first and the odd ones after it grew.
    x.clear();
    for (const Pending& p : pending)
      for (std::size_t k = p.values.empty() ? 0 : 1; k < p.points; k += p.values.empty() ? 1 : 2)
        x.push_back(point_of(p, k));
    values.assign(x.size() * width, 0.0);
    sample(x, values);
    samples_ += x.size();
    std::size_t next = 0;
    for (Pending& p : pending) {
      std::vector<double> merged(p.points * width);
      for (std::size_t k = 0; k < p.points; ++k) {
        const bool old = !p.values.empty() && k % 2 == 0;
        const double* from = old ? p.values.data() + (k / 2) * width : values.data() + (next++) * width;
        std::copy(from, from + width, merged.data() + k * width);
        scale = std::max(scale, std::abs(merged[k * width]));
      }
      p.values = std::move(merged);
    }
    std::vector<Pending> again;
    for (Pending& p : pending) {
      if (resolved(p, width, settings.tolerance, scale) ||
          (p.points == most_points && p.splits >= settings.most_splits)) {
        finished.push_back(std::move(p));
      } else if (p.points < most_points) {
        p.points = 2 * p.points - 1;
        again.push_back(std::move(p));
      } else {
        const double middle = 0.5 * (p.lo + p.hi);
        again.push_back(Pending{p.lo, middle, first_points, p.splits + 1, {}});
        again.push_back(Pending{middle, p.hi, first_points, p.splits + 1, {}});
      }
    }
    pending = std::move(again);
  }
  std::sort(finished.begin(), finished.end(),
            [](const Pending& a, const Pending& b) { return a.lo < b.lo; });
  std::array<double, most_points> c{};
  for (const Pending& p : finished) {
    edges_.push_back(p.lo);
    upper_.push_back(p.hi);
    points_.push_back(p.points);
    offsets_.push_back(coefficients_.size());
    coefficients_.resize(coefficients_.size() + p.points * width);
    double* panel = coefficients_.data() + offsets_.back();
    for (std::size_t f = 0; f < width; ++f) {
      coefficients_of(p, width, f, std::span(c).first(p.points));
      for (std::size_t j = 0; j < p.points; ++j) panel[j * width + f] = c[j];
    }
  }
}

void ChebyshevPanels::evaluate(double x, std::span<double> out) const noexcept {
  // The panel whose lower edge is the last at or below x.
  const auto after = std::upper_bound(edges_.begin(), edges_.end(), x);
  const std::size_t panel = after == edges_.begin() ? 0 : static_cast<std::size_t>(after - edges_.begin()) - 1;
  const double lo = edges_[panel], hi = upper_[panel];
  const double t = std::clamp((2.0 * x - lo - hi) / (hi - lo), -1.0, 1.0);
  const double* c = coefficients_.data() + offsets_[panel];
  const std::size_t n = points_[panel];
  // Clenshaw's recurrence for every function at once.
  std::array<double, most_width> b1{}, b2{};
  for (std::size_t j = n - 1; j >= 1; --j) {
    for (std::size_t f = 0; f < width_; ++f) {
      const double b = 2.0 * t * b1[f] - b2[f] + c[j * width_ + f];
      b2[f] = b1[f];
      b1[f] = b;
    }
  }
  for (std::size_t f = 0; f < width_; ++f) out[f] = t * b1[f] - b2[f] + c[f];
}

}  // namespace tarnok::engine
