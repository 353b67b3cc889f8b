"""Closed-aperture curves beside the open ones: the scan that carries either or
both per energy, the joint fit of absorption and refraction over one χ², its
report and result.json, run files with both columns, and the refusals."""

from __future__ import annotations

import json
import math

import numpy as np
import pytest

import tarnok
from tarnok import closed_aperture
from tarnok.cli import main
from tarnok.runfile import RunFileError, load_run

POSITIONS = np.linspace(-12.0, 12.0, 25)
ENERGIES = np.array([4e-9, 8e-9, 12e-9])
# A two-photon absorber with Kerr refraction, measured with 60 fs pulses at
# 800 nm: beta = 2 cm/GW, n2 = 3e-15 cm^2/W, on-axis phases of a few tenths.
TRUTH = dict(sigma_12=0.0, sigma_23=0.0, sigma_45=0.0, tau_21=1e-9, tau_24=1.0,
             tau_32=1e-13, tau_41=1e-3, tau_54=1e-13, delta_12=5e-58, n2=3e-19)


def experiment(**changes):
    settings = dict(wavelength=800e-9, w0=25e-6, M2=1.0, tau=60e-15, thickness=5e-4,
                    populations=[1e28, 0, 0, 0, 0], aperture_transmittance=0.3,
                    t_slices=11, z_slices=5, radial_nodes=12)
    settings.update(changes)
    return tarnok.Experiment(**settings)


def synthetic(exp, noise=1e-3, seed=3):
    both = tarnok.simulate(exp, tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES,
                           aperture="both")
    rng = np.random.default_rng(seed)
    measured = rng.normal(both, noise)
    return both, measured


# --- the scan ---------------------------------------------------------------

def test_a_scan_keeps_both_apertures_and_stacks_them_open_first():
    open_, closed = np.ones((2, 5)), np.full((2, 5), 1.01)
    closed[1] = np.nan  # the second energy through the open aperture only
    scan = tarnok.ZScan(np.arange(5.0), open_, [1e-9, 2e-9], sigma=np.full((2, 5), 0.01),
                        closed=closed, closed_sigma=np.full((2, 5), 0.02))
    assert scan.blocks == 2 and scan.closed_rows.tolist() == [True, False]
    data, sigma = scan.stacked()
    assert data.shape == sigma.shape == (4, 5)
    np.testing.assert_array_equal(np.isnan(data).all(axis=1), [False, False, False, True])
    # The σ of an absent curve means nothing, whatever was passed.
    assert np.isnan(scan.closed_sigma[1]).all() and scan.closed_sigma[0, 0] == 0.02
    only_closed = tarnok.ZScan(np.arange(5.0), None, [1e-9], closed=np.ones((1, 5)))
    assert only_closed.open_rows.tolist() == [False]


@pytest.mark.parametrize(("kwargs", "message"), [
    (dict(transmittance=None), "needs the open-aperture curves, the closed ones"),
    (dict(transmittance=np.full((2, 5), np.nan)), "row 0 is absent .* no closed-aperture"),
    (dict(closed=np.full((2, 5), np.nan), transmittance=np.r_[[np.ones(5)], [np.full(5, np.nan)]]),
     "row 1 is absent .* in both"),
    (dict(closed=np.r_[[np.ones(5)], [[1, 1, np.nan, 1, 1]]]), r"closed: entry \[1, 2\] is nan"),
    (dict(closed=np.ones((2, 4))), "closed: each curve needs at least 5 positions"),
    (dict(closed=np.ones((3, 5))), r"closed: expected the shape of transmittance \(2, 5\)"),
    (dict(closed=np.ones((2, 5)), sigma=np.full((2, 5), 0.01)), "closed_sigma: needed because sigma"),
    (dict(closed_sigma=np.full((2, 5), 0.01)), "closed_sigma: given without closed"),
    (dict(closed=np.ones((2, 5)), sigma=np.full((2, 5), 0.01),
          closed_sigma=np.zeros((2, 5))), "closed_sigma: entry .* must be positive"),
])
def test_a_scan_refuses_inconsistent_apertures_by_name(kwargs, message):
    arguments = dict(transmittance=np.ones((2, 5)))
    arguments.update(kwargs)
    with pytest.raises(ValueError, match=message):
        tarnok.ZScan(np.arange(5.0), arguments.pop("transmittance"), [1e-9, 2e-9], **arguments)


