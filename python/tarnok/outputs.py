"""The result folder of a fit: ``result.json`` holds everything needed to
redraw the figures and rewrite the report later, and ``report.txt``,
``curves.csv`` and the figures are always made from that document, so that a
folder rebuilt with ``tarnok report`` matches the one ``tarnok fit`` wrote.
Simulations for planning write ``simulation.csv`` and a figure beside them."""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import json
import math
import os
import platform
import tempfile
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import numpy as np
from matplotlib.figure import Figure

from .experiment import Experiment
from .normalise import NormalisedCurve
from .parameters import Parameters
from .plotting import (FORMATS, plot_fit, plot_irradiance, plot_simulation, plot_starts,
                       save_figure)
from .safe_write import OutputError, check_target, write_atomically, write_text_atomically
from .simulation import peak_irradiance
from .zscan import ZScan

if TYPE_CHECKING:
    from .fit import FitResult
    from .runfile import RunDescription

RESULT_FILE = "result.json"
REPORT_FILE = "report.txt"
CURVES_FILE = "curves.csv"
SIMULATION_FILE = "simulation.csv"
FIT_FIGURES = ("fit", "irradiance", "starts")
SIMULATION_FIGURE = "simulation"
# Raised when the layout of result.json changes in a way older readers cannot follow.
DOCUMENT_VERSION = 1
FIT_OUTPUTS = (RESULT_FILE, REPORT_FILE, CURVES_FILE) + tuple(
    f"{stem}.{suffix}" for stem in FIT_FIGURES for suffix in FORMATS)
"""Every file a fit may leave in its folder."""
SIMULATION_OUTPUTS = (SIMULATION_FILE,) + tuple(
    f"{SIMULATION_FIGURE}.{suffix}" for suffix in FORMATS)
"""Every file a simulation may leave in its folder."""
MAX_NUMBERED_FOLDERS = 10_000
CURVE_COLUMNS = ("pulse_energy_J", "position_mm", "transmittance", "sigma", "model", "residual")
CLOSED_CURVE_COLUMNS = ("closed", "closed_sigma", "closed_model", "closed_residual")
SIMULATION_COLUMNS = ("pulse_energy_J", "position_mm", "transmittance",
                      "peak_irradiance_W_per_m2")
NOISE_COLUMNS = ("measured", "sigma")
CLOSED_SIMULATION_COLUMNS = ("closed_transmittance",)
CLOSED_NOISE_COLUMNS = ("closed_measured", "closed_sigma")


class ResultFileError(ValueError):
    """A result document that cannot be read back; the message names file and key."""


@dataclasses.dataclass(frozen=True)
class SavedFit:
    """What the report and the figures of a fit need, as read from its document.

    Attributes
    ----------
    data : ZScan
        The normalised curves that were fitted.
    best_fit, residual : numpy.ndarray
        Model and residual at every data point, the shape of the data.
    start_chisqr : numpy.ndarray
        Final χ² of every start (NaN for a start that failed).
    best_start : int
        The start whose result was kept.
    experiment : dict
        Keyword arguments of :class:`tarnok.Experiment`.
    parameter_values : dict
        Fitted value of every parameter.
    report : str
        The text report as the fit produced it.
    aborted, success : bool
        How the fit ended.
    redchi : float
        Reduced χ² of the kept start.
    run_name : str
        Name of the run file, for figure titles ("" when unknown).
    systematic_curves : tuple of int
        Curves whose residuals failed the runs test (none for documents
        written before the test existed).
    closed_best_fit, closed_residual : numpy.ndarray or None
        The closed-aperture model and residuals, for a fit that had them.
    closed_systematic : tuple of int
        Closed-aperture curves whose residuals failed the runs test.
    """

    data: ZScan
    best_fit: np.ndarray
    residual: np.ndarray
    start_chisqr: np.ndarray
    best_start: int
    experiment: dict[str, Any]
    parameter_values: dict[str, float]
    report: str
    aborted: bool
    success: bool
    redchi: float
    run_name: str
    systematic_curves: tuple[int, ...] = ()
    closed_best_fit: np.ndarray | None = None
    closed_residual: np.ndarray | None = None
    closed_systematic: tuple[int, ...] = ()


