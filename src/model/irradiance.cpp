#include "model/irradiance.hpp"

#include "model/beam.hpp"

namespace tarnok::model {

void fill_irradiance_table(std::span<double> table, std::span<const double> x_pos,
                           std::span<const double> t_grid,
                           std::span<const double> pulse_energy,
                           std::size_t num_x_pts, const BeamSettings& beam) noexcept {
  constexpr double on_axis = 0.0;
  const std::size_t t_slices = t_grid.size();
  std::size_t element = 0;
  for (std::size_t d = 0; d < pulse_energy.size(); ++d) {
    const std::size_t first_position = d * num_x_pts;
    for (std::size_t j = 0; j < t_slices; ++j) {
      for (std::size_t i = 0; i < num_x_pts; ++i) {
        table[element++] =
            beam_irradiance(on_axis, t_grid[j], x_pos[first_position + i],
                            pulse_energy[d], beam.tau, beam.w0, beam.z_R);
      }
    }
  }
}

}  // namespace tarnok::model
