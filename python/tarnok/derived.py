"""Quantities that researchers compare with the literature, derived from the
fitted parameters and the experiment: the two-photon coefficient β and
cross-section δ, the linear absorption, the saturation irradiance and ratios
of cross-sections, each with a standard error propagated through the fit's
covariance.

Conventions: β = δ·N1/(hν), so that the light loses β·I² per unit length;
each two-photon transition takes two photons, so level 2 gains β·I²/(2hν)
per unit volume and time. 1 GM = 1e-58 m⁴·s."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Mapping, NamedTuple, Sequence

import numpy as np
from numpy.typing import NDArray

PLANCK = 6.62607015e-34  # J s
SPEED_OF_LIGHT = 299792458.0  # m/s
GOEPPERT_MAYER = 1e-58  # m^4 s


class DerivedQuantity(NamedTuple):
    """One derived quantity in SI units."""

    value: float
    stderr: float | None
    """Standard error by linear propagation; None when it depends on fixed
    parameters only (``fixed``) or the covariance is unknown."""
    unit: str
    """SI unit."""
    fixed: bool
    """True when every parameter it depends on was held fixed."""


@dataclass(frozen=True)
class _Definition:
    name: str
    unit: str
    display_unit: str
    display_factor: float  # SI value x factor = value in display_unit
    parameters: tuple[str, ...]
    formula: Callable[[Mapping[str, float]], float]
    applies: Callable[[Mapping[str, float], set[str]], bool]


def _photon_energy(wavelength: float) -> float:
    return PLANCK * SPEED_OF_LIGHT / wavelength


def _definitions(wavelength: float, ground_population: float,
                 thickness: float) -> list[_Definition]:
    h_nu = _photon_energy(wavelength)

    def present(name: str) -> Callable[[Mapping[str, float], set[str]], bool]:
        return lambda v, varied: name in varied or v[name] > 0.0

    def ratio_present(name: str) -> Callable[[Mapping[str, float], set[str]], bool]:
        return lambda v, varied: v["sigma_12"] > 0.0 and (name in varied or v[name] > 0.0)

    return [
        _Definition("beta", "m/W", "cm/GW", 1e11, ("delta_12",),
                    lambda v: v["delta_12"] * ground_population / h_nu, present("delta_12")),
        _Definition("delta_12", "m^4 s", "GM", 1.0 / GOEPPERT_MAYER, ("delta_12",),
                    lambda v: v["delta_12"], present("delta_12")),
        _Definition("alpha_0", "1/m", "1/cm", 1e-2, ("sigma_12",),
                    lambda v: v["sigma_12"] * ground_population, present("sigma_12")),
        _Definition("linear_transmittance", "", "", 1.0, ("sigma_12",),
                    lambda v: math.exp(-v["sigma_12"] * ground_population * thickness),
                    present("sigma_12")),
        _Definition("saturation_irradiance", "W/m^2", "W/cm^2", 1e-4, ("sigma_12", "tau_21"),
                    lambda v: h_nu / (v["sigma_12"] * v["tau_21"]),
                    lambda v, varied: v["sigma_12"] > 0.0),
        _Definition("sigma_23/sigma_12", "", "", 1.0, ("sigma_23", "sigma_12"),
                    lambda v: v["sigma_23"] / v["sigma_12"], ratio_present("sigma_23")),
        _Definition("sigma_45/sigma_12", "", "", 1.0, ("sigma_45", "sigma_12"),
                    lambda v: v["sigma_45"] / v["sigma_12"], ratio_present("sigma_45")),
    ]


def derived_quantities(values: Mapping[str, float], var_names: Sequence[str],
                       covar: NDArray[np.float64] | None, wavelength: float,
                       populations: Sequence[float],
                       thickness: float) -> dict[str, DerivedQuantity]:
    """The derived quantities that apply to these values.

    Parameters
    ----------
    values : mapping
        Every parameter's value (SI units, z0 in mm).
    var_names : sequence of str
        The varied parameters, in the order of ``covar``'s rows.
    covar : (n, n) array or None
        Their covariance; None when unknown.
    wavelength, thickness : float
        Of the experiment (m).
    populations : sequence of 5 floats
        Initial populations (1/m³); the ground state's enters β and α0.

    Returns
    -------
    dict
        Name → :class:`DerivedQuantity`, in the order of the report.
    """
    varied = set(var_names)
    out: dict[str, DerivedQuantity] = {}
    for d in _definitions(wavelength, float(populations[0]), thickness):
        if not d.applies(values, varied):
            continue
        value = d.formula(values)
        fixed = not any(p in varied for p in d.parameters)
        stderr = None if fixed else _propagated_error(d, values, var_names, covar)
        out[d.name] = DerivedQuantity(value, stderr, d.unit, fixed)
    return out


def display(name: str) -> tuple[str, float]:
    """(customary unit, factor from SI) of a derived quantity, for reports."""
    for d in _definitions(1.0, 1.0, 1.0):
        if d.name == name:
            return d.display_unit, d.display_factor
    raise KeyError(name)


def _propagated_error(d: _Definition, values: Mapping[str, float], var_names: Sequence[str],
                      covar: NDArray[np.float64] | None) -> float | None:
    """sqrt(g^T C g), g the gradient by the varied parameters, by central
    differences of the closed form (smooth, so a relative step of 1e-6 leaves
    errors near 1e-12)."""
    if covar is None or not np.isfinite(covar).all():
        return None
    gradient = np.zeros(len(var_names))
    for k, name in enumerate(var_names):
        if name not in d.parameters:
            continue
        step = 1e-6 * abs(values[name]) if values[name] != 0.0 else 1e-6
        up, down = dict(values), dict(values)
        up[name] += step
        down[name] -= step
        gradient[k] = (d.formula(up) - d.formula(down)) / (2.0 * step)
    variance = float(gradient @ covar @ gradient)
    return math.sqrt(variance) if variance >= 0.0 else None
