"""The tarnok command: what it writes, its exit statuses, and that every
mistake a user can make ends in one line naming the culprit, not a traceback."""

from __future__ import annotations

import csv
import dataclasses
import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tarnok import cli
from tarnok.runfile import load_run, template

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def example_module():
    located = importlib.util.spec_from_file_location("make_example_files",
                                                  EXAMPLES / "make_example_files.py")
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def small_run(folder: Path) -> Path:
    """The bundled example, cut down to fit in about a second."""
    maker = example_module()
    return maker.write_example(folder, energies_uj=(200, 3200),
                               positions_mm=np.linspace(-20.0, 20.0, 11),
                               experiment={**maker.EXPERIMENT, "t_slices": 5, "z_slices": 3},
                               n_starts=2)


@pytest.fixture
def run_file(tmp_path):
    return small_run(tmp_path)


def one_error_line(capsys) -> str:
    err = capsys.readouterr().err
    assert "Traceback" not in err
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    return lines[0]


def test_fit_writes_the_folder_and_report_rebuilds_it(run_file, tmp_path, capsys):
    out = tmp_path / "out"
    assert cli.main(["fit", str(run_file), "-o", str(out), "--threads", "1"]) == 0
    stdout = capsys.readouterr().out
    assert "[[Variables]]" in stdout and str(out) in stdout
    document = json.loads((out / "result.json").read_text())
    assert document["run"]["source"] == str(run_file)
    assert document["run"]["toml"]["fit"]["n_starts"] == 2
    # The example's detector reads 0.83 in the wings and drifts by 0.002 per mm.
    assert [b["offset"] for b in document["normalisation"]] == pytest.approx([0.83] * 2,
                                                                              abs=0.01)
    assert set(document["versions"]) >= {"tarnok", "numpy"}
    report = (out / "report.txt").read_text()
    for name in ("report.txt", "fit.png", "irradiance.png", "starts.png"):
        (out / name).unlink()
    again = tmp_path / "again"
    assert cli.main(["report", str(out / "result.json"), "-o", str(again), "--format",
                     "svg", "-q"]) == 0
    assert (again / "report.txt").read_text() == report
    assert {p.name for p in again.iterdir()} == {
        "result.json", "report.txt", "curves.csv", "fit.svg", "irradiance.svg", "starts.svg"}
    assert cli.main(["report", str(out / "result.json"), "-q"]) == 0
    assert (out / "report.txt").read_text() == report


def test_fit_with_intervals_and_a_budget_then_compare_two_models(run_file, tmp_path, capsys):
    text = run_file.read_text().replace("[fit]", "[uncertainties]\nw0 = 2e-6\n"
                                        "energy_calibration = 0.05\n\n[fit]")
    run_file.write_text(text)
    first, second = tmp_path / "first", tmp_path / "second"
    assert cli.main(["fit", str(run_file), "-o", str(first), "--intervals", "-q"]) == 0
    document = json.loads((first / "result.json").read_text())
    assert document["intervals"]["sigmas"] == [1.0, 2.0]
    assert set(document["budget"]["entries"]["sigma_12"]["contributions"]) == {
        "w0", "energy_calibration"}
    assert document["data_hash"].startswith("sha256:")
    for block in ("[[Error Budget]]", "[[Confidence Intervals]]", "reached the best chi-square"):
        assert block in document["report"]
    # The same data with one parameter fewer: a second model to compare with.
    run_file.write_text(text.replace("vary = true", "vary = false", 1))
    assert cli.main(["fit", str(run_file), "-o", str(second), "-q"]) == 0
    capsys.readouterr()
    assert cli.main(["compare", str(first / "result.json"), str(second / "result.json")]) == 0
    out = capsys.readouterr().out
    assert "dAIC" in out and "lowest AIC:" in out and str(first / "result.json") in out
    # A result of other data is refused with one line.
    other = json.loads((second / "result.json").read_text())
    other["data"]["transmittance"][0][0] += 1e-3
    other.pop("data_hash")
    (tmp_path / "other.json").write_text(json.dumps(other))
    assert cli.main(["compare", str(first / "result.json"), str(tmp_path / "other.json")]) == 2
    assert "fitted to different data" in one_error_line(capsys)


@pytest.mark.parametrize("ending, said", [
    (dict(aborted=True, success=False), "stopped"),
    (dict(aborted=False, success=False, message="too many iterations"), "too many iterations"),
])
def test_an_unfinished_fit_exits_1_and_still_writes_everything(run_file, monkeypatch, capsys,
                                                                ending, said):
    fit_module = importlib.import_module("tarnok.fit")
    real_fit = fit_module.fit
    monkeypatch.setattr(fit_module, "fit", lambda *args, **kwargs: dataclasses.replace(
        real_fit(*args, **kwargs), **ending))
    assert cli.main(["fit", str(run_file), "-q"]) == 1
    assert said in one_error_line(capsys)
    out = load_run(run_file).output.folder
    document = json.loads((out / "result.json").read_text())
    assert (document["aborted"], document["success"]) == (ending["aborted"], False)
    assert ("aborted" in (out / "report.txt").read_text()) == ending["aborted"]
    assert (out / "fit.png").exists() and (out / "curves.csv").exists()


def break_data(run_file: Path) -> None:
    path = run_file.parent / "data" / "rsa_3200uJ.csv"
    lines = path.read_text().splitlines()
    lines[4] = "-12,abc,0.003"
    path.write_text("\n".join(lines))


