"""The run description: a TOML file that says which measurements to read, how
to normalise them, the experiment's optics, the model parameters and how to
fit them. Everything is validated when the file is loaded, so that a typo or a
value in the wrong unit is reported by key before any computation starts."""

from __future__ import annotations

import dataclasses
import math
import re
import tomllib
from pathlib import Path
from typing import Any

from . import units
from .experiment import AUTO
from .budget import INPUT_UNITS, UNCERTAINTY_KEYS
from .parameters import UNITS as _UNITS
from .io import (AUTO_PATTERN, Column, Curve, EnergyUnit, check_readable_file, load_curve,
                 load_long, load_wide)
from .normalise import NormalisedCurve, as_normalised, closed_over_open, normalise, to_zscan
from .zscan import ZScan

REQUIRED_PARAMETERS = ("sigma_12", "sigma_23", "sigma_45", "tau_21", "tau_24", "tau_32",
                       "tau_41", "tau_54")
# None: the experiment's value (w0 and M2 may be fitted, but need no table).
PARAMETER_DEFAULTS: dict[str, float | None] = {"delta_12": 0.0, "energy_scale": 1.0,
                                               "z0": 0.0, "w0": None, "M2": None,
                                               "n2": 0.0, "sigma_r2": 0.0, "sigma_r4": 0.0}
# Refraction may bend either way: these have no lower bound.
SIGNED_PARAMETERS = ("n2", "sigma_r2", "sigma_r4")
PARAMETER_NAMES = REQUIRED_PARAMETERS + tuple(PARAMETER_DEFAULTS)

BEAMS = ("on-axis", "gaussian")
LAYOUTS = ("long", "per-energy", "wide")
ENGINES = ("exact", "integrator")
FORMATS = ("png", "svg", "pdf")
POSITION_UNITS = ("mm", "um", "steps")
DELIMITERS = {",": ",", ";": ";", "\t": "\t", "tab": "\t", "whitespace": "whitespace"}
MAX_RUN_FILE_BYTES = 4 * 2**20

KEYS: dict[str, tuple[str, ...]] = {
    "experiment": ("wavelength", "w0", "M2", "tau", "tau_fwhm", "thickness", "populations",
                   "t_slices", "z_slices", "beam", "radial_nodes", "repetition_rate",
                   "aperture_transmittance", "aperture_radius", "aperture_distance",
                   "linear_index", "closed_divided", "depth_extrapolation"),
    "data": ("layout", "delimiter", "header", "position_unit", "step_size_mm", "reference",
             "file", "energy_column", "position_column", "signal_column", "sigma_column",
             "closed_column", "files", "energy_pattern", "energy_unit", "signal_columns",
             "position_columns", "sigma_columns", "closed_columns", "closed_over_open",
             "closed_sigma_column", "closed_sigma_columns"),
    "data.files": ("path", "pulse_energy"),
    "normalise": ("enabled", "wings", "wings_mm", "tilt", "focus_mm"),
    "parameters.*": ("value", "vary", "min", "max"),
    "fit": ("engine", "n_starts", "threads", "seed", "intervals"),
    "output": ("folder", "format"),
    "uncertainties": UNCERTAINTY_KEYS,
}
"""Every key each table accepts (``parameters.*`` for each parameter table)."""

_TABLES = ("experiment", "data", "normalise", "parameters", "fit", "output", "uncertainties")
# Keys that only one or two layouts use.
_LAYOUT_KEYS = {
    "files": ("per-energy",), "energy_pattern": ("per-energy",),
    "file": ("long", "wide"), "energy_column": ("long",),
    "signal_column": ("per-energy", "long"), "sigma_column": ("per-energy", "long"),
    "closed_column": ("per-energy", "long"), "header": ("per-energy", "long"),
    "signal_columns": ("wide",), "position_columns": ("wide",), "sigma_columns": ("wide",),
    "closed_columns": ("wide",), "closed_sigma_column": ("per-energy", "long"),
    "closed_sigma_columns": ("wide",),
}

# Generous ranges that catch a value written in the wrong unit (20 for 20 µm)
# without refusing any real experiment.
_PLAUSIBLE = {
    "wavelength": (1e-8, 1e-4, units.LENGTH),
    "w0": (1e-7, 1e-2, units.LENGTH),
    "tau": (1e-16, 1e-3, units.TIME),
    "tau_fwhm": (1.6e-16, 1.7e-3, units.TIME),
    "thickness": (1e-8, 1.0, units.LENGTH),
    "repetition_rate": (1e-3, 1e11, units.FREQUENCY),
    "aperture_radius": (1e-7, 1.0, units.LENGTH),
    "aperture_distance": (1e-4, 100.0, units.LENGTH),
}
_UNIT_NAMES = {"m": "metres", "s": "seconds", "Hz": "Hz", "J": "joules", "mm": "mm",
               "m^2": "m^2", "1/m^3": "1/m^3", "m^4 s": "m^4 s"}
# The dimension of each parameter, by the unit tarnok.parameters gives it.
_PARAMETER_DIMENSIONS = {"m^2": units.AREA, "s": units.TIME, "mm": units.MILLIMETRES,
                         "m": units.LENGTH, "m^4 s": units.TWO_PHOTON,
                         "m^2/W": units.KERR}
# exp(-(t/tau)^2) falls to half at t = tau * sqrt(ln 2).
FWHM_PER_TAU = 2.0 * math.sqrt(math.log(2.0))


class RunFileError(ValueError):
    """A run description that cannot be used; the message names file, table and key."""


@dataclasses.dataclass(frozen=True)
class DataFile:
    """One per-energy data file: its path and, optionally, its pulse energy (J)."""

    path: Path
    pulse_energy: float | None


