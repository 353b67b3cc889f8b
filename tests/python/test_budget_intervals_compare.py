"""The error budget against refits with the fixed quantities changed, profile
intervals against the χ² profile computed point by point, and the model
comparison's table and its refusal of results fitted to different data."""

import dataclasses
import json
import math

import numpy as np
import pytest

import tarnok
from tarnok.compare import data_hash

POSITIONS = np.linspace(-20.0, 20.0, 41)
ENERGIES = [2e-4, 8e-4, 3.2e-3]
TRUTH = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
             tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
EXPERIMENT = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                               populations=[1e23, 0, 0, 0, 0], t_slices=9, z_slices=5,
                               beam="on-axis")
NOISE = 1e-3
UNCERTAINTIES = {"w0": 2e-6, "tau": 5e-10, "energy_calibration": 0.1, "M2": 0.05,
                 "populations": [1e22, 0, 0, 0, 0], "pulse_energy": [0.01, 0.02, 0.0]}


def measured(seed=0, sigma=True):
    clean = tarnok.simulate(EXPERIMENT, tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES)
    noisy = clean + np.random.default_rng(seed).normal(0.0, NOISE, clean.shape)
    return tarnok.ZScan(POSITIONS, noisy, ENERGIES,
                        sigma=np.full(clean.shape, NOISE) if sigma else None)


def varied(*names, **changes):
    params = tarnok.Parameters(**{**TRUTH, **changes})
    for name in names:
        params[name].vary = True
    return params


@pytest.fixture(scope="module")
def budgeted():
    data = measured(1)
    return data, tarnok.fit(data, EXPERIMENT, varied("sigma_12", "sigma_45"), n_starts=1,
                            threads=1, uncertainties=UNCERTAINTIES)


# ---------------------------------------------------------------------------
# Error budget


@pytest.mark.parametrize("source, changed", [
    ("w0", lambda e, p: (e, _shifted(p, "w0", 0.01 * 2e-6))),
    ("tau", lambda e, p: (dataclasses.replace(e, tau=e.tau + 0.01 * 5e-10), p)),
    ("M2", lambda e, p: (e, _shifted(p, "M2", 0.01 * 0.05))),
    ("populations[0]", lambda e, p: (dataclasses.replace(
        e, populations=[1e23 + 0.01 * 1e22, 0, 0, 0, 0]), p)),
    ("energy_calibration", lambda e, p: (e, _shifted(p, "energy_scale", 0.01 * 0.1))),
])
def test_the_budget_predicts_the_shift_a_refit_finds(budgeted, source, changed):
    # One hundredth of each standard uncertainty: small enough for the model's
    # response to be linear, so the prediction must match the refit closely.
    data, result = budgeted
    experiment, params = changed(EXPERIMENT, result.params.copy())
    refit = tarnok.fit(data, experiment, params, n_starts=1, threads=1)
    for name in result.var_names:
        predicted = 0.01 * result.budget.entries[name].contributions[source]
        found = refit.params[name].value - result.params[name].value
        assert predicted == pytest.approx(found, rel=0.03, abs=0.0), (source, name)


def _shifted(params, name, change):
    params[name].set(value=params[name].value + change)
    return params


def test_the_budget_adds_up_and_is_reported_and_saved(budgeted):
    _, result = budgeted
    entry = result.budget.entries["sigma_45"]
    assert entry.statistical == result.params["sigma_45"].stderr
    expected = math.sqrt(sum(c * c for c in entry.contributions.values()))
    assert entry.systematic == pytest.approx(expected, abs=0.0)
    assert sum(entry.shares().values()) == pytest.approx(1.0)
    # A per-energy error moves only through its own curve; none given, none listed.
    assert {"pulse_energy[0]", "pulse_energy[1]"} <= set(entry.contributions)
    assert "pulse_energy[2]" not in entry.contributions
    report = result.report()
    assert "[[Error Budget]]" in report and "(stat) +/- " in report and "w0 " in report
    document = json.loads(json.dumps(result.to_dict()))
    assert document["budget"]["entries"]["sigma_45"]["systematic"] == pytest.approx(
        entry.systematic, abs=0.0)


def test_a_fitted_quantity_drops_out_of_the_budget():
    data = measured(2)
    params = varied("sigma_12", "sigma_45", "energy_scale")
    result = tarnok.fit(data, EXPERIMENT, params, n_starts=1, threads=1,
                        uncertainties={"energy_calibration": 0.1, "tau": 5e-10})
    assert result.budget.dropped == {"energy_calibration": "energy_scale is fitted"}
    assert set(result.budget.entries["sigma_12"].contributions) == {"tau"}
    assert "energy_calibration: not in the budget (energy_scale is fitted)" in result.report()


