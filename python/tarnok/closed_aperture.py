"""Closed-aperture curves beside the open ones: how the data of both apertures
form the one vector a joint fit minimises, and the numbers a reader of a
closed-aperture z-scan looks for first (the peak–valley difference ΔT_pv, the
peak–valley separation in Rayleigh ranges, and the time-averaged on-axis
phase ⟨ΔΦ0⟩ that Sheik-Bahae's thin-sample forms are written in)."""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any, Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

from .derived import PLANCK, SPEED_OF_LIGHT

if TYPE_CHECKING:
    from .experiment import Experiment
    from .zscan import ZScan

# The model curve is searched for its peak and valley on the measured
# positions with points inserted until they lie at most z_R / 10 apart (the
# parabola through the three points about an extreme is then exact to
# 1e-4 of ΔT_pv), but never more than MAX_REFINEMENT − 1 between two measured
# ones. Only interior points are added, so the outermost points the model
# normalises on are the measured ones and the curve is the fitted curve.
STEPS_PER_RAYLEIGH_RANGE = 10
MAX_REFINEMENT = 8
WING_POINTS = 5


def has_aperture(experiment: "Experiment") -> bool:
    """Whether the experiment describes a closed aperture (so that the model
    gives a closed-aperture block beside the open one)."""
    return bool(getattr(experiment, "aperture_transmittance", None)
                or getattr(experiment, "aperture_radius", None))


def aperture_argument(experiment: "Experiment") -> str:
    """The ``aperture=`` of :func:`tarnok.simulate` giving every block the
    model evaluates: ``"both"`` with a closed aperture, else ``"open"``."""
    return "both" if has_aperture(experiment) else "open"


def fit_arrays(data: "ZScan", experiment: "Experiment"
               ) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """(data, sigma) in the layout the engine evaluates: the open curves, then
    the closed ones when the experiment has an aperture, NaN where a curve was
    not measured.

    Raises
    ------
    ValueError
        For closed-aperture data and an experiment without an aperture.
    """
    if data.has_closed and not has_aperture(experiment):
        raise ValueError("data: the scan carries closed-aperture curves but the experiment "
                         "has no closed aperture; give aperture_transmittance (or "
                         "aperture_radius with aperture_distance) to fit them")
    values, sigma = data.stacked()
    if has_aperture(experiment) and not data.has_closed:
        # An experiment with an aperture whose closed curves were not
        # measured: the closed block is absent throughout.
        values = np.concatenate([values, np.full(values.shape, np.nan)])
        sigma = None if sigma is None else np.concatenate([sigma, np.full(sigma.shape, np.nan)])
    return np.ascontiguousarray(values), None if sigma is None else np.ascontiguousarray(sigma)


def as_blocks(curves: NDArray[np.float64], n_energies: int) -> NDArray[np.float64]:
    """Model curves of one or two blocks as ``(blocks * n_energies, n_positions)``."""
    array = np.asarray(curves, dtype=np.float64)
    return array.reshape(-1, array.shape[-1]) if array.ndim == 3 else array


def joint_chisqr(data: "ZScan", experiment: "Experiment", model: NDArray[np.float64]) -> float:
    """χ² of model curves (every block) against the data of both apertures."""
    values, sigma = fit_arrays(data, experiment)
    residual = values - as_blocks(model, data.n_energies)
    if sigma is not None:
        residual = residual / sigma
    present = np.isfinite(values)
    return float(np.sum(residual[present] ** 2))


@dataclass(frozen=True)
class ClosedCurveSummary:
    """The closed-aperture model curve of one pulse energy, divided by the
    open one so that the absorption both apertures see drops out."""

    pulse_energy: float
    peak: float
    """Largest value of closed / open."""
    valley: float
    """Smallest value of closed / open."""
    peak_mm: float
    valley_mm: float
    delta_t_pv: float
    """ΔT_pv = peak − valley."""
    separation_zr: float
    """|z_peak − z_valley| / z_R."""
    valley_first: bool
    """Whether the valley lies before the peak (at smaller z): the signature
    of self-focusing, n2 > 0, with z positive beyond the focus."""
    kerr_phase: float
    """⟨ΔΦ0⟩ = k0·n2·I0·L_eff/√2 (rad) of the Kerr index at the focus."""
    population_phase: float
    """⟨ΔΦ_r⟩ ≈ σr2·N2 L_eff (rad), the level-2 population's phase at the
    focus averaged over the pulse, in its low-excitation limit (see the
    guide); 0 when sigma_r2 is 0."""
    measured: bool
    """Whether the closed curve of this energy was measured."""