@dataclasses.dataclass(frozen=True)
class DataSettings:
    """How to read the measurements; paths are absolute (resolved from the run file).

    ``signal_columns``, ``position_columns``, ``sigma_columns`` and
    ``closed_columns`` are the column-name templates of the wide layout;
    ``energy_unit`` is joules per unit or a unit (``"uJ"``, ``"mW"``).
    """

    layout: str
    files: tuple[DataFile, ...]
    position_column: Column | None
    signal_column: Column
    sigma_column: Column | None
    energy_column: Column | None
    reference: Column | None
    energy_pattern: str | None
    energy_unit: EnergyUnit
    position_unit: str
    step_size_mm: float | None
    delimiter: str | None
    header: bool | None
    closed_column: Column | None = None
    signal_columns: str | None = None
    position_columns: str | None = None
    sigma_columns: str | None = None
    closed_columns: str | None = None
    closed_over_open: bool = False
    closed_sigma_column: Column | None = None
    closed_sigma_columns: str | None = None

    @property
    def has_closed(self) -> bool:
        """Whether closed-aperture columns are read."""
        return self.closed_column is not None or self.closed_columns is not None


@dataclasses.dataclass(frozen=True)
class NormaliseSettings:
    """Keyword arguments of :func:`tarnok.normalise.normalise`, and whether to apply it."""

    enabled: bool = True
    wings: int | None = None
    wings_mm: float | None = None
    tilt: bool = False
    focus_mm: float | None = None


@dataclasses.dataclass(frozen=True)
class FitSettings:
    """Fit engine, number of starting points, threads (None: all cores), seed,
    and whether to compute profile-likelihood intervals."""

    engine: str = "exact"
    n_starts: int = 8
    threads: int | None = None
    seed: int = 0
    intervals: bool = False


@dataclasses.dataclass(frozen=True)
class OutputSettings:
    """Folder for results (absolute) and figure format."""

    folder: Path
    format: str = "png"


@dataclasses.dataclass(frozen=True)
class RunDescription:
    """A validated run file.

    Attributes
    ----------
    source : Path
        The run file, absolute.
    raw : dict
        The TOML content as parsed, for the record.
    experiment : dict
        Keyword arguments for ``tarnok.Experiment``: wavelength (m), w0 (m),
        M2, tau (s), thickness (m), populations (list of 5, 1/m^3), t_slices,
        z_slices, beam, radial_nodes (whole numbers or "auto"), repetition_rate.
    parameters : dict
        Parameter name -> ``{"value": float, "vary": bool, "min": float,
        "max": float}`` for every name in ``PARAMETER_NAMES`` (z0 in mm), absent
        bounds as -inf and inf; ``tarnok.Parameters(**parameters)`` takes it.
    data, normalise, fit, output
        The remaining settings.
    repetition_rate : float or None
        Pulses per second, from ``[experiment]``; turns average powers into
        pulse energies.
    conversions : tuple of str
        How each value given with a unit, or derived from another key, was
        turned into SI, for the report.
    uncertainties : dict
        Standard uncertainties of fixed quantities for the error budget
        (``tarnok.fit(uncertainties=...)``); empty when the table is absent.
    """

    source: Path
    raw: dict[str, Any]
    experiment: dict[str, Any]
    parameters: dict[str, dict[str, Any]]
    data: DataSettings
    normalise: NormaliseSettings
    fit: FitSettings
    output: OutputSettings
    repetition_rate: float | None = None
    conversions: tuple[str, ...] = ()
    uncertainties: dict[str, Any] = dataclasses.field(default_factory=dict)

    def load_data(self) -> tuple[ZScan, list[NormalisedCurve]]:
        """Read the described files and normalise every curve.

        Returns
        -------
        zscan : ZScan
            The normalised curves, one row per curve in file order.
        curves : list of NormalisedCurve
            The same curves with their raw signal and baseline (a baseline of 1
            when normalisation is disabled).

        Raises
        ------
        tarnok.io.DataFileError
            For a problem in a data file (naming file, line and column).
        ValueError
            If the curves cannot be normalised or assembled.
        """
        curves = self._read_curves()
        settings = self.normalise
        if settings.enabled:
            normalised = [normalise(curve, wings=settings.wings, wings_mm=settings.wings_mm,
                                    focus_mm=settings.focus_mm, tilt=settings.tilt)
                          for curve in curves]
        else:
            normalised = [as_normalised(curve) for curve in curves]
        if self.data.closed_over_open:
            normalised = [closed_over_open(curve) for curve in normalised]
        zscan = to_zscan(normalised)
        if zscan.has_closed and not self.has_aperture:
            # Kept in the record of the normalisation, but a model without
            # an aperture has nothing to compare them with.
            zscan = ZScan(zscan.positions_mm, zscan.transmittance, zscan.pulse_energies,
                          zscan.sigma)
        return zscan, normalised

    @property
    def has_aperture(self) -> bool:
        """Whether ``[experiment]`` describes a closed aperture."""
        return "aperture_transmittance" in self.experiment or \
            "aperture_radius" in self.experiment

    def _read_curves(self) -> list[Curve]:
        data = self.data
        common: dict[str, Any] = dict(
            reference=data.reference, position_unit=data.position_unit,
            step_size_mm=data.step_size_mm, delimiter=data.delimiter,
            energy_unit=data.energy_unit, repetition_rate=self.repetition_rate)
        if data.layout == "wide":
            return load_wide(data.files[0].path, data.signal_columns or "",
                             position=data.position_column,
                             position_columns=data.position_columns,
                             sigma_columns=data.sigma_columns,
                             closed_columns=data.closed_columns,
                             closed_sigma_columns=data.closed_sigma_columns, **common)
        common.update(position=data.position_column, signal=data.signal_column,
                      sigma=data.sigma_column, closed=data.closed_column,
                      closed_sigma=data.closed_sigma_column, header=data.header)
        if data.layout == "long":
            return load_long(data.files[0].path, energy=data.energy_column, **common)
        return [load_curve(entry.path, pulse_energy=entry.pulse_energy,
                           energy_pattern=None if entry.pulse_energy is not None
                           else data.energy_pattern, **common)
                for entry in data.files]

    def values_report(self, pulse_energies: Any = ()) -> str:
        """The ``[[Experiment]]`` block of a report: every value in SI (and the
        pulse energies, when given), and how values given with units or as
        powers were converted."""
        lines = ["[[Experiment]] (SI units)"]
        width = max(len(key) for key in [*self.experiment, "pulse_energies"]) + 1
        for key, value in self.experiment.items():
            unit = _EXPERIMENT_UNITS.get(key, "")
            if value is None:
                continue
            shown = ", ".join(f"{v:.7g}" for v in value) if isinstance(value, list) \
                else f"{value:.7g}" if isinstance(value, float) else str(value)
            lines.append(f"    {(key + ':').ljust(width)} {shown}{' ' + unit if unit else ''}")
        if len(pulse_energies):
            shown = ", ".join(f"{energy:.7g}" for energy in pulse_energies)
            lines.append(f"    {'pulse_energies:'.ljust(width)} {shown} J")
        lines += [f"    - {note}" for note in self.conversions]
        return "\n".join(lines)