def test_derived_quantities_carry_the_budget_through_their_closed_forms():
    # Two-photon absorption measures beta = delta_12 N1 / (h nu): an uncertain
    # concentration moves delta_12 and leaves beta alone; a miscalibrated energy
    # meter moves both alike.
    experiment = tarnok.Experiment(wavelength=800e-9, w0=20e-6, M2=1.0, tau=100e-15,
                                   thickness=5e-4, populations=[1e28, 0, 0, 0, 0],
                                   t_slices=11, z_slices=5, beam="gaussian", radial_nodes=4)
    truth = dict(TRUTH, sigma_12=0.0, sigma_23=0.0, sigma_45=0.0, delta_12=2.5e-57)
    energies = [1e-10, 2e-10, 4e-10]
    clean = tarnok.simulate(experiment, tarnok.Parameters(**truth), POSITIONS, energies)
    noisy = clean + np.random.default_rng(9).normal(0.0, NOISE, clean.shape)
    data = tarnok.ZScan(POSITIONS, noisy, energies, sigma=np.full(clean.shape, NOISE))
    params = tarnok.Parameters(**truth)
    params["delta_12"].vary = True
    result = tarnok.fit(data, experiment, params, n_starts=1, threads=1,
                        uncertainties={"populations": [1e27, 0, 0, 0, 0],
                                       "energy_calibration": 0.05})
    delta, beta = result.budget.entries["delta_12"], result.budget.entries["beta"]
    assert delta.contributions["populations[0]"] / delta.value == pytest.approx(-0.1, rel=0.02)
    assert abs(beta.contributions["populations[0]"]) < 1e-3 * beta.value
    assert beta.contributions["energy_calibration"] / beta.value == pytest.approx(
        delta.contributions["energy_calibration"] / delta.value, rel=1e-6)
    assert beta.statistical == pytest.approx(result.derived["beta"].stderr, abs=0.0)


@pytest.mark.parametrize("uncertainties, error, message", [
    ({"waist": 1e-6}, ValueError, "unknown key 'waist'"),
    ({"w0": -1e-6}, ValueError, "uncertainties['w0'] must be a finite standard uncertainty"),
    ({"tau": "5 ns"}, TypeError, "uncertainties['tau'] must be a number"),
    ({"populations": [1e22, 0]}, ValueError, "uncertainties['populations'] must hold 5"),
    ({"pulse_energy": [0.01, 0.01]}, ValueError, "uncertainties['pulse_energy'] must hold 3"),
    ([("w0", 1e-6)], TypeError, "uncertainties must be a mapping"),
])
def test_bad_uncertainties_are_refused_by_key_before_fitting(uncertainties, error, message):
    with pytest.raises(error, match=message.replace("[", r"\[").replace("(", r"\(")):
        tarnok.fit(measured(), EXPERIMENT, varied("sigma_12"), uncertainties=uncertainties)


# ---------------------------------------------------------------------------
# Profile intervals


def chi_square_profile(data, name, values):
    """χ² of the model with every parameter at the truth but ``name``."""
    out = []
    for value in values:
        model = tarnok.simulate(EXPERIMENT, tarnok.Parameters(**{**TRUTH, name: value}),
                                POSITIONS, ENERGIES)
        out.append(float(np.sum(((data.transmittance - model) / data.sigma) ** 2)))
    return np.array(out)


def test_one_parameter_intervals_are_where_chi_square_rises_by_one_and_four():
    data = measured(3)
    result = tarnok.fit(data, EXPERIMENT, varied("sigma_45"), n_starts=1, threads=1)
    found = result.conf_interval(sigmas=(1, 2))
    best = result.params["sigma_45"].value
    assert [level for level, _ in found["sigma_45"]] == pytest.approx(
        [0.9545, 0.6827, 0.0, 0.6827, 0.9545], abs=1e-4)
    assert found["sigma_45"][2][1] == best
    for (_, low), (_, high), rise in ((found["sigma_45"][1], found["sigma_45"][3], 1.0),
                                      (found["sigma_45"][0], found["sigma_45"][4], 4.0)):
        # Each limit is where the directly computed χ² crosses its minimum plus
        # the rise; a fine grid on either side brackets it.
        for limit, side in ((low, -1), (high, 1)):
            grid = np.linspace(best, best + side * 3 * abs(limit - best), 601)
            rises = chi_square_profile(data, "sigma_45", grid) - result.chisqr
            crossing = np.interp(rise, rises, grid)
            assert limit == pytest.approx(crossing, rel=2e-3 * abs(limit - best) / best,
                                          abs=0.0)
    assert "[[Confidence Intervals]]" in result.report()


