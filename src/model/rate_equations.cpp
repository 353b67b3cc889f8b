#include "model/rate_equations.hpp"

#include <algorithm>

#include "ode/dlsoda.hpp"

namespace tarnok::model {

namespace {

// Constant-initialised and defined beside the right-hand sides, so reading it
// needs no initialisation guard on the hot path.
constinit thread_local RateConstants thread_rates{};
constinit thread_local std::uint64_t thread_integrator_calls = 0;

// Options every step uses: scalar tolerances, normal output at TOUT, a fresh
// problem on every call, no optional inputs, internally generated full Jacobian.
constexpr int scalar_tolerances = 1;
constexpr double tolerance = 1.0e-6;
constexpr int normal_output = 1;
constexpr int first_call = 1;
constexpr int no_optional_inputs = 0;
constexpr int internal_full_jacobian = 2;
constexpr int population_equations = 5;
constexpr int attenuation_equations = 1;

// One complete integration of y[0 .. neq-1] from t0 to tout. The integrator's
// persistent state is a local of this call, so integrations share nothing,
// whichever thread runs them.
void integrate_once(ode::RhsFn rhs, int equations, double* y, double t0,
                    double tout, RealWork& rwork, IntegerWork& iwork) noexcept {
  int neq = equations;
  double t = t0;
  int istate = first_call;
  ode::LsodaState state;
  ode::DLSODA(rhs, &neq, y, &t, &tout, &scalar_tolerances, &tolerance, &tolerance,
              &normal_output, &istate, &no_optional_inputs, rwork.data(),
              &real_work_length, iwork.data(), &integer_work_length, no_jacobian,
              &internal_full_jacobian, state);
  ++thread_integrator_calls;
}

}  // namespace

void set_rate_constants(const RateConstants& rates) noexcept { thread_rates = rates; }

RateConstants current_rate_constants() noexcept { return thread_rates; }

void population_rhs(const int* /*neq*/, const double* /*t*/, const double* y,
                    double* ydot) noexcept {
  const RateConstants& r = thread_rates;
  const double n1 = y[0], n2 = y[1], n3 = y[2], n4 = y[3], n5 = y[4];
  const double flux = r.inv_photon_energy * y[5];
  ydot[0] = r.k21 * n2 - r.sigma_12 * flux * n1 + r.k41 * n4;
  ydot[1] = (r.sigma_12 * flux * n1 + r.k32 * n3) -
            (r.k21 * n2 + r.k24 * n2 + r.sigma_23 * flux * n2);
  ydot[2] = r.sigma_23 * flux * n2 - r.k32 * n3;
  ydot[3] = r.k24 * n2 - (r.k41 * n4 + r.sigma_45 * flux * n4) + r.k54 * n5;
  ydot[4] = r.sigma_45 * flux * n4 - r.k54 * n5;
}

void attenuation_rhs(const int* /*neq*/, const double* /*t*/, const double* y,
                     double* ydot) noexcept {
  const RateConstants& r = thread_rates;
  ydot[0] = -y[0] * (r.sigma_12 * y[1] + r.sigma_23 * y[2] + r.sigma_45 * y[4]);
}

void no_jacobian(const int* /*neq*/, const double* /*t*/, const double* /*y*/,
                 const int* /*ml*/, const int* /*mu*/, double* /*pd*/,
                 const int* /*nrowpd*/) noexcept {}

void step_populations(const StateVector& y_in, double t0, double tout,
                      RealWork& rwork, IntegerWork& iwork,
                      StateVector& y_out) noexcept {
  y_out = y_in;
  integrate_once(population_rhs, population_equations, y_out.data(), t0, tout,
                 rwork, iwork);
}

void step_attenuation(const StateVector& y_in, double t0, double tout,
                      RealWork& rwork, IntegerWork& iwork,
                      StateVector& y_out) noexcept {
  y_out = y_in;
  integrate_once(attenuation_rhs, attenuation_equations, y_out.data(), t0, tout,
                 rwork, iwork);
}

std::uint64_t integrator_calls_on_this_thread() noexcept {
  return thread_integrator_calls;
}

}  // namespace tarnok::model
