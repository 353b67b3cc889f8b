"""Quantities that researchers compare with the literature, derived from the
fitted parameters and the experiment: the two-photon coefficient β and
cross-section δ, the linear absorption, the saturation irradiance, ratios
of cross-sections, and the Kerr index with the third-order susceptibility,
each with a standard error propagated through the fit's covariance.

Conventions: β = δ·N1/(hν), so that the light loses β·I² per unit length;
each two-photon transition takes two photons, so level 2 gains β·I²/(2hν)
per unit volume and time. 1 GM = 1e-58 m⁴·s.

The Kerr index n2 (m²/W) is that of n = n0 + n2·I, the light gathering the
phase k0·n2·I per unit length. With the irradiance I = ½·n0·ε0·c·|E|² of a
field E·cos(ωt) and the polarisation P = ε0·χ(3)·(3/4)·|E|²·E at ω (SI,
χ(3) in m²/V²): Re χ(3) = (4/3)·n0²·ε0·c·n2 and, since the light loses
β·I² per unit length, Im χ(3) = n0²·ε0·c·λ·β/(3π). The figure of merit
n2/(λ·β) is dimensionless."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Mapping, NamedTuple, Sequence

import numpy as np
from numpy.typing import NDArray

PLANCK = 6.62607015e-34  # J s
SPEED_OF_LIGHT = 299792458.0  # m/s
GOEPPERT_MAYER = 1e-58  # m^4 s
VACUUM_PERMITTIVITY = 8.8541878188e-12  # F/m (CODATA 2022)


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
                 thickness: float, linear_index: float = 1.0) -> list[_Definition]:
    h_nu = _photon_energy(wavelength)
    # n0^2 eps0 c, which turns an irradiance coefficient into a susceptibility.
    medium = linear_index**2 * VACUUM_PERMITTIVITY * SPEED_OF_LIGHT

    def present(name: str) -> Callable[[Mapping[str, float], set[str]], bool]:
        return lambda v, varied: name in varied or v[name] > 0.0

    def signed_present(name: str) -> Callable[[Mapping[str, float], set[str]], bool]:
        return lambda v, varied: name in varied or v.get(name, 0.0) != 0.0

    def beta(v: Mapping[str, float]) -> float:
        return v["delta_12"] * ground_population / h_nu

    def ratio_present(name: str) -> Callable[[Mapping[str, float], set[str]], bool]:
        return lambda v, varied: v["sigma_12"] > 0.0 and (name in varied or v[name] > 0.0)

    return [
        _Definition("beta", "m/W", "cm/GW", 1e11, ("delta_12",), beta, present("delta_12")),
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
        _Definition("n2", "m^2/W", "cm^2/W", 1e4, ("n2",), lambda v: v["n2"],
                    signed_present("n2")),
        _Definition("Re chi3", "m^2/V^2", "m^2/V^2", 1.0, ("n2",),
                    lambda v: 4.0 / 3.0 * medium * v["n2"], signed_present("n2")),
        _Definition("Im chi3", "m^2/V^2", "m^2/V^2", 1.0, ("delta_12",),
                    lambda v: medium * wavelength * beta(v) / (3.0 * math.pi),
                    present("delta_12")),
        _Definition("n2/(lambda beta)", "", "", 1.0, ("n2", "delta_12"),
                    lambda v: v["n2"] / (wavelength * beta(v)),
                    lambda v, varied: (signed_present("n2")(v, varied) and v["delta_12"] > 0.0
                                       and ground_population > 0.0)),
    ]


def derived_quantities(values: Mapping[str, float], var_names: Sequence[str],
                       covar: NDArray[np.float64] | None, wavelength: float,
                       populations: Sequence[float],
                       thickness: float, linear_index: float = 1.0
                       ) -> dict[str, DerivedQuantity]:
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
    linear_index : float
        The sample's linear refractive index n0 (the experiment's), which
        enters χ(3).

    Returns
    -------
    dict
        Name → :class:`DerivedQuantity`, in the order of the report.
    """
    varied = set(var_names)
    out: dict[str, DerivedQuantity] = {}
    for d in _definitions(wavelength, float(populations[0]), thickness, linear_index):
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
