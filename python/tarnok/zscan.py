"""The measured open-aperture z-scan of one sample: one transmittance curve per
pulse energy, validated once so that everything downstream can trust it."""

from __future__ import annotations

from typing import Any

import numpy as np

# The model shifts each curve so that its five first and five last points
# average 1, so a shorter curve cannot be compared with it.
MIN_POSITIONS = 5

_NUMERIC_KINDS = "iuf"


def as_float_array(name: str, value: Any) -> np.ndarray:
    """Convert ``value`` to a float64 array, refusing non-numeric input.

    Parameters
    ----------
    name : str
        Argument name used in error messages.
    value : array_like
        Numbers (int or float), possibly nested lists.

    Returns
    -------
    numpy.ndarray
        A new float64 array.

    Raises
    ------
    TypeError
        If ``value`` is None, holds strings, booleans, complex numbers or
        objects, or is ragged.
    """
    if value is None:
        raise TypeError(f"{name}: expected an array of numbers, got None")
    try:
        array = np.asarray(value)
    except ValueError as exc:  # ragged nested lists
        raise TypeError(f"{name}: expected a rectangular array of numbers ({exc})") from None
    if array.dtype.kind not in _NUMERIC_KINDS:
        raise TypeError(
            f"{name}: expected real numbers, got an array of dtype {array.dtype}")
    return np.array(array, dtype=np.float64, order="C", copy=True)


def format_energy(joules: float) -> str:
    """Pulse energy with the unit that keeps the number readable (pJ to mJ)."""
    for scale, unit in ((1e-3, "mJ"), (1e-6, "µJ"), (1e-9, "nJ"), (1e-12, "pJ")):
        if abs(joules) >= scale:
            return f"{joules / scale:.3g} {unit}"
    return f"{joules:.3g} J"


def require_finite(name: str, array: np.ndarray) -> None:
    """Raise ValueError naming the first NaN or infinite entry of ``array``."""
    bad = ~np.isfinite(array)
    if bad.any():
        index = tuple(int(i) for i in np.argwhere(bad)[0])
        raise ValueError(f"{name}: entry {_format_index(index)} is {array[index]}; "
                         "every value must be finite")


def require_positive(name: str, array: np.ndarray) -> None:
    """Raise ValueError naming the first entry of ``array`` that is not > 0."""
    bad = array <= 0
    if bad.any():
        index = tuple(int(i) for i in np.argwhere(bad)[0])
        raise ValueError(f"{name}: entry {_format_index(index)} is {array[index]:g}; "
                         "every value must be positive")


def _format_index(index: tuple[int, ...]) -> str:
    return "[" + ", ".join(str(i) for i in index) + "]"


