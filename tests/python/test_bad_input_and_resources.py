"""Extreme and malformed input ends in one clear error: no NaN curve returned
as success, no allocation beyond the machine, no traceback, no hang."""

from __future__ import annotations

import json
import os

import numpy as np
import pytest

import tarnok
from tarnok import cli, resources
from tarnok.io import DataFileError, MAX_FIELD_CHARACTERS, load_curve
from tarnok.runfile import RunFileError, load_run
from test_cli import one_error_line, small_run

SPECTROSCOPIC = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9,
                     tau_24=4e-9, tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
EXPERIMENT = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                  populations=[1e23, 0, 0, 0, 0], t_slices=5, z_slices=3)
Z = np.linspace(-20.0, 20.0, 11)
EXTREMES = [1e300, 1e-300, 5e-324, 1e30, 1e-30]


@pytest.mark.parametrize("beam", ["on-axis", "gaussian"])
@pytest.mark.parametrize("field", ["wavelength", "w0", "M2", "tau", "thickness", "energy",
                                   "sigma_12", "tau_21", "w0 parameter", "populations"])
def test_extreme_inputs_give_finite_curves_or_a_value_error(field, beam):
    for extreme in EXTREMES:
        experiment, params, energies = dict(EXPERIMENT, beam=beam), dict(SPECTROSCOPIC), [1e-4]
        if field == "energy":
            energies = [extreme]
        elif field == "populations":
            experiment["populations"] = [extreme, 0, 0, 0, 0]
        elif field == "w0 parameter":
            params["w0"] = extreme
        elif field in params:
            params[field] = extreme
        elif field == "M2" and extreme < 1:
            continue
        else:
            experiment[field] = extreme
        parameters = tarnok.Parameters(**params)
        parameters["sigma_45"].vary = parameters["z0"].vary = True
        for compute in (tarnok.simulate, tarnok.jacobian):
            try:
                values = compute(tarnok.Experiment(**experiment), parameters, Z, energies)
            except ValueError as error:
                assert str(error)
                continue
            assert np.all(np.isfinite(values)), (field, extreme, compute.__name__)


def test_a_non_finite_model_names_the_input_behind_it():
    experiment = tarnok.Experiment(**{**EXPERIMENT, "beam": "gaussian", "thickness": 5.0})
    params = tarnok.Parameters(**{**SPECTROSCOPIC, "sigma_12": 1e-19})
    with pytest.raises(ValueError, match="not finite .* the linear absorbance sigma_12 x "
                                         "populations\\[0\\] x thickness = 50000"):
        tarnok.simulate(experiment, params, Z, [1e-4])


def test_derivative_records_beyond_the_memory_are_refused(monkeypatch):
    monkeypatch.setattr(resources, "available_memory", lambda: 10 * 2**20)
    experiment = tarnok.Experiment(**{**EXPERIMENT, "t_slices": 1000, "z_slices": 1000})
    params = tarnok.Parameters(**SPECTROSCOPIC)
    params["sigma_12"].vary = params["sigma_45"].vary = True
    tarnok.jacobian(tarnok.Experiment(**{**EXPERIMENT, "t_slices": 20, "z_slices": 10}),
                    params, Z, [1e-4])  # a record that fits
    with pytest.raises(MemoryError, match="1000 x 1000 need about 19 MiB \\(1 thread x "
                                          "19 MiB\\), but only 10 MiB are available"):
        tarnok.jacobian(experiment, params, Z, [1e-4], threads=1)
    # Every thread a jacobian may share its positions with keeps a record.
    with pytest.raises(MemoryError, match="3 threads"):
        tarnok.jacobian(experiment, params, Z, [1e-4], threads=3)
    data = tarnok.ZScan(Z, np.ones((1, Z.size)), [1e-4])
    with pytest.raises(MemoryError, match="4 threads"):
        tarnok.fit(data, experiment, params, n_starts=8, threads=4)
    params["sigma_45"].vary = False  # one derivative is carried forward: no record
    tarnok.jacobian(tarnok.Experiment(**{**EXPERIMENT, "t_slices": 20, "z_slices": 10}),
                    params, Z, [1e-4])


