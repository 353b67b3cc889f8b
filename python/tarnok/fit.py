"""tarnok.fit: multi-start, bounded Levenberg–Marquardt fits of z-scan data
in the logarithms of the parameters, with uncertainties and warnings."""

from __future__ import annotations

import dataclasses
import math
import numbers
import os
import dataclasses
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Literal, Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

from . import _core, discretisation, plausibility, resources
from .closed_aperture import (ClosedApertureSummary, as_blocks, fit_arrays, rayleigh_range,
                              refined_positions, summarise)
from .budget import ErrorBudget, check_uncertainties, error_budget
from .compare import data_hash
from .derived import DerivedQuantity, derived_quantities
from .discretisation import Discretisation
from .experiment import Experiment
from .intervals import ConfidenceIntervals, conf_interval
from .parameters import NAMES, SIGNED, Parameters
from .report import fit_report
from .residual_tests import (CurveRuns, GoodnessOfFit, curve_runs, goodness_of_fit,
                             goodness_warning, runs_test, runs_warning)
from .simulation import ENGINES, _engine_for
from .statistics import (STEP_TOLERANCE, fit_quality_warnings, fit_statistics,
                         identifiability_warnings)
from .zscan import ZScan, format_energy

MAX_STARTS = 10_000
MAX_THREADS = 1024
# Starts whose χ² is within this relative distance of the lowest reached it.
SAME_OPTIMUM = 1e-6
# Refits on a finer grid when the solution needs one (each may move the
# solution, which is then checked again).
MAX_REFITS = 3


# What a refraction parameter of either sign is of order of, when neither its
# start nor its bounds say: n2 of 1e-15 cm^2/W, a refraction cross-section of
# 1e-21 m^2 (in the solver's coordinates they then move by about 1).
TYPICAL_MAGNITUDE = {"n2": 1e-19, "sigma_r2": 1e-21, "sigma_r4": 1e-21}


def linear_scale(name: str, start: float, lower: float, upper: float) -> float:
    """The unit a parameter fitted linearly moves in (the solver's tolerances
    apply to value / scale): 1 for the focus position in mm, as it always was;
    for the refraction parameters the size of the start value, else of the
    bounds, else a typical magnitude. Log-scale parameters ignore it."""
    if is_log_scale(name) or name == "z0":
        return 1.0
    if start != 0.0 and math.isfinite(start):
        return abs(start)
    finite = [abs(b) for b in (lower, upper) if math.isfinite(b) and b != 0.0]
    return min(finite) if finite else TYPICAL_MAGNITUDE.get(name, 1.0)


def is_log_scale(name: str) -> bool:
    """Whether the fit works in the logarithm of the parameter (all but those
    that may be negative: the focus position and the refraction)."""
    return name not in SIGNED


@dataclass(frozen=True)
class FitProgress:
    """What a progress callback receives, a few times a second at most."""

    start: int
    """Index of the start that reported last (0 is the user's values)."""
    iteration: int
    """Its iteration."""
    chisqr: float
    """Its current χ²."""
    best_chisqr: float
    """The smallest χ² any start has reached so far."""
    starts_done: int
    n_starts: int


@dataclass(frozen=True)
class StartOutcome:
    """How one start of a multi-start fit ended."""

    index: int
    start: dict[str, float]
    values: dict[str, float]
    chisqr: float
    success: bool
    status: str
    message: str
    iterations: int
    nfev: int
    njev: int
    duplicate_of: int | None = None
    """The earlier start whose path this one joined, where it stopped
    (``status`` "duplicate"; ``message`` says how close the two were)."""


