"""Loading curves from delimited text files, and the errors that point at the bad cell."""

from __future__ import annotations

import numpy as np
import pytest

from tarnok.io import DataFileError, load_curve, load_long

Z = [-4.0, -2.0, -1.0, 0.0, 1.0, 2.0, 4.0]
S = [2.0, 1.98, 1.9, 1.6, 1.9, 1.98, 2.0]


def write(folder, name, rows, delimiter=",", header=None):
    lines = [] if header is None else [delimiter.join(header)]
    lines += [delimiter.join(str(v) for v in row) for row in rows]
    path = folder / name
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("delimiter", [",", "\t", ";", "   "])
@pytest.mark.parametrize("header", [None, ["z_mm", "signal"]])
def test_delimiter_and_header_are_sniffed(tmp_path, delimiter, header):
    path = write(tmp_path, "scan.txt", zip(Z, S), delimiter, header)
    curve = load_curve(path, pulse_energy=1e-6)
    np.testing.assert_array_equal(curve.positions_mm, Z)
    np.testing.assert_array_equal(curve.signal, S)
    assert curve.sigma is None and curve.pulse_energy == 1e-6


def test_columns_by_name_reference_and_units(tmp_path):
    rows = [(z * 1000, 2 * s, 0.02, 2.0, 0) for z, s in zip(Z, S)]
    path = write(tmp_path, "e.csv", rows, header=["Z_UM", "sig", "err", "ref", "unused"])
    curve = load_curve(path, position="z_um", signal="sig", sigma=2, reference="ref",
                       pulse_energy=1e-6, position_unit="um")
    np.testing.assert_allclose(curve.positions_mm, Z)
    np.testing.assert_allclose(curve.signal, S)
    np.testing.assert_allclose(curve.sigma, 0.01)
    steps = load_curve(path, position=0, signal=1, pulse_energy=1e-6, position_unit="steps",
                       step_size_mm=0.001)
    np.testing.assert_allclose(steps.positions_mm, Z)


@pytest.mark.parametrize(("name", "pattern", "unit", "energy"), [
    ("dye_12.5uJ_run2.csv", r"(\d+(?:\.\d+)?)uJ", 1e-6, 12.5e-6),
    ("E=3mJ-run12.csv", r"E=(?P<energy>\d+)mJ-run(\d+)", 1e-3, 3e-3),
])
def test_energy_from_file_name(tmp_path, name, pattern, unit, energy):
    path = write(tmp_path, name, zip(Z, S))
    curve = load_curve(path, energy_pattern=pattern, energy_unit=unit)
    assert curve.pulse_energy == pytest.approx(energy)


def test_long_table_is_grouped_by_energy_in_order_of_appearance(tmp_path):
    rows = [(e, z, s * k) for e, k in ((3e-6, 1), (1e-6, 2)) for z, s in zip(Z, S)]
    rows.append(rows.pop(0))  # a straggler row still joins its own curve
    path = write(tmp_path, "all.csv", rows, header=["E", "z", "T"])
    curves = load_long(path, energy="E", position="z", signal="T")
    assert [c.pulse_energy for c in curves] == [3e-6, 1e-6]
    assert curves[0].positions_mm[-1] == Z[0]
    np.testing.assert_allclose(curves[1].signal, np.multiply(S, 2))


def bad_cell(rows, line, value):
    rows = [list(r) for r in rows]
    rows[line][1] = value
    return rows


GOOD = list(zip(Z, S))


@pytest.mark.parametrize(("rows", "options", "message", "line", "column"), [
    (bad_cell(GOOD, 5, "abc"), {}, r"line 7, column 'signal': 'abc' is not a number", 7,
     "signal"),
    (bad_cell(GOOD, 0, " "), {}, r"line 2, column 'signal': missing value", 2, "signal"),
    (bad_cell(GOOD, 2, "nan"), {}, r"line 4, column 'signal': 'nan' is not a finite", 4,
     "signal"),
    (GOOD[:3] + [(1.0,)] + GOOD[3:], {}, r"line 5: row has 1 columns, expected 2", 5, None),
    (GOOD[:4], {}, r"has 4 points; a curve needs at least 5", None, None),
    (GOOD, {"signal": "T"}, r"signal column 'T' not found; the header has 'z', 'signal'",
     None, None),
    (GOOD, {"signal": 5}, r"signal column index 5 is out of range", None, None),
    ([(z, s, -1.0) for z, s in GOOD], {"sigma": 2}, r"line 2, column 'err': '-1.0' must be pos",
     2, "err"),
])
def test_bad_content_names_file_line_and_column(tmp_path, rows, options, message, line,
                                                column):
    header = ["z", "signal", "err"][: len(rows[0])]
    path = write(tmp_path, "e1.csv", rows, header=header)
    with pytest.raises(DataFileError, match=message) as caught:
        load_curve(path, **{"pulse_energy": 1e-6, **options})
    assert str(caught.value).startswith(str(path))
    assert (caught.value.path, caught.value.line) == (str(path), line)
    if column is not None:
        assert caught.value.column == column


@pytest.mark.parametrize(("text", "options", "message"), [
    ("", {}, "file is empty"),
    ("# only a comment\n\n", {}, "file is empty"),
    ("1,2\n3,4,5\n6,7\n", {"delimiter": ","}, "line 2: row has 3 columns, expected 2"),
    ("1\n2\n3\n4\n5\n", {}, "no consistent delimiter"),
    ("z,s\n" + "\n".join(f"{z},{s}" for z, s in GOOD), {"header": False},
     "line 1, column 0: 'z' is not a number"),
    ("\n".join(f"{z},{s}" for z, s in GOOD), {"signal": "s"}, "no header row"),
])
def test_malformed_files(tmp_path, text, options, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(DataFileError, match=message):
        load_curve(path, **{"pulse_energy": 1e-6, **options})


def test_energy_errors(tmp_path):
    path = write(tmp_path, "scan.csv", GOOD)
    with pytest.raises(DataFileError, match=r"'scan.csv' does not match energy_pattern"):
        load_curve(path, energy_pattern=r"(\d+)uJ")
    with pytest.raises(ValueError, match="no pulse energy; give pulse_energy"):
        load_curve(path)
    with pytest.raises(DataFileError,
                       match="file not found"):
        load_curve(tmp_path / "missing.csv", pulse_energy=1e-6)
    long = write(tmp_path, "long.csv", [(1e-6, z, s) for z, s in GOOD] + [(2e-6, 0.0, 1.0)])
    with pytest.raises(DataFileError, match="curve at energy 2e-06 has 1 points"):
        load_long(long, energy=0, position=1, signal=2)