def test_the_peak_valley_summary_recovers_sheik_bahaes_small_phase_curve():
    # T = 1 - 4 phi x / ((x^2 + 9)(x^2 + 1)) sampled every z_R/4 as a scan
    # would be: the refined extremes give dT_pv = 0.406 phi and 1.717 z_R.
    z_r_mm = rayleigh = math.pi * 25e-6 ** 2 / 800e-9 * 1e3
    positions = np.linspace(-10, 10, 41) * z_r_mm / 2
    fine = closed_aperture.refined_positions(positions[None], z_r_mm)
    # Refined to at most z_R / 10: three steps in each of z_R / 4.
    assert np.diff(fine[0, 4:-4]).max() == pytest.approx(z_r_mm / 12)
    # The outermost five points, on which the model normalises, are the data's.
    np.testing.assert_array_equal(fine[0, :5], positions[:5])
    np.testing.assert_array_equal(fine[0, -5:], positions[-5:])
    x = fine / rayleigh
    phi = 0.05
    curve = 1 - 4 * phi * x / ((x ** 2 + 9) * (x ** 2 + 1))
    scan = tarnok.ZScan(positions, np.ones((1, 41)), [1e-9], closed=np.ones((1, 41)))
    exp = experiment()
    summary = closed_aperture.summarise(scan, exp, {"n2": 0.0}, curve, fine, [1e14])
    c = summary.curves[0]
    assert c.delta_t_pv == pytest.approx(0.40607 * phi, rel=2e-3)
    assert c.separation_zr == pytest.approx(1.717, rel=3e-3)
    assert not c.valley_first  # this curve has its peak before the focus
    assert summary.rayleigh_range_mm == pytest.approx(rayleigh)
    # <dPhi0> = k0 n2 I0 L / sqrt(2) without linear absorption.
    with_n2 = closed_aperture.summarise(scan, exp, {"n2": 1e-19}, curve, fine, [1e14])
    expected = 2 * math.pi / 800e-9 * 1e-19 * 1e14 * 5e-4 / math.sqrt(2)
    assert with_n2.curves[0].kerr_phase == pytest.approx(expected, rel=1e-12)


# --- the joint fit ----------------------------------------------------------

@pytest.fixture(scope="module")
def joint_fit():
    exp = experiment()
    both, measured = synthetic(exp)
    open_, closed = measured[0].copy(), measured[1].copy()
    open_[2] = np.nan    # the highest energy through the closed aperture only...
    closed[0] = np.nan   # ...and the lowest through the open one only
    scan = tarnok.ZScan(POSITIONS, open_, ENERGIES, sigma=np.full(open_.shape, 1e-3),
                        closed=closed, closed_sigma=np.full(closed.shape, 1e-3))
    params = tarnok.Parameters(**{**TRUTH, "delta_12": 2e-58, "n2": 1e-19})
    params["delta_12"].set(vary=True, min=1e-60, max=1e-55)
    params["n2"].set(vary=True)
    return scan, both, tarnok.fit(scan, exp, params, n_starts=2, threads=1)


def test_a_joint_fit_recovers_absorption_and_refraction_from_both_apertures(joint_fit):
    scan, both, result = joint_fit
    for name in ("delta_12", "n2"):
        p = result.params[name]
        assert abs(p.value - TRUTH[name]) < 4 * p.stderr, name
    # Counted over the present values only: four curves of 25 points.
    assert result.ndata == 4 * POSITIONS.size and result.nfree == result.ndata - 2
    assert result.goodness_of_fit is not None
    # The model is there for every energy, measured or not; residuals are not.
    model = tarnok.simulate(experiment(), result.params, POSITIONS, ENERGIES, aperture="both")
    np.testing.assert_allclose(result.closed_best_fit, model[1], rtol=1e-9)
    np.testing.assert_allclose(result.best_fit, model[0], rtol=1e-9)
    np.testing.assert_allclose(result.closed_best_fit, both[1], atol=2e-3)
    assert np.isfinite(result.best_fit).all()
    assert np.isnan(result.residual[2]).all() and np.isnan(result.closed_residual[0]).all()
    assert np.isnan(result.rms_closed_per_energy[0]) and result.rms_closed_per_energy[1] < 2e-3
    assert [(c.aperture, c.index) for c in result.residual_runs] == [
        ("open", 0), ("open", 1), ("closed", 1), ("closed", 2)]