_EXPERIMENT_UNITS = {"wavelength": "m", "w0": "m", "tau": "s", "thickness": "m",
                     "populations": "1/m^3", "repetition_rate": "Hz", "aperture_radius": "m",
                     "aperture_distance": "m"}


class _Table:
    """One TOML table being validated; every error names file, table and key."""

    def __init__(self, file: str, name: str, content: Any,
                 notes: list[str] | None = None) -> None:
        self.file = file
        self.name = name
        if not isinstance(content, dict):
            raise RunFileError(f"{file}: [{name}] must be a table, got "
                               f"{_describe(content)}")
        self.content: dict[str, Any] = content
        # Shared by every table of one file: how values with units were read.
        self.notes: list[str] = [] if notes is None else notes

    def table(self, name: str, content: Any) -> "_Table":
        """A table within this one (or beside it) that records into the same notes."""
        return _Table(self.file, name, content, self.notes)

    def quantity(self, key: str, text: str, dimension: units.Dimension) -> float:
        """A value written with its unit, in SI, noted for the report."""
        try:
            value = units.parse_quantity(text, dimension)
        except units.UnitError as error:
            raise self.error(key, str(error)) from None
        self.notes.append(f"[{self.name}] {key} = {text!r} read as "
                          f"{units.si_text(value, dimension.si_unit)}")
        return value

    def error(self, key: str, message: str) -> RunFileError:
        return RunFileError(f"{self.file}: [{self.name}] {key}: {message}")

    def check_keys(self, allowed: tuple[str, ...]) -> None:
        for key in self.content:
            if key not in allowed:
                raise self.error(key, f"unknown key; [{self.name}] accepts "
                                 f"{', '.join(allowed)}")

    def has(self, key: str) -> bool:
        return key in self.content

    def get(self, key: str, required: bool) -> Any:
        if key not in self.content and required:
            raise self.error(key, "missing (required)")
        return self.content.get(key)

    def number(self, key: str, *, required: bool = False, default: float | None = None,
               lower: float | None = None, strict: bool = True, unit: str = "",
               dimension: units.Dimension | None = None) -> float | None:
        """A finite real number, optionally bounded below (strictly or not).

        With a ``dimension``, a string with a unit (``"19 um"``) is accepted
        too and converted into the dimension's SI unit."""
        value = self.get(key, required)
        if value is None:
            return default
        if dimension is not None:
            unit = unit or _UNIT_NAMES.get(dimension.si_unit, dimension.si_unit)
        sign = "" if lower is None else ("positive " if strict else "non-negative ")
        in_unit = f" in {unit}" if unit else ""
        expected = f"must be a {sign}number{in_unit}"
        if isinstance(value, str) and dimension is not None:
            value = self.quantity(key, value, dimension)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            hint = " (write the number alone, without a unit)" if isinstance(value, str) else ""
            if dimension is not None:
                hint = f" or a string with a unit ('{units.example(dimension)}')"
            raise self.error(key, f"{expected}, got {_describe(value)}{hint}")
        if not math.isfinite(value):
            raise self.error(key, f"{expected}, got {value}")
        if lower is not None and (value <= lower if strict else value < lower):
            raise self.error(key, f"{expected}, got {value!r}")
        return float(value)

    def integer(self, key: str, *, default: int | None, lower: int,
                required: bool = False, upper: int | None = None) -> int | None:
        value = self.get(key, required)
        if value is None:
            return default
        if isinstance(value, bool) or not isinstance(value, int) or value < lower:
            raise self.error(key, f"must be a whole number >= {lower}, got {_describe(value)}")
        return value

    def grid_size(self, key: str, *, lower: int) -> int | str:
        """A whole number, or "auto" (the default): chosen for each fit."""
        value = self.get(key, False)
        if value is None or value == AUTO:
            return AUTO
        if isinstance(value, bool) or not isinstance(value, int) or value < lower:
            raise self.error(key, f"must be a whole number >= {lower} or \"auto\", "
                             f"got {_describe(value)}")
        return value

    def boolean(self, key: str, *, default: bool | None) -> bool | None:
        value = self.get(key, False)
        if value is None:
            return default
        if not isinstance(value, bool):
            raise self.error(key, f"must be true or false, got {_describe(value)}")
        return value

    def choice(self, key: str, options: tuple[str, ...], *, default: str | None = None,
               required: bool = False) -> str | None:
        value = self.get(key, required)
        if value is None:
            return default
        if value not in options:
            raise self.error(key, f"must be one of {', '.join(repr(o) for o in options)}, "
                             f"got {_describe(value)}")
        return value

    def string(self, key: str, *, required: bool = False) -> str | None:
        value = self.get(key, required)
        if value is not None and (not isinstance(value, str) or not value.strip()):
            raise self.error(key, f"must be a non-empty string, got {_describe(value)}")
        return value

    def column(self, key: str, *, default: Column | None = None,
               required: bool = False) -> Column | None:
        value = self.get(key, required)
        if value is None:
            return default
        if isinstance(value, bool) or not isinstance(value, (str, int)) or (
                isinstance(value, int) and value < 0) or (
                isinstance(value, str) and not value.strip()):
            raise self.error(key, "must be a column header name (string) or a 0-based "
                             f"index (whole number >= 0), got {_describe(value)}")
        return value


