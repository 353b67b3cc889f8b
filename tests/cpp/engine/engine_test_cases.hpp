// Parameter sets the engine tests share: the bundled example, a picosecond
// and a stiff nanosecond case. Units: metres, seconds, joules, millimetres
// for positions.
#pragma once

#include <vector>

#include "engine/curve_model.hpp"
#include "engine/experiment.hpp"
#include "engine/parameters.hpp"
#include "model/linspace.hpp"

namespace tarnok::testing {

struct EngineCase {
  const char* name;
  engine::Experiment experiment;
  engine::ParameterVector values;  // spectroscopic, energy scale, z0
  std::vector<double> pulse_energies;
};

inline engine::Experiment experiment_of(double tau, std::int32_t t_slices, std::int32_t z_slices,
                                        double n1 = 1e23) {
  engine::Experiment e;
  e.wavelength = 532e-9;
  e.w0 = 20e-6;
  e.M2 = 1.0;
  e.tau = tau;
  e.thickness = 1e-3;
  e.populations = {n1, 0.0, 0.0, 0.0, 0.0};
  e.t_slices = t_slices;
  e.z_slices = z_slices;
  return e;
}

inline std::vector<EngineCase> engine_cases() {
  return {
      {"bundled example", experiment_of(5e-9, 15, 8),
       {2e-21, 5e-21, 3e-20, 8e-9, 4e-9, 1e-10, 1e-6, 1e-10, 1.0, 0.0},
       {2e-4, 8e-4, 3.2e-3}},
      {"picosecond", experiment_of(30e-12, 21, 11),
       {4e-21, 2e-20, 1e-20, 1e-9, 3e-9, 2e-12, 1e-6, 5e-12, 1.0, 0.0},
       {2e-5, 1e-4, 5e-4}},
      {"stiff nanosecond", experiment_of(5e-9, 21, 11),
       {2e-21, 1e-20, 3e-20, 8e-9, 4e-9, 3e-13, 1e-6, 5e-13, 1.0, 0.0},
       {2e-4, 8e-4, 3.2e-3}},
  };
}

// n positions (mm) spread evenly over [-20, 20], the same for every energy.
inline engine::ScanLayout scan_layout(const std::vector<double>& energies, std::int32_t n = 41) {
  engine::ScanLayout layout;
  layout.pulse_energies = energies;
  layout.n_positions = static_cast<std::size_t>(n);
  std::vector<double> x(layout.n_positions);
  model::linspace(x.data(), -20.0, 20.0, n);
  for (std::size_t e = 0; e < energies.size(); ++e)
    layout.positions_mm.insert(layout.positions_mm.end(), x.begin(), x.end());
  return layout;
}

}  // namespace tarnok::testing
