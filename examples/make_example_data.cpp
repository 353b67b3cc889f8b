// Writes the bundled example: the open-aperture z-scan of a reverse saturable
// absorber at three pulse energies, computed with the model itself plus a
// little seeded Gaussian noise, and the settings and true parameters that
// produced it.
//
//   make_example_data [output directory, default "examples"]
//
// writes <dir>/example_data.csv (dataset, pulse_energy, x_mm, transmittance)
// and <dir>/example_truth.json.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "model/beam.hpp"
#include "model/irradiance.hpp"
#include "model/linspace.hpp"
#include "model/zscan_model.hpp"

namespace {

using namespace tarnok;

// Units: metres, seconds, joules; positions in millimetres.
struct Example {
  // sigma_12, sigma_23, sigma_45 (m^2); lifetimes 2->1, 2->4, 3->2, 4->1, 5->4 (s).
  // A triplet absorbing fifteen times more than the ground state, fed by
  // intersystem crossing within the pulse, darkens the sample at the focus;
  // at the highest energy the ground state is partly bleached, and that
  // saturation is what tells the two fitted cross-sections apart.
  std::array<double, 8> spec_pars{2e-21, 5e-21, 3e-20, 8e-9, 4e-9, 1e-10, 1e-6, 1e-10};
  // The ground-state and triplet cross-sections, 0-based as fit_zscan takes
  // them. Each start factor turns the true value into the example's start: a
  // factor of two off, upwards for sigma_12 and downwards for sigma_45, so
  // that fit_zscan's largest start multiplier (about 3.3) never drives the
  // triplet absorption deep into saturation, where a first Gauss-Newton step
  // would overshoot to negative cross-sections.
  std::array<std::int32_t, 2> fit_indices{0, 2};
  std::array<double, 2> start_factors{2.0, 0.5};
  std::array<double, 5> populations{1e23, 0.0, 0.0, 0.0, 0.0};  // 1/m^3
  double wavelength = 532e-9;
  double w0 = 20e-6;
  double M2 = 1.0;
  double tau = 5e-9;
  double sample_width = 1e-3;
  // Coarse enough that three starts take seconds, fine enough to show the
  // physics; the data are made on the same grids the fit uses.
  std::int32_t t_slices = 15;
  std::int32_t z_slices = 8;
  std::array<double, 3> pulse_energy{200e-6, 800e-6, 3.2e-3};
  std::int32_t num_x_pts = 41;
  double half_scan_mm = 20.0;
  double noise_sigma = 1e-3;
  std::uint64_t seed = 20240611;
};

std::vector<double> grid(double a, double b, std::int32_t n) {
  std::vector<double> g(static_cast<std::size_t>(n));
  model::linspace(g.data(), a, b, n);
  return g;
}

// The model curve of every dataset, computed exactly as a fit start does.
std::vector<double> model_curves(const Example& e, const std::vector<double>& x_mm) {
  std::vector<double> x_pos(x_mm.size());
  for (std::size_t j = 0; j < x_mm.size(); ++j) x_pos[j] = x_mm[j] * 0.001;
  const std::vector<double> z_grid = grid(0.0, e.sample_width, e.z_slices);
  const double half_width = e.tau * 0.5;
  const std::vector<double> t_grid = grid(-half_width, half_width, e.t_slices);
  const auto n = static_cast<std::size_t>(e.num_x_pts);
  std::vector<double> table(x_pos.size() * t_grid.size());
  model::fill_irradiance_table(table, x_pos, t_grid, e.pulse_energy, n,
                               {e.tau, e.w0, model::rayleigh_range(e.w0, e.M2, e.wavelength)});
  const model::IrradianceTable view(table.data(), n, t_grid.size(), e.pulse_energy.size());
  std::vector<double> curves(x_pos.size());
  for (std::size_t d = 0; d < e.pulse_energy.size(); ++d)
    model::zscan_model(std::span(curves).subspan(d * n, n), std::span(x_pos).subspan(d * n, n),
                       z_grid, t_grid, e.populations, view.plane(d),
                       299792458.0 / e.wavelength, e.spec_pars);
  return curves;
}

// Box-Muller on the fully specified mt19937_64 stream, so the same seed gives
// the same data with every standard library.
class GaussianNoise {
 public:
  GaussianNoise(std::uint64_t seed, double sigma) : rng_(seed), sigma_(sigma) {}
  double operator()() {
    const double u1 = uniform_open();
    const double u2 = uniform_open();
    return sigma_ * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * model::pi * u2);
  }