def _describe(value: Any) -> str:
    if isinstance(value, str):
        return f"the string {value!r}"
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return f"a list of {len(value)} items"
    return repr(value)


def _plausible_number(table: _Table, key: str, required: bool = True) -> float | None:
    low, high, dimension = _PLAUSIBLE[key]
    unit = _UNIT_NAMES[dimension.si_unit]
    value = table.number(key, required=required, lower=0.0, dimension=dimension)
    if value is not None and not low <= value <= high:
        raise table.error(key, f"{value:g} is not a plausible value in {unit} (expected "
                          f"{low:g} to {high:g}); a bare number is in SI units, or write "
                          f"the unit ('{units.example(dimension)}')")
    return value


def _populations(table: _Table) -> list[float]:
    value = table.get("populations", True)
    if not isinstance(value, list) or len(value) != 5:
        raise table.error("populations", "must be a list of 5 numbers (1/m^3, levels 1 to 5), "
                          f"got {_describe(value)}")
    numbers = []
    for index, item in enumerate(value):
        if isinstance(item, str):
            item = table.quantity(f"populations[{index}]", item, units.DENSITY)
        if isinstance(item, bool) or not isinstance(item, (int, float)) or not (
                math.isfinite(item) and item >= 0):
            raise table.error("populations", f"entry {index} must be a non-negative number "
                              f"in 1/m^3 (or a string such as '1e17 cm^-3'), got "
                              f"{_describe(item)}")
        numbers.append(float(item))
    if sum(numbers) <= 0:
        raise table.error("populations", "at least one level must be populated")
    return numbers


def _pulse_duration(table: _Table) -> float:
    if table.has("tau") and table.has("tau_fwhm"):
        raise table.error("tau_fwhm", "give tau (1/e half-width) or tau_fwhm (full width at "
                          "half maximum), not both")
    if not table.has("tau_fwhm"):
        tau = _plausible_number(table, "tau")
        assert tau is not None
        return tau
    fwhm = _plausible_number(table, "tau_fwhm")
    assert fwhm is not None
    tau = fwhm / FWHM_PER_TAU
    table.notes.append(f"[experiment] tau = tau_fwhm / (2 sqrt(ln 2)) = {tau:.7g} s, the "
                       "1/e half-width of exp(-(t/tau)^2)")
    return tau


def _experiment(table: _Table) -> dict[str, Any]:
    table.check_keys(KEYS["experiment"])
    m2 = table.number("M2", required=True, lower=0.0)
    assert m2 is not None
    if m2 < 1:
        raise table.error("M2", f"the beam quality factor must be >= 1, got {m2:g}")
    return {
        "wavelength": _plausible_number(table, "wavelength"),
        "w0": _plausible_number(table, "w0"),
        "M2": m2,
        "tau": _pulse_duration(table),
        "thickness": _plausible_number(table, "thickness"),
        "populations": _populations(table),
        "t_slices": table.grid_size("t_slices", lower=2),
        "z_slices": table.grid_size("z_slices", lower=2),
        "beam": table.choice("beam", BEAMS, default="gaussian"),
        "radial_nodes": table.grid_size("radial_nodes", lower=1),
        "repetition_rate": _plausible_number(table, "repetition_rate", required=False),
        **_aperture(table),
    }


def _aperture(table: _Table) -> dict[str, Any]:
    """The closed aperture's keys, present only when given, so that a run
    file without them describes exactly the experiment it did before."""
    out: dict[str, Any] = {}
    if table.has("aperture_transmittance") and table.has("aperture_radius"):
        raise table.error("aperture_radius", "give aperture_transmittance (S) or "
                          "aperture_radius, not both")
    if table.has("aperture_transmittance"):
        value = table.number("aperture_transmittance", lower=0.0)
        assert value is not None
        if value > 1.0:
            raise table.error("aperture_transmittance", "the linear transmittance of the "
                              f"aperture must lie in (0, 1], got {value!r}")
        out["aperture_transmittance"] = value
    for key in ("aperture_radius", "aperture_distance"):
        if table.has(key):
            out[key] = _plausible_number(table, key)
    if "aperture_radius" in out and "aperture_distance" not in out:
        raise table.error("aperture_radius", "needs aperture_distance: in the far field an "
                          "aperture is given by its transmittance (aperture_transmittance)")
    if table.has("linear_index"):
        out["linear_index"] = table.number("linear_index", lower=0.0)
    if table.has("closed_divided"):
        out["closed_divided"] = table.boolean("closed_divided", default=False)
    if table.has("depth_extrapolation"):
        out["depth_extrapolation"] = table.boolean("depth_extrapolation", default=False)
    opened = "aperture_transmittance" in out or "aperture_radius" in out
    for key in ("aperture_distance", "closed_divided"):
        if key in out and out[key] and not opened:
            raise table.error(key, "describes a closed aperture: give aperture_transmittance "
                              "or aperture_radius too")
    if opened and table.has("repetition_rate"):
        raise table.error("repetition_rate", "a closed aperture is modelled for single "
                          "pulses; leave out repetition_rate or the aperture")
    return out


