"""Model curves of a z-scan and their derivatives."""

from __future__ import annotations

import numbers
import os
from typing import Any, Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _core, _interruptible, discretisation, plausibility, resources
from . import _validation as check
from .experiment import Experiment
from .parameters import NAMES, Parameters

Engine = Literal["exact", "integrator"]
Aperture = Literal["open", "closed", "both"]
APERTURES: tuple[str, ...] = ("open", "closed", "both")
ENGINES: tuple[str, ...] = ("exact", "integrator")
MIN_POSITIONS = 5  # the curves are normalised on five points at each end
MAX_POINTS = 10_000_000  # positions x energies; more is refused, not attempted
MAX_THREADS = 1024


class Diagnostics(NamedTuple):
    """What the integrator reported during an evaluation, instead of printing it."""

    messages: int
    """Number of diagnostic messages."""
    lines: int
    """Number of lines they would have printed."""
    first_lines: list[str]
    """The first lines (at most 100), as they would have been printed."""


def simulate(experiment: Experiment, parameters: Parameters, positions_mm: ArrayLike,
             pulse_energies: ArrayLike, engine: Engine = "exact", *,
             full_output: bool = False, tolerance: float | None = None,
             threads: int | None = None, aperture: Aperture = "open") -> Any:
    """Model transmittance of every pulse energy at every position.

    Parameters
    ----------
    experiment : Experiment
    parameters : Parameters
        All ten values are used; ``vary`` is ignored.
    positions_mm : array_like
        Scan positions (mm): 1-D, shared by every energy, or 2-D with one row
        per energy. At least five per curve.
    pulse_energies : array_like
        1-D pulse energies (J), each above zero.
    engine : {"exact", "integrator"}
        ``"exact"``: the closed-form engine. ``"integrator"``: the same
        discretised model integrated numerically (slower, accurate to about
        1e-6; its diagnostics are counted, never printed).
    full_output : bool
        Also return the integrator's :class:`Diagnostics` (empty for the
        exact engine, which has none).
    tolerance : float or None
        For grid fields of the experiment given as ``"auto"``: the largest
        change of the curves that a finer grid may still bring (None: 1e-4,
        of the normalised transmittance). The grid is chosen at these
        parameters by :func:`tarnok.discretisation.choose`.
    threads : int or None
        Threads that share the exact engine's positions (None: every core;
        1: one). The curves are the same, bit for bit, for every count.
    aperture : {"open", "closed", "both"}
        Which curves: the open aperture's (the default), the closed
        aperture's (the experiment must describe one; with
        ``closed_divided``, closed ÷ open), or both stacked.

    Returns
    -------
    ndarray, shape (n_energies, n_positions)
        Normalised transmittance, as the experiment's beam defines it (shape
        (2, n_energies, n_positions) for ``aperture="both"``); with
        ``full_output``, the tuple ``(curves, diagnostics)``.
    """
    _check_call(experiment, positions_mm, pulse_energies, engine)
    _check_aperture_choice(experiment, aperture)
    threads = thread_count(threads)
    plausibility.check_inputs(experiment, _parameters(parameters), pulse_energies)
    experiment = _on_grid(experiment, parameters, positions_mm, pulse_energies, tolerance)
    model = _engine_for(experiment, positions_mm, pulse_energies, engine)
    values = _values(parameters)
    curves, _ = _interruptible.run(lambda: model.evaluate(values, [], threads))
    curves = _choose(curves, aperture, experiment)
    plausibility.require_finite_model(curves, "the model curves", experiment, parameters,
                                      pulse_energies)
    if not full_output:
        return curves
    report = Diagnostics(*model.diagnostics()) if engine == "integrator" else Diagnostics(0, 0, [])
    return curves, report


