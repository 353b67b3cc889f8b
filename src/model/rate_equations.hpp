// The five-level rate equations of the sample and the attenuation of the light
// through one depth slice, each advanced over one interval by one fresh DLSODA
// integration with fixed options.
//
// The integrator's right-hand side carries no context argument, so the nine
// rate constants travel in a per-thread block (RateConstants): the model sets
// it at the start of every evaluation and the right-hand sides read the copy of
// the thread that calls them, without locks.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tarnok::model {

// Rate constants of the level system for the evaluation in progress on this
// thread. Cross-sections are held as given; lifetimes as their reciprocals.
struct RateConstants {
  double inv_photon_energy = 0.0;  // 1/(h*nu): irradiance -> photon flux
  double sigma_12 = 0.0;           // absorption 1 -> 2
  double sigma_23 = 0.0;           // absorption 2 -> 3
  double sigma_45 = 0.0;           // absorption 4 -> 5
  double k21 = 0.0;                // decay 2 -> 1
  double k24 = 0.0;                // transfer 2 -> 4
  double k32 = 0.0;                // decay 3 -> 2
  double k41 = 0.0;                // decay 4 -> 1
  double k54 = 0.0;                // decay 5 -> 4
};

// This thread's rate constants: written by the model, read by the right-hand sides.
void set_rate_constants(const RateConstants& rates) noexcept;
RateConstants current_rate_constants() noexcept;

// State vectors are six long: the integrated unknowns first, then the values
// the right-hand side reads as fixed inputs. The integrator touches only the
// first NEQ elements, so the carried ones survive every call unchanged.
//   population order:  (N1, N2, N3, N4, N5, I)   NEQ = 5
//   attenuation order: (I, N1, N2, N3, N4, N5)   NEQ = 1
inline constexpr std::size_t state_size = 6;
using StateVector = std::array<double, state_size>;

// Lengths of the integrator's work arrays: 22 + 16*5 reals and 20 + 5 integers
// suffice for five equations with an internally generated full Jacobian.
inline constexpr int real_work_length = 102;
inline constexpr int integer_work_length = 25;
using RealWork = std::array<double, real_work_length>;
using IntegerWork = std::array<int, integer_work_length>;

// dN/dt of the five populations at the irradiance y[5] (integrator RHS form).
void population_rhs(const int* neq, const double* t, const double* y,
                    double* ydot) noexcept;
// dI/dz of the irradiance y[0] at the populations y[1..5] (integrator RHS form).
void attenuation_rhs(const int* neq, const double* t, const double* y,
                     double* ydot) noexcept;
// Jacobian routine for the integrator; never called with an internally
// generated Jacobian.
void no_jacobian(const int* neq, const double* t, const double* y, const int* ml,
                 const int* mu, double* pd, const int* nrowpd) noexcept;

// Copy y_in to y_out and advance the populations in y_out from t0 to tout with
// one integrator call. The integrator's status is not examined: on failure
// y_out holds whatever it left (its diagnostic is printed).
void step_populations(const StateVector& y_in, double t0, double tout,
                      RealWork& rwork, IntegerWork& iwork,
                      StateVector& y_out) noexcept;
// The same for the irradiance through a slice, from depth t0 to tout.
void step_attenuation(const StateVector& y_in, double t0, double tout,
                      RealWork& rwork, IntegerWork& iwork,
                      StateVector& y_out) noexcept;

// Number of integrator calls the steps have made on this thread; lets a test
// check the model's work without instrumenting the integrator.
std::uint64_t integrator_calls_on_this_thread() noexcept;

}  // namespace tarnok::model