def _parameter(parent: _Table, name: str, content: Any) -> dict[str, Any]:
    table = parent.table(f"parameters.{name}", content)
    table.check_keys(KEYS["parameters.*"])
    # Lifetimes divide the rates and scales multiply the energy: both must be
    # > 0, as must a waist; a cross-section may be 0 (a transition switched
    # off); M2 is at least 1; z0 is free.
    kind = "refraction" if name in SIGNED_PARAMETERS else name.split("_")[0]
    lower, strict = {"sigma": (0.0, False), "delta": (0.0, False), "tau": (0.0, True),
                     "energy": (0.0, True), "w0": (0.0, True), "M2": (0.0, True)}.get(
        kind, (None, True))
    dimension = _PARAMETER_DIMENSIONS.get(_UNITS.get(name, ""))
    unit = {"sigma": "m^2", "delta": "m^4 s", "tau": "seconds", "z0": "mm",
            "w0": "metres"}.get(kind, "")
    if name in SIGNED_PARAMETERS:
        unit = "m^2/W" if name == "n2" else "m^2"
    bounds = dict(lower=lower, strict=strict, unit=unit, dimension=dimension)
    # A parameter whose default is None (w0, M2) takes the experiment's value.
    value = table.number("value", required=name in REQUIRED_PARAMETERS,
                         default=PARAMETER_DEFAULTS.get(name), **bounds)
    low = table.number("min", **bounds)
    high = table.number("max", **bounds)
    if low is not None and high is not None and not low < high:
        raise table.error("min", f"must be less than max ({low:g} >= {high:g})")
    if value is not None and ((low is not None and value < low) or
                              (high is not None and value > high)):
        raise table.error("value", f"{value:g} lies outside [min, max]")
    if name == "M2":
        for key, bound in (("value", value), ("min", low), ("max", high)):
            if bound is not None and bound < 1.0:
                raise table.error(key, f"the beam quality factor must be >= 1, got {bound:g}")
        low = 1.0 if low is None else low  # a beam cannot be better than Gaussian
    # Absent bounds are infinite, the form tarnok.Parameters takes directly.
    return {"value": value, "vary": table.boolean("vary", default=False),
            "min": -math.inf if low is None else low, "max": math.inf if high is None else high}


def _parameters(parent: _Table, content: Any) -> dict[str, dict[str, Any]]:
    table = parent.table("parameters", content)
    table.check_keys(PARAMETER_NAMES)
    for name in REQUIRED_PARAMETERS:
        if name not in table.content:
            raise RunFileError(f"{table.file}: [parameters.{name}] missing; every one of "
                               f"{', '.join(REQUIRED_PARAMETERS)} needs a value")
    return {name: _parameter(table, name, table.content.get(name, {}))
            for name in PARAMETER_NAMES}


def _resolve(folder: Path, text: str) -> Path:
    path = Path(text).expanduser()
    return path if path.is_absolute() else folder / path


def _energy_pattern(table: _Table) -> str | None:
    pattern = table.string("energy_pattern")
    if pattern is None or pattern == AUTO_PATTERN:
        return pattern
    try:
        regex = re.compile(pattern)
    except re.error as exc:
        raise table.error("energy_pattern", f"not a valid regular expression: {exc}") from None
    if "energy" not in regex.groupindex and regex.groups != 1:
        raise table.error("energy_pattern", "needs a named group (?P<energy>...) or exactly "
                          f"one group, {pattern!r} has {regex.groups}")
    return pattern


def _energy_unit(table: _Table) -> EnergyUnit:
    value = table.get("energy_unit", False)
    if isinstance(value, str):
        try:
            power = units.energy_or_power("1" + value.strip()).is_power
        except units.UnitError:
            raise table.error("energy_unit", f"{value!r} is not a unit of energy or power; "
                              "use J, mJ, uJ, nJ, pJ, W, mW, uW, nW, or a number of joules "
                              "per unit") from None
        if power:
            table.notes.append(f"[data] energy_unit = {value!r}: average powers, divided by "
                               "the repetition rate to give pulse energies")
        return value.strip()
    factor = table.number("energy_unit", default=1.0, lower=0.0, unit="joules per unit")
    assert factor is not None
    return factor


def _pulse_energy(item: _Table, repetition_rate: float | None) -> float | None:
    value = item.get("pulse_energy", False)
    if not isinstance(value, str):
        return item.number("pulse_energy", lower=0.0, unit="joules")
    try:
        quantity = units.energy_or_power(value)
        energy = quantity.pulse_energy(repetition_rate)
    except ValueError as error:
        raise item.error("pulse_energy", str(error)) from None
    how = f" / repetition_rate = {energy:.7g} J" if quantity.is_power else f" = {energy:.7g} J"
    item.notes.append(f"[{item.name}] pulse_energy = {value!r}{how}")
    return energy


def _per_energy_files(table: _Table, folder: Path, pattern: str | None,
                      repetition_rate: float | None) -> tuple[DataFile, ...]:
    entries = table.get("files", True)
    if not isinstance(entries, list) or not entries:
        raise table.error("files", "must be one or more [[data.files]] tables, got "
                          f"{_describe(entries)}")
    files = []
    for index, entry in enumerate(entries):
        item = table.table(f"data.files][{index}", entry)
        item.check_keys(KEYS["data.files"])
        path = item.string("path", required=True)
        energy = _pulse_energy(item, repetition_rate)
        if energy is None and pattern is None:
            raise item.error("pulse_energy", "missing; give pulse_energy (J) here or "
                             "data.energy_pattern to read it from the file name")
        assert path is not None
        files.append(DataFile(_resolve(folder, path), energy))
    return tuple(files)


def _check_layout_keys(table: _Table, layout: str) -> None:
    for key, layouts in _LAYOUT_KEYS.items():
        if table.has(key) and layout not in layouts:
            raise table.error(key, f"not used with layout = {layout!r}")


def _step_size(table: _Table, unit: str) -> float | None:
    step = table.number("step_size_mm", unit="mm", dimension=units.MILLIMETRES)
    if unit == "steps" and (step is None or step == 0):
        raise table.error("step_size_mm", "position_unit = 'steps' needs a non-zero step "
                          "size in mm")
    if unit != "steps" and step is not None:
        raise table.error("step_size_mm", f"only used with position_unit = 'steps', not {unit!r}")
    return step


