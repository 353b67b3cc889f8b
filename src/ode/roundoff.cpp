// Unit roundoff of double arithmetic, found by halving until 1 + u/2 rounds
// back to 1.
#include "ode/roundoff.hpp"

namespace tarnok::ode {
namespace {

double search_unit_roundoff() noexcept {
  double u = 1.0;
  // Each sum goes through a volatile so it is rounded to a true double and
  // never kept at a wider register precision, which would find a smaller u.
  volatile double sum = 1.0 + u / 2.0;
  while (sum != 1.0) {
    u /= 2.0;
    sum = 1.0 + u / 2.0;
  }
  return u;
}

}  // namespace

double unit_roundoff() noexcept {
  static const double u = search_unit_roundoff();
  return u;
}

}  // namespace tarnok::ode