def test_the_joint_fit_reports_the_closed_curves_and_saves_them(joint_fit, tmp_path):
    scan, _, result = joint_fit
    text = result.report()
    assert "[[Closed Aperture]]" in text and "rms closed" in text and "closed tests p" in text
    summary = result.closed_aperture
    assert [c.measured for c in summary.curves] == [False, True, True]
    # A positive n2 (self-focusing) puts the valley before the peak.
    assert all(c.valley_first for c in summary.curves)
    assert all(c.kerr_phase > 0 for c in summary.curves)
    assert summary.curves[2].delta_t_pv > summary.curves[1].delta_t_pv > 0
    document = json.loads(json.dumps(result.to_dict(), allow_nan=False))
    assert document["closed_residual"][0] == [None] * POSITIONS.size
    assert document["data"]["transmittance"][2] == [None] * POSITIONS.size
    from tarnok.outputs import checked_saved_fit, result_document, write_fit_files

    saved = checked_saved_fit(json.loads(json.dumps(result_document(result))))
    assert saved.data.closed_rows.tolist() == [False, True, True]
    written = write_fit_files(saved, tmp_path)
    header, *rows = (tmp_path / "curves.csv").read_text().splitlines()
    assert header.endswith("closed,closed_sigma,closed_model,closed_residual")
    assert rows[0].split(",")[6] == ""  # the lowest energy's closed curve is absent
    assert any(path.name == "fit.png" for path in written)


def test_the_error_budget_counts_both_apertures(joint_fit):
    from tarnok.budget import error_budget

    scan, _, result = joint_fit
    budget = error_budget(result, {"w0": 1e-6, "pulse_energy": [0.0, 0.0, 0.02]})
    # A waist known to 4 % moves both beta and n2; the highest energy was
    # measured through the closed aperture only, so its energy error reaches
    # the fit through the closed curve alone, and still moves n2.
    assert budget.entries["n2"].contributions["w0"] != 0.0
    assert budget.entries["delta_12"].contributions["w0"] != 0.0
    assert budget.entries["n2"].contributions["pulse_energy[2]"] != 0.0


def test_closed_curves_need_an_aperture_in_the_experiment():
    scan = tarnok.ZScan(POSITIONS, np.ones((1, 25)), [1e-9], closed=np.ones((1, 25)))
    params = tarnok.Parameters(**TRUTH)
    params["n2"].set(vary=True)
    with pytest.raises(ValueError, match="no closed aperture; give aperture_transmittance"):
        tarnok.fit(scan, experiment(aperture_transmittance=None), params, n_starts=1)


# --- run files ----------------------------------------------------------------

RUN = """
[experiment]
wavelength = "800 nm"
w0 = "25 um"
M2 = 1.0
tau = "60 fs"
thickness = "0.5 mm"
populations = [1e28, 0, 0, 0, 0]
t_slices = 11
z_slices = 5
{experiment}

[data]
layout = "per-energy"
signal_column = 1
sigma_column = 2
closed_column = 3
closed_sigma_column = 4
{data}
[[data.files]]
path = "scan_8nJ.csv"
pulse_energy = "8 nJ"
[[data.files]]
path = "scan_12nJ.csv"
pulse_energy = "12 nJ"

[normalise]
enabled = {normalise}

[parameters.delta_12]
value = 2e-58
vary = true
min = 1e-60
max = 1e-55
[parameters.n2]
value = "1e-15 cm^2/W"
vary = true
[parameters.sigma_12]
value = 0.0
[parameters.sigma_23]
value = 0.0
[parameters.sigma_45]
value = 0.0
[parameters.tau_21]
value = 1e-9
[parameters.tau_24]
value = 1.0
[parameters.tau_32]
value = 1e-13
[parameters.tau_41]
value = 1e-3
[parameters.tau_54]
value = 1e-13

[fit]
n_starts = 2
threads = 1
"""


def write_run(folder, experiment_keys='aperture_transmittance = 0.3', data="",
              normalise="false", divided=False):
    exp = experiment()
    both, measured = synthetic(exp)
    for row, energy in ((1, 8), (2, 12)):
        closed = measured[1, row] / measured[0, row] if divided else measured[1, row]
        lines = ["z,T,dT,C,dC"] + [f"{z},{t},0.001,{c},0.001" for z, t, c in
                                   zip(POSITIONS, measured[0, row], closed)]
        (folder / f"scan_{energy}nJ.csv").write_text("\n".join(lines) + "\n")
    path = folder / "run.toml"
    path.write_text(RUN.format(experiment=experiment_keys, data=data, normalise=normalise))
    return path