 private:
  double uniform_open() { return (static_cast<double>(rng_() >> 11) + 0.5) * 0x1.0p-53; }
  std::mt19937_64 rng_;
  double sigma_;
};

// The shortest text that reads back as the same double.
std::string shortest(double value) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

template <typename Values>
std::string json_array(const Values& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i)
    out += (i ? ", " : "") + shortest(static_cast<double>(values[i]));
  return out + "]";
}

bool write_csv(const std::string& path, const Example& e, const std::vector<double>& x_mm,
               const std::vector<double>& y) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "dataset,pulse_energy,x_mm,transmittance\n");
  const auto n = static_cast<std::size_t>(e.num_x_pts);
  for (std::size_t j = 0; j < y.size(); ++j)
    std::fprintf(f, "%zu,%s,%s,%s\n", j / n, shortest(e.pulse_energy[j / n]).c_str(),
                 shortest(x_mm[j]).c_str(), shortest(y[j]).c_str());
  return std::fclose(f) == 0;
}

bool write_truth(const std::string& path, const Example& e) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fprintf(f,
               "{\n"
               "  \"description\": \"open-aperture z-scan of a reverse saturable absorber, "
               "made with the model plus Gaussian noise\",\n"
               "  \"units\": {\"length\": \"m\", \"x_mm\": \"mm\", \"time\": \"s\", "
               "\"pulse_energy\": \"J\", \"cross_sections\": \"m^2\", "
               "\"populations\": \"1/m^3\"},\n"
               "  \"spec_pars\": %s,\n"
               "  \"spec_par_names\": [\"sigma_12\", \"sigma_23\", \"sigma_45\", \"tau_21\", "
               "\"tau_24\", \"tau_32\", \"tau_41\", \"tau_54\"],\n"
               "  \"fit_indices\": %s,\n"
               "  \"start_factors\": %s,\n"
               "  \"populations\": %s,\n"
               "  \"pulse_energy\": %s,\n"
               "  \"wavelength\": %s,\n  \"w0\": %s,\n  \"M2\": %s,\n"
               "  \"tau\": %s,\n  \"sample_width\": %s,\n"
               "  \"t_slices\": %d,\n  \"z_slices\": %d,\n"
               "  \"num_x_pts\": %d,\n  \"num_datasets\": %zu,\n  \"is_sa\": false,\n"
               "  \"noise_sigma\": %s,\n  \"seed\": %llu\n"
               "}\n",
               json_array(e.spec_pars).c_str(), json_array(e.fit_indices).c_str(),
               json_array(e.start_factors).c_str(),
               json_array(e.populations).c_str(), json_array(e.pulse_energy).c_str(),
               shortest(e.wavelength).c_str(), shortest(e.w0).c_str(), shortest(e.M2).c_str(),
               shortest(e.tau).c_str(), shortest(e.sample_width).c_str(), e.t_slices,
               e.z_slices, e.num_x_pts, e.pulse_energy.size(), shortest(e.noise_sigma).c_str(),
               static_cast<unsigned long long>(e.seed));
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "examples";
  const Example e;
  std::vector<double> x_mm;
  for (std::size_t d = 0; d < e.pulse_energy.size(); ++d) {
    const std::vector<double> x = grid(-e.half_scan_mm, e.half_scan_mm, e.num_x_pts);
    x_mm.insert(x_mm.end(), x.begin(), x.end());
  }
  std::vector<double> y = model_curves(e, x_mm);
  GaussianNoise noise(e.seed, e.noise_sigma);
  for (double& v : y) v += noise();

  const std::string csv = dir + "/example_data.csv";
  const std::string json = dir + "/example_truth.json";
  if (!write_csv(csv, e, x_mm, y) || !write_truth(json, e)) {
    std::fprintf(stderr, "make_example_data: cannot write %s and %s\n", csv.c_str(),
                 json.c_str());
    return 1;
  }
  std::printf("wrote %s and %s\n", csv.c_str(), json.c_str());
  return 0;
}
