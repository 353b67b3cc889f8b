"""ZScan: the validated container of one sample's measured curves."""

from __future__ import annotations

import numpy as np
import pytest

from tarnok.zscan import ZScan

Z = np.linspace(-10.0, 10.0, 7)
T = np.vstack([1 - 0.1 / (1 + Z**2), 1 - 0.2 / (1 + Z**2)])
E = np.array([1e-6, 2e-6])


def make(**changes):
    arguments = dict(positions_mm=Z, transmittance=T, pulse_energies=E, sigma=None)
    arguments.update(changes)
    return ZScan(**arguments)


def test_shared_positions_are_broadcast_and_arrays_are_private_and_read_only():
    source = T.copy()
    scan = ZScan(Z, source, E, sigma=np.full(T.shape, 1e-3))
    source[0, 0] = 99.0
    assert scan.transmittance[0, 0] != 99.0
    assert scan.positions_mm.shape == (2, 7)
    np.testing.assert_array_equal(scan.positions_mm[1], Z)
    assert (scan.n_energies, scan.n_positions, scan.has_sigma) == (2, 7, True)
    for array in (scan.positions_mm, scan.transmittance, scan.pulse_energies, scan.sigma):
        assert array.dtype == np.float64 and array.flags.c_contiguous
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 0.0


def test_per_row_positions_duplicate_energies_and_decreasing_rows_are_accepted():
    positions = np.vstack([Z, Z[::-1] + 0.5])
    scan = make(positions_mm=positions, pulse_energies=[1e-6, 1e-6])
    np.testing.assert_array_equal(scan.positions_mm, positions)
    assert "2 curves x 7 positions" in repr(scan) and "sigma none" in repr(scan)


@pytest.mark.parametrize(("changes", "error", "message"), [
    ({"transmittance": T[0]}, ValueError, r"transmittance: expected a 2-D"),
    ({"transmittance": T[:, :4], "positions_mm": Z[:4]}, ValueError,
     r"transmittance: .*at least 5 positions"),
    ({"transmittance": np.where(np.eye(2, 7) > 0, np.nan, T)}, ValueError,
     r"transmittance: entry \[0, 0\] is nan"),
    ({"transmittance": [["a"] * 7] * 2}, TypeError, r"transmittance: expected real numbers"),
    ({"transmittance": [[1.0] * 7, [1.0] * 6]}, TypeError, r"transmittance: .*rectangular"),
    ({"positions_mm": Z[:6]}, ValueError, r"positions_mm: expected shape \(7,\) or \(2, 7\)"),
    ({"positions_mm": np.r_[Z[:3], Z[3], Z[3:6]]}, ValueError, r"positions_mm: row 0 is not"),
    ({"positions_mm": np.r_[Z[:6], np.inf]}, ValueError, r"positions_mm: entry \[0, 6\] is inf"),
    ({"pulse_energies": [1e-6]}, ValueError, r"pulse_energies: expected a 1-D array of 2"),
    ({"pulse_energies": [1e-6, 0.0]}, ValueError, r"pulse_energies: entry \[1\] is 0"),
    ({"pulse_energies": None}, TypeError, r"pulse_energies: .*got None"),
    ({"sigma": np.ones((2, 6))}, ValueError, r"sigma: expected the shape"),
    ({"sigma": -np.ones(T.shape)}, ValueError, r"sigma: entry \[0, 0\] is -1"),
    ({"sigma": np.full(T.shape, True)}, TypeError, r"sigma: expected real numbers"),
])
def test_bad_input_is_refused_naming_the_argument(changes, error, message):
    with pytest.raises(error, match=message):
        make(**changes)