@dataclass
class FitResult:
    """The outcome of :func:`fit`, in the manner of lmfit's ``MinimizerResult``.

    The statistics belong to the best start (smallest χ²). ``residual`` is
    (data − model)/σ when the data carry σ (``weighted`` is True), data − model
    otherwise; ``best_fit`` and ``residual`` have the data's shape (energies ×
    positions). ``covar`` follows ``var_names``. ``derived`` holds the
    quantities researchers compare with the literature (β, δ in GM, α0, the
    saturation irradiance, ratios of cross-sections), by name, in SI units
    with standard errors propagated through ``covar``.
    """

    params: Parameters
    init_params: Parameters
    best_fit: NDArray[np.float64]
    residual: NDArray[np.float64]
    covar: NDArray[np.float64] | None
    var_names: list[str]
    chisqr: float
    redchi: float
    aic: float
    bic: float
    rsquared: float
    ndata: int
    nvarys: int
    nfree: int
    nfev: int
    njev: int
    success: bool
    aborted: bool
    status: str
    message: str
    warnings: list[str]
    starts: list[StartOutcome]
    best_start: int
    weighted: bool
    rms_per_energy: NDArray[np.float64]
    condition_number: float
    engine: str
    integrator_messages: int = 0
    derived: dict[str, DerivedQuantity] = field(default_factory=dict)
    data: ZScan | None = field(default=None, repr=False)
    experiment: Experiment | None = field(default=None, repr=False)
    goodness_of_fit: GoodnessOfFit | None = None
    """Where χ² lies in its distribution (only when the data carry σ)."""
    residual_runs: list[CurveRuns] = field(default_factory=list)
    """The runs test of every curve's residuals."""
    starts_at_best: int = 1
    """How many starts reached the lowest χ² (within 1e-6 relative), counting
    those that stopped on the path of one that did."""
    scaled_stderr: dict[str, float] | None = None
    """Standard errors × sqrt(reduced χ²), when χ² is implausible for the given σ."""
    budget: ErrorBudget | None = None
    """Statistical and systematic uncertainties, when uncertainties were given."""
    intervals: ConfidenceIntervals | None = None
    """Profile-likelihood intervals, once :meth:`conf_interval` has run."""
    closed_best_fit: NDArray[np.float64] | None = None
    """The closed-aperture model at the data positions (energies × positions),
    when the experiment has a closed aperture."""
    closed_residual: NDArray[np.float64] | None = None
    """Its residuals, as ``residual``; NaN where a closed curve was not measured."""
    rms_closed_per_energy: NDArray[np.float64] | None = None
    """rms of data − model of each closed curve (NaN where absent)."""
    closed_aperture: ClosedApertureSummary | None = None
    """ΔT_pv, peak–valley separation and ⟨ΔΦ0⟩ of each energy's closed curve."""
    discretisation: Discretisation | None = None
    """The grid the fit used (``experiment`` holds it too), how it was chosen
    and its estimated error at the solution."""

    def report(self, min_correl: float = 0.1) -> str:
        """The text report: fit statistics, variables, correlations, the error
        budget and intervals when present, warnings."""
        return fit_report(self, min_correl=min_correl)

    @property
    def data_hash(self) -> str | None:
        """Hash of the fitted data, to tell whether two fits saw the same data."""
        return None if self.data is None else data_hash(self.data)

    def conf_interval(self, sigmas: Sequence[float] = (1, 2),
                      threads: int | None = None) -> dict[str, list[tuple[float, float]]]:
        """Profile-likelihood confidence intervals of the varied parameters.

        For each varied parameter and direction, the value where χ², with the
        other parameters re-optimised, has risen by s² (s² times the reduced
        χ² when the data carry no σ), found by the fit's own solver with that
        parameter held fixed. A bound inside an interval becomes its limit.

        Parameters
        ----------
        sigmas : sequence of float
            Interval widths in standard deviations (1: 68.27 %, 2: 95.45 %).
        threads : int or None
            Threads for the constrained fits (None: every core).

        Returns
        -------
        dict
            As lmfit's ``conf_interval``: name → [(probability, value), ...]
            from the lowest limit to the highest, with (0.0, best) between.
            The full record (at-bound flags, notes) is kept in
            :attr:`intervals` and shown by :meth:`report`; its warnings are
            added to :attr:`warnings`.
        """
        found = conf_interval(self, sigmas, threads)
        if self.intervals is not None:
            self.warnings = [w for w in self.warnings if w not in self.intervals.warnings]
        self.intervals = found
        self.warnings.extend(found.warnings)
        return found.as_lmfit()

    def _repr_html_(self) -> str:
        from .notebook import fit_result_html

        return fit_result_html(self)

    def plot(self, title: str | None = None) -> Any:
        """The data, the fitted model and the residuals, as in ``fit.png``.

        Returns
        -------
        matplotlib.figure.Figure
            Shown by Jupyter when it ends a cell; ``fig.savefig(...)`` writes it.

        Raises
        ------
        ValueError
            For a result that does not hold its data.
        """
        from .plotting import plot_fit

        if self.data is None:
            raise ValueError("this result does not hold its data, so there is nothing to plot")
        state = " (aborted: best so far)" if self.aborted else ""
        return plot_fit(self.data, self.best_fit,
                        title=title or f"reduced χ² = {self.redchi:.4g}{state}",
                        systematic=[c.index for c in self.residual_runs
                                    if c.systematic and c.aperture == "open"],
                        closed_model=self.closed_best_fit if self.data.has_closed else None,
                        closed_systematic=[c.index for c in self.residual_runs
                                           if c.systematic and c.aperture == "closed"])

    def to_dict(self) -> dict[str, Any]:
        """Plain JSON-ready data (lists, floats, strings; None for NaN/inf)."""
        out = {
            "params": self.params.to_dict(), "init_params": self.init_params.to_dict(),
            "var_names": list(self.var_names),
            "covar": None if self.covar is None else _plain(self.covar),
            "best_fit": _plain(self.best_fit), "residual": _plain(self.residual),
            "starts": [asdict(s) for s in self.starts],
            "rms_per_energy": _plain(self.rms_per_energy),
            "warnings": list(self.warnings),
            "goodness_of_fit": None if self.goodness_of_fit is None else {
                **asdict(self.goodness_of_fit), "verdict": self.goodness_of_fit.verdict},
            "residual_runs": [{**asdict(c), "p_value": c.p_value, "systematic": c.systematic}
                              for c in self.residual_runs],
            "starts_at_best": self.starts_at_best,
            "scaled_stderr": None if self.scaled_stderr is None else dict(self.scaled_stderr),
            "budget": None if self.budget is None else self.budget.to_dict(),
            "intervals": None if self.intervals is None else self.intervals.to_dict(),
            "data_hash": self.data_hash,
            "derived": {name: q._asdict() for name, q in self.derived.items()},
            "discretisation": None if self.discretisation is None
            else self.discretisation.to_dict(),
        }
        if self.closed_best_fit is not None:
            out["closed_best_fit"] = _plain(self.closed_best_fit)
            out["closed_residual"] = _plain(self.closed_residual)
            out["rms_closed_per_energy"] = _plain(self.rms_closed_per_energy)
            out["closed_aperture"] = None if self.closed_aperture is None \
                else self.closed_aperture.to_dict()
        for name in ("chisqr", "redchi", "aic", "bic", "rsquared", "condition_number"):
            out[name] = _plain(getattr(self, name))
        for name in ("ndata", "nvarys", "nfree", "nfev", "njev", "success", "aborted", "status",
                     "message", "best_start", "weighted", "engine", "integrator_messages"):
            out[name] = getattr(self, name)
        if self.data is not None:
            out["data"] = {
                "positions_mm": _plain(self.data.positions_mm),
                "transmittance": _plain(self.data.transmittance),
                "pulse_energies": _plain(self.data.pulse_energies),
                "sigma": None if self.data.sigma is None else _plain(self.data.sigma)}
            if self.data.has_closed:
                out["data"]["closed"] = _plain(self.data.closed)
                out["data"]["closed_sigma"] = None if self.data.closed_sigma is None \
                    else _plain(self.data.closed_sigma)
        if self.experiment is not None:
            out["experiment"] = self.experiment.to_dict()
        return _json_safe(out)


