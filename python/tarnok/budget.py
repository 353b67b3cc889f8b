"""The error budget of a fit: how far the fitted parameters and the derived
quantities move for the standard uncertainties of what the fit holds fixed
(the beam waist, the pulse duration, the sample, the calibration of the pulse
energies), by linear propagation through the sensitivity of the least-squares
solution,

    δp = −(AᵀWA)⁺ AᵀW (∂m/∂e) δe,

with A = ∂m/∂p the model's derivatives by the varied parameters, W the weights
1/σ² and ∂m/∂e the model's derivative by the fixed quantity e: the engine's
own where e is a model parameter (the energy calibration is ``energy_scale``),
central differences of the exact engine otherwise (it is smooth to rounding)."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .closed_aperture import fit_arrays, has_aperture
from .derived import derived_quantities
from .experiment import Experiment, LEVELS
from .parameters import NAMES, UNITS, Parameters
from .simulation import jacobian, simulate
from .statistics import _covariance

if TYPE_CHECKING:
    from .fit import FitResult

EXPERIMENT_INPUTS = ("w0", "M2", "tau", "thickness")
"""Fixed quantities of the experiment, each with an absolute standard uncertainty."""
UNCERTAINTY_KEYS = EXPERIMENT_INPUTS + ("populations", "energy_calibration", "pulse_energy")
"""Every key :func:`check_uncertainties` accepts."""
INPUT_UNITS = {"w0": "m", "M2": "", "tau": "s", "thickness": "m", "populations": "1/m^3",
               "energy_calibration": "relative", "pulse_energy": "relative"}
# Relative step of the central differences: their truncation error (∝ h²) and
# rounding error (∝ 1e-16/h) are then both far below what a budget needs.
DIFFERENCE_STEP = 1e-4


@dataclass(frozen=True)
class BudgetEntry:
    """One fitted parameter: value ± statistical ± systematic, and where the
    systematic part comes from."""

    name: str
    value: float
    unit: str
    statistical: float
    """The fit's standard error (NaN when not determined)."""
    contributions: dict[str, float]
    """Input → signed shift of the value for one standard uncertainty of it."""

    @property
    def systematic(self) -> float:
        """Root sum of squares of the contributions."""
        return math.sqrt(sum(c * c for c in self.contributions.values()))

    @property
    def total(self) -> float:
        statistical = self.statistical if math.isfinite(self.statistical) else 0.0
        return math.hypot(statistical, self.systematic)

    def shares(self) -> dict[str, float]:
        """Fraction of the total variance from the statistics and each input."""
        total = self.total ** 2
        if total == 0.0:
            return {}
        statistical = self.statistical if math.isfinite(self.statistical) else 0.0
        shares = {"statistical": statistical ** 2 / total}
        shares.update({name: c * c / total for name, c in self.contributions.items()})
        return shares


@dataclass(frozen=True)
class ErrorBudget:
    """Statistical and systematic uncertainties of every fitted parameter."""

    uncertainties: dict[str, Any]
    """The standard uncertainties propagated, as checked."""
    entries: dict[str, BudgetEntry]
    dropped: dict[str, str]
    """Inputs left out of the budget, with the reason (they are fitted)."""

    def to_dict(self) -> dict[str, Any]:
        return {"uncertainties": self.uncertainties, "dropped": dict(self.dropped),
                "entries": {name: {"value": e.value, "unit": e.unit,
                                   "statistical": e.statistical, "systematic": e.systematic,
                                   "total": e.total, "contributions": dict(e.contributions),
                                   "shares": e.shares()}
                            for name, e in self.entries.items()}}


def check_uncertainties(uncertainties: Any, n_energies: int) -> dict[str, Any]:
    """Validate standard uncertainties of the fixed quantities.

    Parameters
    ----------
    uncertainties : mapping
        ``w0`` (m), ``M2``, ``tau`` (s), ``thickness`` (m): absolute standard
        uncertainties; ``populations``: five absolute uncertainties (1/m³);
        ``energy_calibration``: relative uncertainty shared by every pulse
        energy (0.05 for 5 %); ``pulse_energy``: relative uncertainty of each
        pulse energy on its own, one number for all or one per energy.
    n_energies : int
        Number of curves, for a per-energy sequence.

    Returns
    -------
    dict
        The same keys with floats (lists for ``populations`` and
        ``pulse_energy``).

    Raises
    ------
    TypeError, ValueError
        Naming the key of anything else.
    """
    if not isinstance(uncertainties, Mapping):
        raise TypeError("uncertainties must be a mapping of name to standard uncertainty, "
                        f"got {type(uncertainties).__name__}")
    checked: dict[str, Any] = {}
    for key, value in uncertainties.items():
        if key not in UNCERTAINTY_KEYS:
            raise ValueError(f"uncertainties: unknown key {key!r}; the keys are "
                             f"{', '.join(UNCERTAINTY_KEYS)}")
        if key == "populations":
            checked[key] = _numbers(f"uncertainties['{key}']", value, LEVELS)
        elif key == "pulse_energy" and not _is_number(value):
            checked[key] = _numbers(f"uncertainties['{key}']", value, n_energies)
        else:
            checked[key] = _number(f"uncertainties['{key}']", value)
    if "pulse_energy" in checked and not isinstance(checked["pulse_energy"], list):
        checked["pulse_energy"] = [checked["pulse_energy"]] * n_energies
    return checked


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool)


