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
    """Measured transmittance of one sample at several pulse energies.

    Parameters
    ----------
    positions_mm : array_like
        Sample positions along the beam in millimetres, either 1-D (shared by
        every curve) or 2-D with one row per pulse energy. Each row must be
        strictly monotonic.
    transmittance : array_like
        Normalised transmittance, shape ``(n_energies, n_positions)``.
    pulse_energies : array_like
        Pulse energy of each row in joules, 1-D, positive. Repeated energies
        (repeated scans) are allowed.
    sigma : array_like, optional
        Standard uncertainty of each transmittance value, same shape as
        ``transmittance``, positive.

    Raises
    ------
    TypeError
        If an argument is not an array of real numbers.
    ValueError
        If shapes disagree, a value is NaN or infinite, an energy or sigma is
        not positive, or a curve has fewer than five positions.
    """

    def __init__(self, positions_mm: Any, transmittance: Any, pulse_energies: Any,
                 sigma: Any = None) -> None:
        transmittance_array = self._validated_transmittance(transmittance)
        n_energies, n_positions = transmittance_array.shape
        energies = self._validated_energies(pulse_energies, n_energies)
        positions = self._validated_positions(positions_mm, n_energies, n_positions)
        sigma_array = None if sigma is None else self._validated_sigma(
            sigma, transmittance_array.shape)
        self._positions_mm = _read_only(positions)
        self._transmittance = _read_only(transmittance_array)
        self._pulse_energies = _read_only(energies)
        self._sigma = None if sigma_array is None else _read_only(sigma_array)

    @staticmethod
    def _validated_transmittance(value: Any) -> np.ndarray:
        array = as_float_array("transmittance", value)
        if array.ndim != 2:
            raise ValueError(
                f"transmittance: expected a 2-D array (one row per pulse energy), "
                f"got {array.ndim}-D with shape {array.shape}")
        n_energies, n_positions = array.shape
        if n_energies == 0:
            raise ValueError("transmittance: needs at least one curve (row), got 0")
        if n_positions < MIN_POSITIONS:
            raise ValueError(
                f"transmittance: each curve needs at least {MIN_POSITIONS} positions "
                f"(the model normalises on the {MIN_POSITIONS} outermost points at "
                f"each end), got {n_positions}")
        require_finite("transmittance", array)
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
    def _validated_sigma(value: Any, shape: tuple[int, int]) -> np.ndarray:
        array = as_float_array("sigma", value)
        if array.shape != shape:
            raise ValueError(
                f"sigma: expected the shape of transmittance {shape}, got {array.shape}")
        require_finite("sigma", array)
        require_positive("sigma", array)
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

    def __repr__(self) -> str:
        energies = ", ".join(f"{e:.3g}" for e in self._pulse_energies)
        z_min = float(self._positions_mm.min())
        z_max = float(self._positions_mm.max())
        return (f"ZScan({self.n_energies} curves x {self.n_positions} positions, "
                f"z {z_min:g} to {z_max:g} mm, pulse energies [{energies}] J, "
                f"sigma {'given' if self.has_sigma else 'none'})")
