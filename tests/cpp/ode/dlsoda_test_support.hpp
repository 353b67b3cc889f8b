// Shared scaffolding for the DLSODA tests: one integration with its own work
// arrays and state, plus the expected forms of printed diagnostic lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ode/dlsoda.hpp"
#include "ode/messages.hpp"

namespace tarnok::ode::testing {

inline void no_jacobian(const int*, const double*, const double*, const int*, const int*,
                        double*, const int*) noexcept {}

// RWORK length for n equations, default orders and a full Jacobian: the
// larger of the Adams and BDF prefixes, then three n-vectors.
inline int full_real_length(int n) {
  const int adams = 20 + 13 * n;
  const int bdf = 20 + 6 * n + n * n + 2;
  return (adams > bdf ? adams : bdf) + 3 * n;
}

// Owns everything one DLSODA integration needs. The arrays carry a guard
// region past their declared lengths so that a write outside them is seen.
struct Integration {
  static constexpr int kGuard = 64;
  static constexpr double kRealGuard = -7.25e77;
  static constexpr int kIntGuard = -777777;

  RhsFn rhs;
  JacFn jacobian = no_jacobian;
  int neq;
  std::vector<double> y;
  double t = 0.0;
  double tout = 0.0;
  int itol = 1;
  std::vector<double> rtol{1.0e-6};
  std::vector<double> atol{1.0e-6};
  int itask = 1;
  int istate = 1;
  int iopt = 0;
  int lrw;
  int liw;
  int jt = 2;
  std::vector<double> rwork;
  std::vector<int> iwork;
  LsodaState state;

  Integration(RhsFn f, std::vector<double> y0, int real_length, int int_length)
      : rhs(f), neq(static_cast<int>(y0.size())), y(std::move(y0)), lrw(real_length),
        liw(int_length), rwork(static_cast<std::size_t>(real_length + kGuard), kRealGuard),
        iwork(static_cast<std::size_t>(int_length + kGuard), kIntGuard) {
    // Zero within the declared lengths: every optional input at its default.
    std::fill(rwork.begin(), rwork.begin() + real_length, 0.0);
    std::fill(iwork.begin(), iwork.begin() + int_length, 0);
  }

  // A negative ISTATE ends the process by design; only a death test may pass one.
  bool expect_fatal_stop = false;

  void run_to(double next_tout) {
    if (istate < 0 && !expect_fatal_stop) {
      ADD_FAILURE() << "ISTATE " << istate << " passed back in; reset it first";
      return;
    }
    tout = next_tout;
    DLSODA(rhs, &neq, y.data(), &t, &tout, &itol, rtol.data(), atol.data(), &itask, &istate,
           &iopt, rwork.data(), &lrw, iwork.data(), &liw, jacobian, &jt, state);
  }

  void set_tolerances(double relative, double absolute) {
    rtol.assign(1, relative);
    atol.assign(1, absolute);
    itol = 1;
  }

  // Optional inputs live in slots DLSODA may also write; the guard regions
  // start past the declared lengths.
  double& r(int slot) { return rwork[static_cast<std::size_t>(slot)]; }
  int& i(int slot) { return iwork[static_cast<std::size_t>(slot)]; }
  int nst() const { return iwork[iwork_slot::NST]; }
  int nrhs() const { return iwork[iwork_slot::NRHS]; }
  int njac() const { return iwork[iwork_slot::NJAC]; }
  int mlast() const { return iwork[iwork_slot::MLAST]; }
  int mnext() const { return iwork[iwork_slot::MNEXT]; }
  double tcur() const { return rwork[rwork_slot::TCUR]; }
  double hu() const { return rwork[rwork_slot::HU]; }

  bool guards_intact() const {
    for (int k = 0; k < kGuard; ++k) {
      if (rwork[static_cast<std::size_t>(lrw + k)] != kRealGuard) return false;
      if (iwork[static_cast<std::size_t>(liw + k)] != kIntGuard) return false;
    }
    return true;
  }
};

// --- expected diagnostic lines ---------------------------------------------------

inline std::string text_line(const std::string& text, std::size_t width = 60) {
  return " " + text + std::string(width - text.size(), ' ') + "\n";
}

inline std::string d_real(double value) {
  char out[22];
  format_d_real(value, out);
  return out;
}

inline std::string int_field(int value) {
  std::string digits = std::to_string(value);
  return std::string(10 - digits.size(), ' ') + digits;
}

inline std::string ints_line(int i1) { return "      In above message,  I1 =" + int_field(i1) + "\n"; }
inline std::string ints_line(int i1, int i2) {
  return "      In above message,  I1 =" + int_field(i1) + "   I2 =" + int_field(i2) + "\n";
}
inline std::string reals_line(double r1) {
  return "      In above message,  R1 =" + d_real(r1) + "\n";
}
inline std::string reals_line(double r1, double r2) {
  return "      In above,  R1 =" + d_real(r1) + "   R2 =" + d_real(r2) + "\n";
}

}  // namespace tarnok::ode::testing