def fit(data: ZScan, experiment: Experiment, parameters: Parameters, n_starts: int = 8,
        engine: Literal["exact", "integrator"] = "exact", threads: int | None = None,
        callback: Callable[[FitProgress], bool | None] | None = None,
        seed: int = 0, uncertainties: Mapping[str, Any] | None = None) -> FitResult:
    """Fit the varied parameters to z-scan data from several starts.

    Positive parameters are fitted in their logarithms (``z0`` linearly),
    within their ``min``/``max`` bounds, by Levenberg–Marquardt with the exact
    engine's analytic Jacobian (forward differences for the integrator).

    Parameters
    ----------
    data : ZScan
        The measured curves; with σ the residuals are (data − model)/σ.
    experiment : Experiment
        Grid fields given as ``"auto"`` are chosen at the start values for a
        tolerance of 0.1 of the smallest σ of the data (1e-4 without σ), and
        checked again at the solution: when the solution needs a finer grid,
        the best start is refitted on it. A grid given by number is used as
        it is, with a warning when its estimated error exceeds three times
        that tolerance. :attr:`FitResult.discretisation` says which grid and
        its estimated error.
    parameters : Parameters
        Start values; those with ``vary=True`` are fitted.
    n_starts : int
        Number of starts: the given values first, then points spread
        log-uniformly (a low-discrepancy sequence) over the bounds, or over
        ±1 decade around the given values where there are none. Every two
        iterations the starts are compared: one whose parameters lie within
        0.1 standard errors of an earlier start's (by that start's
        covariance), at a χ² no lower and within 1e-3 relative, stops there
        as its duplicate (see :attr:`StartOutcome.duplicate_of`).
    engine : {"exact", "integrator"}
    threads : int or None
        Threads for the starts and, while fewer starts than threads remain,
        for the positions of their evaluations (None: every core; 1: this
        thread). The result is the same, bit for bit, for every thread count.
    callback : callable, optional
        ``callback(progress: FitProgress)``, called on this thread a few times
        a second; returning True stops every start.
    seed : int
        Chooses the set of spread starts.
    uncertainties : mapping, optional
        Standard uncertainties of quantities the fit holds fixed, propagated
        into an error budget (:attr:`FitResult.budget`): ``w0`` (m), ``M2``,
        ``tau`` (s), ``thickness`` (m), ``populations`` (five values, 1/m³),
        ``energy_calibration`` (relative, shared by every pulse energy) and
        ``pulse_energy`` (relative, each energy on its own: one number or one
        per energy). A quantity that is fitted drops out.

    Returns
    -------
    FitResult
        A fit stopped by the callback or by Ctrl-C returns the best point so
        far, with ``aborted=True`` and its statistics.

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range (named in the
        message), no varied parameter, or a model that cannot be evaluated at
        any start.
    """
    return _fit(data, experiment, parameters, n_starts, engine, threads, callback, seed,
                uncertainties, check_grid=True)


