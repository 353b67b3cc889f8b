"""Every preset, end to end as the guide shows it: written by tarnok init,
noisy synthetic data made by tarnok simulate, and tarnok fit finding the
preset's own values again, within their uncertainty, from other start values."""

from __future__ import annotations

import json
import re

import pytest

from tarnok import cli
from tarnok.presets import PRESETS
from tarnok.runfile import load_run

# Energies (or powers) and scan of each preset's guide example, and a start
# value for each varied parameter away from the preset's own.
EXAMPLES = {
    "fs-2pa": (["20mW", "50mW", "100mW"], "10", {"delta_12": ('"1000 GM"', '"200 GM"')}),
    "ps-rsa": (["100nJ", "400nJ", "1.6uJ"], "20",
               {"sigma_23": ('"1e-16 cm^2"', '"3e-16 cm^2"')}),
    "ns-rsa": (["25nJ", "100nJ", "400nJ"], "20",
               {"sigma_45": ('"3e-16 cm^2"', '"1e-16 cm^2"')}),
    "sa": (["500nJ", "2uJ", "8uJ"], "20", {"sigma_12": ('"4e-18 cm^2"', '"1e-17 cm^2"')}),
}
LONG_LAYOUT = """[data]
layout = "long"
file = "synthetic/simulation.csv"
energy_column = "pulse_energy_J"
position_column = "position_mm"
signal_column = "measured"
sigma_column = "sigma"

"""


def coarse(text: str) -> str:
    """The same run on a coarser grid and with two starts, to fit in seconds."""
    text = re.sub(r"t_slices = \d+", "t_slices = 7", text)
    text = re.sub(r"z_slices = \d+", "z_slices = 3\nradial_nodes = 4", text)
    return text.replace("n_starts = 8", "n_starts = 2")


def test_every_preset_has_an_example():
    assert set(EXAMPLES) == set(PRESETS)


@pytest.mark.parametrize("name", sorted(PRESETS))
def test_a_preset_fits_its_own_synthetic_data(name, tmp_path, capsys):
    energies, half_scan, starts = EXAMPLES[name]
    run = tmp_path / f"{name}.toml"
    assert cli.main(["init", "--preset", name, str(run)]) == 0
    preset_run = load_run(run)
    varied = [n for n, p in preset_run.parameters.items() if p["vary"]]
    assert set(starts) <= set(varied), "the example moves every varied value but z0"
    run.write_text(coarse(run.read_text()))
    truth = load_run(run).parameters
    assert cli.main(["simulate", str(run), "--energies", *energies, "--scan",
                     f"-{half_scan}", half_scan, "41", "--noise", "0.004",
                     "-o", str(tmp_path / "synthetic"), "-q"]) == 0
    text = re.sub(r"\[data\].*?(?=\[normalise\])", LONG_LAYOUT, run.read_text(), flags=re.S)
    for parameter, (value, start) in starts.items():
        table = rf"(\[parameters\.{parameter}\][^\n]*\nvalue = ){re.escape(value)}"
        text, found = re.subn(table, rf"\g<1>{start}", text)
        assert found == 1, parameter
    run.write_text(text)
    assert cli.main(["fit", str(run), "-o", str(tmp_path / "fit"), "-q"]) == 0, \
        capsys.readouterr().err
    result = json.loads((tmp_path / "fit" / "result.json").read_text())
    assert 0.5 < result["redchi"] < 2.0  # the model explains the data to their noise
    for parameter in starts:
        fitted = result["params"][parameter]
        assert abs(fitted["value"] - truth[parameter]["value"]) < 5 * fitted["stderr"]
        assert fitted["stderr"] < 0.2 * fitted["value"]
