#include "robust_fit/start_points.hpp"

#include <algorithm>
#include <cmath>

namespace tarnok::robust_fit {

namespace {

std::vector<std::uint64_t> first_primes(std::size_t count) {
  std::vector<std::uint64_t> primes;
  for (std::uint64_t candidate = 2; primes.size() < count; ++candidate) {
    const bool prime = std::none_of(primes.begin(), primes.end(), [&](std::uint64_t p) { return candidate % p == 0; });
    if (prime) primes.push_back(candidate);
  }
  return primes;
}

// The base-b digits of index mirrored about the radix point: the Halton coordinate.
double radical_inverse(std::uint64_t index, std::uint64_t base) {
  double value = 0.0;
  double weight = 1.0 / static_cast<double>(base);
  for (; index > 0; index /= base) {
    value += static_cast<double>(index % base) * weight;
    weight /= static_cast<double>(base);
  }
  return value;
}

// SplitMix64: a well-mixed 64-bit value from any input, so nearby seeds give unrelated shifts.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

double rotation(std::uint64_t seed, std::size_t dimension) {
  if (seed == 0) return 0.0;
  const std::uint64_t bits = mix(mix(seed) + static_cast<std::uint64_t>(dimension));
  return static_cast<double>(bits >> 11) * 0x1.0p-53;  // uniform in [0, 1)
}

// The interval a parameter's starts spread over, in internal coordinates, or none
// when the parameter keeps the user's value.
struct Spread {
  double low = 0.0;
  double high = 0.0;
  bool spread = false;
};

Spread spread_of(const ParameterSetting& setting, double user_value) {
  const bool bounded = std::isfinite(setting.lower) && std::isfinite(setting.upper);
  if (!setting.log_scale) return bounded ? Spread{setting.lower, setting.upper, true} : Spread{};
  if (bounded) return {std::log(setting.lower), std::log(setting.upper), true};
  const double centre = std::clamp(user_value, setting.lower, setting.upper);
  const double low = std::max(centre / 10.0, setting.lower);
  const double high = std::min(centre * 10.0, setting.upper);
  return {std::log(low), std::log(high), true};
}

}  // namespace

std::vector<std::vector<double>> make_start_points(const ParameterSpace& space, std::span<const double> user_values,
                                                   std::size_t n_starts, std::uint64_t seed) {
  space.check_point(user_values);
  std::vector<Spread> spreads;
  for (std::size_t j = 0; j < space.size(); ++j) spreads.push_back(spread_of(space.setting(j), user_values[j]));
  const auto spread_count = static_cast<std::size_t>(std::count_if(spreads.begin(), spreads.end(),
                                                                   [](const Spread& s) { return s.spread; }));
  const std::vector<std::uint64_t> primes = first_primes(spread_count);

  std::vector<std::vector<double>> starts;
  if (n_starts == 0) return starts;
  starts.emplace_back(user_values.begin(), user_values.end());
  const std::vector<double> kept = space.clamped(user_values);
  // Halton index 0 is the all-zero corner; starting at 1 keeps every point interior
  // to the sequence's even coverage.
  for (std::uint64_t index = 1; index < n_starts; ++index) {
    std::vector<double> point = kept;
    std::size_t dimension = 0;
    for (std::size_t j = 0; j < space.size(); ++j) {
      if (!spreads[j].spread) continue;
      const double shifted = radical_inverse(index, primes[dimension]) + rotation(seed, dimension);
      const double unit = shifted - std::floor(shifted);
      const double internal = spreads[j].low + unit * (spreads[j].high - spreads[j].low);
      const double natural = space.setting(j).log_scale ? std::exp(internal) : internal;
      point[j] = std::clamp(natural, space.setting(j).lower, space.setting(j).upper);
      ++dimension;
    }
    starts.push_back(std::move(point));
  }
  return starts;
}

}  // namespace tarnok::robust_fit