def _fit(data: ZScan, experiment: Experiment, parameters: Parameters, n_starts: int,
         engine: Literal["exact", "integrator"], threads: int | None,
         callback: Callable[[FitProgress], bool | None] | None, seed: int,
         uncertainties: Mapping[str, Any] | None, check_grid: bool) -> FitResult:
    """:func:`fit`; ``check_grid=False`` skips the estimate of a grid given by
    number (for the many constrained refits of profile intervals, whose grid
    the fit they profile has judged)."""
    n_starts, threads, seed = _check_arguments(data, experiment, parameters, n_starts, engine,
                                               threads, callback, seed)
    if uncertainties is not None:
        check_uncertainties(uncertainties, data.n_energies)
    parameters = parameters.resolved(experiment)  # report the beam actually used
    names = parameters.varied
    if not names:
        raise ValueError("no parameter is varied: set params[name].vary = True for at least one")
    indices = [NAMES.index(n) for n in names]
    log_scale = [is_log_scale(n) for n in names]
    lower, upper = _bounds(parameters, names)
    plausibility.check_inputs(experiment, parameters, data.pulse_energies)
    threads = (os.cpu_count() or 1) if threads is None else threads
    given, tolerance = experiment, discretisation.default_tolerance(data.sigma)
    limits = discretisation.Limits(len(names) if engine == "exact" else 0,
                                   min(threads, n_starts))
    chosen = None
    if given.auto_axes:
        experiment, chosen = discretisation.choose(given, parameters.vector(), data.positions_mm,
                                                   data.pulse_energies, tolerance, limits)
    model = _engine_for(experiment, data.positions_mm, data.pulse_energies, engine)
    if engine == "exact":
        resources.check_derivative_memory(experiment, len(names), threads)
    values, sigma = fit_arrays(data, experiment)
    poll = _Poll(callback, n_starts)
    scales = [linear_scale(n, parameters[n].value, lower[k], upper[k])
              for k, n in enumerate(names)]
    raw = _core.fit(model, values, sigma, parameters.vector(),
                    indices, log_scale, lower, upper, n_starts, threads, seed,
                    poll if callback is not None else None, scales=scales)
    if poll.interrupted:
        raw["abort_reason"] = _INTERRUPTED
    if raw["best"] < 0:
        _no_start_has_a_value(raw, experiment, parameters, data)
    result = _result(raw, data, experiment, parameters, names, lower, upper, engine, model,
                     values, sigma, scales)
    if check_grid or chosen is not None:
        result = _grid_at_solution(result, given, chosen, tolerance, limits, threads, callback,
                                   seed)
    if uncertainties is not None:
        result.budget = error_budget(result, uncertainties, threads)
    return result