def versions() -> dict[str, str]:
    """Versions of the software that produced a result, for the record."""
    import matplotlib

    from . import __version__

    return {"tarnok": __version__, "numpy": np.__version__,
            "matplotlib": matplotlib.__version__, "python": platform.python_version()}


def result_document(result: "FitResult", run: "RunDescription | None" = None,
                    curves: Sequence[NormalisedCurve] = ()) -> dict[str, Any]:
    """Everything about a fit as plain JSON-ready data.

    Parameters
    ----------
    result : FitResult
        The fit; all of :meth:`FitResult.to_dict` is kept, plus its report text.
    run : RunDescription, optional
        The run file it came from, kept as parsed with its path.
    curves : sequence of NormalisedCurve
        The curves as read, with the baselines they were divided by.

    Returns
    -------
    dict
        With NaN and infinities replaced by None, as JSON has no form for them.
    """
    document = result.to_dict()
    document["report"] = result.report()
    document["document_version"] = DOCUMENT_VERSION
    document["run"] = None if run is None else {"source": str(run.source), "toml": run.raw}
    document["normalisation"] = [_baseline_record(curve) for curve in curves]
    document["versions"] = versions()
    return _json_safe(document)


def _baseline_record(curve: NormalisedCurve) -> dict[str, Any]:
    return {"source": curve.source, "pulse_energy": curve.pulse_energy,
            "offset": curve.offset, "slope_per_mm": curve.slope, "focus_mm": curve.focus_mm,
            "positions_mm": curve.positions_mm.tolist(),
            "signal": curve.curve.signal.tolist(), "baseline": curve.baseline.tolist(),
            "wing_points": curve.wing_mask.tolist(),
            "closed_signal": None if curve.curve.closed is None else curve.curve.closed.tolist(),
            "closed_transmittance": None if curve.closed is None else curve.closed.tolist()}


