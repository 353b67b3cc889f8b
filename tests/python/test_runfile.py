"""The TOML run description: the template, its defaults, loading its data, and
errors that name the offending key."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest

from tarnok.io import DataFileError
from tarnok.runfile import KEYS, PARAMETER_NAMES, RunFileError, load_run, template

Z = np.linspace(-20.0, 20.0, 41)
ENERGIES_UJ = (200, 800, 3200)


def signal(energy_uj):
    return 2.0 * (1 - 0.2 * energy_uj / 3200 / (1 + (Z / 2.4) ** 2))


@pytest.fixture
def run_folder(tmp_path):
    (tmp_path / "data").mkdir()
    for energy in ENERGIES_UJ:
        rows = "\n".join(f"{z},{s}" for z, s in zip(Z, signal(energy)))
        (tmp_path / "data" / f"sample_{energy}uJ.csv").write_text("z_mm,signal\n" + rows)
    return tmp_path


def write_run(folder, text):
    path = folder / "run.toml"
    path.write_text(text)
    return path


def test_template_loads_with_its_defaults_and_reads_its_data(run_folder, monkeypatch):
    monkeypatch.chdir("/")  # paths must be resolved from the run file, not the cwd
    run = load_run(write_run(run_folder, template()))
    assert run.experiment == {
        "wavelength": 532e-9, "w0": 20e-6, "M2": 1.0, "tau": 5e-9, "thickness": 1e-3,
        "populations": [1e23, 0.0, 0.0, 0.0, 0.0], "t_slices": "auto", "z_slices": "auto",
        "beam": "gaussian", "radial_nodes": "auto", "repetition_rate": None}
    assert list(run.parameters) == list(PARAMETER_NAMES)
    assert run.parameters["sigma_12"] == {"value": 2e-21, "vary": True, "min": 1e-23,
                                          "max": 1e-19}
    assert run.parameters["tau_21"] == {"value": 8e-9, "vary": False, "min": -math.inf,
                                        "max": math.inf}
    assert (run.fit.engine, run.fit.n_starts, run.fit.threads, run.fit.seed) == (
        "exact", 8, None, 0)
    assert run.output.folder == run_folder / "tarnok-output"
    assert run.raw["data"]["layout"] == "per-energy"
    scan, curves = run.load_data()
    np.testing.assert_allclose(scan.pulse_energies, np.multiply(ENERGIES_UJ, 1e-6))
    np.testing.assert_allclose(scan.transmittance[:, 0], 1.0, atol=2e-3)
    assert curves[0].offset == pytest.approx(2.0, abs=2e-3)


def test_template_mentions_every_key():
    text = template()
    for table, keys in KEYS.items():
        for key in keys:
            pattern = rf"^#? ?({key} =|\[\[data\.{key}\]\])"
            assert re.search(pattern, text, re.MULTILINE), f"{table}.{key}"


def test_minimal_long_layout_run_with_normalisation_disabled(tmp_path):
    rows = [f"{e * 1e-6},{z},{s / 2}" for e in ENERGIES_UJ for z, s in zip(Z, signal(e))]
    (tmp_path / "all.tsv").write_text("E\tz\tT\n" + "\n".join(rows).replace(",", "\t"))
    parameters = "\n".join(f"[parameters.{name}]\nvalue = 1e-9" for name in PARAMETER_NAMES[:8])
    path = write_run(tmp_path, f"""
