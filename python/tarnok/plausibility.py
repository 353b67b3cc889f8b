"""Ranges outside which no z-scan lies, and what to blame when the model
gives values that are not finite.

The engines accept any finite positive number, but far beyond these ranges
their floating-point arithmetic overflows or underflows (an M² of 1e300, a
pulse energy of 5e-324 J) and a curve of NaN would come back. Such input is
refused before the evaluation, naming the argument; should a value that is
not finite still appear, the error names the inputs that lie farthest from
the usual."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .experiment import Experiment
    from .parameters import Parameters

# (lowest, highest, unit): decades beyond any experiment on either side, so
# that a real measurement is never refused.
EXPERIMENT_RANGES = {
    "wavelength": (1e-9, 1e-2, "m"),
    "w0": (1e-9, 1.0, "m"),
    "M2": (1.0, 1e4, ""),
    "tau": (1e-18, 1.0, "s"),
    "thickness": (1e-12, 10.0, "m"),
}
POPULATION_MAX = 1e32  # 1/m^3; a solid holds about 1e29 molecules per m^3
PULSE_ENERGY_RANGE = (1e-24, 1e6)  # J, after energy_scale
CROSS_SECTION_MAX = 1e-10  # m^2
TWO_PHOTON_MAX = 1e-40  # m^4 s, 1e18 GM
LIFETIME_RANGE = (1e-30, 1e12)  # s
# A typical value of each, in decades, to say which input lies farthest out.
_TYPICAL = {"wavelength": 1e-6, "w0": 1e-4, "M2": 1.0, "tau": 1e-10, "thickness": 1e-3,
            "pulse energy": 1e-5, "cross-section": 1e-21, "lifetime": 1e-9}


def _outside(name: str, value: float, low: float, high: float, unit: str) -> str | None:
    if low <= value <= high:
        return None
    return (f"{name} = {float(value)!r}{' ' + unit if unit else ''} lies outside the range "
            f"{low:g} to {high:g} that any z-scan lies in")


def _parameter_problems(parameters: "Parameters") -> Iterable[str]:
    from .parameters import CROSS_SECTIONS, LIFETIMES

    for name in CROSS_SECTIONS:
        if name in parameters:
            yield _outside(name, parameters[name].value, 0.0, CROSS_SECTION_MAX, "m^2") or ""
    for name in LIFETIMES:
        if name in parameters:
            yield _outside(name, parameters[name].value, *LIFETIME_RANGE, "s") or ""
    if "delta_12" in parameters:
        yield _outside("delta_12", parameters["delta_12"].value, 0.0, TWO_PHOTON_MAX,
                       "m^4 s") or ""


def _used(experiment: "Experiment", parameters: "Parameters", name: str) -> float:
    # w0 and M2 may be parameters too, which then take the experiment's place.
    given = parameters[name].value if name in parameters else None
    return float(getattr(experiment, name) if given is None else given)


def _problems(experiment: "Experiment", parameters: "Parameters",
              pulse_energies: Any) -> list[str]:
    found = [_outside(name, _used(experiment, parameters, name), low, high, unit)
             for name, (low, high, unit) in EXPERIMENT_RANGES.items()]
    found += [f"populations[{i}] = {value!r} 1/m^3 is above {POPULATION_MAX:g}"
              for i, value in enumerate(experiment.populations) if value > POPULATION_MAX]
    found += list(_parameter_problems(parameters))
    scale = parameters["energy_scale"].value if "energy_scale" in parameters else 1.0
    energies = np.asarray(pulse_energies, dtype=np.float64).ravel() * scale
    low, high = PULSE_ENERGY_RANGE
    bad = energies[(energies < low) | (energies > high)]
    if bad.size:
        found.append(f"a pulse energy of {float(bad[0])!r} J (times energy_scale) lies outside "
                     f"the range {low:g} to {high:g} J that any z-scan lies in")
    return [problem for problem in found if problem]


def _linear_absorbance(experiment: "Experiment", parameters: "Parameters") -> float:
    sigma = parameters["sigma_12"].value if "sigma_12" in parameters else 0.0
    return sigma * experiment.populations[0] * experiment.thickness


def check_inputs(experiment: "Experiment", parameters: "Parameters",
                 pulse_energies: Any) -> None:
    """Refuse inputs far outside every z-scan, before any evaluation.

    Raises
    ------
    ValueError
        Naming the first such input and the range it must lie in.
    """
    problems = _problems(experiment, parameters, pulse_energies)
    if problems:
        raise ValueError(problems[0])


def _decades_from_typical(experiment: "Experiment", parameters: "Parameters",
                          pulse_energies: Any) -> list[tuple[float, str]]:
    from .parameters import CROSS_SECTIONS, LIFETIMES

    candidates = [(name, _used(experiment, parameters, name), _TYPICAL[name])
                  for name in EXPERIMENT_RANGES]
    candidates += [(name, parameters[name].value, _TYPICAL["cross-section"])
                   for name in CROSS_SECTIONS if name in parameters]
    candidates += [(name, parameters[name].value, _TYPICAL["lifetime"])
                   for name in LIFETIMES if name in parameters]
    candidates.append(("the linear absorbance sigma_12 x populations[0] x thickness",
                       _linear_absorbance(experiment, parameters), 1.0))
    energies = np.asarray(pulse_energies, dtype=np.float64).ravel()
    candidates += [("pulse energy", float(e), _TYPICAL["pulse energy"]) for e in energies]
    ranked = [(abs(math.log10(value / typical)), f"{name} = {value:g}")
              for name, value, typical in candidates if value > 0]
    return sorted(ranked, reverse=True)


def require_finite_model(values: np.ndarray, what: str, experiment: "Experiment",
                         parameters: "Parameters", pulse_energies: Any) -> None:
    """Raise when a model evaluation gave NaN or infinity, naming the likely cause.

    Parameters
    ----------
    values : numpy.ndarray
        What the evaluation returned.
    what : str
        Its name in the message ("the model curves", "the Jacobian").

    Raises
    ------
    ValueError
        If any value is not finite.
    """
    finite = np.isfinite(values)
    if finite.all():
        return
    raise ValueError(f"{what} are not finite at {int((~finite).sum())} of {values.size} "
                     f"points: the inputs lie beyond what the model can compute; the ones "
                     f"farthest from usual values are "
                     f"{farthest_from_usual(experiment, parameters, pulse_energies)}")


def farthest_from_usual(experiment: "Experiment", parameters: "Parameters",
                        pulse_energies: Any) -> str:
    """The two inputs farthest (in decades) from typical z-scan values, as text."""
    ranked = _decades_from_typical(experiment, parameters, pulse_energies)
    return " and ".join(text for _, text in ranked[:2])