def _read_only(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


def _present_rows(name: str, array: np.ndarray) -> np.ndarray:
    """Which rows hold a curve: a row of NaN is an absent curve, anything else
    must be finite throughout."""
    absent = np.isnan(array).all(axis=1)
    require_finite(name, np.where(absent[:, None], 0.0, array))
    return ~absent


def _check_monotonic(positions: np.ndarray) -> None:
    # The model takes the first and last five points of a row as its wings, so
    # a row that is not ordered along z would be normalised on the wrong points.
    for row, values in enumerate(positions):
        steps = np.diff(values)
        if not (np.all(steps > 0) or np.all(steps < 0)):
            raise ValueError(
                f"positions_mm: row {row} is not strictly increasing or strictly "
                "decreasing; sort each curve by position and remove repeated "
                "positions (average repeated scans first)")


class ZScan:
    """Measured transmittance of one sample at several pulse energies, through
    the open aperture, the closed one, or both.

    Parameters
    ----------
    positions_mm : array_like
        Sample positions along the beam in millimetres, either 1-D (shared by
        every curve) or 2-D with one row per pulse energy. Each row must be
        strictly monotonic.
    transmittance : array_like or None
        Normalised open-aperture transmittance, shape ``(n_energies,
        n_positions)``. A row of NaN marks an energy measured through the
        closed aperture only; None: no open-aperture curve at all (then
        ``closed`` is required).
    pulse_energies : array_like
        Pulse energy of each row in joules, 1-D, positive. Repeated energies
        (repeated scans) are allowed.
    sigma : array_like, optional
        Standard uncertainty of each open-aperture value, same shape as
        ``transmittance``, positive (NaN where the curve is absent).
    closed : array_like, optional
        Normalised closed-aperture transmittance, same shape; a row of NaN
        marks an energy measured through the open aperture only. With the
        experiment's ``closed_divided`` it is the closed curve divided by the
        open one.
    closed_sigma : array_like, optional
        Its standard uncertainty; given exactly when ``sigma`` is (one χ² over
        both apertures needs both weighted or neither).

    Raises
    ------
    TypeError
        If an argument is not an array of real numbers.
    ValueError
        If shapes disagree, a value is infinite or NaN outside an absent row,
        an energy has no curve at all, an energy or sigma is not positive, or
        a curve has fewer than five positions.
    """

    def __init__(self, positions_mm: Any, transmittance: Any, pulse_energies: Any,
                 sigma: Any = None, *, closed: Any = None, closed_sigma: Any = None) -> None:
        if transmittance is None and closed is None:
            raise ValueError("transmittance: needs the open-aperture curves, the closed "
                             "ones (closed=...), or both; got neither")
        if closed is not None:
            closed_array = self._validated_transmittance(closed, "closed")
            shape = closed_array.shape
        if transmittance is None:
            if sigma is not None:
                raise ValueError("sigma: belongs to the open-aperture transmittance, "
                                 "which is not given (transmittance=None)")
            transmittance_array = np.full(shape, np.nan)
        else:
            transmittance_array = self._validated_transmittance(transmittance)
        shape = transmittance_array.shape
        n_energies, n_positions = shape
        open_rows = _present_rows("transmittance", transmittance_array)
        closed_rows = None
        if closed is not None:
            if closed_array.shape != shape:
                raise ValueError(f"closed: expected the shape of transmittance {shape}, "
                                 f"got {closed_array.shape}")
            closed_rows = _present_rows("closed", closed_array)
            missing = ~(open_rows | closed_rows)
            if missing.any():
                row = int(np.flatnonzero(missing)[0])
                raise ValueError(f"closed: row {row} is absent (NaN) in both transmittance "
                                 "and closed; every pulse energy needs at least one curve")
        elif not open_rows.all():
            row = int(np.flatnonzero(~open_rows)[0])
            raise ValueError(f"transmittance: row {row} is absent (NaN) and no closed-"
                             "aperture curve is given for it (closed=...)")
        if closed_sigma is not None and closed is None:
            raise ValueError("closed_sigma: given without closed-aperture curves (closed=...)")
        if closed is not None and transmittance is not None and \
                (sigma is None) != (closed_sigma is None):
            given, missing_name = ("sigma", "closed_sigma") if closed_sigma is None \
                else ("closed_sigma", "sigma")
            raise ValueError(f"{missing_name}: needed because {given} is given; one "
                             "chi-square over both apertures weights both or neither")
        energies = self._validated_energies(pulse_energies, n_energies)
        positions = self._validated_positions(positions_mm, n_energies, n_positions)
        sigma_array = None if sigma is None else self._validated_sigma(
            sigma, shape, "sigma", open_rows)
        if closed is not None and sigma_array is None and closed_sigma is not None:
            # Closed-only scan with σ: the open block's σ is absent throughout.
            sigma_array = np.full(shape, np.nan)
        self._positions_mm = _read_only(positions)
        self._transmittance = _read_only(transmittance_array)
        self._pulse_energies = _read_only(energies)
        self._sigma = None if sigma_array is None else _read_only(sigma_array)
        self._closed = None if closed is None else _read_only(closed_array)
        self._closed_sigma = None
        if closed_sigma is not None:
            assert closed_rows is not None
            self._closed_sigma = _read_only(self._validated_sigma(
                closed_sigma, shape, "closed_sigma", closed_rows))

    @staticmethod
    def _validated_transmittance(value: Any, name: str = "transmittance") -> np.ndarray:
        array = as_float_array(name, value)
        if array.ndim != 2:
            raise ValueError(
                f"{name}: expected a 2-D array (one row per pulse energy), "
                f"got {array.ndim}-D with shape {array.shape}")
        n_energies, n_positions = array.shape
        if n_energies == 0:
            raise ValueError(f"{name}: needs at least one curve (row), got 0")
        if n_positions < MIN_POSITIONS:
            raise ValueError(
                f"{name}: each curve needs at least {MIN_POSITIONS} positions "
                f"(the model normalises on the {MIN_POSITIONS} outermost points at "
                f"each end), got {n_positions}")
        return array

    @staticmethod
    def _validated_energies(value: Any, n_energies: int) -> np.ndarray:
        array = as_float_array("pulse_energies", value)
        if array.ndim == 0:
            array = array.reshape(1)
        if array.shape != (n_energies,):
            raise ValueError(
                f"pulse_energies: expected a 1-D array of {n_energies} values (one per "
                f"row of transmittance), got shape {array.shape}")
        require_finite("pulse_energies", array)
        require_positive("pulse_energies", array)
        return array

    @staticmethod
    def _validated_positions(value: Any, n_energies: int, n_positions: int) -> np.ndarray:
        array = as_float_array("positions_mm", value)
        if array.shape == (n_positions,):
            array = np.ascontiguousarray(np.broadcast_to(array, (n_energies, n_positions)))
        elif array.shape != (n_energies, n_positions):
            raise ValueError(
                f"positions_mm: expected shape ({n_positions},) or "
                f"({n_energies}, {n_positions}) to match transmittance, "
                f"got {array.shape}")
        require_finite("positions_mm", array)
        _check_monotonic(array)
        return array

    @staticmethod
    def _validated_sigma(value: Any, shape: tuple[int, int], name: str,
                         rows: np.ndarray) -> np.ndarray:
        array = as_float_array(name, value)
        if array.shape != shape:
            raise ValueError(
                f"{name}: expected the shape of transmittance {shape}, got {array.shape}")
        # Where the curve is absent its σ means nothing: NaN there, whatever was given.
        array[~rows] = np.nan
        present = np.where(rows[:, None], array, 1.0)
        require_finite(name, present)
        require_positive(name, present)
        return array

    @property
    def positions_mm(self) -> np.ndarray:
        """Positions in mm, shape ``(n_energies, n_positions)``, read-only."""
        return self._positions_mm

    @property
    def transmittance(self) -> np.ndarray:
        """Normalised transmittance, shape ``(n_energies, n_positions)``, read-only."""
        return self._transmittance

    @property
    def pulse_energies(self) -> np.ndarray:
        """Pulse energy of each curve in joules, shape ``(n_energies,)``, read-only."""
        return self._pulse_energies

    @property
    def sigma(self) -> np.ndarray | None:
        """Uncertainty of each transmittance value, or None when unknown."""
        return self._sigma

    @property
    def n_energies(self) -> int:
        """Number of curves (rows)."""
        return int(self._transmittance.shape[0])

    @property
    def n_positions(self) -> int:
        """Number of positions in every curve."""
        return int(self._transmittance.shape[1])

    @property
    def has_sigma(self) -> bool:
        """Whether uncertainties are known."""
        return self._sigma is not None

    @property
    def closed(self) -> np.ndarray | None:
        """Closed-aperture transmittance (NaN rows where absent), or None."""
        return self._closed

    @property
    def closed_sigma(self) -> np.ndarray | None:
        """Uncertainty of the closed-aperture values, or None."""
        return self._closed_sigma

    @property
    def has_closed(self) -> bool:
        """Whether any energy was measured through the closed aperture."""
        return self._closed is not None

    @property
    def open_rows(self) -> np.ndarray:
        """Boolean per energy: whether its open-aperture curve was measured."""
        return ~np.isnan(self._transmittance).all(axis=1)

    @property
    def closed_rows(self) -> np.ndarray:
        """Boolean per energy: whether its closed-aperture curve was measured."""
        if self._closed is None:
            return np.zeros(self.n_energies, dtype=bool)
        return ~np.isnan(self._closed).all(axis=1)

    @property
    def blocks(self) -> int:
        """Curve blocks the model must produce: 1 (open) or 2 (open, closed)."""
        return 2 if self._closed is not None else 1

    def stacked(self) -> tuple[np.ndarray, np.ndarray | None]:
        """(data, sigma) as the fit takes them: the open curves, then the
        closed ones, shape ``(blocks * n_energies, n_positions)``, NaN where a
        curve is absent."""
        if self._closed is None:
            return np.ascontiguousarray(self._transmittance), \
                None if self._sigma is None else np.ascontiguousarray(self._sigma)
        data = np.concatenate([self._transmittance, self._closed])
        if self._closed_sigma is None:
            return data, None
        assert self._sigma is not None
        return data, np.concatenate([self._sigma, self._closed_sigma])

    def __repr__(self) -> str:
        energies = ", ".join(f"{e:.3g}" for e in self._pulse_energies)
        z_min = float(self._positions_mm.min())
        z_max = float(self._positions_mm.max())
        apertures = ""
        if self._closed is not None:
            apertures = (f", {int(self.open_rows.sum())} open and "
                         f"{int(self.closed_rows.sum())} closed-aperture curves")
        return (f"ZScan({self.n_energies} curves x {self.n_positions} positions, "
                f"z {z_min:g} to {z_max:g} mm, pulse energies [{energies}] J, "
                f"sigma {'given' if self.has_sigma else 'none'}{apertures})")
