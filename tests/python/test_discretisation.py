"""Grids given as "auto": chosen to meet the tolerance against a far finer grid,
coarser than the old fixed default where the model allows it and finer where
it must be, refined again at a solution that needs more; numbers given rule,
with a warning when they are too coarse for the data; the record of the grid
in the result, its JSON and its report."""

import json

import numpy as np
import pytest

import tarnok
from tarnok import discretisation

POSITIONS = np.linspace(-15.0, 15.0, 15)
GAUSSIAN = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                populations=[1e23, 0, 0, 0, 0], beam="gaussian")
RSA = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
           tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
# Ground-state cross-section above the excited ones: the sample bleaches
# within a time slice, which the old default slicing followed poorly.
SATURABLE = {**RSA, "sigma_12": 2e-20}
OLD_DEFAULT = (21, 11, 12)


def curves(grid, truth, energy, extrapolated=False):
    experiment = tarnok.Experiment(**GAUSSIAN, t_slices=grid[0], z_slices=grid[1],
                                   radial_nodes=grid[2], depth_extrapolation=extrapolated)
    return tarnok.simulate(experiment, tarnok.Parameters(**truth), POSITIONS, [energy])


def error_against_four_times_finer(grid, truth, energy, extrapolated=False):
    finer = (4 * (grid[0] - 1) + 1, 4 * grid[1], min(4 * grid[2], 64))
    return np.abs(curves(grid, truth, energy, extrapolated)
                  - curves(finer, truth, energy, extrapolated)).max()


@pytest.mark.parametrize("truth, energy, tolerance, needs", [
    (SATURABLE, 6e-7, 1.5e-3, "more"),
    (RSA, 2e-8, 1e-3, "fewer"),   # a 2 % dip: nearly linear
], ids=["saturable absorber", "weak reverse saturable absorber"])
def test_auto_grid_meets_its_tolerance_with_the_cells_the_model_needs(truth, energy, tolerance,
                                                                      needs):
    params = tarnok.Parameters(**truth)
    auto = tarnok.Experiment(**GAUSSIAN)
    chosen, record = discretisation.choose(auto, params.vector(), np.array([POSITIONS]),
                                           np.array([energy]), tolerance)
    grid = (chosen.t_slices, chosen.z_slices, chosen.radial_nodes)
    assert record.grid == grid and record.met and record.estimated_error <= tolerance
    # "auto" depth slices are extrapolated from z and 2 z.
    assert chosen.depth_extrapolation and record.depth_extrapolated
    assert error_against_four_times_finer(grid, truth, energy, True) <= tolerance
    old_error = error_against_four_times_finer(OLD_DEFAULT, truth, energy)
    cells, old_cells = 3 * np.prod(grid), np.prod(OLD_DEFAULT)  # both grids' cells
    if needs == "more":
        assert old_error > tolerance and grid[0] > OLD_DEFAULT[0]
    else:
        assert old_error < tolerance and cells < old_cells / 4
    # simulate() makes the same choice from the same tolerance.
    np.testing.assert_array_equal(
        tarnok.simulate(auto, params, POSITIONS, [energy], tolerance=tolerance),
        curves(grid, truth, energy, True))


def test_estimate_is_the_change_on_a_four_times_finer_grid_when_errors_follow_their_laws():
    # Curves whose error along each axis is C h^p, of either sign at each
    # point: time h = 1/(t - 1), p = 2; depth h = 1/z, p = 1; radial h = 1/r, p = 4.
    rng = np.random.default_rng(7)
    limit, c_t, c_z, c_r = (rng.normal(size=(2, 9)) for _ in range(4))

    class Curves:
        def __call__(self, grid):
            t, z, r = grid
            return limit + c_t / (t - 1) ** 2 + c_z / z + c_r / r ** 4

    grid = (13, 7, 5)
    total, per_axis = discretisation._estimate(Curves(), grid, [0, 1, 2])
    finer = (4 * (grid[0] - 1) + 1, 4 * grid[1], 4 * grid[2])
    change = Curves()(grid) - Curves()(finer)
    along = [c_t / 12 ** 2 - c_t / 48 ** 2, c_z / 7 - c_z / 28, c_r / 5 ** 4 - c_r / 20 ** 4]
    for k in range(3):
        np.testing.assert_allclose(per_axis[k], along[k], rtol=1e-9)
    # Signed sum at the worst point, but never below one axis' own change.
    assert total == pytest.approx(max(np.abs(change).max(), *(np.abs(a).max() for a in along)),
                                  rel=1e-9)
    # At the ceiling the axis is compared with a coarser grid instead.
    _, at_ceiling = discretisation._estimate(Curves(), (13, 7, 64), [2])
    np.testing.assert_allclose(at_ceiling[2], c_r / 64 ** 4 - c_r / 256 ** 4, rtol=1e-9)