def _json_safe(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {str(key): _json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(item) for item in value]
    if isinstance(value, (str, int, bool)) or value is None:
        return value
    if isinstance(value, np.generic):
        return _json_safe(value.item())
    # TOML dates and times have no JSON type; their text is kept instead.
    return str(value)


def write_document(document: Mapping[str, Any], folder: Path) -> Path:
    """Write ``result.json`` (strict JSON) into ``folder`` and return its path."""
    return write_text_atomically(folder / RESULT_FILE,
                                 json.dumps(document, indent=1, allow_nan=False) + "\n")


def read_document(path: Path) -> dict[str, Any]:
    """Read a result document.

    Raises
    ------
    ResultFileError
        If the file is missing, unreadable or not a JSON object.
    """
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise ResultFileError(f"{path}: result file not found") from None
    except (OSError, UnicodeDecodeError) as error:
        raise ResultFileError(f"{path}: cannot read it: {error}") from None
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ResultFileError(f"{path}: not valid JSON: {error}") from None
    if not isinstance(document, dict):
        raise ResultFileError(f"{path}: expected a JSON object (a result.json written by "
                              "tarnok fit)")
    return document


def _lookup(document: Mapping[str, Any], key: str, source: str) -> Any:
    value: Any = document
    for name in key.split("."):
        if not isinstance(value, Mapping) or name not in value:
            raise ResultFileError(f"{source}: key {key!r} missing; is this a result.json "
                                  "written by tarnok fit?")
        value = value[name]
    return value


def _array(document: Mapping[str, Any], key: str, source: str) -> np.ndarray:
    value = _lookup(document, key, source)
    try:
        # None stands for a value JSON cannot hold (NaN or infinity).
        return np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ResultFileError(f"{source}: {key!r} must be an array of numbers") from None


def _text(document: Mapping[str, Any], key: str, source: str) -> str:
    value = _lookup(document, key, source)
    if not isinstance(value, str):
        raise ResultFileError(f"{source}: {key!r} must be text")
    return value


def saved_fit(document: Mapping[str, Any], source: str = RESULT_FILE) -> SavedFit:
    """Rebuild what the report and figures need from a result document.

    Parameters
    ----------
    document : mapping
        As written by :func:`write_document`.
    source : str
        Where it came from, for messages.

    Raises
    ------
    ResultFileError
        For a missing key or an array that does not hold numbers; the message
        names the key.
    """
    sigma = _lookup(document, "data.sigma", source)
    closed = document["data"].get("closed") if isinstance(document.get("data"), Mapping) \
        else None
    closed_sigma = document["data"].get("closed_sigma") if closed is not None else None
    try:
        data = ZScan(_array(document, "data.positions_mm", source),
                     _array(document, "data.transmittance", source),
                     _array(document, "data.pulse_energies", source),
                     None if sigma is None else _array(document, "data.sigma", source),
                     closed=None if closed is None else _array(document, "data.closed", source),
                     closed_sigma=None if closed_sigma is None
                     else _array(document, "data.closed_sigma", source))
    except (TypeError, ValueError) as error:
        raise ResultFileError(f"{source}: 'data': {error}") from None
    params = _lookup(document, "params", source)
    starts = _lookup(document, "starts", source)
    if not isinstance(params, Mapping) or not isinstance(starts, list) or not all(
            isinstance(start, Mapping) for start in starts):
        raise ResultFileError(f"{source}: 'params' must be an object and 'starts' a list of "
                              "objects")
    run = document.get("run") or {}
    return SavedFit(
        data=data, best_fit=_array(document, "best_fit", source),
        residual=_array(document, "residual", source),
        start_chisqr=np.array([np.nan if s.get("chisqr") is None else s["chisqr"]
                               for s in starts], dtype=np.float64),
        best_start=int(_lookup(document, "best_start", source)),
        experiment=dict(_lookup(document, "experiment", source)),
        parameter_values={name: float(_lookup(p, "value", f"{source}: params.{name}"))
                          for name, p in params.items()},
        report=_text(document, "report", source),
        aborted=bool(_lookup(document, "aborted", source)),
        success=bool(_lookup(document, "success", source)),
        redchi=math.nan if document.get("redchi") is None else float(document["redchi"]),
        run_name=Path(run["source"]).name if run.get("source") else "",
        systematic_curves=_systematic_curves(document, source, data.n_energies),
        closed_best_fit=None if document.get("closed_best_fit") is None
        else _array(document, "closed_best_fit", source),
        closed_residual=None if document.get("closed_residual") is None
        else _array(document, "closed_residual", source),
        closed_systematic=_systematic_curves(document, source, data.n_energies, "closed"))


def _systematic_curves(document: Mapping[str, Any], source: str, count: int,
                       aperture: str = "open") -> tuple[int, ...]:
    runs = document.get("residual_runs") or []
    if not isinstance(runs, list) or not all(isinstance(c, Mapping) for c in runs):
        raise ResultFileError(f"{source}: 'residual_runs' must be a list of objects")
    indices = tuple(c.get("index") for c in runs if c.get("systematic")
                    and c.get("aperture", "open") == aperture)
    if not all(isinstance(i, int) and 0 <= i < count for i in indices):
        raise ResultFileError(f"{source}: 'residual_runs' names a curve that is not in the data")
    return indices


_DAMAGE = (TypeError, ValueError, KeyError, IndexError, AttributeError, OverflowError)


def checked_saved_fit(document: Mapping[str, Any], source: str = RESULT_FILE) -> SavedFit:
    """:func:`saved_fit`, plus every check the report and figures rely on, so
    that a damaged or hand-edited document is answered with one message.

    Raises
    ------
    ResultFileError
        Naming the file and what is wrong in it.
    """
    try:
        saved = saved_fit(document, source)
        _check_consistent(saved)
    except ResultFileError:
        raise
    except RecursionError:
        raise ResultFileError(f"{source}: nested too deeply to be a result file") from None
    except _DAMAGE as error:
        raise ResultFileError(f"{source}: damaged or not written by tarnok fit: "
                              f"{error}") from None
    return saved


def _check_consistent(saved: SavedFit) -> None:
    data = saved.data
    shape = data.transmittance.shape
    if data.has_closed and saved.closed_best_fit is None:
        raise ValueError("the data have closed-aperture curves but 'closed_best_fit' is missing")
    checks = [("best_fit", saved.best_fit, np.ones(shape[0], bool)),
              ("residual", saved.residual, data.open_rows)]
    if saved.closed_best_fit is not None:
        if saved.closed_residual is None:
            raise ValueError("'closed_residual' is missing beside 'closed_best_fit'")
        checks += [("closed_best_fit", saved.closed_best_fit, np.ones(shape[0], bool)),
                   ("closed_residual", saved.closed_residual, data.closed_rows)]
    for name, array, rows in checks:
        if array.shape != shape:
            raise ValueError(f"{name!r} has shape {array.shape}, the data {shape}")
        # Residuals of curves that were not measured are absent (null).
        if not np.all(np.isfinite(array[rows])):
            raise ValueError(f"{name!r} holds values that are not numbers")
    chisqr = saved.start_chisqr
    if chisqr.ndim != 1 or not 0 <= saved.best_start < chisqr.size:
        raise ValueError(f"'best_start' {saved.best_start} is not one of the "
                         f"{chisqr.size} starts")
    if not math.isfinite(chisqr[saved.best_start]):
        raise ValueError(f"the best start {saved.best_start} has no chi-square")
    experiment = Experiment(**saved.experiment)
    params = Parameters(**saved.parameter_values)
    irradiance = peak_irradiance(experiment, params, saved.data.positions_mm,
                                 saved.data.pulse_energies)
    if not np.all(np.isfinite(irradiance) & (irradiance > 0)):
        raise ValueError("its experiment gives no finite irradiance at every point")


def write_report(saved: SavedFit, folder: Path) -> Path:
    """Write the report text exactly as the fit produced it."""
    return write_text_atomically(folder / REPORT_FILE, saved.report + "\n")


def write_curves(saved: SavedFit, folder: Path) -> Path:
    """Write ``curves.csv``: one row per data point, ``sigma`` empty when
    unknown; with closed-aperture curves four more columns, and empty cells
    where a curve of one aperture was not measured."""
    data = saved.data
    closed = saved.closed_best_fit is not None

    def write(handle: IO[str]) -> None:
        writer = csv.writer(handle)
        writer.writerow(CURVE_COLUMNS + (CLOSED_CURVE_COLUMNS if closed else ()))
        for row in range(data.n_energies):
            for i in range(data.n_positions):
                cells = [_number(data.pulse_energies[row]), _number(data.positions_mm[row, i]),
                         _cell(data.transmittance[row, i]),
                         "" if data.sigma is None else _cell(data.sigma[row, i]),
                         _number(saved.best_fit[row, i]), _cell(saved.residual[row, i])]
                if closed:
                    assert saved.closed_best_fit is not None and saved.closed_residual is not None
                    cells += ["" if data.closed is None else _cell(data.closed[row, i]),
                              "" if data.closed_sigma is None
                              else _cell(data.closed_sigma[row, i]),
                              _number(saved.closed_best_fit[row, i]),
                              _cell(saved.closed_residual[row, i])]
                writer.writerow(cells)

    return write_atomically(folder / CURVES_FILE, write)


def _number(value: float) -> str:
    # repr keeps every digit, so a reader recovers the very same float.
    return repr(float(value))


def _cell(value: float) -> str:
    """A number, or an empty cell where nothing was measured."""
    return "" if math.isnan(value) else _number(value)


def fit_title(saved: SavedFit) -> str:
    """Figure title naming the run and saying how the fit ended."""
    name = saved.run_name or "fit"
    state = ("ABORTED: best result so far" if saved.aborted
             else "converged" if saved.success else "NOT CONVERGED")
    return f"{name}: reduced χ² = {saved.redchi:.4g} ({state})"


def fit_figures(saved: SavedFit) -> dict[str, Figure]:
    """The figures of a fit by file stem; ``starts`` only for several starts."""
    experiment = Experiment(**saved.experiment)
    params = Parameters(**saved.parameter_values)
    irradiance = peak_irradiance(experiment, params, saved.data.positions_mm,
                                 saved.data.pulse_energies)
    figures = {
        # The saved residual is (data - model)/sigma, or data - model without
        # sigma: what plot_fit computes and labels by itself.
        "fit": plot_fit(saved.data, saved.best_fit, title=fit_title(saved),
                        systematic=saved.systematic_curves,
                        closed_model=saved.closed_best_fit if saved.data.has_closed else None,
                        closed_systematic=saved.closed_systematic),
        "irradiance": plot_irradiance(saved.data, saved.best_fit, irradiance),
    }
    if saved.start_chisqr.size > 1:
        figures["starts"] = plot_starts(saved.start_chisqr, saved.best_start)
    return figures


def write_fit_files(saved: SavedFit, folder: Path, format: str = "png") -> list[Path]:
    """Write report, curves and figures of a fit into ``folder``.

    Returns
    -------
    list of Path
        The files written, in that order.
    """
    folder.mkdir(parents=True, exist_ok=True)
    written = [write_report(saved, folder), write_curves(saved, folder)]
    for stem, figure in fit_figures(saved).items():
        written.append(save_figure(figure, folder / stem, format))
    return written


def write_simulation(folder: Path, positions_mm: np.ndarray, pulse_energies: np.ndarray,
                     curves: np.ndarray, irradiance: np.ndarray,
                     format: str = "png", noise: float = 0.0, seed: int = 0,
                     closed: np.ndarray | None = None) -> list[Path]:
    """Write ``simulation.csv`` and the simulation figure into ``folder``.

    Parameters
    ----------
    positions_mm : (n,) array
    pulse_energies : (m,) array
    curves, irradiance : (m, n) arrays
        Model transmittance and peak on-axis irradiance (W/m²).
    noise : float
        With a value above 0, two more columns: ``measured``, the
        transmittance with Gaussian noise of standard deviation ``noise``
        times the transmittance added (synthetic data to try a fit on), and
        ``sigma``, that standard deviation.
    seed : int
        Seed of the noise, so that the same seed gives the same data.
    closed : (m, n) array, optional
        The closed-aperture curves: a column ``closed_transmittance`` (and,
        with noise, ``closed_measured`` and ``closed_sigma``, drawn after the
        open curves' noise so that those stay as they were).

    Returns
    -------
    list of Path
        The table, then the figure.
    """
    folder.mkdir(parents=True, exist_ok=True)
    columns = SIMULATION_COLUMNS + (NOISE_COLUMNS if noise > 0 else ())
    if closed is not None:
        columns += CLOSED_SIMULATION_COLUMNS + (CLOSED_NOISE_COLUMNS if noise > 0 else ())
    sigma = noise * np.asarray(curves)
    rng = np.random.default_rng(seed)
    measured = rng.normal(curves, sigma) if noise > 0 else None
    closed_sigma = None if closed is None else noise * np.asarray(closed)
    closed_measured = rng.normal(closed, closed_sigma) if noise > 0 and closed is not None \
        else None

    def write(handle: IO[str]) -> None:
        writer = csv.writer(handle)
        writer.writerow(columns)
        for row, energy in enumerate(pulse_energies):
            for i, position in enumerate(positions_mm):
                cells = [_number(energy), _number(position), _number(curves[row, i]),
                         _number(irradiance[row, i])]
                if measured is not None:
                    cells += [_number(measured[row, i]), _number(sigma[row, i])]
                if closed is not None:
                    cells.append(_number(closed[row, i]))
                    if closed_measured is not None and closed_sigma is not None:
                        cells += [_number(closed_measured[row, i]),
                                  _number(closed_sigma[row, i])]
                writer.writerow(cells)

    table = write_atomically(folder / SIMULATION_FILE, write)
    figure = plot_simulation(positions_mm, curves, pulse_energies, closed=closed)
    return [table, save_figure(figure, folder / SIMULATION_FIGURE, format)]


# ---------------------------------------------------------------------------
# Choosing the folder: an earlier result is never replaced without being asked


@dataclasses.dataclass(frozen=True)
class OutputFolder:
    """Where a command writes, decided (and checked) before the work starts.

    Attributes
    ----------
    folder : Path
        The folder to write into.
    requested : Path
        The folder asked for; ``folder`` differs when that one held an
        earlier result, which is then kept.
    replacing : bool
        Whether an earlier result in ``folder`` is replaced (``--overwrite``).
    created : bool
        Whether the folder was made for this run.
    outputs : tuple of str
        The names of every file this kind of run may write.
    """

    folder: Path
    requested: Path
    replacing: bool
    created: bool
    outputs: tuple[str, ...]

    @property
    def note(self) -> str | None:
        """What happened to an earlier result, for the report; None if none was there."""
        if self.folder != self.requested:
            return (f"{self.requested} holds an earlier result, which is kept; this one is "
                    f"in {self.folder} (--overwrite replaces the earlier one instead)")
        if self.replacing:
            return f"replaced the earlier result in {self.folder} (--overwrite)"
        return None

    def remove_earlier(self, keep: Iterable[Path]) -> None:
        """Delete the earlier run's files that this run has not written (yet), so
        that none of them is taken for part of this result.

        Raises
        ------
        OutputError
            When one cannot be removed.
        """
        kept = {path.name for path in keep}
        for name in self.outputs:
            path = self.folder / name
            if name in kept or not path.is_file():
                continue
            try:
                path.unlink()
            except OSError as error:
                raise OutputError(path, "is left from an earlier result and cannot be "
                                  f"removed: {error.strerror or error}") from None

    def discard_if_unused(self) -> None:
        """Remove the folder again if it was made for this run and stayed empty."""
        if self.created:
            with contextlib.suppress(OSError):
                self.folder.rmdir()


def _earlier_outputs(folder: Path, outputs: tuple[str, ...]) -> list[str]:
    return [name for name in outputs if os.path.lexists(folder / name)]


def _numbered_sibling(requested: Path, outputs: tuple[str, ...]) -> Path:
    for number in range(2, MAX_NUMBERED_FOLDERS):
        candidate = requested.with_name(f"{requested.name}-{number}")
        if not os.path.lexists(candidate):
            return candidate
        if candidate.is_dir() and not _earlier_outputs(candidate, outputs):
            return candidate
    raise OutputError(requested, f"{MAX_NUMBERED_FOLDERS} numbered folders beside it hold "
                      "results already; give another --output folder or --overwrite")


def _check_writable(folder: Path) -> None:
    try:
        handle, name = tempfile.mkstemp(prefix=".tarnok-probe-", dir=folder)
        os.close(handle)
        os.unlink(name)
    except OSError as error:
        raise OutputError(folder, "the output folder does not take new files: "
                          f"{error.strerror or error}") from None


def plan_output_folder(requested: str | os.PathLike[str], outputs: tuple[str, ...], *,
                       overwrite: bool = False, same_result: bool = False) -> OutputFolder:
    """Choose and check the folder a command writes into, before it runs.

    Parameters
    ----------
    requested : path-like
        The folder asked for (created if needed).
    outputs : tuple of str
        The names of every file this kind of run may write
        (:data:`FIT_OUTPUTS`, :data:`SIMULATION_OUTPUTS`).
    overwrite : bool
        Replace an earlier result found there; otherwise the earlier one is
        kept and the first free numbered folder beside it (``name-2``,
        ``name-3``, ...) is used.
    same_result : bool
        The folder's files belong to the very result being written again
        (``tarnok report`` into the result's own folder): no new folder.

    Returns
    -------
    OutputFolder

    Raises
    ------
    OutputError
        When the folder is a file, cannot be made or takes no new files, or a
        name an output must take is a folder, a pipe or (with ``overwrite``)
        a read-only file.
    """
    requested = Path(requested)
    if os.path.lexists(requested) and not requested.is_dir():
        raise OutputError(requested, "is not a folder; give an output folder")
    earlier = _earlier_outputs(requested, outputs) if requested.is_dir() else []
    folder, replacing = requested, False
    if earlier and (overwrite or same_result):
        replacing = not same_result
    elif earlier:
        folder = _numbered_sibling(requested, outputs)
    created = not folder.exists()
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputError(folder, "cannot create the output folder: "
                          f"{error.strerror or error}") from None
    plan = OutputFolder(folder, requested, replacing, created, outputs)
    try:
        for name in outputs:
            check_target(folder / name)
        _check_writable(folder)
    except OutputError:
        plan.discard_if_unused()
        raise
    return plan