def _template(table: _Table, key: str, required: bool = False) -> str | None:
    value = table.string(key, required=required)
    if value is not None and value.count("{E}") != 1:
        raise table.error(key, "must be a column name with {E} once where the energy or "
                          f"power stands, such as 'OA_{{E}}'; got {value!r}")
    return value


def _data(parent: _Table, content: Any, folder: Path,
          repetition_rate: float | None) -> DataSettings:
    table = parent.table("data", content)
    table.check_keys(KEYS["data"])
    layout = table.choice("layout", LAYOUTS, required=True)
    _check_layout_keys(table, layout)
    unit = table.choice("position_unit", POSITION_UNITS, default="mm")
    step = _step_size(table, unit)
    delimiter = table.choice("delimiter", tuple(DELIMITERS))
    pattern = _energy_pattern(table) if layout == "per-energy" else None
    if layout == "per-energy":
        files = _per_energy_files(table, folder, pattern, repetition_rate)
    else:
        one_file = table.string("file", required=True)
        assert one_file is not None
        files = (DataFile(_resolve(folder, one_file), None),)
    wide = layout == "wide"
    if wide and table.has("position_column") == table.has("position_columns"):
        raise table.error("position_columns", "give position_column (one column for every "
                          "curve) or position_columns (a column per curve, such as 'Z_{E}'), "
                          "not both or neither")
    long = layout == "long"
    settings = DataSettings(
        layout=layout, files=files,
        position_column=table.column("position_column", default=None if wide else 0,
                                     required=long),
        signal_column=table.column("signal_column", default=1, required=long),
        sigma_column=table.column("sigma_column"),
        energy_column=table.column("energy_column", required=long),
        reference=table.column("reference"),
        energy_pattern=pattern,
        energy_unit=_energy_unit(table),
        position_unit=unit, step_size_mm=step,
        delimiter=None if delimiter is None else DELIMITERS[delimiter],
        header=table.boolean("header", default=None),
        closed_column=table.column("closed_column"),
        signal_columns=_template(table, "signal_columns", required=wide),
        position_columns=_template(table, "position_columns"),
        sigma_columns=_template(table, "sigma_columns"),
        closed_columns=_template(table, "closed_columns"),
        closed_over_open=bool(table.boolean("closed_over_open", default=False)),
        closed_sigma_column=table.column("closed_sigma_column"),
        closed_sigma_columns=_template(table, "closed_sigma_columns"))
    for key, needs in (("closed_sigma_column", "closed_column"),
                       ("closed_sigma_columns", "closed_columns")):
        if table.has(key) and not table.has(needs):
            raise table.error(key, f"needs {needs}: it is the uncertainty of that signal")
    if settings.closed_over_open and settings.closed_column is None and \
            settings.closed_columns is None:
        raise table.error("closed_over_open", "needs closed-aperture columns: give "
                          "closed_column (or closed_columns with layout = 'wide')")
    if isinstance(settings.energy_unit, str) and repetition_rate is None and \
            units.energy_or_power("1" + settings.energy_unit).is_power:
        raise table.error("energy_unit", f"{settings.energy_unit!r} is a power; give "
                          "repetition_rate in [experiment] to turn powers into pulse energies")
    return settings


def _normalise(parent: _Table, content: Any) -> NormaliseSettings:
    table = parent.table("normalise", content)
    table.check_keys(KEYS["normalise"])
    if table.has("wings") and table.has("wings_mm"):
        raise table.error("wings_mm", "give wings (points) or wings_mm (distance), not both")
    if table.has("focus_mm") and not table.has("wings_mm"):
        raise table.error("focus_mm", "only used with wings_mm")
    return NormaliseSettings(
        enabled=table.boolean("enabled", default=True),
        wings=table.integer("wings", default=None, lower=1),
        wings_mm=table.number("wings_mm", lower=0.0, strict=False, unit="mm",
                              dimension=units.MILLIMETRES),
        tilt=table.boolean("tilt", default=False),
        focus_mm=table.number("focus_mm", unit="mm", dimension=units.MILLIMETRES))


def _fit(parent: _Table, content: Any) -> FitSettings:
    table = parent.table("fit", content)
    table.check_keys(KEYS["fit"])
    return FitSettings(
        engine=table.choice("engine", ENGINES, default="exact"),
        n_starts=table.integer("n_starts", default=8, lower=1),
        threads=table.integer("threads", default=None, lower=1),
        seed=table.integer("seed", default=0, lower=0),
        intervals=table.boolean("intervals", default=False))


def _uncertainties(file: str, content: Any) -> dict[str, Any]:
    table = _Table(file, "uncertainties", content)
    table.check_keys(KEYS["uncertainties"])
    checked: dict[str, Any] = {}
    for key, value in table.content.items():
        unit = INPUT_UNITS[key]
        if key == "populations" or (key == "pulse_energy" and isinstance(value, list)):
            checked[key] = _uncertainty_list(table, key, value, unit)
        else:
            checked[key] = table.number(key, lower=0.0, strict=False, unit=unit)
    return checked


def _uncertainty_list(table: _Table, key: str, value: Any, unit: str) -> list[float]:
    count = "5 numbers" if key == "populations" else "one number per pulse energy"
    if not isinstance(value, list) or (key == "populations" and len(value) != 5):
        raise table.error(key, f"must be a list of {count} ({unit}), got {_describe(value)}")
    for index, item in enumerate(value):
        if isinstance(item, bool) or not isinstance(item, (int, float)) or not (
                math.isfinite(item) and item >= 0):
            raise table.error(key, f"entry {index} must be a non-negative number ({unit}), "
                              f"got {_describe(item)}")
    return [float(item) for item in value]