_INTERRUPTED = "interrupted (KeyboardInterrupt)"


def _grid_at_solution(result: FitResult, given: Experiment, chosen: Discretisation | None,
                      tolerance: float, limits: discretisation.Limits, threads: int,
                      callback: Any, seed: int) -> FitResult:
    """Estimate the grid's error at the solution; a chosen grid that no
    longer meets the tolerance there is refined and the best start refitted."""
    assert result.data is not None and result.experiment is not None
    data, values = result.data, result.params.vector()
    auto = given.auto_axes
    record = discretisation.estimate(result.experiment, values, data.positions_mm,
                                     data.pulse_energies, tolerance, auto,
                                     None if chosen is None else chosen.orders)
    spent = record.evaluations + (chosen.evaluations if chosen is not None else 0)
    first_grid = None if chosen is None else chosen.grid
    for _ in range(MAX_REFITS):
        if chosen is None or record.met or result.aborted:
            break
        # The refitted solution may move again, so it is estimated again.
        finer, chosen = discretisation.choose(given, values, data.positions_mm,
                                              data.pulse_energies, tolerance, limits,
                                              start=record.grid)
        spent += chosen.evaluations
        if chosen.grid == record.grid:
            break
        result = _refit_best(result, finer, threads, callback, seed)
        values = result.params.vector()
        record = dataclasses.replace(
            discretisation.estimate(finer, values, data.positions_mm, data.pulse_energies,
                                    tolerance, auto, chosen.orders), refined_from=first_grid)
        spent += record.evaluations
    result.discretisation = dataclasses.replace(record, evaluations=spent)
    if text := discretisation.shortfall_warning(result.discretisation):
        result.warnings.append(text)
    return result


def _refit_best(first: FitResult, finer: Experiment, threads: int, callback: Any,
                seed: int) -> FitResult:
    """The best start continued on a finer grid; the other starts' outcomes
    (on the first grid) are kept beside it."""
    assert first.data is not None
    again = first.params.copy()
    for name in first.var_names:
        again[name].stderr, again[name].correl = None, None
    second = _fit(first.data, finer, again, 1, first.engine, threads,  # type: ignore[arg-type]
                  callback, seed, None, check_grid=False)
    best, last = first.best_start, second.starts[0]
    earlier = first.starts[best]
    second.starts = list(first.starts)
    second.starts[best] = dataclasses.replace(
        last, index=best, start=earlier.start, iterations=earlier.iterations + last.iterations,
        nfev=earlier.nfev + last.nfev, njev=earlier.njev + last.njev)
    second.best_start, second.starts_at_best = best, first.starts_at_best
    second.nfev, second.njev = first.nfev + second.nfev, first.njev + second.njev
    second.init_params = first.init_params
    for name in first.var_names:
        second.params[name].init_value = first.init_params[name].value
    # Warnings about the starts are the first fit's, where all of them ran.
    second.warnings = [w for w in first.warnings if w.startswith("only 1 of")] + \
        [w for w in second.warnings]
    return second


def _no_start_has_a_value(raw: dict[str, Any], experiment: Experiment,
                          parameters: Parameters, data: ZScan) -> None:
    if raw["cancelled"] and raw.get("abort_reason") == _INTERRUPTED:
        raise KeyboardInterrupt("interrupted before any start of the fit had a value")
    if raw["cancelled"]:
        raise RuntimeError("the fit was stopped by the callback before any start had a value")
    suspects = plausibility.farthest_from_usual(experiment, parameters, data.pulse_energies)
    raise ValueError("the model cannot be evaluated at any start (non-finite values); the "
                     f"inputs farthest from usual values are {suspects}; check the "
                     "experiment and the start values")


