"""The optical set-up of a z-scan measurement."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any, Literal, Sequence, Union

from . import _validation as check

Beam = Literal["on-axis", "gaussian"]
BEAMS: tuple[str, ...] = ("on-axis", "gaussian")
LEVELS = 5
# Grid sizes beyond these make one evaluation take hours; they are refused
# rather than attempted.
MAX_T_SLICES = 10_000
MAX_Z_SLICES = 10_000
MAX_RADIAL_NODES = 64
# A grid axis given as this is chosen for each evaluation (tarnok.discretisation).
AUTO = "auto"
GridSize = Union[int, Literal["auto"]]


@dataclass(frozen=True)
class Experiment:
    """Beam, pulse, sample and discretisation of a z-scan, in SI units.

    Parameters
    ----------
    wavelength : float
        Laser wavelength (m).
    w0 : float
        Beam waist radius at the focus, 1/e² of the irradiance (m).
    M2 : float
        Beam quality factor (1 for an ideal Gaussian beam).
    tau : float
        Pulse duration parameter (s): the irradiance varies as exp(-(t/tau)²).
    thickness : float
        Sample thickness (m).
    populations : sequence of 5 floats
        Initial populations of levels 1 to 5 (1/m³), usually all in level 1.
    t_slices, z_slices : int or "auto"
        Number of time slices of the pulse and depth slices of the sample (≥ 2).
        ``"auto"`` (the default) refines the grid where it is used until the
        model changes by less than a tolerance (:mod:`tarnok.discretisation`);
        a number is used as given.
    beam : {"gaussian", "on-axis"}
        How the incident light is described. ``"gaussian"`` (the default) is
        the physical, energy-normalised beam and pulse: fit real data with it.
        ``"on-axis"`` is the original model's on-axis irradiance with its fixed
        factor, kept to agree with ``tarnok_wrapper.fit_zscan``.
    radial_nodes : int or "auto"
        Radial quadrature nodes of the ``"gaussian"`` beam (unused by the
        ``"on-axis"`` beam); ``"auto"`` (the default) as for the slices.
    repetition_rate : float or None
        Pulses per second (Hz) of a laser whose pulses meet a sample that has
        not relaxed since the last ones: each pulse then meets the periodic
        steady state of the train. None (the default): every pulse meets the
        initial populations.
    aperture_transmittance : float or None
        Linear transmittance S of a closed aperture, in (0, 1]: the fraction
        of the linear beam's energy it passes. None (the default): no closed
        aperture, and the model gives the open curves alone.
    aperture_radius : float or None
        The aperture's radius (m) instead of S, which then follows from the
        linear beam in the aperture plane; needs ``aperture_distance``.
    aperture_distance : float or None
        Distance (m) from the focus to the aperture plane, fixed while the
        sample moves; it must lie beyond every scan position. None (the
        default): the aperture sits in the far field.
    linear_index : float
        Linear refractive index n0 of the sample (default 1), used only for
        the derived susceptibility χ(3).
    closed_divided : bool
        Whether the closed curves are given, and modelled, divided by the
        open ones (default False).
    depth_extrapolation : bool or None
        Gaussian beam: extrapolate the curves from ``z_slices`` and twice as
        many depth slices, which cancels the depth slicing's first-order
        error (the error then falls as ``1/z_slices**2``, at three times the
        cells of ``z_slices``). None (the default): on when ``z_slices`` is
        ``"auto"`` with the gaussian beam, off otherwise, so that numbers
        given keep the grid they name.

    Raises
    ------
    TypeError, ValueError
        When a field is not a number of the right kind or lies outside its
        range; the message names the field.
    """

    wavelength: float
    w0: float
    M2: float
    tau: float
    thickness: float
    populations: tuple[float, ...]
    t_slices: GridSize = AUTO
    z_slices: GridSize = AUTO
    beam: Beam = "gaussian"
    radial_nodes: GridSize = AUTO
    repetition_rate: float | None = None
    aperture_transmittance: float | None = None
    aperture_radius: float | None = None
    aperture_distance: float | None = None
    linear_index: float = 1.0
    closed_divided: bool = False
    depth_extrapolation: bool | None = None
    _core: Any = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        set_ = object.__setattr__
        set_(self, "wavelength", check.positive("wavelength", self.wavelength, "m"))
        set_(self, "w0", check.positive("w0", self.w0, "m"))
        set_(self, "M2", check.real("M2", self.M2))
        if self.M2 < 1.0:
            raise ValueError(f"M2 must be at least 1, got {self.M2!r}")
        set_(self, "tau", check.positive("tau", self.tau, "s"))
        set_(self, "thickness", check.positive("thickness", self.thickness, "m"))
        set_(self, "populations", _populations(self.populations))
        set_(self, "t_slices", _grid_size("t_slices", self.t_slices, 2, MAX_T_SLICES))
        set_(self, "z_slices", _grid_size("z_slices", self.z_slices, 2, MAX_Z_SLICES))
        if self.beam not in BEAMS:
            raise ValueError(f"beam must be 'on-axis' or 'gaussian', got {self.beam!r}")
        set_(self, "radial_nodes",
             _grid_size("radial_nodes", self.radial_nodes, 1, MAX_RADIAL_NODES))
        if self.repetition_rate is not None:
            set_(self, "repetition_rate",
                 check.positive("repetition_rate", self.repetition_rate, "Hz"))
        _check_aperture(self)
        set_(self, "depth_extrapolation", _depth_extrapolation(self))
        if self.auto_axes:
            # Nothing is compiled until the grid is chosen, so an evaluation
            # cannot run on a grid nobody chose.
            set_(self, "_core", None)
            return
        from . import _core

        set_(self, "_core", _core.experiment(
            self.wavelength, self.w0, self.M2, self.tau, self.thickness,
            list(self.populations), self.t_slices, self.z_slices, self.beam,
            self.radial_nodes, self.repetition_rate or 0.0, self.aperture_transmittance or 0.0,
            self.aperture_radius or 0.0, self.aperture_distance or 0.0, self.linear_index,
            self.closed_divided, self.depth_extrapolation))

    @property
    def auto_axes(self) -> tuple[str, ...]:
        """The grid fields given as ``"auto"``."""
        return tuple(name for name in ("t_slices", "z_slices", "radial_nodes")
                     if getattr(self, name) == AUTO)

    def with_grid(self, t_slices: int, z_slices: int, radial_nodes: int) -> "Experiment":
        """The same experiment on the given grid."""
        return dataclasses.replace(self, t_slices=t_slices, z_slices=z_slices,
                                   radial_nodes=radial_nodes)

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # The compiled description is rebuilt from the fields, so an
        # Experiment travels to worker processes like any plain value.
        d = self.to_dict()
        return (Experiment, (d["wavelength"], d["w0"], d["M2"], d["tau"], d["thickness"],
                             d["populations"], d["t_slices"], d["z_slices"], d["beam"],
                             d["radial_nodes"], d["repetition_rate"],
                             d["aperture_transmittance"], d["aperture_radius"],
                             d["aperture_distance"], d["linear_index"], d["closed_divided"],
                             d["depth_extrapolation"]))

    def to_dict(self) -> dict[str, Any]:
        """The fields as plain Python values (JSON-ready)."""
        return {
            "wavelength": self.wavelength, "w0": self.w0, "M2": self.M2,
            "tau": self.tau, "thickness": self.thickness,
            "populations": list(self.populations), "t_slices": self.t_slices,
            "z_slices": self.z_slices, "beam": self.beam,
            "radial_nodes": self.radial_nodes, "repetition_rate": self.repetition_rate,
            "aperture_transmittance": self.aperture_transmittance,
            "aperture_radius": self.aperture_radius,
            "aperture_distance": self.aperture_distance, "linear_index": self.linear_index,
            "closed_divided": self.closed_divided,
            "depth_extrapolation": self.depth_extrapolation,
        }

    @property
    def has_aperture(self) -> bool:
        """Whether a closed aperture is described (its curves follow the open)."""
        return self.aperture_transmittance is not None or self.aperture_radius is not None


def _check_aperture(e: Experiment) -> None:
    set_ = object.__setattr__
    if e.aperture_transmittance is not None:
        value = check.real("aperture_transmittance", e.aperture_transmittance)
        if not 0.0 < value <= 1.0:
            raise ValueError(f"aperture_transmittance must lie in (0, 1], got {value!r}")
        set_(e, "aperture_transmittance", value)
    if e.aperture_radius is not None:
        set_(e, "aperture_radius", check.positive("aperture_radius", e.aperture_radius, "m"))
    if e.aperture_distance is not None:
        set_(e, "aperture_distance",
             check.positive("aperture_distance", e.aperture_distance, "m"))
    set_(e, "linear_index", check.positive("linear_index", e.linear_index, ""))
    if not isinstance(e.closed_divided, bool):
        raise TypeError(f"closed_divided must be True or False, got {e.closed_divided!r}")
    if e.aperture_transmittance is not None and e.aperture_radius is not None:
        raise ValueError("give aperture_transmittance or aperture_radius, not both")
    if e.aperture_radius is not None and e.aperture_distance is None:
        raise ValueError("aperture_radius needs aperture_distance: the far field has no radius")
    if e.has_aperture and e.beam != "gaussian":
        raise ValueError("a closed aperture needs beam='gaussian': the on-axis beam has no "
                         "radial profile")
    if e.has_aperture and e.repetition_rate is not None:
        raise ValueError("a closed aperture is modelled for single pulses only: "
                         "repetition_rate must be None")
    if e.closed_divided and not e.has_aperture:
        raise ValueError("closed_divided needs a closed aperture (aperture_transmittance or "
                         "aperture_radius)")


def _depth_extrapolation(e: Experiment) -> bool:
    """The depth_extrapolation asked for, or its default."""
    if e.depth_extrapolation is None:
        return e.beam == "gaussian" and e.z_slices == AUTO
    if not isinstance(e.depth_extrapolation, bool):
        raise TypeError("depth_extrapolation must be True, False or None, got "
                        f"{e.depth_extrapolation!r}")
    if e.depth_extrapolation and e.beam != "gaussian":
        raise ValueError("depth_extrapolation needs the gaussian beam: the on-axis beam keeps "
                         "its own depth grid")
    return bool(e.depth_extrapolation)


def _grid_size(name: str, value: Any, low: int, high: int) -> GridSize:
    if isinstance(value, str):
        if value == AUTO:
            return AUTO
        raise ValueError(f"{name} must be an integer from {low} to {high} or 'auto', "
                         f"got {value!r}")
    return check.integer(name, value, low, high)


def _populations(value: Sequence[float]) -> tuple[float, ...]:
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
        raise TypeError("populations must be a sequence of 5 numbers")
    if len(value) != LEVELS:
        raise ValueError(f"populations must hold 5 values (levels 1 to 5), got {len(value)}")
    return tuple(check.non_negative(f"populations[{i}]", v, "1/m^3")
                 for i, v in enumerate(value))
