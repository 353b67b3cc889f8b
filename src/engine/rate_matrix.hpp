// The population equations of one depth slice under constant irradiance,
// dN/dt = A N with A = D + F S + F^2 T: D holds the spontaneous decays, S the
// absorptions per unit photon flux F, T the two-photon absorption, which takes
// two photons per transition. All three, and their partial derivatives with
// respect to each parameter of the sample, are fixed for a whole evaluation;
// only F changes from cell to cell.
#pragma once

#include "engine/matrix_exponential.hpp"
#include "engine/parameters.hpp"
#include "model/rate_equations.hpp"

namespace tarnok::engine {

struct RateMatrices {
  Matrix5 decay;       // D: k21, k24, k32, k41, k54 terms
  Matrix5 absorption;  // S: sigma_12, sigma_23, sigma_45 terms
  Matrix5 two_photon;  // T: delta_12 / 2, 1 -> 2
  // Attenuation coefficient per population: alpha = absorbers . N; the
  // two-photon coefficient beta = two_photon_absorbers . N (delta_12 / (h nu)
  // on level 1), so that the light loses beta I^2 per unit length.
  Vector5 absorbers;
  Vector5 two_photon_absorbers;
  double inv_photon_energy = 0.0;  // irradiance -> photon flux
};

RateMatrices rate_matrices(const model::RateConstants& rates, double delta_12) noexcept;

// The partial derivatives of D, S, T and the absorbers with respect to one
// parameter (zero for the beam parameters, which act through F alone).
struct RateMatrixPartials {
  Matrix5 decay;
  Matrix5 absorption;
  Matrix5 two_photon;
  Vector5 absorbers;
  Vector5 two_photon_absorbers;
};

RateMatrixPartials rate_matrix_partials(const ParameterVector& values, Parameter parameter,
                                        double inv_photon_energy) noexcept;

}  // namespace tarnok::engine
