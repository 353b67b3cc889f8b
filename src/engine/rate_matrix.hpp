// The population equations of one depth slice under constant irradiance,
// dN/dt = A N with A = D + F S: D holds the spontaneous decays, S the
// absorptions per unit photon flux F. Both, and their partial derivatives with
// respect to each spectroscopic parameter, are fixed for a whole evaluation;
// only F changes from cell to cell.
#pragma once

#include "engine/matrix_exponential.hpp"
#include "engine/parameters.hpp"
#include "model/rate_equations.hpp"

namespace tarnok::engine {

struct RateMatrices {
  Matrix5 decay;       // D: k21, k24, k32, k41, k54 terms
  Matrix5 absorption;  // S: sigma_12, sigma_23, sigma_45 terms
  // Attenuation coefficient per population: alpha = absorbers . N.
  Vector5 absorbers;
  double inv_photon_energy = 0.0;  // irradiance -> photon flux
};

RateMatrices rate_matrices(const model::RateConstants& rates) noexcept;

// The partial derivatives of D, S and the absorbers with respect to one
// parameter (zero for the beam parameters, which act through F alone).
struct RateMatrixPartials {
  Matrix5 decay;
  Matrix5 absorption;
  Vector5 absorbers;
};

RateMatrixPartials rate_matrix_partials(const ParameterVector& values,
                                        Parameter parameter) noexcept;

}  // namespace tarnok::engine