@dataclass(frozen=True)
class ClosedApertureSummary:
    """What the report says about the closed-aperture curves."""

    curves: tuple[ClosedCurveSummary, ...]
    rayleigh_range_mm: float
    effective_length: float
    """L_eff = (1 − exp(−α0 L))/α0 (m), the thickness when α0 = 0."""
    divided: bool
    """Whether the closed curves are closed ÷ open."""

    def to_dict(self) -> dict[str, Any]:
        return {"curves": [asdict(c) for c in self.curves],
                "rayleigh_range_mm": self.rayleigh_range_mm,
                "effective_length": self.effective_length, "divided": self.divided}


def rayleigh_range(wavelength: float, w0: float, m2: float) -> float:
    """z_R = π w0² / (M² λ) (m) of the beam focused to waist w0."""
    return math.pi * w0 * w0 / (m2 * wavelength)


def effective_length(alpha0: float, thickness: float) -> float:
    """(1 − exp(−α0 L))/α0, the length over which the irradiance acts."""
    if alpha0 * thickness < 1e-12:
        return thickness
    return -math.expm1(-alpha0 * thickness) / alpha0


def refined_positions(positions: NDArray[np.float64],
                      rayleigh_range_mm: float) -> NDArray[np.float64]:
    """Each row with points inserted between interior neighbours, as many as
    bring them within z_R / 10; the outermost ``WING_POINTS`` of each end
    are left alone so that the model's normalisation is the fitted curve's."""
    positions = np.atleast_2d(positions)
    step = float(np.abs(np.diff(positions, axis=1)).max(initial=0.0))
    # A step of exactly z_R / 2 is refined five times, not six by rounding.
    refinement = int(min(MAX_REFINEMENT, max(1, math.ceil(
        step * STEPS_PER_RAYLEIGH_RANGE / rayleigh_range_mm - 1e-9))))
    rows = []
    for row in positions:
        n = row.size
        if n <= 2 * WING_POINTS:
            rows.append(row)
            continue
        inner = row[WING_POINTS - 1:n - WING_POINTS + 1]
        steps = np.linspace(0.0, 1.0, refinement, endpoint=False)
        fine = (inner[:-1, None] + np.diff(inner)[:, None] * steps).ravel()
        rows.append(np.concatenate([row[:WING_POINTS - 1], fine, row[n - WING_POINTS:]]))
    return np.stack(rows)


def summarise(data: "ZScan", experiment: "Experiment", values: Mapping[str, float],
              closed_model: NDArray[np.float64], positions_mm: NDArray[np.float64],
              peak_irradiance: Sequence[float]) -> ClosedApertureSummary:
    """The summary of the closed-aperture model curves.

    Parameters
    ----------
    data : ZScan
        For which energies were measured through the aperture.
    experiment : Experiment
    values : mapping
        Every parameter's value (the fitted ones).
    closed_model, positions_mm : (n_energies, n) arrays
        The closed-aperture model divided by the open one on a fine grid,
        and that grid (mm).
    peak_irradiance : sequence of float
        The peak on-axis irradiance at the focus of every energy (W/m²).
    """
    w0 = values.get("w0") or experiment.w0
    m2 = values.get("M2") or experiment.M2
    z_r = rayleigh_range(experiment.wavelength, w0, m2)
    k0 = 2.0 * math.pi / experiment.wavelength
    alpha0 = values.get("sigma_12", 0.0) * experiment.populations[0]
    length = effective_length(alpha0, experiment.thickness)
    h_nu = PLANCK * SPEED_OF_LIGHT / experiment.wavelength
    n2 = values.get("n2", 0.0)
    sigma_r2 = values.get("sigma_r2", 0.0)
    measured = data.closed_rows
    curves = []
    for row in range(data.n_energies):
        z, t = positions_mm[row], closed_model[row]
        high, low = _extreme(z, t, +1), _extreme(z, t, -1)
        irradiance = float(peak_irradiance[row])
        # For a Gaussian pulse exp(-(t/tau)^2) the phase k0 n2 I(t) L averaged
        # over the pulse's energy is the peak phase over sqrt(2).
        kerr = k0 * n2 * irradiance * length / math.sqrt(2.0)
        # Level 2 filled by one-photon absorption, neither emptied nor
        # saturated during the pulse: N2(t) = alpha0 F(t)/(h nu); its
        # energy-weighted mean over a pulse of fluence F0 is alpha0 F0/(2 h nu).
        fluence = irradiance * experiment.tau * math.sqrt(math.pi)
        population = sigma_r2 * alpha0 * fluence / (2.0 * h_nu) * length
        curves.append(ClosedCurveSummary(
            pulse_energy=float(data.pulse_energies[row]), peak=high[1], valley=low[1],
            peak_mm=high[0], valley_mm=low[0], delta_t_pv=high[1] - low[1],
            separation_zr=abs(high[0] - low[0]) * 1e-3 / z_r, valley_first=low[0] < high[0],
            kerr_phase=kerr, population_phase=population, measured=bool(measured[row])))
    return ClosedApertureSummary(curves=tuple(curves), rayleigh_range_mm=z_r * 1e3,
                                 effective_length=length,
                                 divided=bool(getattr(experiment, "closed_divided", False)))


