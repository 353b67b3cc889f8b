"""Quantities with units, average powers, and the three layouts of measurement
files, read as a user's real files are: a wide table of a dozen powers, raw
headerless TSVs with motor steps and mixed units in their names."""

from __future__ import annotations

import math

import numpy as np
import pytest

from tarnok import units
from tarnok.io import DataFileError, load_wide, pulse_energy_of
from tarnok.runfile import RunFileError, load_run

Z = np.linspace(-10.0, 10.0, 21)
PARAMETERS = """
[parameters.sigma_12]
value = "2e-17 cm^2"
[parameters.sigma_23]
value = 5e-21
[parameters.sigma_45]
value = 3e-20
[parameters.tau_21]
value = "8 ns"
[parameters.tau_24]
value = 4e-9
[parameters.tau_32]
value = "100 ps"
[parameters.tau_41]
value = "1 us"
[parameters.tau_54]
value = 1e-10
[parameters.z0]
value = "250 um"
"""


def experiment(extra: str = "") -> str:
    return f"""
[experiment]
wavelength = "1.56 um"
w0 = "19 um"
M2 = 1.1
tau_fwhm = "90 fs"
thickness = "1 mm"
populations = ["1e17 cm^-3", 0, 0, 0, 0]
{extra}
"""


def dip(scale: float) -> np.ndarray:
    return 1 - 0.1 * scale / (1 + (Z / 2) ** 2)


@pytest.mark.parametrize(("text", "dimension", "si"), [
    ("90 fs", units.TIME, 9e-14), ("3e-9", units.TIME, 3e-9), ("90 FS", units.TIME, 9e-14),
    ("1.56 um", units.LENGTH, 1.56e-6), ("1.56µm", units.LENGTH, 1.56e-6),
    ("100 MHz", units.FREQUENCY, 1e8), ("100 mhz", units.FREQUENCY, 1e8),
    ("2 cm^2", units.AREA, 2e-4), ("1e17 cm^-3", units.DENSITY, 1e23),
    ("50 GM", units.TWO_PHOTON, 5e-57), ("250 um", units.MILLIMETRES, 0.25),
    ("1,5 ns", units.TIME, 1.5e-9),
])
def test_quantities_convert_to_si_exactly_as_written(text, dimension, si):
    assert units.parse_quantity(text, dimension) == si


@pytest.mark.parametrize(("text", "dimension", "message"), [
    ("5 kg", units.TIME, "'kg' is not a unit of time; use one of s, fs, ps"),
    ("fast", units.TIME, "is not a number with a unit"),
    ("1e400 s", units.TIME, "too large"),
])
def test_bad_quantities_say_what_is_accepted(text, dimension, message):
    with pytest.raises(units.UnitError, match=message):
        units.parse_quantity(text, dimension)


@pytest.mark.parametrize(("text", "joules"), [
    ("200uJ", 2e-4), ("3.2MJ", 3.2e-3), ("50 pJ", 5e-11), ("1 J", 1.0),
    ("115nw", 1.15e-7 / 8e7), ("2.25uW", 2.25e-6 / 8e7), ("19 µW", 1.9e-5 / 8e7),
    ("0.5w", 0.5 / 8e7),
])
def test_energies_and_powers_in_any_case(text, joules):
    assert pulse_energy_of(text, repetition_rate=8e7) == pytest.approx(joules, rel=1e-15)


def test_a_power_without_repetition_rate_is_refused():
    with pytest.raises(ValueError, match="average power; give repetition_rate"):
        pulse_energy_of("19uw")
    assert pulse_energy_of("200", "uJ") == 2e-4
    assert pulse_energy_of("200", 1e-6) == 2e-4


def write(folder, name, text):
    path = folder / name
    path.write_text(text)
    return path


def test_raw_headerless_tsvs_with_motor_steps_and_mixed_units(tmp_path):
    powers = {"scan_115nw.tsv": 115e-9, "scan_2.25uw.tsv": 2.25e-6, "scan_19UW.tsv": 19e-6}
    for name, power in powers.items():
        volts = 0.37 * dip(power / 19e-6)
        rows = "\n".join(f"{int(z * 400)}\t{v:.6f}" for z, v in zip(Z, volts))
        write(tmp_path, name, rows + "\n")
    files = "\n".join(f'[[data.files]]\npath = "{name}"' for name in powers)
    run = load_run(write(tmp_path, "run.toml", experiment('repetition_rate = "80 MHz"') + f"""
[data]
layout = "per-energy"
header = false
position_unit = "steps"
step_size_mm = "2.5 um"
energy_pattern = "auto"
{files}
""" + PARAMETERS))
    assert run.experiment["tau"] == pytest.approx(9e-14 / (2 * math.sqrt(math.log(2))))
    assert run.experiment["populations"][0] == 1e23
    assert run.parameters["sigma_12"]["value"] == 2e-21
    assert run.parameters["z0"]["value"] == 0.25
    data, curves = run.load_data()
    np.testing.assert_allclose(data.pulse_energies, np.array(list(powers.values())) / 8e7,
                               rtol=1e-15)
    np.testing.assert_allclose(data.positions_mm[0], Z, atol=1e-12)
    np.testing.assert_allclose(data.transmittance[2], dip(1.0) / dip(1.0)[[0, -1]].mean(),
                               rtol=2e-2)
    report = run.values_report()
    assert "tau = tau_fwhm / (2 sqrt(ln 2)) = 5.405" in report
    assert "[experiment] w0 = '19 um' read as 1.9e-05 m" in report
    assert "repetition_rate:" in report and "8e+07 Hz" in report


