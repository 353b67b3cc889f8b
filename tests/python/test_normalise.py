"""Baseline normalisation, averaging of repeated scans and assembly into a ZScan."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnok.io import Curve
from tarnok.normalise import average_scans, normalise, to_zscan

Z = np.linspace(-10.0, 10.0, 21)


def dip(z, centre=0.0, depth=0.3):
    # Exactly 1 beyond 4 mm from the centre, so the wings hold the true baseline.
    return 1 - depth * np.clip(1 - np.abs(z - centre) / 4, 0, None)


def curve(signal, sigma=None, z=Z, energy=1e-6, source="scan.csv"):
    return Curve(z, signal, sigma, energy, source)


@pytest.mark.parametrize(("offset", "slope", "options"), [
    (2.0, 0.0, {}),
    (2.0, 0.0, {"wings": 3}),
    (2.0, 0.03, {"tilt": True}),
    (0.5, -0.01, {"tilt": True, "wings_mm": 5.0}),
    (0.5, 0.0, {"wings_mm": 7.0, "focus_mm": 0.0}),
])
def test_baseline_is_recovered_and_divided_out(offset, slope, options):
    line = offset + slope * Z
    sigma = np.full(Z.size, 0.01)
    result = normalise(curve(line * dip(Z), sigma), **options)
    assert (result.offset, result.slope) == pytest.approx((offset, slope), abs=1e-12)
    np.testing.assert_allclose(result.baseline, line)
    np.testing.assert_allclose(result.transmittance, dip(Z))
    np.testing.assert_allclose(result.sigma, sigma / line)


def test_wings_in_mm_are_measured_from_the_dip_by_default():
    result = normalise(curve(dip(Z, centre=4.0)), wings_mm=4.5)
    assert result.focus_mm == 4.0
    np.testing.assert_array_equal(result.wing_mask, np.abs(Z - 4.0) > 4.5)


def test_wing_points_are_outermost_by_position_not_by_file_order():
    order = np.random.default_rng(0).permutation(Z.size)
    result = normalise(curve(2 * dip(Z)[order], z=Z[order]), wings=2)
    assert sorted(np.abs(Z[order][result.wing_mask])) == [9, 9, 10, 10]
    assert result.offset == pytest.approx(2.0)


@given(scale=st.floats(1e-6, 1e6), noise_seed=st.integers(0, 2**32 - 1))
@settings(max_examples=30, deadline=None, database=None)
def test_transmittance_does_not_depend_on_detector_gain(scale, noise_seed):
    noisy = dip(Z) + np.random.default_rng(noise_seed).normal(0, 1e-3, Z.size)
    reference = normalise(curve(noisy), tilt=True).transmittance
    np.testing.assert_allclose(normalise(curve(scale * noisy), tilt=True).transmittance,
                               reference, rtol=1e-9)


@pytest.mark.parametrize(("signal", "options", "message"), [
    (dip(Z), {"wings": 3, "wings_mm": 2.0}, "not both"),
    (dip(Z), {"wings": 11}, "need at least 22 points, but scan.csv has 21"),
    (dip(Z), {"wings": 0}, "wings: expected a positive whole number"),
    (dip(Z), {"wings_mm": 9.5, "focus_mm": 1.0}, "no point of scan.csv lies more than 9.5 mm above"),
    (dip(Z), {"focus_mm": 1.0}, "focus_mm is only used with wings_mm"),
    (Z * dip(Z), {"tilt": True}, "baseline from the wings is not positive"),
])
def test_impossible_normalisation_is_refused(signal, options, message):
    with pytest.raises(ValueError, match=message):
        normalise(curve(signal), **options)


def test_average_gives_mean_and_standard_error():
    scans = [curve(dip(Z) + d, source=f"s{i}") for i, d in enumerate((0.0, 0.02, 0.04))]
    mean = average_scans(scans)
    np.testing.assert_allclose(mean.signal, dip(Z) + 0.02)
    np.testing.assert_allclose(mean.sigma, 0.02 / np.sqrt(3))
    assert mean.pulse_energy == 1e-6 and "s2" in mean.source


@pytest.mark.parametrize(("second", "message"), [
    (curve(dip(Z) + 0.1, z=Z + 0.01, source="b.csv"), r"scan 1 \(b.csv\) is on different"),
    (curve(dip(Z[:-1]) + 0.1, z=Z[:-1], source="b.csv"), r"scan 1 \(b.csv\) has 20 points"),
    (curve(dip(Z) + 0.1, energy=2e-6, source="b.csv"), "has pulse energy 2e-06 J"),
    (curve(dip(Z)), "agree exactly at"),
])
def test_scans_that_cannot_be_averaged(second, message):
    with pytest.raises(ValueError, match=message):
        average_scans([curve(dip(Z)), second])
    with pytest.raises(ValueError, match="at least 2 scans"):
        average_scans([second])


def test_to_zscan_orders_rows_by_position_and_keeps_energies():
    backwards = curve(dip(Z, 1.0)[::-1], sigma=np.linspace(0.01, 0.02, Z.size), z=Z[::-1],
                      energy=2e-6)
    scan = to_zscan([normalise(curve(2 * dip(Z), np.full(Z.size, 0.01))), backwards])
    np.testing.assert_array_equal(scan.positions_mm[1], Z)
    np.testing.assert_allclose(scan.transmittance, [dip(Z), dip(Z, 1.0)])
    np.testing.assert_allclose(scan.sigma[1], np.linspace(0.02, 0.01, Z.size))
    np.testing.assert_array_equal(scan.pulse_energies, [1e-6, 2e-6])


@pytest.mark.parametrize(("curves", "message"), [
    ([], "need at least one curve"),
    ([curve(dip(Z)), curve(dip(Z), np.ones(Z.size), source="b")],
     r"curve 0 has no sigma but curve 1 \(b\) has sigma"),
    ([curve(dip(Z)), curve(dip(Z[1:]), z=Z[1:], source="b")], r"curve 1 \(b\) has 20 points"),
    ([curve(dip(Z), z=np.r_[Z[:-1], Z[0]], source="b")], r"curve 0 \(b\) has position -10 mm more"),
    (["not a curve"], "expected NormalisedCurve or Curve items, got str"),
])
def test_curves_that_do_not_make_a_zscan(curves, message):
    with pytest.raises((ValueError, TypeError), match=message):
        to_zscan(curves)
