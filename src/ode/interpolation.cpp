// Interpolation within the last step: Horner evaluation of the Nordsieck
// polynomial in s = (t - TCUR)/h, highest column first.
#include "ode/interpolation.hpp"

#include <cmath>

#include "ode/messages.hpp"

namespace tarnok::ode {
namespace {

constexpr int kBufferLength = 80;

// (j - 1)!/(j - 1 - k)! for 1-based column j: the factor that turns column j
// into the k-th derivative's coefficient. An exact integer product.
double derivative_factor(int j, int k) noexcept {
  long factor = 1;
  for (int i = j - k; i <= j - 1; ++i) factor *= i;
  return static_cast<double>(factor);
}

}  // namespace

void DINTDY(double t, int k, const double* z, int nh, double* dky, int& iflag,
            const LsodaState& state) noexcept {
  iflag = DINTDY_OK;
  const int q = state.q;
  if (k < 0 || k > q) {
    write_message("DINTDY-  K (=I1) illegal", kBufferLength, 30, 51, 0, 1, k, 0, 0, 0.0, 0.0);
    iflag = DINTDY_BAD_K;
    return;
  }
  const double margin =
      std::copysign(100.0 * state.roundoff * (std::abs(state.tcur) + std::abs(state.hu)), state.hu);
  const double tp = state.tcur - (state.hu + margin);
  const double tn1 = state.tcur + margin;
  if ((t - tp) * (t - tn1) > 0.0) {
    write_message("DINTDY-  T (=R1) illegal", kBufferLength, 30, 52, 0, 0, 0, 0, 1, t, 0.0);
    write_message("      T not in interval TCUR - HU (= R1) to TCUR (=R2)", kBufferLength, 60, 52,
                  0, 0, 0, 0, 2, tp, state.tcur);
    iflag = DINTDY_BAD_T;
    return;
  }

  const int n = state.n;
  const double s = (t - state.tcur) / state.h;
  auto column = [z, nh](int j) { return z + static_cast<long>(j - 1) * nh; };
  const int L = q + 1;
  const double* top = column(L);
  const double c_top = derivative_factor(L, k);
  for (int i = 0; i < n; ++i) dky[i] = c_top * top[i];
  for (int j = q; j >= k + 1; --j) {
    const double c = derivative_factor(j, k);
    const double* zj = column(j);
    for (int i = 0; i < n; ++i) dky[i] = c * zj[i] + s * dky[i];
  }
  if (k == 0) return;
  const double r = std::pow(state.h, -k);
  for (int i = 0; i < n; ++i) dky[i] = dky[i] * r;
}

}  // namespace tarnok::ode