def _check_arguments(data: Any, experiment: Any, parameters: Any, n_starts: Any, engine: Any,
                     threads: Any, callback: Any, seed: Any) -> tuple[int, int | None, int]:
    if not isinstance(data, ZScan):
        raise TypeError(f"data must be a tarnok.ZScan, got {type(data).__name__}")
    if not isinstance(experiment, Experiment):
        raise TypeError(f"experiment must be a tarnok.Experiment, got {type(experiment).__name__}")
    if not isinstance(parameters, Parameters):
        raise TypeError(f"parameters must be a tarnok.Parameters, got {type(parameters).__name__}")
    n_starts = _count("n_starts", n_starts, MAX_STARTS)
    if engine not in ENGINES:
        raise ValueError(f"engine must be 'exact' or 'integrator', got {engine!r}")
    if threads is not None:
        threads = _count("threads", threads, MAX_THREADS)
    if callback is not None and not callable(callback):
        raise TypeError("callback must be callable or None")
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, numbers.Integral) or \
            not 0 <= seed < 2**63:
        raise ValueError(f"seed must be an integer from 0 to 2**63 - 1, got {seed!r}")
    return n_starts, threads, int(seed)


def _count(name: str, value: Any, high: int) -> int:
    # NumPy's integers count as integers (n_starts=np.int64(8)); booleans do not.
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if not 1 <= value <= high:
        raise ValueError(f"{name} must be between 1 and {high}, got {value}")
    return int(value)


def _bounds(parameters: Parameters, names: list[str]) -> tuple[list[float], list[float]]:
    lower, upper = [], []
    for name in names:
        p = parameters[name]
        if is_log_scale(name) and p.value <= 0.0:
            raise ValueError(f"{name} is varied on a logarithmic scale and needs a start "
                             f"value above zero, got {p.value!r}")
        # On a logarithmic scale a bound at or below zero is no bound at all.
        low = p.min if not is_log_scale(name) or p.min > 0.0 else -math.inf
        lower.append(low)
        upper.append(p.max)
    return lower, upper


class _Poll:
    """Hands progress to the caller's callback; a KeyboardInterrupt raised in
    it (by a Ctrl-C handler of the caller's own) stops the fit as Ctrl-C does."""

    def __init__(self, callback: Callable[[FitProgress], bool | None] | None,
                 n_starts: int) -> None:
        self.callback = callback
        self.n_starts = n_starts
        self.interrupted = False

    def __call__(self, start: int, iteration: int, chisqr: float, best: float,
                 done: int) -> bool:
        assert self.callback is not None
        try:
            return bool(self.callback(FitProgress(start, iteration, chisqr, best, done,
                                                  self.n_starts)))
        except KeyboardInterrupt:
            self.interrupted = True
            return True