def _extreme(z: NDArray[np.float64], t: NDArray[np.float64], sign: int) -> tuple[float, float]:
    """(position, value) of the largest (sign +1) or smallest (−1) point,
    refined by the parabola through it and its neighbours."""
    k = int(np.argmax(sign * t))
    if k == 0 or k == t.size - 1:
        return float(z[k]), float(t[k])
    x, y = z[k - 1:k + 2], t[k - 1:k + 2]
    a, b, c = np.polyfit(x - x[1], y, 2)
    if a == 0.0 or sign * a > 0:
        return float(z[k]), float(t[k])
    offset = -b / (2.0 * a)
    if not abs(offset) <= max(abs(x[0] - x[1]), abs(x[2] - x[1])):
        return float(z[k]), float(t[k])
    return float(x[1] + offset), float(c - b * b / (4.0 * a))


def report_lines(summary: ClosedApertureSummary, rms: NDArray[np.float64],
                 runs_p: Sequence[float | None]) -> list[str]:
    """``[[Closed Aperture]]``: per energy the curve's fit statistics and the
    peak–valley numbers of its model curve."""
    from .zscan import format_energy

    lines = [f"[[Closed Aperture]] (peak and valley of the model's closed / open; z_R = "
             f"{summary.rayleigh_range_mm:.4g} mm, L_eff = {summary.effective_length:.4g} m)"]
    # The populations' phase is shown only where level 2 refracts at all.
    populations = any(c.population_phase != 0.0 for c in summary.curves)
    header = ("energy", "rms", "runs p", "dT_pv", "z_pv/z_R", "order", "<dPhi0>") + \
        (("<dPhi_r>",) if populations else ())
    rows = []
    for k, c in enumerate(summary.curves):
        p = runs_p[k]
        row = (format_energy(c.pulse_energy),
               f"{rms[k]:.3g}" if c.measured and math.isfinite(rms[k]) else "(absent)",
               "" if p is None else f"{p:.2g}",
               f"{c.delta_t_pv:.4g}", f"{c.separation_zr:.4g}",
               "valley-peak" if c.valley_first else "peak-valley", f"{c.kerr_phase:+.4g}")
        rows.append(row + ((f"{c.population_phase:+.4g}",) if populations else ()))
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    lines.append("    " + "  ".join(h.rjust(w) for h, w in zip(header, widths)))
    lines += ["    " + "  ".join(v.rjust(w) for v, w in zip(r, widths)) for r in rows]
    lines.append("    dT_pv: peak minus valley; order along z (valley-peak: "
                 "self-focusing); <dPhi0> = k0 n2 I0 L_eff / sqrt(2) (rad) at the focus")
    if populations:
        lines.append("    <dPhi_r>: level 2's refraction at the focus (rad), low-excitation "
                     "estimate sigma_r2 alpha0 F0 L_eff / (2 h nu)")
    return lines
