"""Quantities written with their unit: ``"90 fs"``, ``"1.56 um"``, ``"100 MHz"``,
``"19uw"`` in a file name.

A few dozen units cover everything a z-scan run file holds, so they are parsed
here rather than by a general units library: the numbers are scaled in
decimal (``"200 uJ"`` is exactly the float ``2e-4``, as written), and every
error can list the units that the key in question accepts."""

from __future__ import annotations

import dataclasses
import math
import re
from decimal import Decimal, InvalidOperation

_PREFIXES = {"f": -15, "p": -12, "n": -9, "u": -6, "µ": -6, "μ": -6, "m": -3, "c": -2,
             "k": 3, "M": 6, "G": 9, "T": 12}


class UnitError(ValueError):
    """A quantity whose number or unit cannot be read."""


@dataclasses.dataclass(frozen=True)
class Dimension:
    """A kind of quantity: its SI unit and the units accepted for it.

    Attributes
    ----------
    name : str
        What it measures, for messages ("length").
    si_unit : str
        The unit a bare number is taken in, and the one results are given in.
    units : dict
        Unit symbol -> power of ten that turns it into ``si_unit``, or the
        factor itself as a Decimal when it is no power of ten.
    """

    name: str
    si_unit: str
    units: dict[str, int | Decimal]

    def symbols(self) -> str:
        """The accepted symbols, for messages."""
        return ", ".join(dict.fromkeys(u.replace("μ", "µ") for u in self.units))


def _prefixed(symbol: str, prefixes: str, power: int = 1, offset: int = 0) -> dict[str, int]:
    units = {symbol: offset}
    for prefix in prefixes:
        units[prefix + symbol] = _PREFIXES[prefix] * power + offset
    return units


LENGTH = Dimension("length", "m", _prefixed("m", "fpnuµμmc") | {"Å": -10})
TIME = Dimension("time", "s", _prefixed("s", "fpnuµμm"))
ENERGY = Dimension("energy", "J", _prefixed("J", "fpnuµμm"))
POWER = Dimension("power", "W", _prefixed("W", "fpnuµμm"))
FREQUENCY = Dimension("frequency", "Hz", _prefixed("Hz", "kMG"))
AREA = Dimension("area", "m^2", {**{f"{p}m^2": e * 2 for p, e in
                                     (("", 0), ("c", -2), ("mm", -3), ("nm", -9))},
                                  **{f"{p}m2": e * 2 for p, e in
                                     (("", 0), ("c", -2), ("mm", -3), ("nm", -9))}})
# A mole per litre of molecules is N_A per 1e-3 m^3 (N_A exact since 2019).
_MOLAR = Decimal("6.02214076e26")
DENSITY = Dimension("number density", "1/m^3", {
    "1/m^3": 0, "m^-3": 0, "/m^3": 0, "1/m3": 0, "m-3": 0,
    "1/cm^3": 6, "cm^-3": 6, "/cm^3": 6, "1/cm3": 6, "cm-3": 6,
    "mol/L": _MOLAR, "mol/l": _MOLAR, "M": _MOLAR, "mM": _MOLAR / 1000,
    "mmol/L": _MOLAR / 1000, "uM": _MOLAR / 10**6, "µM": _MOLAR / 10**6})
# Two-photon cross-sections: 1 GM (Goeppert-Mayer) = 1e-50 cm^4 s = 1e-58 m^4 s.
TWO_PHOTON = Dimension("two-photon cross-section", "m^4 s", {
    "m^4 s": 0, "m^4*s": 0, "m4s": 0, "cm^4 s": -8, "cm^4*s": -8, "cm4s": -8, "GM": -58})
# Kerr index: the phase per unit length per irradiance, k0·n2·I.
KERR = Dimension("nonlinear refractive index", "m^2/W", {
    "m^2/W": 0, "m2/W": 0, "cm^2/W": -4, "cm2/W": -4, "cm^2/GW": -13, "cm2/GW": -13})
MILLIMETRES = Dimension("length", "mm", {unit: int(power) + 3
                                         for unit, power in LENGTH.units.items()})
"""Lengths for the keys given in millimetres (``_mm`` and ``z0``)."""

_NUMBER = r"[-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?"
_QUANTITY = re.compile(rf"^\s*(?P<number>{_NUMBER})\s*(?P<unit>\S.*?)?\s*$")


def _decimal(text: str) -> Decimal:
    try:
        return Decimal(text.replace(",", "."))
    except InvalidOperation:
        raise UnitError(f"{text!r} is not a number") from None