def rewrite_data(transform):
    """A damage that rewrites the 200 uJ file's lines with transform(lines)."""
    def damage(run_file: Path) -> None:
        path = run_file.parent / "data" / "rsa_200uJ.csv"
        path.write_text("\n".join(transform(path.read_text().splitlines())) + "\n")
    return damage


def replace_in(run_file: Path, old: str, new: str) -> None:
    text = run_file.read_text()
    assert old in text
    run_file.write_text(text.replace(old, new))


@pytest.mark.parametrize("args, damage, culprit", [
    (["fit", "{dir}/absent.toml"], None, "absent.toml"),
    (["fit", "{run}"], lambda r: replace_in(r, "z_slices = 3", "z_slices = 'three'"),
     "z_slices"),
    (["fit", "{run}"], break_data, "rsa_3200uJ.csv, line 5, column 'signal'"),
    (["fit", "{run}"], lambda r: replace_in(r, "vary = true", "vary = false"),
     "no parameter is varied"),
    (["fit", "{run}", "-o", "{run}"], None, "output folder"),
    (["simulate", "{run}"], break_data, "give both --energies and --positions"),
    (["simulate", "{run}", "--energies", "1uJ", "--scan", "-1", "1", "3"], None, "--scan"),
    (["fit", "{run}"], rewrite_data(lambda ls: [l.replace(",", "|") for l in ls]), "rsa_200uJ.csv"),
    (["fit", "{run}"], rewrite_data(lambda ls: [",".join(l.split(",")[:2]) for l in ls]),
     "sigma"),
    (["fit", "{run}"], rewrite_data(lambda ls: []), "rsa_200uJ.csv"),
    (["fit", "{run}"], rewrite_data(lambda ls: ls[:2]), "rsa_200uJ.csv"),
    (["fit", "{run}"], rewrite_data(lambda ls: ls[:1] + ls[2:]), "rsa_200uJ.csv) has 10"),
    (["fit", "{run}"], rewrite_data(lambda ls: ls[:3] + ["-18,,0.003"] + ls[4:]),
     "rsa_200uJ.csv, line 4"),
    (["fit", "{run}"], lambda r: replace_in(r, "[experiment]", "[experiment]\nwaist = 1e-5"),
     "waist"),
    (["fit", "{run}"], lambda r: replace_in(r, "w0 = 2e-5", "w0 = -2e-5"), "w0"),
    (["report", "{run}"], None, "not valid JSON"),
    (["report", "{dir}/absent.json"], None, "absent.json: result file not found"),
    (["init", "{run}"], None, "already exists"),
])
def test_bad_input_exits_2_naming_the_culprit(run_file, capsys, args, damage, culprit):
    if damage is not None:
        damage(run_file)
    before = run_file.read_text()
    argv = [a.format(run=run_file, dir=run_file.parent) for a in args]
    assert cli.main(argv) == 2
    assert culprit in one_error_line(capsys)
    assert run_file.read_text() == before


def test_simulate_plans_without_data(run_file, tmp_path, capsys):
    for path in (run_file.parent / "data").iterdir():
        path.unlink()
    out = tmp_path / "plan"
    assert cli.main(["simulate", str(run_file), "--energies", "20uJ", "1e-4", "500uJ",
                     "--scan", "-10", "10", "21", "-o", str(out)]) == 0
    assert "500 µJ" in capsys.readouterr().out
    with (out / "simulation.csv").open() as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) == 3 * 21
    lowest = {}
    for row in rows:
        energy = float(row["pulse_energy_J"])
        lowest[energy] = min(lowest.get(energy, 2.0), float(row["transmittance"]))
    # Below saturation a reverse saturable absorber dips deeper the more
    # energy a pulse carries.
    assert 1 > lowest[2e-5] > lowest[1e-4] > lowest[5e-4]
    assert (out / "simulation.png").exists()


def test_init_writes_a_run_file_that_loads(tmp_path, capsys):
    path = tmp_path / "new.toml"
    assert cli.main(["init", str(path)]) == 0
    assert path.read_text() == template()
    assert load_run(path).fit.n_starts == 8


@pytest.mark.parametrize("text, joules", [
    ("3.2e-3", 3.2e-3), ("200uJ", 2e-4), ("200 µJ", 2e-4), ("1.5mJ", 1.5e-3), ("50nJ", 5e-8),
])
def test_energies_are_read_with_their_unit(text, joules):
    assert cli.energy_argument(text) == joules


@pytest.mark.parametrize("text", ["0", "-1mJ", "2 kJ", "nan", "uJ"])
def test_energies_that_are_not_rejected_by_the_parser(text):
    with pytest.raises(Exception, match="not a pulse energy"):
        cli.energy_argument(text)


@pytest.mark.parametrize("command", [[], ["fit"], ["simulate"], ["report"], ["init"]])
def test_every_help_text_renders(command, capsys):
    assert cli.main([*command, "--help"]) == 0
    assert "usage: tarnok" in capsys.readouterr().out


def test_python_m_tarnok_runs_the_command():
    done = subprocess.run([sys.executable, "-m", "tarnok", "--version"], capture_output=True,
                          text=True, check=False)
    assert done.returncode == 0 and done.stdout.startswith("tarnok ")
