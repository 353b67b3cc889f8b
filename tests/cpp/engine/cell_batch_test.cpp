// Columns sent through the lane code together against each sent alone
// through the scalar code: lanes that need very different Pade degrees and
// squarings in one batch, with and without derivatives, two-photon absorption
// and both beams, a tail of fewer columns than lanes, lanes that are not
// finite, and the two instruction sets against each other.
#include "engine/cell_batch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine_test_cases.hpp"
#include "engine/exact_engine.hpp"
#include "engine/rate_matrix.hpp"
#include "engine/reference_exponential.hpp"
#include "engine/slice_propagation.hpp"

namespace {

using namespace tarnok;
namespace tt = tarnok::testing;
using engine::Parameter;

// A batch's lanes take more squarings (or a higher degree) than some need
// alone; each is still exact to a few units of rounding per cell, which the
// stiff set's coupled slices amplify to 2e-14 of its curves and 1e-13 of its
// derivatives (measured; as much as the scalar code's forward mode and
// backward pass disagree). The other sets agree to 1e-15 and 1e-14.
constexpr double kCurveAgreement = 1e-13;
constexpr double kEngineDerivativeAgreement = 1e-12;  // of each parameter's largest

double relative_difference(const std::vector<double>& a, const std::vector<double>& b,
                           std::size_t stride = 1, std::size_t column = 0) {
  double scale = 0.0, worst = 0.0;
  for (std::size_t k = column; k < a.size(); k += stride) {
    scale = std::max(scale, std::abs(a[k]));
    worst = std::max(worst, std::abs(a[k] - b[k]));
  }
  return scale > 0.0 ? worst / scale : worst;
}

// Strong enough two-photon absorption to take a few per cent at the focus.
engine::ParameterVector with_two_photon(engine::ParameterVector values, bool on) {
  if (on) values[engine::index(Parameter::delta_12)] = 1e-55;
  values[engine::index(Parameter::z0)] = 0.7;  // off-centre, so d/dz0 is not zero
  return values;
}

// The engine with and without batches on every case, both beams, two-photon
// absorption on and off, values alone and with the derivatives of two
// parameters (the backward pass). 3 x 9 on-axis columns and 3 x 9 x 5
// gaussian ones leave a tail of three in the last batch.
TEST(CellBatch, EngineAgreesWithTheScalarCodeOnEveryCaseBeamAndTwoPhoton) {
  const std::vector<Parameter> two{Parameter::sigma_12, Parameter::z0};
  for (const tt::EngineCase& c : tt::engine_cases()) {
    for (engine::Beam beam : {engine::Beam::on_axis, engine::Beam::gaussian}) {
      for (bool two_photon : {false, true}) {
        engine::Experiment e = c.experiment;
        e.beam = beam;
        e.radial_nodes = 5;
        std::vector<double> energies = c.pulse_energies;
        if (beam == engine::Beam::gaussian)
          for (double& energy : energies) energy *= 2e-4;
        const engine::ScanLayout layout = tt::scan_layout(energies, 9);
        const engine::ParameterVector values = with_two_photon(c.values, two_photon);
        engine::ExactEngine exact(e, layout);
        std::vector<double> scalar(layout.size()), batched(layout.size());
        std::vector<double> scalar_d(layout.size() * 2), batched_d(layout.size() * 2);
        std::vector<double> batched_values(layout.size());
        exact.set_vectorised(false);
        exact.evaluate(values, two, scalar, scalar_d);
        exact.set_vectorised(true);
        exact.evaluate(values, two, batched, batched_d);
        exact.evaluate(values, {}, batched_values, {});
        const std::string where = std::string(c.name) +
                                  (beam == engine::Beam::gaussian ? ", gaussian" : ", on-axis") +
                                  (two_photon ? ", two-photon" : "");
        EXPECT_LT(relative_difference(scalar, batched), kCurveAgreement) << where;
        EXPECT_LT(relative_difference(scalar, batched_values), kCurveAgreement) << where;
        for (std::size_t v = 0; v < two.size(); ++v)
          EXPECT_LT(relative_difference(scalar_d, batched_d, two.size(), v), kEngineDerivativeAgreement)
              << where << ", parameter " << v;
        std::printf("%-40s curves %.2e, derivatives %.2e %.2e\n", where.c_str(),
                    relative_difference(scalar, batched),
                    relative_difference(scalar_d, batched_d, 2, 0),
                    relative_difference(scalar_d, batched_d, 2, 1));
      }
    }
  }
}

// Of each direction's largest derivative among the lanes. The backward
// pass's derivatives gather rounding from every cell behind them, and a lane
// squared three times more than it needs (a tenth of the batch's brightest)
// loses 1e-10 of its most sensitive one, by delta_12, where the scalar code's
// forward mode and backward pass differ by 3e-12.
constexpr double kDerivativeAgreement = 1e-9;

// A batch straight through transmit_batch against SliceSystem::transmit on
// each of its columns.
struct DirectBatch {
  engine::Experiment experiment;
  engine::Discretisation grids;
  engine::ParameterVector values;
  std::vector<Parameter> varied;