def _result(raw: dict[str, Any], data: ZScan, experiment: Experiment, parameters: Parameters,
            names: list[str], lower: list[float], upper: list[float], engine: str,
            model: Any, values_fitted: NDArray[np.float64],
            sigma_fitted: NDArray[np.float64] | None, scales: list[float]) -> FitResult:
    starts = [_start_outcome(k, s, names) for k, s in enumerate(raw["starts"])]
    best = raw["best"]
    chosen = starts[best]
    # Absent curves (NaN) give no residual: the statistics count the present
    # values of both apertures, and every array handed back keeps the data's
    # layout with NaN where nothing was measured.
    present = np.isfinite(values_fitted).ravel()
    residual = _full_residual(np.asarray(raw["residual"], dtype=np.float64), present)
    jacobian = np.asarray(raw["jacobian"]).reshape(-1, len(names))
    if jacobian.shape[0] == present.size and not present.all():
        jacobian = jacobian[present]
    weights = np.ones(int(present.sum())) if sigma_fitted is None else \
        sigma_fitted.ravel()[present] ** -2.0
    stats = fit_statistics(residual[present], jacobian, values_fitted.ravel()[present], weights,
                           absolute_sigma=data.sigma is not None)
    values = np.array([chosen.values[n] for n in names])
    identifiability = identifiability_warnings(
        names, values, stats, np.array(lower), np.array(upper),
        log_scale=[is_log_scale(n) for n in names],
        tolerance=float(raw.get("step_tolerance", STEP_TOLERANCE)), linear_scales=scales)

    fitted = parameters.copy()
    for k, name in enumerate(names):
        p = fitted[name]
        p.init_value = parameters[name].value
        p.set(value=float(np.clip(values[k], p.min, p.max)))
        p.stderr = None if not math.isfinite(stats.stderr[k]) else float(stats.stderr[k])
        p.correl = {other: float(stats.correl[k, j]) for j, other in enumerate(names)
                    if j != k and math.isfinite(stats.correl[k, j])}
    shape = data.transmittance.shape
    blocks = values_fitted.shape[0] // data.n_energies
    residual = residual.reshape(blocks * shape[0], shape[1])
    if blocks == 1 and present.all():
        sigma = 1.0 if data.sigma is None else data.sigma
        best_fit = data.transmittance - residual * sigma
        curves = best_fit
    else:
        # Where a curve is absent the residual says nothing of the model, so
        # the model is evaluated once more at the solution.
        if raw.get("best_fit") is not None:
            curves = np.asarray(raw["best_fit"], dtype=np.float64).reshape(residual.shape)
        else:
            curves = as_blocks(model.evaluate(fitted.vector(), [])[0], data.n_energies)
        best_fit = np.array(curves[:shape[0]])
    aborted = bool(raw["cancelled"])
    goodness = goodness_of_fit(stats.chisqr, stats.nfree) if data.sigma is not None else None
    runs = _runs(residual, data, curves, blocks)
    at_best = _starts_at_best(starts, chosen.chisqr)
    warnings = _fit_warnings(goodness, stats, runs, at_best, starts) + identifiability
    scaled = None
    if goodness is not None and goodness.verdict != "consistent":
        root = math.sqrt(stats.redchi)
        scaled = {n: fitted[n].stderr * root for n in names if fitted[n].stderr is not None}
    integrator_messages = int(model.diagnostics()[0]) if engine == "integrator" else 0
    if integrator_messages:
        warnings.append(f"the integrator reported {integrator_messages} diagnostics during "
                        "the fit; its values there may be unreliable")
    result = FitResult(
        params=fitted, init_params=parameters.copy(), best_fit=best_fit,
        residual=residual[:shape[0]], covar=stats.covar, var_names=list(names),
        chisqr=stats.chisqr, redchi=stats.redchi, aic=stats.aic, bic=stats.bic,
        rsquared=stats.rsquared, ndata=stats.ndata, nvarys=stats.nvarys, nfree=stats.nfree,
        nfev=sum(s.nfev for s in starts), njev=sum(s.njev for s in starts),
        success=chosen.success and not aborted, aborted=aborted, status=chosen.status,
        message=_stop_message(raw, chosen, aborted),
        warnings=warnings, starts=starts, best_start=best, weighted=data.sigma is not None,
        rms_per_energy=_rms(data.transmittance, best_fit),
        condition_number=stats.condition_number, engine=engine,
        integrator_messages=integrator_messages,
        derived=derived_quantities(fitted.valuesdict(), names, stats.covar, experiment.wavelength,
                                   experiment.populations, experiment.thickness,
                                   experiment.linear_index),
        data=data, experiment=experiment,
        goodness_of_fit=goodness, residual_runs=runs, starts_at_best=at_best,
        scaled_stderr=scaled)
    if blocks == 2:
        closed = np.array(curves[shape[0]:])
        result.closed_best_fit = closed
        result.closed_residual = residual[shape[0]:]
        measured = values_fitted[shape[0]:]
        result.rms_closed_per_energy = _rms(measured, closed)
        result.closed_aperture = closed_summary(data, experiment, fitted)
    return result


def _full_residual(residual: NDArray[np.float64], present: NDArray[np.bool_]
                   ) -> NDArray[np.float64]:
    """The residuals in the data's layout, NaN where absent, whether the
    engine handed back every value or the present ones only."""
    if residual.size == present.size:
        full = residual.copy()
        full[~present] = np.nan
        return full
    full = np.full(present.size, np.nan)
    full[present] = residual
    return full


def _rms(measured: NDArray[np.float64], model: NDArray[np.float64]) -> NDArray[np.float64]:
    difference = measured - model
    out = np.full(measured.shape[0], np.nan)
    rows = ~np.isnan(difference).all(axis=1)
    out[rows] = np.sqrt(np.mean(difference[rows] ** 2, axis=1))
    return out