def _number(name: str, value: Any) -> float:
    if not _is_number(value):
        raise TypeError(f"{name} must be a number, got {value!r}")
    number = float(value)
    if not math.isfinite(number) or number < 0.0:
        raise ValueError(f"{name} must be a finite standard uncertainty >= 0, got {value!r}")
    return number


def _numbers(name: str, value: Any, count: int) -> list[float]:
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"{name} must be a sequence of {count} numbers, got {value!r}")
    if len(value) != count:
        raise ValueError(f"{name} must hold {count} values, got {len(value)}")
    return [_number(f"{name}[{i}]", v) for i, v in enumerate(value)]


def error_budget(result: "FitResult", uncertainties: Mapping[str, Any],
                 threads: int | None = None) -> ErrorBudget:
    """Propagate standard uncertainties of fixed quantities into a fit's values.

    Parameters
    ----------
    result : FitResult
        A fit that kept its data and experiment.
    uncertainties : mapping
        See :func:`check_uncertainties`.
    threads : int or None
        Threads for each evaluation of the model (None: every core).

    Returns
    -------
    ErrorBudget
        A quantity that is itself fitted (``energy_calibration`` when
        ``energy_scale`` is varied, for example) is listed in ``dropped``.
    """
    if result.data is None or result.experiment is None:
        raise ValueError("the result keeps no data or experiment to propagate through")
    data, experiment = result.data, result.experiment
    checked = check_uncertainties(uncertainties, data.n_energies)
    shifts, dropped = _model_shifts(result, checked, threads)
    names = result.var_names
    # Both apertures' curves, the absent ones left out, as the fit saw them.
    values, sigma = fit_arrays(data, experiment)
    present = np.isfinite(values).ravel()
    weights = np.ones(int(present.sum())) if sigma is None else 1.0 / sigma.ravel()[present]
    slopes = _slopes(experiment, result.params, data, names, threads).reshape(-1, len(names))[present]
    weighted = slopes * weights[:, None]
    inverse, _, _, _ = _covariance(weighted)
    entries = {}
    moves = {label: -(inverse @ (weighted.T @ (shift.ravel()[present] * weights)))
             for label, shift in shifts.items()} if inverse is not None else {}
    for k, name in enumerate(names):
        p = result.params[name]
        entries[name] = BudgetEntry(
            name=name, value=p.value, unit=UNITS[name],
            statistical=math.nan if p.stderr is None else p.stderr,
            contributions={label: float(move[k]) for label, move in moves.items()})
    for name, entry in _derived_entries(result, moves, checked).items():
        entries.setdefault(name, entry)  # delta_12 is both a parameter and derived
    return ErrorBudget(uncertainties=checked, entries=entries, dropped=dropped)


def _derived_entries(result: "FitResult", moves: Mapping[str, NDArray[np.float64]],
                     checked: Mapping[str, Any]) -> dict[str, BudgetEntry]:
    """The derived quantities' budget: each source moves them through the fitted
    parameters and, for the populations and the thickness, directly."""
    experiment = result.experiment
    values = dict(result.params.valuesdict())

    def derived_at(step: float, label: str) -> dict[str, float]:
        shifted = dict(values)
        for k, name in enumerate(result.var_names):
            shifted[name] += step * moves[label][k]
        populations = list(experiment.populations)
        thickness = experiment.thickness
        if label.startswith("populations["):
            level = int(label[len("populations["):-1])
            populations[level] += step * checked["populations"][level]
        elif label == "thickness":
            thickness += step * checked["thickness"]
        quantities = derived_quantities(shifted, result.var_names, None,
                                        experiment.wavelength, populations, thickness,
                                        experiment.linear_index)
        return {name: q.value for name, q in quantities.items()}

    # The closed forms are smooth: a central difference over a thousandth of
    # each source's uncertainty is its linear propagation to rounding.
    step = 1e-3
    shifts = {label: (derived_at(step, label), derived_at(-step, label)) for label in moves}
    entries = {}
    for name, quantity in result.derived.items():
        contributions = {label: (up[name] - down[name]) / (2.0 * step)
                         for label, (up, down) in shifts.items()
                         if name in up and name in down}
        if quantity.fixed and not any(contributions.values()):
            continue
        entries[name] = BudgetEntry(
            name=name, value=quantity.value, unit=quantity.unit,
            statistical=math.nan if quantity.stderr is None else quantity.stderr,
            contributions=contributions)
    return entries