  DirectBatch(engine::Beam beam, bool two_photon, std::vector<Parameter> directions,
              std::size_t case_index = 2)
      : experiment(tt::engine_cases()[case_index].experiment),
        values(with_two_photon(tt::engine_cases()[case_index].values, two_photon)),
        varied(std::move(directions)) {
    experiment.beam = beam;
    grids = engine::discretise(experiment);
  }

  // Column l's incident light: a pulse shape scaled by peaks[l].
  std::vector<double> pulse(double peak) const {
    std::vector<double> light(grids.t_grid.size());
    for (std::size_t j = 0; j < light.size(); ++j) {
      const double t = grids.t_grid[j] / experiment.tau;
      light[j] = peak * std::exp(-4.0 * t * t);
    }
    return light;
  }

  // Runs the batch with the given kernel and checks each lane against the
  // scalar code; returns the lanes' transmitted sums and derivatives.
  std::vector<double> check(const std::vector<double>& peaks,
                            void (*kernel)(const engine::BatchSystem&, engine::BatchColumns&,
                                           engine::BatchWorkspace&),
                            double tolerance) const {
    const engine::SliceSystem system(experiment, grids, values, varied);
    std::vector<engine::BatchPartial> partials;
    const engine::BatchSystem description = system.describe(partials);
    const std::size_t n_dir = varied.size(), nt = grids.t_grid.size();
    std::vector<std::vector<double>> light, d_light, d_out;
    for (std::size_t l = 0; l < engine::batch_lanes; ++l) {
      light.push_back(pulse(peaks[l]));
      std::vector<double> d(nt * n_dir);
      for (std::size_t j = 0; j < nt; ++j)
        for (std::size_t v = 0; v < n_dir; ++v) d[j * n_dir + v] = light[l][j] * (v + 1.0);
      d_light.push_back(d);
      d_out.emplace_back(n_dir);
    }
    engine::BatchColumns columns;
    columns.time_steps = nt;
    for (std::size_t l = 0; l < engine::batch_lanes; ++l) {
      columns.incident[l] = light[l].data();
      columns.d_incident[l] = d_light[l].data();
      columns.d_transmitted[l] = d_out[l].data();
    }
    engine::BatchWorkspace work;
    kernel(description, columns, work);

    std::vector<double> results;
    engine::SliceSystem::Workspace scalar_work;
    system.prepare(scalar_work);
    std::vector<std::vector<double>> d_scalar(engine::batch_lanes, std::vector<double>(n_dir));
    std::vector<double> d_scale(n_dir, 0.0);
    for (std::size_t l = 0; l < engine::batch_lanes; ++l) {
      const double scalar = system.transmit(light[l], d_light[l], scalar_work, d_scalar[l]);
      results.push_back(columns.transmitted[l]);
      if (std::isnan(scalar)) {
        EXPECT_TRUE(std::isnan(columns.transmitted[l])) << "lane " << l;
        continue;
      }
      EXPECT_NEAR(columns.transmitted[l], scalar, tolerance * std::abs(scalar)) << "lane " << l;
      for (std::size_t v = 0; v < n_dir; ++v) d_scale[v] = std::max(d_scale[v], std::abs(d_scalar[l][v]));
    }
    for (std::size_t l = 0; l < engine::batch_lanes; ++l)
      for (std::size_t v = 0; v < n_dir && !std::isnan(d_scalar[l][v]); ++v) {
        EXPECT_NEAR(d_out[l][v], d_scalar[l][v], kDerivativeAgreement * d_scale[v])
            << "lane " << l << ", direction " << v;
        results.push_back(d_out[l][v]);
      }
    return results;
  }
};

// The stiff set's peak irradiance, and lanes from darkness to ten times it:
// decay alone takes it 8 squarings, the brightest 10. On the picosecond set
// (peak about 2e15) darkness needs one approximant of degree 7 and its
// brightest lane the degree-13 one and a few squarings. (Ten times brighter
// still, its derivative by delta_12 is a difference of terms 1e8 larger.)
constexpr double kPeak = 3e13;
const std::vector<double> kMixedPeaks{0.0, kPeak * 1e-6, kPeak, 10.0 * kPeak};
const std::vector<double> kPicosecondPeaks{0.0, 2e11, 2e14, 2e15};
// One cell is exact to a few units of rounding whatever the degree, but the
// stiff set's brightest columns amplify that: the scalar code's own forward
// mode and backward pass differ by 1e-13 on their sums and up to 3e-12 on
// their derivatives.
constexpr double kColumnAgreement = 5e-13;

TEST(CellBatch, LanesNeedingDifferentDegreesAgreeWithEachColumnAlone) {
  const std::vector<std::vector<Parameter>> directions{
      {}, {Parameter::sigma_12, Parameter::tau_21, Parameter::delta_12, Parameter::energy_scale}};
  for (engine::Beam beam : {engine::Beam::on_axis, engine::Beam::gaussian})
    for (bool two_photon : {false, true})
      for (const std::vector<Parameter>& varied : directions) {
        SCOPED_TRACE(::testing::Message() << (beam == engine::Beam::gaussian ? "gaussian" : "on-axis")
                                          << (two_photon ? ", two-photon" : "") << ", "
                                          << varied.size() << " directions");
        const DirectBatch stiff(beam, two_photon, varied);
        stiff.check(kMixedPeaks, &engine::batch_kernels::sse2::transmit, kColumnAgreement);
        const DirectBatch picosecond(beam, two_photon, varied, 1);
        picosecond.check(kPicosecondPeaks, &engine::batch_kernels::sse2::transmit, kColumnAgreement);
      }
}

// Both instruction sets perform the same roundings in the same order.
TEST(CellBatch, InstructionSetsGiveTheSameBits) {
  const DirectBatch batch(engine::Beam::gaussian, true,
                          {Parameter::sigma_12, Parameter::sigma_45, Parameter::z0});
  const std::vector<double> sse2 =
      batch.check(kMixedPeaks, &engine::batch_kernels::sse2::transmit, kColumnAgreement);
  if (std::string(engine::batch_instruction_set()) != "avx2") GTEST_SKIP() << "no AVX2 here";
  EXPECT_EQ(batch.check(kMixedPeaks, &engine::batch_kernels::avx2::transmit, kColumnAgreement),
            sse2);
}

// A lane whose light is not finite gives NaN, as its column alone does,
// without changing the others.
TEST(CellBatch, NonFiniteLaneGivesNanAndLeavesTheOthersAlone) {
  for (const std::vector<Parameter>& varied :
       {std::vector<Parameter>{}, std::vector<Parameter>{Parameter::sigma_12, Parameter::z0}}) {
    const DirectBatch batch(engine::Beam::on_axis, false, varied);
    const std::vector<double> peaks{kPeak, std::nan(""), 0.5 * kPeak, kPeak};
    batch.check(peaks, &engine::transmit_batch, kColumnAgreement);
  }
}

// A column against an extended-precision reference of the same
// discretisation (on-axis, light attenuated by the populations at each
// step's end): the lane code is as accurate as the scalar code. Its
// denominator solve once lost 4e-13 of the sum to cancellation in the
// ground state's column.
TEST(CellBatch, IsAsAccurateAsTheScalarCodeAgainstAnExtendedPrecisionReference) {
  constexpr double kReferenceAgreement = 5e-14;  // the scalar code reaches 2e-14
  const DirectBatch batch(engine::Beam::on_axis, false, {});
  const engine::Discretisation& g = batch.grids;
  const engine::RateMatrices r = engine::rate_matrices(
      model::rate_constants_for(g.photon_freq, engine::spectroscopic(batch.values)), 0.0);
  const engine::SliceSystem system(batch.experiment, batch.grids, batch.values, {});
  std::vector<engine::BatchPartial> partials;
  const engine::BatchSystem description = system.describe(partials);
  for (double peak : {kPeak * 1e-6, kPeak * 0.1, kPeak, 10.0 * kPeak}) {
    const std::vector<double> incident = batch.pulse(peak);
    std::vector<tt::LongMatrix> n(g.z_slices, tt::LongMatrix::Zero(5, 1));
    for (tt::LongMatrix& slice : n) slice(0, 0) = batch.experiment.populations[0];
    long double out = 0.0L;
    for (double entering : incident) {
      long double light = entering;
      for (tt::LongMatrix& slice : n) {
        const tt::LongMatrix a =
            r.decay.cast<long double>() +
            (static_cast<long double>(r.inv_photon_energy) * light) * r.absorption.cast<long double>();
        slice = tt::reference_exponential(a * static_cast<long double>(g.dt)) * slice;
        const long double alpha = (r.absorbers.cast<long double>().transpose() * slice)(0, 0);
        light *= std::exp(-alpha * static_cast<long double>(g.dz));
      }
      out += light;
    }
    engine::BatchColumns columns;
    columns.time_steps = incident.size();
    for (const double*& lane : columns.incident) lane = incident.data();
    engine::BatchWorkspace work;
    engine::transmit_batch(description, columns, work);
    const double expected = static_cast<double>(out);
    EXPECT_NEAR(columns.transmitted[0], expected, kReferenceAgreement * expected) << "peak " << peak;
  }
}

}  // namespace