def wide_table(n_powers: int = 12, short_last: bool = True) -> tuple[str, list[float]]:
    powers = [round(0.1 * (k + 1), 1) for k in range(n_powers)]
    header = ["Power_values(W)"]
    for power in powers:
        header += [f"Z_{power}W", f"OA_{power}W", f"CA_{power}W"]
    rows = []
    for i, z in enumerate(Z):
        row = [f"{powers[i]}" if i < n_powers else ""]
        for k, power in enumerate(powers):
            # The last curve has two points fewer: its group ends early.
            short = short_last and k == n_powers - 1 and i >= Z.size - 2
            row += ["", "", ""] if short else [
                f"{z}", f"{2 * dip(power)[i]:.6f}", f"{3 * dip(2 * power)[i]:.6f}"]
        rows.append(",".join(row))
    return ",".join(header) + "\n" + "\n".join(rows) + "\n", powers


def test_a_wide_table_of_a_dozen_powers_with_closed_aperture_columns(tmp_path):
    text, powers = wide_table()
    # Equal lengths are needed to fit the curves together; the short group is
    # read on its own below.
    write(tmp_path, "sweep.csv", text)
    curves = load_wide(tmp_path / "sweep.csv", "OA_{E}", position_columns="Z_{E}",
                       closed_columns="CA_{E}", repetition_rate=1e3)
    assert [c.pulse_energy for c in curves] == pytest.approx([p / 1e3 for p in powers],
                                                             rel=1e-15)
    assert [c.n_positions for c in curves] == [21] * 11 + [19]
    np.testing.assert_allclose(curves[3].closed, 3 * dip(2 * powers[3]), atol=1e-6)
    run = load_run(write(tmp_path, "run.toml", experiment('repetition_rate = "1 kHz"') + """
[data]
layout = "wide"
file = "sweep.csv"
position_columns = "z_{E}"
signal_columns = "oa_{E}"
closed_columns = "CA_{E}"
closed_over_open = true
""" + PARAMETERS))
    with pytest.raises(ValueError, match="curve 11 .* has 19 points"):
        run.load_data()
    write(tmp_path, "sweep.csv", wide_table(short_last=False)[0])
    data, normalised = run.load_data()
    assert data.n_energies == 12
    expected = dip(2 * powers[0]) / dip(2 * powers[0])[[0, -1]].mean() / \
        (dip(powers[0]) / dip(powers[0])[[0, -1]].mean())
    np.testing.assert_allclose(normalised[0].closed, expected, rtol=3e-3)


@pytest.mark.parametrize(("data", "message"), [
    ('position_columns = "Z_{E}"\nsignal_columns = "OA_{E}"\nsigma_columns = "S_{E}"',
     "has no sigma column matching 'S_{E}'"),
    ('position_columns = "Z_{E}"\nsignal_columns = "T_{E}"', "no column name matches"),
])
def test_wide_table_mistakes_name_the_columns(tmp_path, data, message):
    write(tmp_path, "sweep.csv", wide_table(3)[0])
    run = load_run(write(tmp_path, "run.toml", experiment('repetition_rate = 1000') +
                         f'[data]\nlayout = "wide"\nfile = "sweep.csv"\n{data}\n' + PARAMETERS))
    with pytest.raises(DataFileError, match=message):
        run.load_data()


def test_long_table_of_average_powers(tmp_path):
    rows = [f"{p},{z},{s}" for p in (1.0, 4.0) for z, s in zip(Z, dip(p))]
    write(tmp_path, "all.csv", "P_mW,z,T\n" + "\n".join(rows))
    run = load_run(write(tmp_path, "run.toml", experiment('repetition_rate = "10 kHz"') + """
[data]
layout = "long"
file = "all.csv"
energy_column = "P_mW"
energy_unit = "mW"
position_column = "z"
signal_column = "T"
""" + PARAMETERS))
    data, _ = run.load_data()
    assert data.pulse_energies.tolist() == [1e-7, 4e-7]


@pytest.mark.parametrize(("change", "message"), [
    ('energy_unit = "mW"', "[data] energy_unit: 'mW' is a power; give repetition_rate"),
    ('energy_unit = "kg"', "[data] energy_unit: 'kg' is not a unit of energy or power"),
    ('closed_over_open = true', "[data] closed_over_open: needs closed-aperture columns"),
    ('signal_columns = "OA"', "[data] signal_columns: not used with layout = 'long'"),
])
def test_new_data_keys_are_checked_by_name(tmp_path, change, message):
    path = write(tmp_path, "run.toml", experiment() + f"""
[data]
layout = "long"
file = "all.csv"
energy_column = "P"
position_column = "z"
signal_column = "T"
{change}
""" + PARAMETERS)
    with pytest.raises(RunFileError, match=message.replace("[", r"\[").replace("]", r"\]")):
        load_run(path)


def test_tau_and_tau_fwhm_together_are_refused(tmp_path):
    path = write(tmp_path, "run.toml", experiment("tau = 5e-14") + """
[data]
layout = "long"
file = "all.csv"
energy_column = "P"
position_column = "z"
signal_column = "T"
""" + PARAMETERS)
    with pytest.raises(RunFileError, match="tau_fwhm: give tau .* or tau_fwhm"):
        load_run(path)