class PowerLaws:
    """Curves whose error along each axis is c h^q at every point: time
    h = 1/(t - 1), depth h = 1/z, radial h = 1/r."""

    def __init__(self, orders, scale=(1.0, 1.0, 1.0), seed=11):
        rng = np.random.default_rng(seed)
        self.limit, *self.c = (rng.normal(size=(1, 9)) for _ in range(4))
        self.c = [c * s for c, s in zip(self.c, scale)]
        self.q = orders

    def steps(self, grid):
        return (grid[0] - 1, grid[1], grid[2])

    def __call__(self, grid):
        return self.limit + sum(c / h ** q for c, h, q in zip(self.c, self.steps(grid), self.q))


def judged_after(curves, grids):
    measured = {k: {} for k in range(3)}
    for grid in grids:
        probes = discretisation._probes(curves, grid, [0, 1, 2])
        for k in range(3):
            measured[k][grid[k]] = probes[k]
    return discretisation._judged(grids[-1], probes, measured)


def test_observed_orders_set_the_estimate_within_the_assumed_order_and_twice_it():
    # Time falls as h^3 (observed as it is), depth as h^3 (used as 2, twice
    # the assumed 1: a fall that fast on coarse grids does not last), the
    # radial nodes as h^3 (below the assumed 4, which stays).
    curves = PowerLaws((3.0, 3.0, 3.0))
    _, errors, orders = judged_after(curves, [(21, 16, 5), (33, 30, 9)])
    assert orders == pytest.approx((3.0, 2.0, 4.0), rel=1e-9)
    z, r = 30, 9
    np.testing.assert_allclose(errors[0], curves.c[0] * (1 / 32 ** 3 - 1 / 128 ** 3), rtol=1e-9)
    # Clamped orders extrapolate the measured change by their own law.
    change_z = curves.c[1] * (1 / z ** 3 - 1 / (2 * z) ** 3)
    np.testing.assert_allclose(errors[1], change_z * (1 - 4.0 ** -2) / (1 - 2.0 ** -2), rtol=1e-9)
    change_r = curves.c[2] * (1 / r ** 3 - 1 / (2 * r) ** 3)
    np.testing.assert_allclose(errors[2], change_r * (1 - 4.0 ** -4) / (1 - 2.0 ** -4), rtol=1e-9)
    # One size measured per axis, two too close together, or too far apart
    # for the estimate (the prediction still uses the latter): the assumed orders.
    assert judged_after(curves, [(33, 30, 9)])[2] == (2.0, 1.0, 4.0)
    assert judged_after(curves, [(30, 27, 8), (33, 30, 9)])[2] == (2.0, 1.0, 4.0)
    assert judged_after(curves, [(11, 5, 4), (33, 30, 9)])[2] == (2.0, 1.0, 4.0)
    far = {5: discretisation._probes(curves, (11, 5, 4), [1])[1],
           30: discretisation._probes(curves, (33, 30, 9), [1])[1]}
    assert discretisation._observed_order(1, 30, far) == pytest.approx(2.0, rel=1e-9)


def test_changes_at_rounding_level_tell_no_order():
    # The time slicing's change is 1e-6 on the coarser grid and lost in the
    # engine's rounding on the finer one: their ratio would pass for any
    # order, where nothing is known but the assumed 2.
    exact = PowerLaws((2.0, 1.0, 4.0))

    class Rounded:
        def __call__(self, grid):
            jitter = np.random.default_rng(sum(grid)).normal(size=(1, 9))
            time = exact.c[0] * (1e-6 if grid[0] <= 21 else 0.0)
            return exact(grid) - exact.c[0] / (grid[0] - 1) ** 2 + time + 1e-13 * jitter

    _, errors, orders = judged_after(Rounded(), [(21, 20, 4), (33, 30, 6)])
    assert orders == pytest.approx((2.0, 1.0, 4.0), abs=1e-6)
    assert np.abs(errors[0]).max() < 1e-11


