"""Model parameters in the manner of lmfit: an ordered mapping of named values,
each with ``value``, ``vary``, ``min`` and ``max``, and after a fit ``stderr``
and ``correl``.

The beam waist ``w0`` and quality factor ``M2`` are parameters too, so that a
fit can adjust them; until a value is given they stand for the experiment's
own (``value`` is None), which keeps one source for each number."""

from __future__ import annotations

import math
from typing import Any, Iterator, Mapping

from . import _validation as check

CROSS_SECTIONS = ("sigma_12", "sigma_23", "sigma_45")
LIFETIMES = ("tau_21", "tau_24", "tau_32", "tau_41", "tau_54")
SPECTROSCOPIC = CROSS_SECTIONS + LIFETIMES
BEAM_PARAMETERS = ("energy_scale", "z0")
TWO_PHOTON = ("delta_12",)
FOCUS = ("w0", "M2")  # default to the experiment's values
# Refraction, seen through a closed aperture only: the Kerr index (phase per
# unit length k0·n2·I) and the refraction cross-sections of levels 2 and 4
# (phase per unit length σr2·N2 + σr4·N4). Either sign is physical.
REFRACTION = ("n2", "sigma_r2", "sigma_r4")
# The order of the engines' parameter vector.
NAMES = SPECTROSCOPIC + BEAM_PARAMETERS + TWO_PHOTON + FOCUS + REFRACTION
# Parameters that may take either sign, so a fit moves them linearly.
SIGNED = ("z0",) + REFRACTION
# Defaults of the optional parameters, in the order they are appended; None
# is the experiment's value.
DEFAULTS: dict[str, float | None] = {"delta_12": 0.0, "energy_scale": 1.0, "z0": 0.0,
                                     "w0": None, "M2": None, "n2": 0.0, "sigma_r2": 0.0,
                                     "sigma_r4": 0.0}
DEFAULT_BOUNDS = {"M2": (1.0, math.inf)}  # a beam cannot be better than Gaussian
UNITS = {**{n: "m^2" for n in CROSS_SECTIONS}, **{n: "s" for n in LIFETIMES},
         "energy_scale": "", "z0": "mm", "delta_12": "m^4 s", "w0": "m", "M2": "",
         "n2": "m^2/W", "sigma_r2": "m^2", "sigma_r4": "m^2"}


