// The engines as seen from Python: construction from validated plain values
// (the Python layer checks and names every argument first) and evaluation
// into new NumPy arrays, with the interpreter lock released while they work.
#include "bindings/engine_bindings.hpp"

#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <algorithm>

#include "engine/exact_engine.hpp"
#include "engine/integrator_engine.hpp"
#include "engine/slice_propagation.hpp"
#include "engine/worker_pool.hpp"

namespace tarnok::bindings {

namespace nb = nanobind;
using engine::Parameter;

namespace {

engine::Beam beam_named(const std::string& name) {
  if (name == "on-axis") return engine::Beam::on_axis;
  if (name == "gaussian") return engine::Beam::gaussian;
  throw nb::value_error("beam must be 'on-axis' or 'gaussian'");
}

engine::ScanLayout layout_of(PositionArray positions_mm, VectorArray pulse_energies) {
  engine::ScanLayout layout;
  layout.n_positions = positions_mm.shape(1);
  layout.positions_mm.assign(positions_mm.data(), positions_mm.data() + positions_mm.size());
  layout.pulse_energies.assign(pulse_energies.data(),
                               pulse_energies.data() + pulse_energies.size());
  if (positions_mm.shape(0) != layout.pulse_energies.size())
    throw nb::value_error("positions_mm needs one row per pulse energy");
  return layout;
}

std::vector<Parameter> varied_of(const std::vector<std::size_t>& indices) {
  std::vector<Parameter> varied;
  for (std::size_t i : indices) {
    if (i >= engine::parameter_count) throw nb::value_error("parameter index out of range");
    varied.push_back(static_cast<Parameter>(i));
  }
  return varied;
}

// The threads an evaluation may use: the calling thread and as many helpers
// as `threads` leaves (the Python layer checks the count).
struct EvaluationThreads {
  explicit EvaluationThreads(std::size_t threads) : budget(std::max<std::size_t>(threads, 1), 1), scope(budget) {}
  engine::ThreadBudget budget;
  engine::BudgetScope scope;
};

// Evaluates with the interpreter lock released; the arrays are made after.
nb::tuple evaluate(const engine::CurveModel& model, const engine::ParameterVector& values,
                   const std::vector<std::size_t>& indices, std::size_t threads) {
  const std::vector<Parameter> varied = varied_of(indices);
  const engine::ScanLayout& layout = model.layout();
  const bool derivatives = model.has_derivatives() && !varied.empty();
  std::vector<double> curves(model.curve_count());
  std::vector<double> jacobian(derivatives ? model.curve_count() * varied.size() : 0);
  {
    nb::gil_scoped_release released;
    const EvaluationThreads on(threads);
    model.evaluate(values, varied, curves, jacobian);
  }
  // The curve blocks (open, then closed) stacked: one row per block and energy.
  const std::size_t rows = model.curve_blocks() * layout.n_energies(), cols = layout.n_positions;
  nb::object jacobian_array = nb::none();
  if (derivatives) jacobian_array = to_numpy(std::move(jacobian), {rows, cols, varied.size()});
  return nb::make_tuple(to_numpy(std::move(curves), {rows, cols}), jacobian_array);
}

}  // namespace

nb::object to_numpy(std::vector<double>&& values, std::initializer_list<std::size_t> shape) {
  auto owned = std::make_unique<std::vector<double>>(std::move(values));
  double* data = owned->data();
  nb::capsule owner(owned.get(), [](void* p) noexcept {
    std::unique_ptr<std::vector<double>>(static_cast<std::vector<double>*>(p));
  });
  owned.release();
  return nb::cast(nb::ndarray<nb::numpy, double>(data, shape, owner));
}

engine::Experiment experiment_of(double wavelength, double w0, double M2, double tau,
                                 double thickness,
                                 const std::array<double, 5>& populations,
                                 std::int32_t t_slices, std::int32_t z_slices,
                                 const std::string& beam, std::int32_t radial_nodes,
                                 double repetition_rate, double aperture_transmittance,
                                 double aperture_radius, double aperture_distance,
                                 double linear_index, bool closed_divided,
                                 bool depth_extrapolation) {
  engine::Experiment e;
  e.wavelength = wavelength;
  e.w0 = w0;
  e.M2 = M2;
  e.tau = tau;
  e.thickness = thickness;
  e.populations = populations;
  e.t_slices = t_slices;
  e.z_slices = z_slices;
  e.beam = beam_named(beam);
  e.radial_nodes = radial_nodes;
  e.repetition_rate = repetition_rate;
  e.aperture_transmittance = aperture_transmittance;
  e.aperture_radius = aperture_radius;
  e.aperture_distance = aperture_distance;
  e.linear_index = linear_index;
  e.closed_divided = closed_divided;
  e.depth_extrapolation = depth_extrapolation;
  try {
    engine::check_aperture(e);
  } catch (const std::invalid_argument& error) {
    throw nb::value_error(error.what());
  }
  return e;
}

void bind_engines(nb::module_& m) {
  nb::class_<engine::Experiment>(m, "Experiment");
  m.def("experiment", &experiment_of, nb::arg("wavelength"), nb::arg("w0"), nb::arg("M2"),
        nb::arg("tau"), nb::arg("thickness"), nb::arg("populations"), nb::arg("t_slices"),
        nb::arg("z_slices"), nb::arg("beam"), nb::arg("radial_nodes"),
        nb::arg("repetition_rate") = 0.0, nb::arg("aperture_transmittance") = 0.0,
        nb::arg("aperture_radius") = 0.0, nb::arg("aperture_distance") = 0.0,
        nb::arg("linear_index") = 1.0, nb::arg("closed_divided") = false,
        nb::arg("depth_extrapolation") = false);
  m.def("derivative_record_bytes",
        [](std::size_t t_slices, std::size_t z_slices) {
          // What one thread keeps for the backward pass: the record of its
          // cells (their exponentials' squarings, a few more matrices each,
          // live beside them) and the checkpoints of a record kept in segments.
          constexpr std::size_t squarings_kept = 4;
          const std::size_t segment = engine::record_segment_steps(
              t_slices, z_slices, engine::SliceSystem::tape_cells_whole);
          const std::size_t cell = sizeof(engine::SliceSystem::Workspace::Cell) +
                                   squarings_kept * sizeof(engine::ConservingMatrix);
          const std::size_t segments = (t_slices + segment - 1) / segment;
          return segment * z_slices * cell +
                 (segment < t_slices ? segments * z_slices * sizeof(engine::ConservingVector) : 0);
        },
        nb::arg("t_slices"), nb::arg("z_slices"));
  m.def("exact_engine", [](const engine::Experiment& e, PositionArray x, VectorArray energies) {
    return std::make_unique<engine::ExactEngine>(e, layout_of(x, energies));
  });
  m.def("integrator_engine",
        [](const engine::Experiment& e, PositionArray x, VectorArray energies) {
          return std::make_unique<engine::IntegratorEngine>(e, layout_of(x, energies));
        });

  // The fit takes either engine through their common interface.
  nb::class_<engine::CurveModel>(m, "CurveModel");
  nb::class_<engine::ExactEngine, engine::CurveModel>(m, "ExactEngine")
      .def("evaluate",
           [](const engine::ExactEngine& model, const engine::ParameterVector& values,
              const std::vector<std::size_t>& varied, std::size_t threads) {
             return evaluate(model, values, varied, threads);
           },
           nb::arg("values"), nb::arg("varied"), nb::arg("threads") = 1,
           "(curves, jacobian or None) for a full parameter vector, on up to `threads` threads")
      .def("raw_transmittance",
           [](const engine::ExactEngine& model, const engine::ParameterVector& values,
              std::size_t threads) {
             // The open aperture's raw transmittance, closed aperture or not.
             std::vector<double> raw(model.layout().size());
             {
               nb::gil_scoped_release released;
               const EvaluationThreads on(threads);
               model.raw_transmittance(values, {}, raw, {});
             }
             return to_numpy(std::move(raw),
                             {model.layout().n_energies(), model.layout().n_positions});
           },
           nb::arg("values"), nb::arg("threads") = 1)
      .def("pulses_sent",
           [](const engine::ExactEngine& model, const engine::ParameterVector& values,
              const std::vector<std::size_t>& indices) {
             // The cost of an evaluation in passes of a pulse through the sample.
             const std::vector<Parameter> varied = varied_of(indices);
             const engine::ScanLayout& layout = model.layout();
             std::vector<double> raw(layout.size()), d_raw(layout.size() * varied.size());
             std::size_t pulses = 0;
             {
               nb::gil_scoped_release released;
               model.raw_transmittance(values, varied, raw, d_raw, {}, &pulses);
             }
             return pulses;
           },
           nb::arg("values"), nb::arg("varied"))
      .def_prop_ro("curve_blocks", &engine::ExactEngine::curve_blocks)
      .def("peak_irradiance", [](const engine::ExactEngine& model,
                                 const engine::ParameterVector& values) {
        return to_numpy(model.peak_irradiance(values),
                        {model.layout().n_energies(), model.layout().n_positions});
      });

  nb::class_<engine::IntegratorEngine, engine::CurveModel>(m, "IntegratorEngine")
      .def("evaluate",
           [](const engine::IntegratorEngine& model, const engine::ParameterVector& values,
              const std::vector<std::size_t>& varied, std::size_t threads) {
             return evaluate(model, values, varied, threads);
           },
           nb::arg("values"), nb::arg("varied"), nb::arg("threads") = 1)
      .def("diagnostics", [](const engine::IntegratorEngine& model) {
        const engine::Diagnostics d = model.diagnostics();
        return nb::make_tuple(d.messages, d.lines, d.first_lines);
      });
}

}  // namespace tarnok::bindings
