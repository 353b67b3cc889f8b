"""Figures of z-scan data, fits and simulations.

Every function builds its own :class:`matplotlib.figure.Figure` on an Agg
canvas and returns it, so that plotting never depends on or changes pyplot's
global state (a library may run inside someone else's GUI or web server)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
from matplotlib import colormaps
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .safe_write import write_atomically
from .zscan import ZScan, as_float_array, format_energy, require_finite, require_positive

FORMATS = ("png", "svg", "pdf")
DPI = 150
_POSITION_LABEL = "position z (mm)"
_TRANSMITTANCE_LABEL = "normalised transmittance"
_MARKER_SIZE = 4


def _new_figure(width: float, height: float) -> Figure:
    figure = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def _by_energy(energies: Any) -> list[tuple[int, Any]]:
    """(row, colour) of every curve in ascending energy, so that colours and
    the legend follow the energy whatever order the curves were read in."""
    order = np.argsort(np.asarray(energies), kind="stable")
    return [(int(row), colour) for row, colour in zip(order, _colours(order.size))]


def _colours(n: int) -> list[Any]:
    # Qualitative colours stay distinguishable for a few curves; beyond ten an
    # ordered colour map at least keeps neighbouring energies apart.
    if n <= 10:
        return [colormaps["tab10"](i) for i in range(n)]
    return [colormaps["viridis"](x) for x in np.linspace(0.0, 0.9, n)]


def _matching(name: str, value: Any, shape: tuple[int, ...]) -> np.ndarray:
    array = as_float_array(name, value)
    if array.shape != shape:
        raise ValueError(f"{name}: expected shape {shape} (that of the data), got {array.shape}")
    return array


def _draw_points(axes: Axes, x: np.ndarray, y: np.ndarray, error: np.ndarray | None,
                 colour: Any, label: str | None) -> None:
    if error is None:
        axes.plot(x, y, "o", ms=_MARKER_SIZE, color=colour, alpha=0.8, label=label)
    else:
        axes.errorbar(x, y, yerr=error, fmt="o", ms=_MARKER_SIZE, color=colour, alpha=0.8,
                      elinewidth=0.8, capsize=0, label=label)


def _residuals(data: ZScan, model: np.ndarray, residual: Any) -> np.ndarray:
    if residual is not None:
        values = _matching("residual", residual, model.shape)
        require_finite("residual", np.nan_to_num(values, nan=0.0) if data.has_closed else values)
        return values
    difference = data.transmittance - model
    return difference / data.sigma if data.sigma is not None else difference


def plot_fit(data: ZScan, model: Any, *, residual: Any = None,
             title: str | None = None, systematic: Sequence[int] = (),
             closed_model: Any = None, closed_residual: Any = None,
             closed_systematic: Sequence[int] = ()) -> Figure:
    """Data and fitted model of every pulse energy, with residuals below; the
    closed-aperture curves, when the scan has them, in a column of their own
    beside the open ones.

    Parameters
    ----------
    data : ZScan
        The measured curves.
    model : array_like
        Model transmittance at the data positions, shape of
        ``data.transmittance``.
    residual : array_like, optional
        Residuals to show, same shape; by default ``(data - model) / sigma``
        when the data have sigma, otherwise ``data - model``.
    title : str, optional
        Figure title.
    systematic : sequence of int
        Curves whose residuals are systematic (a failed runs test): marked in
        the legend, their residuals joined by lines so that the runs show.
    closed_model, closed_residual, closed_systematic
        The same for the closed-aperture curves (``closed_model`` is needed to
        draw them).

    Returns
    -------
    matplotlib.figure.Figure
    """
    flagged = _curve_indices("systematic", systematic, data.n_energies)
    model = _matching("model", model, data.transmittance.shape)
    require_finite("model", model)
    residuals = _residuals(data, model, residual)
    columns = [(data.transmittance, data.sigma, model, residuals, flagged, data.open_rows,
                "open aperture")]
    if closed_model is not None:
        if data.closed is None:
            raise ValueError("closed_model: the data have no closed-aperture curves to "
                             "compare it with")
        closed = _matching("closed_model", closed_model, data.transmittance.shape)
        require_finite("closed_model", closed)
        if closed_residual is not None:
            closed_res = _matching("closed_residual", closed_residual, closed.shape)
        else:
            closed_res = data.closed - closed
            if data.closed_sigma is not None:
                closed_res = closed_res / data.closed_sigma
        columns.append((data.closed, data.closed_sigma, closed, closed_res,
                        _curve_indices("closed_systematic", closed_systematic,
                                       data.n_energies),
                        data.closed_rows, "closed aperture"))
    figure = _new_figure(7.0 if len(columns) == 1 else 12.0, 6.0)
    axes = figure.subplots(2, len(columns), sharex=True, height_ratios=[3, 1], squeeze=False)
    for k, (measured, sigma, curves, res, marked, rows, name) in enumerate(columns):
        top, bottom = axes[0, k], axes[1, k]
        for row, colour in _by_energy(data.pulse_energies):
            if not rows[row]:
                continue
            z = data.positions_mm[row]
            label = format_energy(data.pulse_energies[row])
            if row in marked:
                label += " (systematic residuals)"
            error = None if sigma is None else sigma[row]
            _draw_points(top, z, measured[row], error, colour, label)
            top.plot(z, curves[row], "-", color=colour, lw=1.5)
            style = "o-" if row in marked else "o"
            bottom.plot(z, res[row], style, ms=_MARKER_SIZE - 1, color=colour, alpha=0.8,
                        lw=0.8)
        top.set_ylabel(_TRANSMITTANCE_LABEL)
        if len(columns) > 1:
            top.set_title(name, fontsize="medium")
        if rows.any():
            top.legend(title="pulse energy (points: data, lines: model)", loc="best",
                       fontsize="small", title_fontsize="small")
        top.tick_params(labelbottom=False)
        bottom.axhline(0.0, color="0.4", lw=0.8)
        bottom.set_ylabel(_residual_label(data, residual is not None))
        bottom.set_xlabel(_POSITION_LABEL)
    if title:
        figure.suptitle(title)
    return figure


def _curve_indices(name: str, value: Sequence[int], count: int) -> set[int]:
    indices = set()
    for index in value:
        if isinstance(index, bool) or not isinstance(index, (int, np.integer)) or not (
                0 <= index < count):
            raise ValueError(f"{name}: expected curve indices from 0 to {count - 1}, "
                             f"got {index!r}")
        indices.add(int(index))
    return indices


def _residual_label(data: ZScan, given: bool) -> str:
    if given:
        return "residual"
    return "(data − model) / σ" if data.has_sigma else "data − model"


def _branches(irradiance: np.ndarray) -> list[np.ndarray]:
    # Irradiance rises towards the focus and falls after it, so each side of
    # the focus is drawn as its own line, ordered by irradiance.
    peak = int(np.argmax(irradiance))
    sides = [np.arange(0, peak + 1), np.arange(peak, irradiance.size)]
    return [side[np.argsort(irradiance[side])] for side in sides if side.size > 1]


def plot_irradiance(data: ZScan, model: Any, peak_irradiance: Any) -> Figure:
    """Transmittance against peak on-axis irradiance, data and model.

    Parameters
    ----------
    data : ZScan
        The measured curves.
    model : array_like
        Model transmittance, shape of ``data.transmittance``.
    peak_irradiance : array_like
        Peak on-axis irradiance in W/m^2 at every data point, same shape,
        positive.

    Returns
    -------
    matplotlib.figure.Figure
    """
    model = _matching("model", model, data.transmittance.shape)
    require_finite("model", model)
    irradiance = _matching("peak_irradiance", peak_irradiance, data.transmittance.shape)
    require_finite("peak_irradiance", irradiance)
    require_positive("peak_irradiance", irradiance)
    figure = _new_figure(7.0, 4.8)
    axes = figure.subplots()
    for row, colour in _by_energy(data.pulse_energies):
        if not data.open_rows[row]:
            continue  # measured through the closed aperture only
        error = None if data.sigma is None else data.sigma[row]
        _draw_points(axes, irradiance[row], data.transmittance[row], error, colour,
                     format_energy(data.pulse_energies[row]))
        for branch in _branches(irradiance[row]):
            axes.plot(irradiance[row][branch], model[row][branch], "-", color=colour, lw=1.5)
    axes.set_xscale("log")
    axes.set_xlabel("peak on-axis irradiance (W/m²)")
    axes.set_ylabel(_TRANSMITTANCE_LABEL)
    axes.legend(title="pulse energy (points: data, lines: model)", loc="best",
                fontsize="small", title_fontsize="small")
    return figure


def plot_starts(chisqr: Sequence[float], best_index: int, *, sort: bool = False) -> Figure:
    """χ² reached from every starting point of a multi-start fit.

    Parameters
    ----------
    chisqr : sequence of float
        Final χ² of each start; NaN or infinity marks a failed start.
    best_index : int
        Index of the start that was kept, marked in the figure.
    sort : bool
        Order the starts by χ² instead of by start index.

    Returns
    -------
    matplotlib.figure.Figure
    """
    values = as_float_array("chisqr", chisqr)
    if values.ndim != 1 or values.size == 0:
        raise ValueError(f"chisqr: expected a non-empty 1-D sequence, got shape {values.shape}")
    if isinstance(best_index, bool) or not isinstance(best_index, (int, np.integer)) or not (
            0 <= best_index < values.size):
        raise ValueError(f"best_index: expected an index from 0 to {values.size - 1}, "
                         f"got {best_index!r}")
    if not np.isfinite(values[best_index]):
        raise ValueError(f"best_index: start {best_index} failed (χ² {values[best_index]}); "
                         "it cannot be the best")
    order = np.argsort(np.where(np.isfinite(values), values, np.inf), kind="stable") \
        if sort else np.arange(values.size)
    # Starts that reached the same minimum differ in the last digits only; they
    # are drawn at one value, as one group, rather than scattered over an axis
    # that magnifies rounding.
    shown = grouped_chisqr(values)[order]
    finite = np.isfinite(shown)
    x = np.arange(values.size)
    figure = _new_figure(6.4, 4.0)
    axes = figure.subplots()
    axes.plot(x[finite], shown[finite], "o", color="tab:blue", ms=5, label="final χ² of a start")
    best_at = int(np.flatnonzero(order == best_index)[0])
    axes.plot([best_at], [shown[best_at]], "*", color="tab:red", ms=14,
              label=f"best (start {best_index}, χ² = {values[best_index]:.6g})")
    if _label_groups(axes, x[finite], shown[finite]):
        axes.set_xlim(-0.5, values.size - 0.5 + max(1.0, 0.15 * values.size))  # room for them
    axes.margins(y=0.1)
    # A log axis only helps when the values span decades; over a narrow range
    # it gives unreadable tick labels.
    if np.all(shown[finite] > 0) and shown[finite].max() > 10 * shown[finite].min():
        axes.set_yscale("log")
    else:
        axes.yaxis.get_major_formatter().set_useOffset(False)
        _pad_flat_axis(axes, shown[finite])
    _mark_failed(axes, x[~finite])
    axes.set_xlabel("start (sorted by χ²)" if sort else "start index")
    if values.size <= 20:
        axes.set_xticks(x, [str(i) for i in order])
    axes.set_ylabel("χ² at the end of the fit")
    axes.legend(loc="best", fontsize="small")
    return figure


CHISQR_GROUP_TOLERANCE = 1e-7
"""Relative difference below which two final χ² count as the same minimum."""


def grouped_chisqr(chisqr: np.ndarray) -> np.ndarray:
    """Each χ² replaced by the smallest of those within
    :data:`CHISQR_GROUP_TOLERANCE` (relative) of it, chained in sorted order;
    NaN and infinities stay as they are."""
    grouped = np.array(chisqr, dtype=np.float64)
    finite = np.flatnonzero(np.isfinite(grouped))
    ordered = finite[np.argsort(grouped[finite], kind="stable")]
    for previous, index in zip(ordered[:-1], ordered[1:]):
        if abs(grouped[index] - grouped[previous]) <= CHISQR_GROUP_TOLERANCE * abs(
                grouped[previous]):
            grouped[index] = grouped[previous]
    return grouped


def _label_groups(axes: Axes, x: np.ndarray, values: np.ndarray) -> bool:
    """Write the number of starts beside each group of more than one; whether any."""
    levels, counts = np.unique(values, return_counts=True)
    for level, count in zip(levels, counts):
        if count > 1:
            last = x[values == level].max()
            axes.annotate(f"{count} starts", (last, level), xytext=(8, 0),
                          textcoords="offset points", va="center", fontsize="small",
                          color="tab:blue")
    return bool((counts > 1).any())


def _pad_flat_axis(axes: Axes, values: np.ndarray) -> None:
    # With every start at one χ², Matplotlib would zoom into nothing.
    if values.size and values.max() - values.min() <= 1e-3 * abs(values.max()):
        centre = float(values.mean())
        half = 0.05 * abs(centre) or 1.0
        axes.set_ylim(centre - half, centre + half)


def _mark_failed(axes: Axes, positions: np.ndarray) -> None:
    for k, x in enumerate(positions):
        axes.axvline(x, color="0.5", ls=":", lw=1.2,
                     label="start without χ² (failed or not run)" if k == 0 else None)


def plot_simulation(positions_mm: Any, curves: Any, pulse_energies: Any, *,
                    closed: Any = None) -> Figure:
    """Simulated transmittance curves, e.g. to plan which energies to measure.

    Parameters
    ----------
    positions_mm : array_like
        1-D positions in mm shared by all curves.
    curves : array_like
        Transmittance, shape ``(len(pulse_energies), len(positions_mm))``.
    pulse_energies : array_like
        Pulse energy of each curve in joules.
    closed : array_like, optional
        Closed-aperture curves of the same shape, drawn beside the open ones.

    Returns
    -------
    matplotlib.figure.Figure
    """
    z = as_float_array("positions_mm", positions_mm)
    energies = as_float_array("pulse_energies", pulse_energies)
    if z.ndim != 1 or energies.ndim != 1:
        raise ValueError("positions_mm and pulse_energies must be 1-D, got shapes "
                         f"{z.shape} and {energies.shape}")
    values = _matching("curves", curves, (energies.size, z.size))
    for name, array in (("positions_mm", z), ("curves", values), ("pulse_energies", energies)):
        require_finite(name, array)
    panels = [(values, "simulated open-aperture z-scan")]
    if closed is not None:
        closed_values = _matching("closed", closed, values.shape)
        require_finite("closed", closed_values)
        panels.append((closed_values, "simulated closed-aperture z-scan"))
    figure = _new_figure(7.0 if len(panels) == 1 else 12.0, 4.5)
    for axes, (shown, title) in zip(np.atleast_1d(figure.subplots(1, len(panels))), panels):
        for row, colour in _by_energy(energies):
            axes.plot(z, shown[row], "-", color=colour, lw=1.5,
                      label=format_energy(energies[row]))
        axes.set_xlabel(_POSITION_LABEL)
        axes.set_ylabel(_TRANSMITTANCE_LABEL)
        axes.set_title(title, fontsize="medium")
        axes.legend(title="pulse energy", loc="best", fontsize="small", title_fontsize="small")
    return figure


def save_figure(fig: Figure, path: str | os.PathLike[str], format: str = "png") -> Path:
    """Write a figure at 150 dpi, creating its folder.

    The file is written under a temporary name and renamed into place, so a
    failure midway leaves any earlier file of that name as it was.

    Parameters
    ----------
    fig : matplotlib.figure.Figure
        The figure.
    path : path-like
        Target file; the format's suffix is added when the path has none.
    format : {"png", "svg", "pdf"}
        File format.

    Returns
    -------
    pathlib.Path
        The file written.

    Raises
    ------
    ValueError
        For an unknown format or a suffix that contradicts it.
    tarnok.safe_write.OutputError
        When the file cannot be written there (an OSError).
    """
    if format not in FORMATS:
        raise ValueError(f"format: expected one of {', '.join(FORMATS)}, got {format!r}")
    target = Path(path)
    if not target.suffix:
        target = target.with_suffix(f".{format}")
    elif target.suffix.lower() != f".{format}":
        raise ValueError(f"path: {target} has suffix {target.suffix!r} but format is "
                         f"{format!r}")
    target.parent.mkdir(parents=True, exist_ok=True)
    if not isinstance(fig.canvas, FigureCanvasAgg):
        FigureCanvasAgg(fig)
    return write_atomically(target, lambda handle: fig.savefig(handle, format=format, dpi=DPI),
                            binary=True)