def test_numpy_integers_count_as_integers():
    experiment = tarnok.Experiment(**EXPERIMENT)
    params = tarnok.Parameters(**SPECTROSCOPIC)
    data = tarnok.ZScan(Z, tarnok.simulate(experiment, params, Z, [1e-4, 1e-3]), [1e-4, 1e-3])
    params["sigma_45"].vary = True
    result = tarnok.fit(data, experiment, params, n_starts=np.int64(2), threads=np.int32(1),
                        seed=np.uint8(3))
    assert len(result.starts) == 2
    with pytest.raises(TypeError, match="n_starts must be an integer"):
        tarnok.fit(data, experiment, params, n_starts=np.True_)


@pytest.fixture
def run_file(tmp_path):
    return small_run(tmp_path)


def test_a_run_file_with_a_byte_order_mark_is_read(run_file):
    run_file.write_bytes(b"\xef\xbb\xbf" + run_file.read_bytes())
    assert load_run(run_file).fit.n_starts == 2


@pytest.mark.parametrize(("content", "message"), [
    ("x = " + "[" * 500 + "]" * 500, "nested too deeply"),
    ("fifo", "not a regular file"),
    ("folder", "is a folder"),
    (b"\xff\xfe", "not a UTF-8 text file"),
])
def test_malformed_run_files_are_one_error(tmp_path, content, message):
    path = tmp_path / "run.toml"
    if content == "fifo":
        os.mkfifo(path)
    elif content == "folder":
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    with pytest.raises(RunFileError, match=message):
        load_run(path)


def sparse_file(path, size):
    """A file of ``size`` bytes that takes no room on the disk."""
    path.touch()
    os.truncate(path, size)


@pytest.mark.parametrize(("make", "message"), [
    (lambda p: p.write_text("z,s\n1," + "x" * (MAX_FIELD_CHARACTERS + 1) + "\n"),
     "line 2: line of 131075 characters"),
    (lambda p: sparse_file(p, 200 * 2**20), "200 MiB"),
    (lambda p: os.mkfifo(p), "not a regular file"),
])
def test_data_files_that_cannot_be_read_whole_are_refused_first(tmp_path, make, message):
    path = tmp_path / "scan.csv"
    make(path)
    with pytest.raises(DataFileError, match=message):
        load_curve(path, pulse_energy=1e-4)


def test_a_scan_too_large_is_refused_before_it_is_made(run_file, capsys):
    assert cli.main(["simulate", str(run_file), "--energies", "1mJ", "--scan", "-20", "20",
                     "10000000000"]) == 2
    assert "COUNT 10000000000 is more than" in one_error_line(capsys)


def test_simulating_beyond_the_model_writes_nothing(run_file, tmp_path, capsys):
    out = tmp_path / "sim"
    assert cli.main(["simulate", str(run_file), "--energies", "1e300", "--scan", "-20", "20",
                     "11", "-o", str(out)]) == 2
    assert "pulse energy of 1e+300 J" in one_error_line(capsys)
    assert not out.exists()


def damaged(document):
    """Ways a hand-edited result.json goes wrong."""
    yield "not an object", []
    for key in ("data", "params", "starts", "best_start", "experiment", "best_fit",
                "residual", "report", "aborted"):
        yield f"no {key}", {k: v for k, v in document.items() if k != key}
    for key, value in [("best_start", 99), ("best_start", "first"), ("best_start", None),
                       ("best_fit", [[1.0]]), ("residual", [["x"]]), ("starts", [1, 2]),
                       ("starts", [{"chisqr": None}, {"chisqr": None}]),
                       ("experiment", {"wavelength": -1}), ("experiment", []),
                       ("params", {"sigma_12": {"value": "big"}}), ("params", []),
                       ("data", {"positions_mm": [], "transmittance": []}),
                       ("redchi", "low"), ("report", {"text": 1})]:
        yield f"{key} = {value!r}", {**document, key: value}
    yield "nested", {**document, "experiment": {"populations": json.loads("[" * 200 + "]" * 200)}}


def test_damaged_result_files_are_answered_with_one_message(run_file, tmp_path, capsys):
    out = tmp_path / "out"
    assert cli.main(["fit", str(run_file), "-o", str(out), "--threads", "1", "-q"]) == 0
    document = json.loads((out / "result.json").read_text())
    for name, content in damaged(document):
        path = tmp_path / "edited" / "result.json"
        path.parent.mkdir(exist_ok=True)
        path.write_text(json.dumps(content))
        status = cli.main(["report", str(path), "-q"])
        assert status == 2, name
        assert str(path) in one_error_line(capsys), name
