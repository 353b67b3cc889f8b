// The Bessel functions J0 and J1 of a real argument, which the Hankel
// transform of a radially symmetric field needs, by Miller's backward
// recurrence: J_{n-1} = (2n / x) J_n - J_{n+1} run down from far above the
// argument, where it is stable, and scaled by 1 = J0 + 2 (J2 + J4 + ...).
// Starting max(x, 1) + 30 + 8 x^(1/3) orders up leaves the neglected J's
// below 1e-17 of the sum, so both come out to a few units of roundoff
// (absolute) at every argument.
#pragma once

#include <algorithm>
#include <cmath>

namespace tarnok::engine {

struct BesselJ01 {
  double j0 = 1.0;
  double j1 = 0.0;
};

inline BesselJ01 bessel_j01(double x) noexcept {
  const double a = std::abs(x);
  BesselJ01 r;
  if (a < 1e-3) {
    // Series to x^4 / x^5: the next terms are below 1e-20.
    const double q = 0.25 * a * a;
    r.j0 = 1.0 - q * (1.0 - 0.25 * q);
    r.j1 = 0.5 * a * (1.0 - 0.5 * q * (1.0 - q / 6.0));
  } else {
    int top = static_cast<int>(std::max(a, 1.0) + 30.0 + 8.0 * std::cbrt(a));
    top += top % 2;  // even, so the normalisation sum pairs up
    constexpr double rescale_above = 1e250;
    double above = 0.0, current = 1e-30, sum = 0.0;
    const double inverse = 2.0 / a;
    for (int n = top; n > 0; --n) {
      const double below = n * inverse * current - above;
      above = current;
      current = below;  // J_{n-1} up to a common factor
      if ((n - 1) % 2 == 0 && n - 1 > 0) sum += current;
      if (std::abs(current) > rescale_above) {
        current /= rescale_above;
        above /= rescale_above;
        sum /= rescale_above;
      }
    }
    // The last step (n = 1) leaves J0 in current and J1 in above.
    const double norm = current + 2.0 * sum;
    r.j0 = current / norm;
    r.j1 = above / norm;
  }
  if (x < 0.0) r.j1 = -r.j1;
  return r;
}

}  // namespace tarnok::engine