def test_prediction_uses_an_axis_error_where_it_was_measured_and_the_law_elsewhere():
    # Radial errors of opposite signs at 4 and 8 nodes: the law carried from
    # 8 nodes would give 4 nodes the wrong sign.
    points = 5
    at_4, at_8 = np.full((1, points), 3e-4), np.full((1, points), -2e-5)
    probes = {4: (at_4, 0.5), 8: (at_8, 0.5)}
    rows = discretisation._along(2, np.array([4, 5, 8, 12]), probes, points)
    refined = (1 - 4.0 ** -4) / (1 - 2.0 ** -4)  # the orders are at their floor, 4
    np.testing.assert_allclose(rows[0], 3e-4 * refined)
    np.testing.assert_allclose(rows[1], 3e-4 * refined * (4 / 5) ** 4)
    np.testing.assert_allclose(rows[2], -2e-5 * refined)
    np.testing.assert_allclose(rows[3], -2e-5 * refined * (8 / 12) ** 4)


def test_a_chosen_grid_estimated_again_at_the_same_values_gets_the_same_estimate():
    # A fit's solution at its start values must not look like it needs a finer grid.
    params = tarnok.Parameters(**SATURABLE).vector()
    chosen, record = discretisation.choose(tarnok.Experiment(**GAUSSIAN), params,
                                           np.array([POSITIONS]), np.array([6e-7]), 1.5e-3)
    again = discretisation.estimate(chosen, params, np.array([POSITIONS]), np.array([6e-7]),
                                    1.5e-3, record.auto, record.orders)
    assert again.estimated_error == record.estimated_error and again.met
    assert record.orders is not None and record.orders != (2.0, 1.0, 4.0)


def test_axes_given_by_number_are_kept_and_the_limits_are_respected():
    params = tarnok.Parameters(**SATURABLE).vector()
    tiny = discretisation.Limits(max_cells=50)
    half_given = tarnok.Experiment(**GAUSSIAN, t_slices=9, z_slices=3)
    chosen, _ = discretisation.choose(half_given, params, np.array([POSITIONS]),
                                      np.array([6e-7]), 1e-3, tiny)
    assert (chosen.t_slices, chosen.z_slices, chosen.radial_nodes) == (9, 3, 3)
    # Too fine a tolerance for the limits: the most accurate grid allowed, and a warning.
    memory = int(tarnok._core.derivative_record_bytes(40, 40))
    limits = discretisation.Limits(n_varied=2, max_cells=4000, available=memory)
    chosen, record = discretisation.choose(tarnok.Experiment(**GAUSSIAN), params,
                                           np.array([POSITIONS]), np.array([6e-7]), 1e-6,
                                           limits)
    assert np.prod(record.grid) <= 4000 and not record.met
    assert tarnok._core.derivative_record_bytes(chosen.t_slices, chosen.z_slices) <= memory
    assert "could not reach the tolerance 1e-06" in discretisation.shortfall_warning(record)


def test_on_axis_auto_is_fit_zscans_grid_and_is_not_estimated():
    on_axis = tarnok.Experiment(**{**GAUSSIAN, "beam": "on-axis"}, t_slices="auto", z_slices=8)
    chosen, record = discretisation.choose(on_axis, tarnok.Parameters(**RSA).vector(),
                                           np.array([POSITIONS]), np.array([1e-3]), 1e-4)
    assert (chosen.t_slices, chosen.z_slices) == (21, 8)
    assert record.estimated_error is None and record.evaluations == 0
    assert "21 x 8 time x depth slices (auto: t_slices; on-axis grid" in record.describe()


def measured(truth, energy, grid, sigma, seed=3):
    clean = curves(grid, truth, energy)
    noisy = clean + np.random.default_rng(seed).normal(0.0, sigma, clean.shape)
    return tarnok.ZScan(POSITIONS, noisy, [energy], sigma=np.full(clean.shape, sigma))