class Parameter:
    """One named model parameter.

    Attributes
    ----------
    name : str
    value : float or None
        None only for ``w0`` and ``M2`` before a value is given: the
        experiment's value is used.
    vary : bool
        Whether a fit adjusts it (default False).
    min, max : float
        Bounds for a fit (``-inf``/``inf`` when absent).
    stderr : float or None
        Standard error after a fit.
    correl : dict[str, float] or None
        Correlations with the other varied parameters after a fit.
    init_value : float or None
        The value a fit started from.
    """

    __slots__ = ("name", "_value", "_vary", "_min", "_max", "stderr", "correl", "init_value")

    def __init__(self, name: str, value: float | None, vary: bool = False,
                 min: float = -math.inf, max: float = math.inf) -> None:
        if name not in NAMES:
            raise KeyError(f"unknown parameter {name!r}; the parameters are {', '.join(NAMES)}")
        if value is None and name not in FOCUS:
            raise TypeError(f"{name}: a value is required")
        self.name = name
        self._value: float | None = None
        self._vary = False
        self._min = -math.inf
        self._max = math.inf
        self.stderr: float | None = None
        self.correl: dict[str, float] | None = None
        self.init_value: float | None = None
        self.set(value=value, vary=vary, min=min, max=max)

    @property
    def value(self) -> float | None:
        return self._value

    @value.setter
    def value(self, value: float) -> None:
        self.set(value=value)

    @property
    def vary(self) -> bool:
        return self._vary

    @vary.setter
    def vary(self, vary: bool) -> None:
        self.set(vary=vary)

    @property
    def min(self) -> float:
        return self._min

    @min.setter
    def min(self, value: float) -> None:
        self.set(min=value)

    @property
    def max(self) -> float:
        return self._max

    @max.setter
    def max(self, value: float) -> None:
        self.set(max=value)

    def set(self, value: float | None = None, vary: bool | None = None,
            min: float | None = None, max: float | None = None) -> None:
        """Change any of the attributes, checking the result as a whole."""
        new_value = self._value if value is None else check.real(self.name, value)
        new_vary = self._vary if vary is None else _boolean(f"{self.name}.vary", vary)
        new_min = self._min if min is None else _bound(f"{self.name}.min", min)
        new_max = self._max if max is None else _bound(f"{self.name}.max", max)
        if not new_min < new_max:
            raise ValueError(f"{self.name}: min ({new_min!r}) must be below max ({new_max!r})")
        if new_value is None:  # the experiment's value, checked where it is used
            self._vary, self._min, self._max = new_vary, new_min, new_max
            return
        _check_range(self.name, new_value)
        if not new_min <= new_value <= new_max:
            raise ValueError(f"{self.name}: value {new_value!r} lies outside its bounds "
                             f"[{new_min!r}, {new_max!r}]")
        self._value, self._vary, self._min, self._max = new_value, new_vary, new_min, new_max

    def copy(self) -> "Parameter":
        twin = Parameter(self.name, self._value, self._vary, self._min, self._max)
        twin.stderr, twin.init_value = self.stderr, self.init_value
        twin.correl = None if self.correl is None else dict(self.correl)
        return twin

    def __repr__(self) -> str:
        parts = [f"value={self._value!r}" if self._value is not None else "value=(experiment's)"]
        parts.append("(fixed)" if not self._vary else
                     f"+/- {self.stderr:.3g}" if self.stderr is not None else "vary")
        if math.isfinite(self._min) or math.isfinite(self._max):
            parts.append(f"bounds=[{self._min!r}:{self._max!r}]")
        return f"<Parameter '{self.name}', {', '.join(parts)}>"