def _runs(residual: NDArray[np.float64], data: ZScan, curves: NDArray[np.float64],
          blocks: int) -> list[CurveRuns]:
    """The runs test of every measured curve, the open ones first."""
    n = data.n_energies
    if blocks == 1 and data.open_rows.all():
        return curve_runs(residual, data.positions_mm, curves, data.pulse_energies)
    runs = []
    for block, (aperture, rows) in enumerate((("open", data.open_rows),
                                              ("closed", data.closed_rows))[:blocks]):
        for row in np.flatnonzero(rows):
            k = block * n + int(row)
            runs.append(dataclasses.replace(
                runs_test(residual[k], data.positions_mm[row], curves[k], int(row),
                          float(data.pulse_energies[row])), aperture=aperture))
    return runs


def closed_summary(data: ZScan, experiment: Experiment,
                   params: Parameters) -> ClosedApertureSummary | None:
    """The peak–valley summary of the closed-aperture model at ``params``,
    divided by the open one, on a grid finer than the data's (None when it
    cannot be evaluated)."""
    from .simulation import peak_irradiance, simulate

    values = params.valuesdict()
    z_r = rayleigh_range(experiment.wavelength, values["w0"] or experiment.w0,
                         values["M2"] or experiment.M2)
    fine = refined_positions(data.positions_mm, z_r * 1e3)
    try:
        # Absorption deepens the closed curve as much as the open one; the
        # peak and valley of refraction are those of closed / open (what
        # the model gives directly when it is divided).
        both = simulate(experiment, params, fine, data.pulse_energies, aperture="both")
        curves = both[1] if getattr(experiment, "closed_divided", False) else both[1] / both[0]
        z0 = params["z0"].value
        focus = peak_irradiance(experiment, params, z0 + np.linspace(-1e-3, 1e-3, 5),
                                data.pulse_energies)[:, 2]
    except (ValueError, RuntimeError):
        return None
    return summarise(data, experiment, values, np.asarray(curves), fine, focus)


def _starts_at_best(starts: list[StartOutcome], best: float) -> int:
    # A duplicate stopped on its way to where the start it joined ended.
    reached = {s.index for s in starts if s.duplicate_of is None and math.isfinite(s.chisqr)
               and s.chisqr - best <= SAME_OPTIMUM * abs(best)}
    return len(reached) + sum(1 for s in starts if s.duplicate_of in reached)


def _fit_warnings(goodness: GoodnessOfFit | None, stats: Any, runs: list[CurveRuns],
                  at_best: int, starts: list[StartOutcome]) -> list[str]:
    """Warnings about how well the model describes the data and how sure the
    optimum is, before those about single parameters."""
    warnings = []
    if goodness is not None and (text := goodness_warning(goodness)):
        warnings.append(text)
    warnings += fit_quality_warnings(stats)
    for curve in runs:
        label = format_energy(curve.pulse_energy)
        if curve.aperture == "closed":
            label += " closed-aperture"
        if text := runs_warning(curve, label):
            warnings.append(text)
    finished = sum(1 for s in starts if math.isfinite(s.chisqr))
    if finished > 1 and at_best == 1:
        warnings.append(f"only 1 of {finished} starts reached the lowest chi-square (within "
                        f"{SAME_OPTIMUM:g} relative): the optimum may not be the global one; "
                        "try more starts (n_starts) or wider bounds")
    return warnings


def _stop_message(raw: dict[str, Any], chosen: StartOutcome, aborted: bool) -> str:
    if not aborted:
        return chosen.message
    reason = raw.get("abort_reason") or "stopped on request"
    return f"{reason}; best result so far ({chosen.message})"


def _start_outcome(index: int, raw: dict[str, Any], names: list[str]) -> StartOutcome:
    return StartOutcome(
        index=index, start=dict(zip(names, map(float, raw["start"]))),
        values=dict(zip(names, map(float, raw["values"]))), chisqr=float(raw["chisqr"]),
        success=bool(raw["converged"]), status=str(raw["status"]), message=str(raw["message"]),
        iterations=int(raw["iterations"]), nfev=int(raw["nfev"]), njev=int(raw["njev"]),
        duplicate_of=None if raw.get("duplicate_of") is None else int(raw["duplicate_of"]))


def _plain(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return value.tolist()
    return float(value)


def _json_safe(value: Any) -> Any:
    """NaN and infinities have no JSON form: they become None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    return value