def test_numbers_given_rule_and_are_warned_about_beyond_three_tenths_of_sigma():
    coarse = tarnok.Experiment(**GAUSSIAN, t_slices=9, z_slices=3, radial_nodes=3)
    params = tarnok.Parameters(**RSA)
    params["sigma_45"].set(value=1.5e-20, vary=True, min=1e-22, max=1e-18)
    for sigma, warned in ((2e-4, True), (0.05, False)):
        result = tarnok.fit(measured(RSA, 3e-7, (41, 40, 8), sigma), coarse, params,
                            n_starts=2, threads=1)
        record = result.discretisation
        assert (result.experiment.t_slices, result.experiment.z_slices,
                result.experiment.radial_nodes) == (9, 3, 3)
        assert record.auto == () and record.tolerance == pytest.approx(0.1 * sigma)
        grid_warnings = [w for w in result.warnings if w.startswith("the grid given")]
        assert bool(grid_warnings) == warned == (record.estimated_error > 0.3 * sigma)
        if warned:
            assert "9 x 3 time x depth slices, 3 radial nodes" in grid_warnings[0]


def test_auto_fit_refines_at_a_solution_that_needs_more_and_records_the_grid(tmp_path):
    sigma = 0.02
    # Only the ground state absorbs, strongly: the light bleaches it.
    bleaching = {**SATURABLE, "sigma_23": 0.0, "sigma_45": 0.0}
    data = measured(bleaching, 3e-8, (61, 400, 8), sigma)
    params = tarnok.Parameters(**bleaching)
    # Fifty times weaker at the start: it bleaches little, so a coarse grid suffices there.
    params["sigma_12"].set(value=4e-22, vary=True, min=1e-23, max=1e-18)
    result = tarnok.fit(data, tarnok.Experiment(**GAUSSIAN), params, n_starts=2, threads=1)
    record = result.discretisation
    grid = (result.experiment.t_slices, result.experiment.z_slices,
            result.experiment.radial_nodes)
    assert record.grid == grid and record.met and record.estimated_error <= 0.1 * sigma
    assert record.refined_from is not None and np.prod(grid) > np.prod(record.refined_from)
    assert len(result.starts) == 2 and result.params["sigma_12"].value == pytest.approx(
        2e-20, rel=0.05)
    saved = json.loads(json.dumps(result.to_dict()))
    assert saved["discretisation"]["t_slices"] == grid[0]
    assert saved["discretisation"]["refined_from"] == list(record.refined_from)
    assert saved["experiment"]["z_slices"] == grid[1]
    line = next(x for x in result.report().splitlines() if "discretisation" in x)
    assert line.strip().startswith(f"discretisation     = {grid[0]} x {grid[1]} time x depth "
                                   f"slices (extrapolated with {2 * grid[1]}), {grid[2]} radial "
                                   "nodes (auto, refined at the solution from ")
    assert "est. error" in line


@pytest.mark.parametrize("call, message", [
    (lambda: tarnok.Experiment(**GAUSSIAN, t_slices="fine"), "t_slices must be an integer"),
    (lambda: tarnok.Experiment(**GAUSSIAN, radial_nodes="Auto"), "radial_nodes must be"),
    (lambda: tarnok.simulate(tarnok.Experiment(**GAUSSIAN), tarnok.Parameters(**RSA),
                             POSITIONS, [1e-7], tolerance=0.0), "tolerance must be"),
])
def test_bad_grid_values_are_refused_by_name(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_depth_extrapolation_comes_with_auto_depth_and_refuses_the_on_axis_beam():
    auto = tarnok.Experiment(**GAUSSIAN)
    assert auto.depth_extrapolation and auto.with_grid(21, 5, 4).depth_extrapolation
    assert not tarnok.Experiment(**GAUSSIAN, z_slices=11).depth_extrapolation
    given = tarnok.Experiment(**GAUSSIAN, t_slices=21, z_slices=5, radial_nodes=4,
                              depth_extrapolation=True)
    params = tarnok.Parameters(**SATURABLE)
    twice_less_once = 2 * curves((21, 10, 4), SATURABLE, 6e-7) - curves((21, 5, 4), SATURABLE, 6e-7)
    np.testing.assert_allclose(tarnok.simulate(given, params, POSITIONS, [6e-7]),
                               twice_less_once, rtol=0, atol=1e-15)
    assert tarnok.Experiment(**given.to_dict()) == given
    with pytest.raises(ValueError, match="depth_extrapolation needs the gaussian beam"):
        tarnok.Experiment(**{**GAUSSIAN, "beam": "on-axis"}, depth_extrapolation=True)
    with pytest.raises(TypeError, match="depth_extrapolation must be True, False or None"):
        tarnok.Experiment(**GAUSSIAN, depth_extrapolation="yes")