def _unit_power(unit: str, dimension: Dimension) -> int | Decimal | None:
    # The exact symbol first; otherwise a case-insensitive match, but only
    # where it is unambiguous (mHz and MHz differ only in case).
    compact = unit.replace(" ", "") if " " not in dimension.si_unit else unit
    for candidate in (unit, compact):
        if candidate in dimension.units:
            return dimension.units[candidate]
    folded = [power for symbol, power in dimension.units.items()
              if symbol.casefold() in (unit.casefold(), compact.casefold())]
    return folded[0] if len(set(folded)) == 1 else None


def parse_quantity(text: str, dimension: Dimension) -> float:
    """A quantity written as text, in the SI unit of ``dimension``.

    Parameters
    ----------
    text : str
        A number with an optional unit: ``"90 fs"``, ``"1.56um"``, ``"3e-9"``
        (a bare number is in ``dimension.si_unit``).
    dimension : Dimension

    Returns
    -------
    float

    Raises
    ------
    UnitError
        For text that is not a number followed by one of the dimension's units,
        or a value beyond the range of a float.
    """
    match = _QUANTITY.match(text)
    if match is None:
        raise UnitError(f"{text!r} is not a number with a unit (e.g. "
                        f"'{example(dimension)}')")
    unit = match["unit"]
    power = 0 if unit is None else _unit_power(unit, dimension)
    if power is None:
        raise UnitError(f"{unit!r} is not a unit of {dimension.name}; use one of "
                        f"{dimension.symbols()}")
    number = _decimal(match["number"])
    scaled = number * power if isinstance(power, Decimal) else number.scaleb(power)
    value = float(scaled)
    if not math.isfinite(value):
        raise UnitError(f"{text!r} is too large")
    return value


def example(dimension: Dimension) -> str:
    """A quantity of ``dimension`` written with a unit, for messages."""
    return {"m": "1.56 um", "s": "90 fs", "J": "200 uJ", "W": "19 uW",
            "Hz": "80 MHz"}.get(dimension.si_unit, f"1 {dimension.si_unit}")


@dataclasses.dataclass(frozen=True)
class EnergyOrPower:
    """A pulse energy (J) or an average power (W), as read from a name."""

    value: float
    is_power: bool

    def pulse_energy(self, repetition_rate: float | None) -> float:
        """The pulse energy in joules; a power needs the repetition rate (Hz).

        Raises
        ------
        ValueError
            For a power without a repetition rate.
        """
        if not self.is_power:
            return self.value
        if repetition_rate is None:
            raise ValueError(f"{self.value:g} W is an average power; give repetition_rate "
                             "in [experiment] to turn it into a pulse energy")
        return self.value / repetition_rate


_ENERGY_OR_POWER_UNITS = {**{u.casefold(): (p, False) for u, p in ENERGY.units.items()},
                          **{u.casefold(): (p, True) for u, p in POWER.units.items()}}
ENERGY_TOKEN = rf"(?:{_NUMBER})\s*(?:[fpnuµμm]?[jJwW])"
"""A regular expression for a number with an energy or power unit, in any case."""


def energy_or_power(text: str, default_unit: str | None = None) -> EnergyOrPower:
    """An energy or a power from text such as ``"115nw"``, ``"2.25 uW"``, ``"3.2mJ"``.

    The unit may be written in any case (``nw``, ``UW``, ``MJ``): energies and
    powers of a z-scan never reach mega, so ``m`` and ``M`` both mean milli.

    Parameters
    ----------
    text : str
        A number, with a unit unless ``default_unit`` is given.
    default_unit : str, optional
        The unit of a bare number (``"uJ"``, ``"mW"``, ``"J"``).

    Raises
    ------
    UnitError
        For text that is not a positive number with an energy or power unit.
    """
    match = _QUANTITY.match(text)
    if match is None:
        raise UnitError(f"{text!r} is not an energy or a power (e.g. '200uJ', '19uW')")
    unit = match["unit"] or default_unit
    if unit is None:
        raise UnitError(f"{text!r} has no unit; write it with one (J, mJ, uJ, nJ, pJ, W, "
                        "mW, uW, nW) or give energy_unit")
    # casefold() turns the micro sign into the Greek mu, as it does the keys.
    found = _ENERGY_OR_POWER_UNITS.get(unit.strip().casefold())
    if found is None:
        raise UnitError(f"{unit!r} is not a unit of energy or power; use J, mJ, uJ, nJ, "
                        "pJ, W, mW, uW or nW")
    power, is_power = found
    value = float(_decimal(match["number"]).scaleb(power))
    if not (math.isfinite(value) and value > 0):
        raise UnitError(f"{text!r} must be a positive energy or power")
    return EnergyOrPower(value, is_power)


def si_text(value: float, unit: str) -> str:
    """A value in an SI unit, for reports (``5.405e-14 s``)."""
    return f"{value:.7g} {unit}".rstrip()