def test_profile_intervals_reoptimise_the_others_and_respect_bounds():
    data = measured(4)
    params = varied("sigma_12", "sigma_45")
    free = tarnok.fit(data, EXPERIMENT, params, n_starts=1, threads=1)
    free.conf_interval(sigmas=(1,), threads=2)
    for name in ("sigma_12", "sigma_45"):
        # A determined pair: the profile limits lie close to ± one standard error.
        p = free.params[name]
        for side in (-1, 1):
            limit = free.intervals.limit(name, 1.0, side)
            assert limit.found and not limit.at_bound
            assert abs(limit.value - p.value) == pytest.approx(p.stderr, rel=0.1, abs=0.0)
        # Holding it at its limit and refitting the other raises χ² by one.
        held = free.params.copy()
        held[name].set(value=free.intervals.limit(name, 1.0, 1).value, vary=False)
        again = tarnok.fit(data, EXPERIMENT, held, n_starts=1, threads=1)
        assert again.chisqr - free.chisqr == pytest.approx(1.0, abs=0.01)
    best, stderr = free.params["sigma_45"].value, free.params["sigma_45"].stderr
    params["sigma_45"].set(value=best, max=best + 0.5 * stderr)
    bounded = tarnok.fit(data, EXPERIMENT, params, n_starts=1, threads=1)
    bounded.conf_interval(sigmas=(1, 2), threads=2)
    upper = bounded.intervals.limit("sigma_45", 2.0, 1)
    assert upper.at_bound and upper.value == params["sigma_45"].max
    assert any("interval of sigma_45 reaches its upper bound" in w for w in bounded.warnings)
    assert "*: a bound lies inside the interval" in bounded.report()
    saved = json.loads(json.dumps(bounded.to_dict()))["intervals"]
    assert any(l["at_bound"] for l in saved["limits"]["sigma_45"])


def test_intervals_refuse_bad_widths():
    result = tarnok.fit(measured(5), EXPERIMENT, varied("sigma_45"), n_starts=1, threads=1)
    with pytest.raises(ValueError, match="sigmas must lie in"):
        result.conf_interval(sigmas=(0,))
    with pytest.raises(TypeError, match="sigmas must be a sequence"):
        result.conf_interval(sigmas="1")


# ---------------------------------------------------------------------------
# Model comparison


def test_compare_ranks_models_on_the_same_data_and_reads_saved_results(tmp_path):
    # Pulses long against the singlet's lifetime let the triplet's absorption
    # build up, which a model without the triplet cannot follow.
    experiment = dataclasses.replace(EXPERIMENT, tau=50e-9, t_slices=11)
    energies = [1e-3, 4e-3, 1.6e-2]
    clean = tarnok.simulate(experiment, tarnok.Parameters(**TRUTH), POSITIONS, energies)
    noisy = clean + np.random.default_rng(6).normal(0.0, NOISE, clean.shape)
    data = tarnok.ZScan(POSITIONS, noisy, energies, sigma=np.full(clean.shape, NOISE))
    right = tarnok.fit(data, experiment, varied("sigma_12", "sigma_45"), n_starts=1,
                       threads=1)
    wrong = tarnok.fit(data, experiment, varied("sigma_12", "sigma_23", sigma_45=0.0),
                       n_starts=1, threads=1)
    comparison = tarnok.compare([right, wrong], labels=["triplet", "singlet only"])
    assert comparison.best.label == "triplet"
    rows = comparison.rows
    assert sum(r.akaike_weight for r in rows) == pytest.approx(1.0)
    assert rows[0].delta_aic == 0.0 and rows[1].delta_aic == pytest.approx(
        rows[1].aic - rows[0].aic)
    assert rows[1].akaike_weight == pytest.approx(
        math.exp(-rows[1].delta_aic / 2) / (1 + math.exp(-rows[1].delta_aic / 2)))
    # Through result.json (as tarnok compare reads them) the same table comes out.
    paths = []
    for name, result in (("a", right), ("b", wrong)):
        (tmp_path / name).mkdir()
        path = tmp_path / name / "result.json"
        path.write_text(json.dumps(result.to_dict()))
        paths.append(path)
    saved = tarnok.compare(paths, labels=["triplet", "singlet only"])
    assert saved.rows == comparison.rows
    assert saved.data_hash == data_hash(data) == right.data_hash
    assert "dAIC" in saved.table() and "singlet only" in saved.table()


def test_compare_refuses_results_fitted_to_different_data():
    params = varied("sigma_12", "sigma_45")
    one = tarnok.fit(measured(7), EXPERIMENT, params, n_starts=1, threads=1)
    other = tarnok.fit(measured(8), EXPERIMENT, params, n_starts=1, threads=1)
    unweighted = tarnok.fit(measured(7, sigma=False), EXPERIMENT, params, n_starts=1,
                            threads=1)
    for pair in ([one, other], [one, unweighted]):
        with pytest.raises(ValueError, match="fitted to different data"):
            tarnok.compare(pair)
    with pytest.raises(ValueError, match="at least two"):
        tarnok.compare([one])
    with pytest.raises(TypeError, match=r"results\[1\]: expected a FitResult"):
        tarnok.compare([one, 3])