def jacobian(experiment: Experiment, parameters: Parameters, positions_mm: ArrayLike,
             pulse_energies: ArrayLike, *, tolerance: float | None = None,
             threads: int | None = None,
             aperture: Aperture = "open") -> NDArray[np.float64]:
    """Derivatives of :func:`simulate` (exact engine) by the varied parameters,
    on the grid :func:`simulate` would use (``tolerance`` as there).

    ``threads`` as for :func:`simulate`.

    Returns
    -------
    ndarray, shape (n_energies, n_positions, n_varied)
        ``[e, i, k]`` is the derivative of the curve of energy ``e`` at position
        ``i`` with respect to the value of the ``k``-th varied parameter, in the
        order the parameters were declared (z0 per mm, energy_scale per unit);
        ``aperture`` chooses the curves as for :func:`simulate` (a leading
        axis of 2 for ``"both"``).
    """
    _check_call(experiment, positions_mm, pulse_energies, "exact")
    _check_aperture_choice(experiment, aperture)
    threads = thread_count(threads)
    varied = [NAMES.index(name) for name in _parameters(parameters).varied]
    plausibility.check_inputs(experiment, parameters, pulse_energies)
    experiment = _on_grid(experiment, parameters, positions_mm, pulse_energies, tolerance,
                          len(varied))
    model = _engine_for(experiment, positions_mm, pulse_energies, "exact")
    resources.check_derivative_memory(experiment, len(varied), threads=threads)
    values = _values(parameters)
    curves, derivatives = _interruptible.run(lambda: model.evaluate(values, varied, threads))
    if derivatives is None:
        return np.zeros(_choose(curves, aperture, experiment).shape + (0,))
    derivatives = _choose(derivatives, aperture, experiment)
    plausibility.require_finite_model(derivatives, "the derivatives", experiment, parameters,
                                      pulse_energies)
    return derivatives


def peak_irradiance(experiment: Experiment, parameters: Parameters, positions_mm: ArrayLike,
                    pulse_energies: ArrayLike) -> NDArray[np.float64]:
    """Peak on-axis irradiance (W/m²) at every position and energy, as the
    experiment's beam defines it; shape (n_energies, n_positions)."""
    if _experiment(experiment).auto_axes:
        # The irradiance does not depend on the grid.
        experiment = experiment.with_grid(*discretisation.START_GRID)
    model = _engine_for(experiment, positions_mm, pulse_energies, "exact")
    return model.peak_irradiance(_values(parameters))


def raw_transmittance(experiment: Experiment, parameters: Parameters,
                      positions_mm: ArrayLike, pulse_energies: ArrayLike, *,
                      tolerance: float | None = None,
                      threads: int | None = None) -> NDArray[np.float64]:
    """Transmitted over incident pulse energy before any normalisation (exact
    engine, on the grid :func:`simulate` would use); shape (n_energies,
    n_positions). ``threads`` as for :func:`simulate`."""
    threads = thread_count(threads)
    experiment = _on_grid(experiment, parameters, positions_mm, pulse_energies, tolerance)
    model = _engine_for(experiment, positions_mm, pulse_energies, "exact")
    values = _values(parameters)
    return _interruptible.run(lambda: model.raw_transmittance(values, threads))


def thread_count(threads: Any) -> int:
    """The number of threads an evaluation may use: every core for None."""
    if threads is None:
        return os.cpu_count() or 1
    # NumPy's integers count as integers; booleans do not.
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be an integer or None, got {type(threads).__name__}")
    if not 1 <= threads <= MAX_THREADS:
        raise ValueError(f"threads must be between 1 and {MAX_THREADS}, got {threads}")
    return int(threads)