class Parameters(Mapping[str, Parameter]):
    """The sixteen parameters of the z-scan model, in declaration order.

    ``Parameters(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9,
    tau_24=4e-9, tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)`` declares the eight
    spectroscopic parameters (cross-sections in m², lifetimes in s). These may
    be given too and are otherwise appended: ``delta_12``, the two-photon
    cross-section 1 → 2 (m⁴·s; 1 GM = 1e-58 m⁴·s; default 0), ``energy_scale``
    (default 1), ``z0`` (focus position in mm, default 0), and the beam waist
    ``w0`` (m) and quality factor ``M2`` (default: the experiment's values; M2
    is bounded below by 1), and the refraction that a closed aperture sees:
    ``n2`` (Kerr index, m²/W), ``sigma_r2`` and ``sigma_r4`` (refraction
    cross-sections of levels 2 and 4, m²), all 0 by default and of either
    sign. Each keyword takes a number, or a mapping with
    ``value`` and optionally ``vary``, ``min`` and ``max``. ``params[name]`` is
    a :class:`Parameter`.

    Raises
    ------
    TypeError, ValueError
        For a missing or unknown name, a value that is not finite, a negative
        cross-section, a lifetime or energy scale not above zero, or bounds
        that do not hold the value.
    """

    def __init__(self, **values: float | Mapping[str, Any] | Parameter) -> None:
        missing = [name for name in SPECTROSCOPIC if name not in values]
        if missing:
            raise TypeError(f"Parameters() missing value for: {', '.join(missing)}")
        self._params: dict[str, Parameter] = {}
        for name, given in values.items():
            self._params[name] = _parameter_from(name, given)
        for name, default in DEFAULTS.items():
            if name not in self._params:
                low, high = DEFAULT_BOUNDS.get(name, (-math.inf, math.inf))
                self._params[name] = Parameter(name, default, min=low, max=high)

    def __getitem__(self, name: str) -> Parameter:
        try:
            return self._params[name]
        except KeyError:
            raise KeyError(f"unknown parameter {name!r}; the parameters are "
                           f"{', '.join(NAMES)}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._params)

    def __len__(self) -> int:
        return len(self._params)

    def valuesdict(self) -> dict[str, float | None]:
        """Name → value, in declaration order (None: the experiment's value)."""
        return {name: p.value for name, p in self._params.items()}

    @property
    def varied(self) -> list[str]:
        """Names of the varied parameters, in declaration order."""
        return [name for name, p in self._params.items() if p.vary]

    def vector(self) -> list[float]:
        """Values in the engines' order (``NAMES``); 0 stands for the
        experiment's beam where ``w0`` or ``M2`` has no value."""
        return [0.0 if self._params[name].value is None else self._params[name].value
                for name in NAMES]

    def resolved(self, experiment: Any) -> "Parameters":
        """A copy in which ``w0`` and ``M2`` without a value take the
        experiment's, so that every value used can be read and reported."""
        twin = self.copy()
        for name in FOCUS:
            p = twin._params[name]
            if p.value is None:
                p.set(value=float(getattr(experiment, name)))
        return twin

    def copy(self) -> "Parameters":
        twin = Parameters.__new__(Parameters)
        twin._params = {name: p.copy() for name, p in self._params.items()}
        return twin

    def to_dict(self) -> dict[str, dict[str, Any]]:
        """Plain JSON-ready data: name → value, vary, min, max, stderr, correl."""
        return {name: {"value": p.value, "vary": p.vary, "min": _json_bound(p.min),
                       "max": _json_bound(p.max), "stderr": p.stderr, "correl": p.correl,
                       "init_value": p.init_value}
                for name, p in self._params.items()}

    def __repr__(self) -> str:
        lines = ",\n ".join(repr(p) for p in self._params.values())
        return f"Parameters([{lines}])"

    def _repr_html_(self) -> str:
        from .notebook import parameters_html

        return parameters_html(self)


def _parameter_from(name: str, given: Any) -> Parameter:
    if name not in NAMES:
        raise TypeError(f"unknown parameter {name!r}; the parameters are {', '.join(NAMES)}")
    if isinstance(given, Parameter):
        twin = given.copy()
        twin.name = name
        return twin
    if isinstance(given, Mapping):
        unknown = set(given) - {"value", "vary", "min", "max"}
        if unknown:
            raise TypeError(f"{name}: unknown field(s) {', '.join(sorted(unknown))}; "
                            "use value, vary, min, max")
        if "value" not in given and name not in FOCUS:
            raise TypeError(f"{name}: a value is required")
        low, high = DEFAULT_BOUNDS.get(name, (-math.inf, math.inf))
        return Parameter(name, given.get("value"), given.get("vary", False),
                         given.get("min", low), given.get("max", high))
    if name in DEFAULT_BOUNDS:
        low, high = DEFAULT_BOUNDS[name]
        return Parameter(name, given, min=low, max=high)
    return Parameter(name, given)


def _check_range(name: str, value: float) -> None:
    if name in CROSS_SECTIONS + TWO_PHOTON and value < 0.0:
        raise ValueError(f"{name} must be zero or more ({UNITS[name]}), got {value!r}")
    if (name in LIFETIMES or name in ("energy_scale", "w0")) and value <= 0.0:
        unit = f" ({UNITS[name]})" if UNITS[name] else ""
        raise ValueError(f"{name} must be above zero{unit}, got {value!r}")
    if name == "M2" and value < 1.0:
        raise ValueError(f"M2 must be at least 1, got {value!r}")


def _boolean(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return value


def _bound(name: str, value: Any) -> float:
    if isinstance(value, bool) or value is None:
        raise TypeError(f"{name} must be a number, got {value!r}")
    try:
        result = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {value!r}") from None
    if math.isnan(result):
        raise ValueError(f"{name} must not be NaN")
    return result


def _json_bound(value: float) -> float | None:
    return value if math.isfinite(value) else None
