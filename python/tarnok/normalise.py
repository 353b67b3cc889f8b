"""Turning raw scans into normalised transmittance: dividing each curve by the
baseline seen far from the focus, averaging repeated scans, and assembling the
curves of one sample into a :class:`~tarnok.zscan.ZScan`."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence

import numpy as np

from .io import Curve
from .zscan import ZScan

DEFAULT_WINGS = 5
# Positions read from different files of one experiment agree to far better
# than a nanometre; anything larger is a different grid.
_POSITION_TOLERANCE_MM = 1e-6


@dataclasses.dataclass(frozen=True, eq=False)
class NormalisedCurve:
    """A scan divided by its baseline, keeping the baseline for the record.

    Attributes
    ----------
    curve : Curve
        The scan before normalisation.
    transmittance : numpy.ndarray
        ``curve.signal / baseline``.
    sigma : numpy.ndarray or None
        ``curve.sigma / baseline``, or None.
    baseline : numpy.ndarray
        The baseline at every position (``offset + slope * z``).
    offset : float
        Baseline at z = 0 mm.
    slope : float
        Baseline slope per mm (0 without tilt correction).
    wing_mask : numpy.ndarray
        Boolean, True for the points the baseline was estimated from.
    focus_mm : float or None
        The focus the wings were measured from, when wings were given in mm.
    closed : numpy.ndarray or None
        The closed-aperture signal divided by a baseline from its own wings
        (the same points, the same tilt setting), when one was measured; or
        that divided by the open-aperture transmittance, see
        :func:`closed_over_open`.
    closed_sigma : numpy.ndarray or None
        The closed-aperture uncertainty, divided by the same baseline (or
        propagated through the division by the open curve).
    """

    curve: Curve
    transmittance: np.ndarray
    sigma: np.ndarray | None
    baseline: np.ndarray
    offset: float
    slope: float
    wing_mask: np.ndarray
    focus_mm: float | None
    closed: np.ndarray | None = None
    closed_sigma: np.ndarray | None = None

    @property
    def positions_mm(self) -> np.ndarray:
        """Positions in mm of the underlying scan."""
        return self.curve.positions_mm

    @property
    def pulse_energy(self) -> float:
        """Pulse energy in joules."""
        return self.curve.pulse_energy

    @property
    def source(self) -> str:
        """Where the scan came from."""
        return self.curve.source


def _read_only(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


def _outermost_points(positions: np.ndarray, wings: int, source: str) -> np.ndarray:
    if isinstance(wings, bool) or not isinstance(wings, (int, np.integer)) or wings < 1:
        raise ValueError(f"wings: expected a positive whole number of points, got {wings!r}")
    if 2 * wings > positions.size:
        raise ValueError(f"wings: {wings} points on each side need at least {2 * wings} "
                         f"points, but {source} has {positions.size}")
    order = np.argsort(positions, kind="stable")
    mask = np.zeros(positions.size, dtype=bool)
    mask[order[:wings]] = True
    mask[order[-wings:]] = True
    return mask


def _extreme_position(curve: Curve) -> float:
    # The focus is where the signal departs most from the straight line through
    # the outer fifth of the scan at each end, so that a tilted baseline does
    # not pull the focus towards one end of the scan.
    ends = _outermost_points(curve.positions_mm, max(1, curve.n_positions // 5), curve.source)
    offset, slope = _baseline_line(curve.positions_mm[ends], curve.signal[ends], tilt=True)
    deviation = np.abs(curve.signal - (offset + slope * curve.positions_mm))
    return float(curve.positions_mm[int(np.argmax(deviation))])


def _points_beyond(positions: np.ndarray, wings_mm: float, focus_mm: float,
                   source: str) -> np.ndarray:
    if isinstance(wings_mm, bool) or not isinstance(wings_mm, (int, float)) or not (
            math.isfinite(wings_mm) and wings_mm >= 0):
        raise ValueError(f"wings_mm: expected a non-negative distance in mm, got {wings_mm!r}")
    before = positions < focus_mm - wings_mm
    after = positions > focus_mm + wings_mm
    if not before.any() or not after.any():
        side = "below" if not before.any() else "above"
        raise ValueError(f"wings_mm: no point of {source} lies more than {wings_mm:g} mm "
                         f"{side} the focus at {focus_mm:g} mm; reduce wings_mm or give "
                         "focus_mm")
    return before | after


def _baseline_line(positions: np.ndarray, signal: np.ndarray, tilt: bool) -> tuple[float, float]:
    if not tilt:
        return float(np.mean(signal)), 0.0
    design = np.column_stack([np.ones_like(positions), positions])
    (offset, slope), *_ = np.linalg.lstsq(design, signal, rcond=None)
    return float(offset), float(slope)


def normalise(curve: Curve, wings: int | None = None, wings_mm: float | None = None,
              focus_mm: float | None = None, tilt: bool = False) -> NormalisedCurve:
    """Divide a scan by the baseline estimated from its wings.

    Parameters
    ----------
    curve : Curve
        The raw scan.
    wings : int, optional
        Use this many outermost points (by position) on each side. The default
        when neither ``wings`` nor ``wings_mm`` is given is 5, the same points
        the model normalises on.
    wings_mm : float, optional
        Instead use every point farther than this from the focus.
    focus_mm : float, optional
        Focus position for ``wings_mm``; defaults to the position where the
        signal departs most from the straight line through the outer fifth of
        the scan at each end (the dip or peak).
    tilt : bool
        Fit a straight line through the wing points (tilt correction) instead
        of taking their mean.

    Returns
    -------
    NormalisedCurve

    Raises
    ------
    ValueError
        If both ``wings`` and ``wings_mm`` are given, there are too few wing
        points, or the baseline is not positive everywhere.
    """
    if wings is not None and wings_mm is not None:
        raise ValueError("give wings (points) or wings_mm (distance), not both")
    if focus_mm is not None and wings_mm is None:
        raise ValueError("focus_mm is only used with wings_mm")
    positions = curve.positions_mm
    if wings_mm is None:
        mask = _outermost_points(positions, DEFAULT_WINGS if wings is None else wings,
                                 curve.source)
        focus = None
    else:
        focus = _extreme_position(curve) if focus_mm is None else float(focus_mm)
        mask = _points_beyond(positions, wings_mm, focus, curve.source)
    offset, slope = _baseline_line(positions[mask], curve.signal[mask], tilt)
    baseline = offset + slope * positions
    if np.any(baseline <= 0):
        raise ValueError(f"{curve.source}: the baseline from the wings is not positive "
                         f"everywhere (offset {offset:g}, slope {slope:g} per mm); "
                         "cannot normalise")
    sigma = None if curve.sigma is None else _read_only(curve.sigma / baseline)
    return NormalisedCurve(
        curve=curve, transmittance=_read_only(curve.signal / baseline), sigma=sigma,
        baseline=_read_only(baseline), offset=offset, slope=slope,
        wing_mask=_read_only(mask), focus_mm=focus,
        **_normalised_closed(curve, mask, tilt))


def _normalised_closed(curve: Curve, mask: np.ndarray, tilt: bool) -> dict[str, np.ndarray]:
    # The closed-aperture detector has its own gain and drift, so it gets a
    # baseline of its own from the same wing points.
    if curve.closed is None:
        return {}
    offset, slope = _baseline_line(curve.positions_mm[mask], curve.closed[mask], tilt)
    baseline = offset + slope * curve.positions_mm
    if np.any(baseline <= 0):
        raise ValueError(f"{curve.source}: the closed-aperture baseline from the wings is "
                         f"not positive everywhere (offset {offset:g}, slope {slope:g} per "
                         "mm); cannot normalise")
    closed_sigma = None if curve.closed_sigma is None else _read_only(curve.closed_sigma / baseline)
    return {"closed": _read_only(curve.closed / baseline), "closed_sigma": closed_sigma}


def closed_over_open(curve: NormalisedCurve) -> NormalisedCurve:
    """The curve with its closed-aperture transmittance divided by the open one.

    Dividing removes, to first order, the nonlinear absorption that both
    detectors see, leaving the refraction that only the aperture sees.

    Raises
    ------
    ValueError
        If the curve has no closed-aperture signal, or an open-aperture
        transmittance of zero.
    """
    if curve.closed is None:
        raise ValueError(f"{curve.source}: no closed-aperture signal to divide")
    if np.any(curve.transmittance == 0):
        raise ValueError(f"{curve.source}: the open-aperture transmittance is zero at some "
                         "point; cannot divide the closed-aperture signal by it")
    ratio = curve.closed / curve.transmittance
    closed_sigma = None
    if curve.closed_sigma is not None:
        # Independent detectors: relative uncertainties add in quadrature.
        relative = (curve.closed_sigma / curve.closed) ** 2
        if curve.sigma is not None:
            relative = relative + (curve.sigma / curve.transmittance) ** 2
        closed_sigma = _read_only(np.abs(ratio) * np.sqrt(relative))
    return dataclasses.replace(curve, closed=_read_only(ratio), closed_sigma=closed_sigma)


def as_normalised(curve: Curve) -> NormalisedCurve:
    """Take a curve whose signal already is normalised transmittance.

    Parameters
    ----------
    curve : Curve
        A scan that needs no baseline correction.

    Returns
    -------
    NormalisedCurve
        The signal unchanged, with a baseline of 1 and no wing points.
    """
    ones = np.ones_like(curve.signal)
    return NormalisedCurve(
        curve=curve, transmittance=curve.signal, sigma=curve.sigma,
        baseline=_read_only(ones), offset=1.0, slope=0.0,
        wing_mask=_read_only(np.zeros(curve.signal.size, dtype=bool)), focus_mm=None,
        closed=curve.closed, closed_sigma=curve.closed_sigma)


def _check_same_scan(first: Curve, other: Curve, index: int) -> None:
    if other.positions_mm.shape != first.positions_mm.shape:
        raise ValueError(f"scan {index} ({other.source}) has {other.n_positions} points, "
                         f"scan 0 ({first.source}) has {first.n_positions}")
    if not np.allclose(other.positions_mm, first.positions_mm, rtol=0,
                       atol=_POSITION_TOLERANCE_MM):
        at = int(np.argmax(np.abs(other.positions_mm - first.positions_mm)))
        raise ValueError(f"scan {index} ({other.source}) is on different positions than "
                         f"scan 0 ({first.source}): point {at} is at "
                         f"{other.positions_mm[at]:g} mm instead of "
                         f"{first.positions_mm[at]:g} mm")
    if other.pulse_energy != first.pulse_energy:
        raise ValueError(f"scan {index} ({other.source}) has pulse energy "
                         f"{other.pulse_energy:g} J, scan 0 has {first.pulse_energy:g} J; "
                         "only repeated scans of one energy can be averaged")


def average_scans(curves: Sequence[Curve]) -> Curve:
    """Average repeated scans of one pulse energy on the same positions.

    Parameters
    ----------
    curves : sequence of Curve
        At least two scans with equal positions and pulse energy.

    Returns
    -------
    Curve
        The mean signal, with sigma the standard error of the mean (sample
        standard deviation / sqrt(n)); the scans' own sigma is not used.

    Raises
    ------
    ValueError
        For fewer than two scans, mismatched scans (naming the scan), or
        scans identical at some position (no spread to estimate sigma from).
    """
    curves = list(curves)
    if len(curves) < 2:
        raise ValueError(f"curves: averaging needs at least 2 scans, got {len(curves)}")
    for index, curve in enumerate(curves[1:], start=1):
        _check_same_scan(curves[0], curve, index)
    signals = np.stack([curve.signal for curve in curves])
    sigma = signals.std(axis=0, ddof=1) / math.sqrt(len(curves))
    if np.any(sigma == 0):
        at = int(np.argmin(sigma))
        raise ValueError(f"curves: all {len(curves)} scans agree exactly at "
                         f"{curves[0].positions_mm[at]:g} mm, so their spread gives no "
                         "uncertainty there")
    names = ", ".join(curve.source for curve in curves)
    return Curve(curves[0].positions_mm, signals.mean(axis=0), sigma,
                 curves[0].pulse_energy, f"mean of {len(curves)} scans: {names}")


def _transmittance_of(curve: NormalisedCurve | Curve) -> tuple[np.ndarray, np.ndarray | None]:
    if isinstance(curve, NormalisedCurve):
        return curve.transmittance, curve.sigma
    if isinstance(curve, Curve):
        return curve.signal, curve.sigma
    raise TypeError(f"curves: expected NormalisedCurve or Curve items, got "
                    f"{type(curve).__name__}")


def to_zscan(curves: Sequence[NormalisedCurve | Curve]) -> ZScan:
    """Assemble the curves of one sample into a :class:`ZScan`.

    A plain :class:`Curve` is taken as already normalised (its signal is the
    transmittance). Each row is put in order of position, as the model needs.

    Parameters
    ----------
    curves : sequence of NormalisedCurve or Curve
        One curve per pulse energy, all with the same number of points.

    Returns
    -------
    ZScan

    Raises
    ------
    ValueError
        If the list is empty, lengths differ, or some but not all curves have
        sigma (each named by index and source).
    """
    curves = list(curves)
    if not curves:
        raise ValueError("curves: need at least one curve, got none")
    pairs = [_transmittance_of(curve) for curve in curves]
    for index, curve in enumerate(curves[1:], start=1):
        if curve.positions_mm.size != curves[0].positions_mm.size:
            raise ValueError(f"curves: curve {index} ({curve.source}) has "
                             f"{curve.positions_mm.size} points, curve 0 "
                             f"({curves[0].source}) has {curves[0].positions_mm.size}")
    with_sigma = [sigma is not None for _, sigma in pairs]
    if any(with_sigma) and not all(with_sigma):
        index = with_sigma.index(not with_sigma[0])
        raise ValueError(f"curves: curve 0 {'has' if with_sigma[0] else 'has no'} sigma but "
                         f"curve {index} ({curves[index].source}) "
                         f"{'has' if with_sigma[index] else 'has no'} sigma; give sigma for "
                         "all curves or none")
    rows = [_sorted_by_position(curve, transmittance, sigma, index)
            for index, (curve, (transmittance, sigma)) in enumerate(zip(curves, pairs))]
    return ZScan(
        np.stack([positions for positions, _, _ in rows]),
        np.stack([transmittance for _, transmittance, _ in rows]),
        np.array([curve.pulse_energy for curve in curves]),
        np.stack([sigma for _, _, sigma in rows]) if all(with_sigma) else None,
        **_closed_rows(curves))


def _closed_rows(curves: list[NormalisedCurve | Curve]) -> dict[str, np.ndarray | None]:
    """The closed-aperture curves in position order, a row of NaN for a curve
    measured through the open aperture only; nothing when none has one."""
    if all(curve.closed is None for curve in curves):
        return {}
    with_sigma = [curve.closed_sigma is not None for curve in curves if curve.closed is not None]
    if any(with_sigma) and not all(with_sigma):
        raise ValueError("curves: some closed-aperture curves have sigma and some do not; "
                         "give it for all of them or none")
    closed, closed_sigma = [], []
    for curve in curves:
        order = np.argsort(curve.positions_mm, kind="stable")
        absent = np.full(curve.positions_mm.size, np.nan)
        closed.append(absent if curve.closed is None else curve.closed[order])
        closed_sigma.append(absent if curve.closed_sigma is None else curve.closed_sigma[order])
    return {"closed": np.stack(closed),
            "closed_sigma": np.stack(closed_sigma) if all(with_sigma) else None}


def _sorted_by_position(curve: NormalisedCurve | Curve, transmittance: np.ndarray,
                        sigma: np.ndarray | None, index: int
                        ) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    # The model takes the first and last points of a row as its wings, so rows
    # are put in order of position whatever order the scan was recorded in.
    order = np.argsort(curve.positions_mm, kind="stable")
    positions = curve.positions_mm[order]
    repeated = np.flatnonzero(np.diff(positions) == 0)
    if repeated.size:
        raise ValueError(f"curves: curve {index} ({curve.source}) has position "
                         f"{positions[repeated[0]]:g} mm more than once; average "
                         "repeated scans with average_scans first")
    return positions, transmittance[order], None if sigma is None else sigma[order]
