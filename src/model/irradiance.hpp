// The table of incident on-axis irradiance (position, time slice, dataset),
// built once per start because it does not depend on the fitted parameters,
// and the views through which the model reads it.
#pragma once

#include <cstddef>
#include <span>

namespace tarnok::model {

// One dataset's plane of the table: rows are positions, columns time slices,
// stored column-major with the position index fastest.
class IrradiancePlane {
 public:
  constexpr IrradiancePlane() noexcept = default;
  constexpr IrradiancePlane(const double* data, std::size_t rows,
                            std::size_t cols) noexcept
      : data_(data), rows_(rows), cols_(cols) {}

  constexpr double operator()(std::size_t row, std::size_t col) const noexcept {
    return data_[row + col * rows_];
  }
  constexpr std::size_t rows() const noexcept { return rows_; }
  constexpr std::size_t cols() const noexcept { return cols_; }

 private:
  const double* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
};

// Non-owning view of the whole table, column-major (position, time, dataset).
class IrradianceTable {
 public:
  constexpr IrradianceTable() noexcept = default;
  constexpr IrradianceTable(const double* data, std::size_t num_x_pts,
                            std::size_t t_slices, std::size_t num_datasets) noexcept
      : data_(data), num_x_pts_(num_x_pts), t_slices_(t_slices),
        num_datasets_(num_datasets) {}

  // Plane of dataset `dataset` (0-based).
  constexpr IrradiancePlane plane(std::size_t dataset) const noexcept {
    return {data_ + dataset * num_x_pts_ * t_slices_, num_x_pts_, t_slices_};
  }
  constexpr const double* data() const noexcept { return data_; }
  constexpr std::size_t num_x_pts() const noexcept { return num_x_pts_; }
  constexpr std::size_t t_slices() const noexcept { return t_slices_; }
  constexpr std::size_t num_datasets() const noexcept { return num_datasets_; }

 private:
  const double* data_ = nullptr;
  std::size_t num_x_pts_ = 0;
  std::size_t t_slices_ = 0;
  std::size_t num_datasets_ = 0;
};

// Beam and pulse that every element of the table shares.
struct BeamSettings {
  double tau;  // pulse duration parameter
  double w0;   // beam waist
  double z_R;  // Rayleigh range
};

// Fills table (num_x_pts * t_grid.size() * pulse_energy.size() values) with
// beam_irradiance at radius 0, time t_grid[j], position x_pos of the element
// and the dataset's pulse energy. x_pos is dataset-major and in the length
// unit of w0 (metres). Loops run dataset outermost, position innermost.
void fill_irradiance_table(std::span<double> table, std::span<const double> x_pos,
                           std::span<const double> t_grid,
                           std::span<const double> pulse_energy,
                           std::size_t num_x_pts, const BeamSettings& beam) noexcept;

}  // namespace tarnok::model