def scan_arrays(positions_mm: ArrayLike, pulse_energies: ArrayLike
                ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Validated (positions as 2-D, one row per energy; energies as 1-D)."""
    energies = check.float_array("pulse_energies", pulse_energies, (1,))
    if energies.size == 0:
        raise ValueError("pulse_energies must hold at least one energy")
    if (energies <= 0.0).any():
        raise ValueError("pulse_energies must all be above zero (J); "
                         f"got {energies[energies <= 0.0][0]!r}")
    positions = check.float_array("positions_mm", positions_mm, (1, 2))
    if positions.ndim == 1 and positions.size * energies.size > MAX_POINTS:
        # Checked before the positions are repeated for every energy.
        raise ValueError(f"positions_mm x pulse_energies has {positions.size * energies.size} "
                         f"points; at most {MAX_POINTS} are supported")
    if positions.ndim == 1:
        positions = np.ascontiguousarray(np.broadcast_to(positions, (energies.size,
                                                                     positions.size)))
    elif positions.shape[0] != energies.size:
        raise ValueError(f"positions_mm has {positions.shape[0]} rows but there are "
                         f"{energies.size} pulse energies; give one row per energy or a 1-D array")
    if positions.shape[1] < MIN_POSITIONS:
        raise ValueError(f"positions_mm must hold at least {MIN_POSITIONS} positions per curve, "
                         f"got {positions.shape[1]}")
    if positions.size > MAX_POINTS:
        raise ValueError(f"positions_mm x pulse_energies has {positions.size} points; "
                         f"at most {MAX_POINTS} are supported")
    return positions, energies


def _experiment(experiment: Any) -> Experiment:
    if not isinstance(experiment, Experiment):
        raise TypeError(f"experiment must be a tarnok.Experiment, got {type(experiment).__name__}")
    return experiment


def _check_call(experiment: Any, positions_mm: ArrayLike, pulse_energies: ArrayLike,
                engine: str) -> None:
    """What building the engine checks, in the same order, before a grid is chosen."""
    _experiment(experiment)
    if engine not in ENGINES:
        raise ValueError(f"engine must be 'exact' or 'integrator', got {engine!r}")
    scan_arrays(positions_mm, pulse_energies)


def _on_grid(experiment: Experiment, parameters: Parameters, positions_mm: ArrayLike,
             pulse_energies: ArrayLike, tolerance: float | None,
             n_varied: int = 0) -> Experiment:
    if tolerance is not None:
        discretisation.check_tolerance(tolerance)
    if not _experiment(experiment).auto_axes:
        return experiment
    positions, energies = scan_arrays(positions_mm, pulse_energies)
    return discretisation.for_evaluation(experiment, _parameters(parameters), positions,
                                         energies, tolerance,
                                         discretisation.Limits(n_varied, threads=1))


def _engine_for(experiment: Experiment, positions_mm: ArrayLike, pulse_energies: ArrayLike,
                engine: str) -> Any:
    _experiment(experiment)
    if engine not in ENGINES:
        raise ValueError(f"engine must be 'exact' or 'integrator', got {engine!r}")
    if experiment.auto_axes:
        raise ValueError("the experiment's grid is 'auto': choose it first "
                         "(tarnok.discretisation.choose)")
    positions, energies = scan_arrays(positions_mm, pulse_energies)
    factory = _core.exact_engine if engine == "exact" else _core.integrator_engine
    return factory(experiment._core, positions, energies)


def _check_aperture_choice(experiment: Any, aperture: Any) -> None:
    if not isinstance(aperture, str) or aperture not in APERTURES:
        raise ValueError(f"aperture must be 'open', 'closed' or 'both', got {aperture!r}")
    if aperture != "open" and isinstance(experiment, Experiment) and not experiment.has_aperture:
        raise ValueError(f"aperture={aperture!r} needs an experiment with a closed aperture "
                         "(aperture_transmittance or aperture_radius)")


def _choose(stacked: NDArray[np.float64], aperture: str, experiment: Experiment
            ) -> NDArray[np.float64]:
    """The requested curves of the engine's blocks (open, then closed),
    stacked one row per block and energy."""
    blocks = 2 if experiment.has_aperture else 1
    split = stacked.reshape((blocks, stacked.shape[0] // blocks) + stacked.shape[1:])
    if aperture == "open":
        return np.ascontiguousarray(split[0])
    if aperture == "closed":
        return np.ascontiguousarray(split[1])
    return split


def _parameters(parameters: Parameters) -> Parameters:
    if not isinstance(parameters, Parameters):
        raise TypeError(f"parameters must be a tarnok.Parameters, got {type(parameters).__name__}")
    return parameters


def _values(parameters: Parameters) -> list[float]:
    return _parameters(parameters).vector()