def test_a_run_file_with_both_columns_fits_both(tmp_path, capsys):
    path = write_run(tmp_path, 'aperture_transmittance = 0.3\nlinear_index = 2.4')
    run = load_run(path)
    data, _ = run.load_data()
    assert data.closed_rows.tolist() == [True, True] and data.closed_sigma is not None
    assert run.parameters["n2"]["value"] == pytest.approx(1e-19)
    assert main(["fit", str(path), "--quiet"]) == 0
    document = json.loads((tmp_path / "tarnok-output" / "result.json").read_text())
    assert document["experiment"]["aperture_transmittance"] == 0.3
    assert document["ndata"] == 4 * POSITIONS.size
    n2 = document["params"]["n2"]
    assert abs(n2["value"] - 3e-19) < 4 * n2["stderr"]
    assert len(document["closed_aperture"]["curves"]) == 2
    assert "[[Closed Aperture]]" in document["report"]


def test_the_divide_option_models_closed_over_open(tmp_path):
    path = write_run(tmp_path, data="closed_over_open = true", normalise="true")
    run = load_run(path)
    assert run.experiment["closed_divided"] is True
    assert any("closed_divided = true" in note for note in run.conversions)
    data, curves = run.load_data()
    np.testing.assert_allclose(data.closed, curves_ratio(curves), rtol=1e-12)
    exp = tarnok.Experiment(**run.experiment)
    divided = tarnok.simulate(exp, tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES[1:],
                              aperture="closed")
    both = tarnok.simulate(experiment(), tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES[1:],
                           aperture="both")
    # Closed over open, each normalised on its wings: the ratio is 1 there too.
    np.testing.assert_allclose(divided, both[1] / both[0], atol=2e-3)


def curves_ratio(curves):
    return np.stack([c.closed for c in curves])


def test_closed_columns_without_an_aperture_are_kept_but_not_fitted(tmp_path):
    run = load_run(write_run(tmp_path, experiment_keys=""))
    data, curves = run.load_data()
    assert not data.has_closed and curves[0].closed is not None
    assert any("not fitted" in note for note in run.conversions)


@pytest.mark.parametrize(("experiment_keys", "data", "message"), [
    ("aperture_transmittance = 1.5", "",
     r"\[experiment\] aperture_transmittance: .* must lie in \(0, 1\]"),
    ("aperture_transmittance = 0", "", r"\[experiment\] aperture_transmittance: must be a "
                                       "positive number"),
    ('aperture_radius = "1 mm"', "", r"\[experiment\] aperture_radius: needs aperture_distance"),
    ('aperture_transmittance = 0.3\naperture_radius = "1 mm"', "",
     r"\[experiment\] aperture_radius: give aperture_transmittance \(S\) or aperture_radius"),
    ('aperture_transmittance = 0.3\naperture_distance = -0.5', "",
     r"\[experiment\] aperture_distance: must be a positive number"),
    ('aperture_distance = 0.5', "", r"\[experiment\] aperture_distance: describes a closed "
                                    "aperture"),
    ('aperture_transmittance = 0.3\nrepetition_rate = 1e3', "",
     r"\[experiment\] repetition_rate: a closed aperture is modelled for single pulses"),
    ('aperture_transmittance = 0.3\nclosed_divided = false', "closed_over_open = true",
     r"\[experiment\] closed_divided: is false, but \[data\] closed_over_open"),
    ('aperture_transmittance = 0.3\nclosed_divided = "yes"', "",
     r"\[experiment\] closed_divided: must be true or false"),
])
def test_run_file_refusals_name_the_key(tmp_path, experiment_keys, data, message):
    with pytest.raises(RunFileError, match=message):
        load_run(write_run(tmp_path, experiment_keys, data))


def test_simulate_writes_the_closed_curves_too(tmp_path, capsys):
    path = write_run(tmp_path)
    assert main(["simulate", str(path), "--energies", "8nJ", "12nJ", "--scan", "-12", "12",
                 "25", "--noise", "1e-3", "--output", str(tmp_path / "sim")]) == 0
    header, *rows = (tmp_path / "sim" / "simulation.csv").read_text().splitlines()
    assert header.split(",")[-3:] == ["closed_transmittance", "closed_measured", "closed_sigma"]
    closed = np.array([float(r.split(",")[6]) for r in rows]).reshape(2, 25)
    start = tarnok.Parameters(**{**TRUTH, "n2": 1e-19, "delta_12": 2e-58})
    both = tarnok.simulate(experiment(), start,
                           POSITIONS, ENERGIES[1:], aperture="both")
    np.testing.assert_allclose(closed, both[1], rtol=1e-12)
    assert "closed: max - min" in capsys.readouterr().out