def _output(parent: _Table, content: Any, folder: Path) -> OutputSettings:
    table = parent.table("output", content)
    table.check_keys(KEYS["output"])
    name = table.string("folder") or "tarnok-output"
    return OutputSettings(folder=_resolve(folder, name),
                          format=table.choice("format", FORMATS, default="png"))


_BOM = "\ufeff"


def _parse(path: Path) -> dict[str, Any]:
    try:
        check_readable_file(path, "run file", MAX_RUN_FILE_BYTES)
        # Editors on Windows start UTF-8 files with a byte-order mark, which
        # TOML does not allow; the data files are read past one too.
        text = path.read_bytes().decode("utf-8").removeprefix(_BOM)
        return tomllib.loads(text)
    except FileNotFoundError:
        raise RunFileError(f"{path}: run file not found") from None
    except UnicodeDecodeError as exc:
        raise RunFileError(f"{path}: not a UTF-8 text file: {exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise RunFileError(f"{path}: not valid TOML: {exc}") from None
    except RecursionError:
        raise RunFileError(f"{path}: not valid TOML: arrays or tables nested too "
                           "deeply") from None
    except OSError as exc:
        raise RunFileError(f"{path}: cannot read run file: {exc.strerror or exc}") from None


def load_run(path: str | Path) -> RunDescription:
    """Read and validate a run description.

    Parameters
    ----------
    path : path-like
        The TOML run file. Relative paths inside it are relative to its folder.

    Returns
    -------
    RunDescription

    Raises
    ------
    RunFileError
        For invalid TOML, an unknown table or key, a missing required key, or a
        value of the wrong type, unit or range; the message names the key.
    """
    path = Path(path)
    raw = _parse(path)
    name = str(path)
    for table in raw:
        if table not in _TABLES:
            raise RunFileError(f"{name}: unknown table [{table}]; a run file has "
                               f"{', '.join('[' + t + ']' for t in _TABLES)}")
    for table in ("experiment", "data", "parameters"):
        if table not in raw:
            raise RunFileError(f"{name}: missing table [{table}]")
    folder = path.resolve().parent
    experiment_table = _Table(name, "experiment", raw["experiment"])
    experiment = _experiment(experiment_table)
    repetition_rate = experiment["repetition_rate"]
    data = _data(experiment_table, raw["data"], folder, repetition_rate)
    _link_closed(experiment_table, experiment, data)
    return RunDescription(
        source=path.resolve(), raw=raw, experiment=experiment,
        parameters=_parameters(experiment_table, raw["parameters"]),
        data=data,
        normalise=_normalise(experiment_table, raw.get("normalise", {})),
        fit=_fit(experiment_table, raw.get("fit", {})),
        output=_output(experiment_table, raw.get("output", {}), folder),
        repetition_rate=repetition_rate,
        conversions=tuple(experiment_table.notes),
        uncertainties=_uncertainties(name, raw.get("uncertainties", {})))


def _link_closed(table: _Table, experiment: dict[str, Any], data: DataSettings) -> None:
    """Make the model's closed curves those of the data: divided by the open
    ones when [data] divides them, and say when closed columns go unfitted."""
    opened = "aperture_transmittance" in experiment or "aperture_radius" in experiment
    if data.has_closed and not opened:
        table.notes.append("[data] the closed-aperture columns are read and kept in "
                           "result.json but not fitted: [experiment] has no "
                           "aperture_transmittance or aperture_radius")
    if experiment.get("closed_divided") and opened and not data.has_closed:
        raise table.error("closed_divided", "the data have no closed-aperture columns "
                          "to be divided")
    if data.closed_over_open and opened:
        if experiment.get("closed_divided") is False:
            raise table.error("closed_divided", "is false, but [data] closed_over_open "
                              "divides the closed curves by the open ones; the model must "
                              "be divided the same way (leave closed_divided out or set it "
                              "true)")
        if "closed_divided" not in experiment:
            table.notes.append("[experiment] closed_divided = true, as [data] "
                               "closed_over_open divides the measured closed curves")
        experiment["closed_divided"] = True


def template() -> str:
    """A commented run file with every key, for ``tarnok init``.

    Returns
    -------
    str
        TOML text that loads as it is once its data files exist.
    """
    return _TEMPLATE


_TEMPLATE = '''\
# tarnok run description. A bare number is in SI units unless the key's name
# says otherwise (_mm: millimetres); every dimensional key also takes a string
# with its unit: "90 fs", "1.56 um", "80 MHz", "200 uJ", "1e17 cm^-3".
# Relative paths are relative to this file's folder.

[experiment]
wavelength = 532e-9             # laser wavelength (m)
w0 = 20e-6                      # beam waist radius at focus, 1/e^2 of the irradiance (m)
M2 = 1.0                        # beam quality factor (>= 1)
tau = 5e-9                      # pulse: 1/e half-width of exp(-(t/tau)^2) (s), = 0.6 x FWHM...
# tau_fwhm = "8.3 ns"           # ...or its full width at half maximum instead of tau
thickness = 1e-3                # sample thickness (m)
populations = [1e23, 0, 0, 0, 0]  # initial population of levels 1..5 (1/m^3)
t_slices = "auto"               # time slices per pulse and depth slices through the sample
z_slices = "auto"               # (>= 2 each); "auto" refines them until a finer grid would
                                # change the curves by less than 0.1 sigma of the data
beam = "gaussian"               # the physical beam; "on-axis" only to agree with fit_zscan
# radial_nodes = "auto"         # radial quadrature nodes of the gaussian beam (>= 1)
# depth_extrapolation = true    # gaussian beam: curves extrapolated from z_slices and
                                # 2 z_slices (default: with z_slices = "auto")
# repetition_rate = 80e6        # (Hz, or "80 MHz") pulses meet the train's steady state,
                                # not the ground state; average powers become pulse energies
# A closed aperture (single pulses only: not with repetition_rate) adds the
# closed-aperture curves to the model and the fit:
# aperture_transmittance = 0.3  # linear transmittance S of the aperture, in (0, 1]...
# aperture_radius = "1 mm"      # ...or its radius, with aperture_distance
# aperture_distance = "0.5 m"   # focus to aperture (m); default: the far field
# linear_index = 1.5            # n0 of the sample, for chi(3) (default 1)
# closed_divided = false        # closed curves given and modelled as closed / open

[data]
layout = "per-energy"           # "per-energy": a file per curve; "long": one table with an
                                # energy column; "wide": one table, a column group per curve
# delimiter = ","               # ",", ";", "tab" or "whitespace"; sniffed when absent
# header = true                 # whether the first row names the columns; sniffed when absent
position_unit = "mm"            # "mm", "um" or "steps"
# step_size_mm = 0.0025         # mm per motor step (or "2.5 um"), with position_unit = "steps"
# reference = "reference"       # column to divide the signal (and sigma) by
position_column = 0             # header name or 0-based index
signal_column = 1
# sigma_column = 2              # uncertainty of the signal, if measured
# closed_column = 3             # closed-aperture signal, kept beside the open one
# closed_sigma_column = 4       # its uncertainty, if measured
# closed_over_open = false      # divide the closed-aperture curve by the open one (the
                                # model is divided too, when [experiment] has an aperture)
energy_pattern = '(\\d+(?:\\.\\d+)?)uJ'  # finds the energy in each file name ("auto": the
                                # last number with an energy or power unit, e.g. _19uw)...
energy_unit = 1e-6              # ...and the unit of a bare number: joules per unit (here
                                # uJ), or a unit: "uJ", "mW" (powers need repetition_rate)
# For one table with a row per point, use instead of energy_pattern and the
# [[data.files]] tables below:
# layout = "long"
# file = "data/all.csv"
# energy_column = "energy"      # pulse energy column (in energy_unit)
# position_column = "z"
# signal_column = "T"
# For one table with a group of columns per curve, named by its energy or power
# ({E} stands for it, with or without its unit: Z_0.5W, OA_0.5W, CA_0.5W):
# layout = "wide"
# file = "data/sweep.csv"
# position_columns = "Z_{E}"    # a position column per curve, or position_column for one
# signal_columns = "OA_{E}"     # the open-aperture signal of each curve
# sigma_columns = "dOA_{E}"     # its uncertainty, if measured
# closed_columns = "CA_{E}"     # the closed-aperture signal, if measured
# closed_sigma_columns = "dCA_{E}"  # its uncertainty, if measured

[[data.files]]
path = "data/sample_200uJ.csv"

[[data.files]]
path = "data/sample_800uJ.csv"

[[data.files]]
path = "data/sample_3200uJ.csv"
# pulse_energy = 3.2e-3         # (J, or "3.2 mJ", or a power "19 uW") overrides energy_pattern

[normalise]
enabled = true                  # false: the signal already is normalised transmittance
wings = 5                       # baseline from this many outermost points at each end...
# wings_mm = 3.0                # ...or from every point farther than this from the focus
# focus_mm = 0.0                # focus for wings_mm; default: the dip or peak of each curve
tilt = false                    # fit a straight baseline through both wings

# Model parameters: value, vary (fit it?), optional min and max.
# Cross-sections in m^2 (or "2e-17 cm^2"), lifetimes in s (or "8 ns";
# tau_ij: level i to level j).
[parameters.sigma_12]
value = 2e-21
vary = true
min = 1e-23
max = 1e-19

[parameters.sigma_23]
value = 5e-21

[parameters.sigma_45]
value = 3e-20
vary = true

[parameters.tau_21]
value = 8e-9

[parameters.tau_24]
value = 4e-9

[parameters.tau_32]
value = 1e-10

[parameters.tau_41]
value = 1e-6

[parameters.tau_54]
value = 1e-10

# [parameters.delta_12]         # two-photon cross-section 1 -> 2 (m^4 s; 1 GM = 1e-58), or "100 GM"
# value = 1e-56                 # default 0: no two-photon absorption

# Refraction, seen through a closed aperture (default 0; either sign):
# [parameters.n2]               # Kerr index (m^2/W, or "1e-15 cm^2/W"): phase k0 n2 I per length
# value = 1e-19
# vary = true
# [parameters.sigma_r2]         # refraction cross-sections of levels 2 and 4 (m^2):
# value = 0.0                   # phase sigma_r2 N2 + sigma_r4 N4 per length
# [parameters.sigma_r4]
# value = 0.0

[parameters.energy_scale]       # multiplies every pulse energy (default 1)
value = 1.0

[parameters.z0]                 # focus position (mm, default 0)
value = 0.0

# The beam waist and M2 default to [experiment]'s; a table fits them:
# [parameters.w0]
# vary = true
# min = 15e-6
# max = 25e-6

[fit]
engine = "exact"                # "exact" or "integrator"
n_starts = 8                    # starting points of the multi-start fit
# threads = 2                   # default: all cores
seed = 0                        # seed of the starting points
intervals = false               # profile-likelihood intervals (1 and 2 sigma) in the report

# Standard uncertainties of the quantities held fixed, propagated into an
# error budget (value +/- statistical +/- systematic). Leave out what is exact.
[uncertainties]
# w0 = 2e-6                     # beam waist (m)
# M2 = 0.05                     # beam quality factor
# tau = 5e-10                   # pulse duration (s)
# thickness = 2e-5              # sample thickness (m)
# populations = [5e21, 0, 0, 0, 0]  # initial populations (1/m^3)
# energy_calibration = 0.05     # relative, shared by every pulse energy (power meter)
# pulse_energy = 0.01           # relative, each energy on its own (or one per energy)

[output]
folder = "tarnok-output"
format = "png"                  # "png", "svg" or "pdf"
'''