def _aperture(experiment: Experiment) -> dict[str, str]:
    # Without an aperture the call is the one it always was.
    return {"aperture": "both"} if has_aperture(experiment) else {}


def _slopes(experiment: Experiment, params: Parameters, data: Any,
            names: Sequence[str], threads: int | None) -> NDArray[np.float64]:
    """∂m/∂p for ``names`` in that order (the engine's analytic derivatives),
    shape (blocks, energies, positions, len(names))."""
    chosen = params.copy()
    for name in chosen:
        chosen[name].vary = name in names
    columns = jacobian(experiment, chosen, data.positions_mm, data.pulse_energies,
                       threads=threads, **_aperture(experiment))
    if columns.ndim == 3:
        columns = columns[None]
    order = [n for n in chosen if n in names]  # the engine's order: declaration order
    return columns[..., [order.index(n) for n in names]]


def _model_shifts(result: "FitResult", checked: Mapping[str, Any], threads: int | None
                  ) -> tuple[dict[str, NDArray[np.float64]], dict[str, str]]:
    """The change of the model for one standard uncertainty of each input."""
    data, experiment, params = result.data, result.experiment, result.params
    fitted = set(result.var_names)
    shifts: dict[str, NDArray[np.float64]] = {}
    dropped: dict[str, str] = {}
    for key, uncertainty in checked.items():
        if key in ("energy_calibration", "pulse_energy"):
            continue
        if key in NAMES and key in fitted:
            dropped[key] = f"{key} is fitted"
        elif key in NAMES:
            if uncertainty:
                shifts[key] = _slopes(experiment, params, data, [key], threads)[..., 0] * uncertainty
        elif key == "populations":
            for level, value in enumerate(uncertainty):
                if value:
                    shifts[f"populations[{level}]"] = _difference(result, key, value, threads, level)
        elif uncertainty:
            shifts[key] = _difference(result, key, uncertainty, threads)
    energy = _energy_shifts(result, checked, "energy_scale" in fitted, dropped, threads)
    shifts.update(energy)
    return shifts, dropped


def _energy_shifts(result: "FitResult", checked: Mapping[str, Any], scale_fitted: bool,
                   dropped: dict[str, str], threads: int | None) -> dict[str, NDArray[np.float64]]:
    # Every pulse energy enters the model as energy_scale · E, so a relative
    # change of one energy is energy_scale times the derivative by
    # energy_scale, in that energy's curve only.
    calibration = checked.get("energy_calibration", 0.0)
    each = checked.get("pulse_energy", [])
    if scale_fitted and "energy_calibration" in checked:
        dropped["energy_calibration"] = "energy_scale is fitted"
        calibration = 0.0
    if not calibration and not any(each):
        return {}
    data, params = result.data, result.params
    relative = _slopes(result.experiment, params, data, ["energy_scale"], threads)[..., 0] \
        * params["energy_scale"].value
    shifts = {}
    if calibration:
        shifts["energy_calibration"] = relative * calibration
    for row, value in enumerate(each):
        if value:
            shift = np.zeros_like(relative)
            shift[:, row] = relative[:, row] * value
            shifts[f"pulse_energy[{row}]"] = shift
    return shifts


def _difference(result: "FitResult", key: str, uncertainty: float, threads: int | None,
                level: int | None = None) -> NDArray[np.float64]:
    """∂m/∂e · δe by central differences of the exact engine (one-sided, second
    order, where e cannot go below its current value)."""
    experiment = result.experiment
    value = getattr(experiment, key) if level is None else experiment.populations[level]
    step = DIFFERENCE_STEP * (abs(value) if value else uncertainty)

    def curves(offset: float) -> NDArray[np.float64]:
        if level is None:
            changed = dataclasses.replace(experiment, **{key: value + offset})
        else:
            populations = list(experiment.populations)
            populations[level] = value + offset
            changed = dataclasses.replace(experiment, populations=populations)
        curves = simulate(changed, result.params, result.data.positions_mm,
                          result.data.pulse_energies, threads=threads,
                          **_aperture(changed))
        return curves if curves.ndim == 3 else curves[None]

    centre_plus = curves(step)
    try:
        slope = (centre_plus - curves(-step)) / (2.0 * step)
    except ValueError:  # below its range (M2 < 1, a negative population)
        slope = (-3.0 * curves(0.0) + 4.0 * centre_plus - curves(2.0 * step)) / (2.0 * step)
    return slope * uncertainty