[experiment]
wavelength = 532e-9
w0 = 2e-5
M2 = 1.2
tau = 5e-9
thickness = 1e-3
populations = [1e23, 0, 0, 0, 0]
[data]
layout = "long"
file = "all.tsv"
energy_column = "E"
position_column = "z"
signal_column = 2
[normalise]
enabled = false
{parameters}
""")
    run = load_run(path)
    assert run.parameters["z0"] == {"value": 0.0, "vary": False, "min": -math.inf,
                                    "max": math.inf}
    scan, curves = run.load_data()
    assert scan.n_energies == 3 and curves[2].offset == 1.0
    np.testing.assert_allclose(scan.transmittance[2], signal(3200) / 2)


@pytest.mark.parametrize(("old", "new", "message"), [
    ("w0 = 20e-6", "w0 = -2e-5",
     "[experiment] w0: must be a positive number in metres, got -2e-05"),
    ("w0 = 20e-6", 'w0 = "20 us"', "[experiment] w0: 'us' is not a unit of length; use one of"),
    ("w0 = 20e-6", 'w0 = "20 mm"', "[experiment] w0: 0.02 is not a plausible value in metres"),
    ("w0 = 20e-6", 'w0 = [20]', "[experiment] w0: must be a positive number in metres, got a "
     "list of 1 items or a string with a unit ('1.56 um')"),
    ("w0 = 20e-6", "w0 = 20", "[experiment] w0: 20 is not a plausible value in metres"),
    ('t_slices = "auto"', "t_slices = 1", "[experiment] t_slices: must be a whole number >= 2"),
    ('t_slices = "auto"', 't_slices = "fine"', '[experiment] t_slices: must be a whole number >= 2 '
     'or "auto", got'),
    ('# radial_nodes = "auto"', 'radial_nodes = 0', "[experiment] radial_nodes: must be a whole "
     "number >= 1"),
    ("M2 = 1.0", "M2 = 0.8", "[experiment] M2: the beam quality factor must be >= 1"),
    ("[1e23, 0, 0, 0, 0]", "[1e23, 0, 0, 0]", "[experiment] populations: must be a list of 5"),
    ('beam = "gaussian"', 'beam = "flat"', "[experiment] beam: must be one of"),
    ('z_slices = "auto"', "z_slice = 11", "[experiment] z_slice: unknown key"),
    ("[fit]", "[fitting]", "unknown table [fitting]"),
    ("n_starts = 8", "n_starts = 8.5", "[fit] n_starts: must be a whole number >= 1"),
    ('format = "png"', 'format = "jpg"', "[output] format: must be one of"),
    ("wings = 5", "wings = 5\nwings_mm = 3.0", "[normalise] wings_mm: give wings"),
    ("tilt = false", 'tilt = "no"', "[normalise] tilt: must be true or false"),
    ("# depth_extrapolation = true", 'depth_extrapolation = "yes"',
     "[experiment] depth_extrapolation: must be true or false"),
    ("[parameters.tau_54]\nvalue = 1e-10", "", "[parameters.tau_54] missing"),
    ("value = 8e-9", "value = 0", "[parameters.tau_21] value: must be a positive number"),
    ("max = 1e-19", "max = 1e-24", "[parameters.sigma_12] min: must be less than max"),
    ("max = 1e-19", "max = 1e-21", "[parameters.sigma_12] value: 2e-21 lies outside"),
    ("[parameters.z0]", "[parameters.z1]", "[parameters] z1: unknown key"),
    ('layout = "per-energy"', 'layout = "long"', "[data] files: not used with layout = 'long'"),
    ('position_unit = "mm"', 'position_unit = "steps"', "[data] step_size_mm: position_unit"),
    ("signal_column = 1", "signal_column = -1", "[data] signal_column: must be a column"),
    ('path = "data/sample_200uJ.csv"', 'paht = "x.csv"', "[data.files][0] paht: unknown key"),
    ("energy_pattern = '", "energy_pattern = '(x)?",
     "[data] energy_pattern: needs a named group (?P<energy>...) or exactly one group"),
    ("seed = 0", "seed = ", "not valid TOML"),
    ("energy_pattern = ", "# energy_pattern = ",
     "[data.files][0] pulse_energy: missing; give pulse_energy"),
])
def test_bad_values_are_reported_by_key(run_folder, old, new, message):
    text = template()
    assert old in text
    path = write_run(run_folder, text.replace(old, new, 1))
    with pytest.raises(RunFileError) as caught:
        load_run(path)
    assert str(caught.value).startswith(f"{path}: ")
    assert message in str(caught.value)


def test_uncertainties_and_intervals_are_read_and_checked_by_key(run_folder):
    text = template().replace("# w0 = 2e-6", "w0 = 2e-6").replace(
        "# populations = [5e21", "populations = [5e21").replace(
        "# pulse_energy = 0.01", "pulse_energy = [0.01, 0.02, 0.0]").replace(
        "intervals = false", "intervals = true")
    run = load_run(write_run(run_folder, text))
    assert run.uncertainties == {"w0": 2e-6, "populations": [5e21, 0.0, 0.0, 0.0, 0.0],
                                 "pulse_energy": [0.01, 0.02, 0.0]}
    assert run.fit.intervals is True
    assert load_run(write_run(run_folder, template())).uncertainties == {}
    for old, new, message in (
            ("# w0 = 2e-6", "waist = 2e-6", "[uncertainties] waist: unknown key"),
            ("# tau = 5e-10", "tau = -5e-10", "[uncertainties] tau: must be a non-negative"),
            ("# populations = [5e21, 0, 0, 0, 0]", "populations = [5e21]",
             "[uncertainties] populations: must be a list of 5 numbers"),
            ("intervals = false", "intervals = 1", "[fit] intervals: must be true or false")):
        with pytest.raises(RunFileError, match=re.escape(message)):
            load_run(write_run(run_folder, template().replace(old, new)))


def test_missing_data_file_is_reported_when_loading_data(run_folder):
    (run_folder / "data" / "sample_800uJ.csv").unlink()
    run = load_run(write_run(run_folder, template()))
    with pytest.raises(DataFileError, match=r"sample_800uJ.csv: file not found"):
        run.load_data()
