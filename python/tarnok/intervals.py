"""Profile-likelihood confidence intervals: for each varied parameter, the
values at which χ², minimised over the other parameters, has risen by s² from
its best value (s = 1, 2, ...). Unlike ± standard errors from the curvature at
the optimum they follow the χ² surface, so they are asymmetric where it is
(parameters fitted in logarithms, or near the limit of what the data tell).

Each point of a profile is a fit by the same solver with that parameter held
fixed, started from the neighbouring point; the parameters and both
directions run side by side on a pool of threads (the solver releases the
interpreter while it works)."""

from __future__ import annotations

import math
import os
import threading
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from .parameters import UNITS

if TYPE_CHECKING:
    from .fit import FitResult

# The search widens its step at most this many times before it gives up: the
# profile is then too flat to end within a factor 4**12 of the first step.
MAX_WIDENINGS = 12
# How far a profile of a parameter fitted in its logarithm is followed: four
# decades either way, and its first step is at most a factor e^0.5. Farther out
# the data do not bound it in any useful sense, and the model may no longer be
# evaluable there.
LOG_REACH = math.log(1e4)
LOG_FIRST_STEP = 0.5
MAX_REFINEMENTS = 12
# A limit is found once sqrt(Δχ²) is within this fraction of its target.
SQRT_TOLERANCE = 2e-3
# First step, in the solver's coordinates, for a parameter without a
# standard error.
FALLBACK_STEP = 0.1
MAX_SIGMAS = 5.0
# A profile point below the best χ² by more than this fraction of the 1-sigma
# rise means the fit missed a lower optimum; less is the solver's tolerance.
LOWER_MARGIN = 0.01


@dataclass(frozen=True)
class IntervalLimit:
    """One end of one interval."""

    sigma: float
    side: int
    """−1 below the best value, +1 above it."""
    value: float
    """The limit (NaN when it was not found)."""
    at_bound: bool
    """The parameter's bound lies inside the interval: the limit is the bound."""
    found: bool

    @property
    def probability(self) -> float:
        """The coverage of a ±``sigma`` interval of a normal distribution."""
        return math.erf(self.sigma / math.sqrt(2.0))


@dataclass(frozen=True)
class ConfidenceIntervals:
    """Profile intervals of every varied parameter."""

    sigmas: tuple[float, ...]
    best: dict[str, float]
    limits: dict[str, tuple[IntervalLimit, ...]]
    scale: float
    """Δχ² of a 1-sigma limit: 1 with σ given, the reduced χ² without."""
    fits: int
    """Constrained fits it took."""
    warnings: list[str] = field(default_factory=list)

    def as_lmfit(self) -> dict[str, list[tuple[float, float]]]:
        """name → [(probability, value), ...] from the lowest limit to the
        highest, with (0.0, best) between, as lmfit's ``conf_interval``."""
        out = {}
        for name, limits in self.limits.items():
            below = sorted((l for l in limits if l.side < 0), key=lambda l: -l.sigma)
            above = sorted((l for l in limits if l.side > 0), key=lambda l: l.sigma)
            out[name] = ([(l.probability, l.value) for l in below] + [(0.0, self.best[name])]
                         + [(l.probability, l.value) for l in above])
        return out

    def limit(self, name: str, sigma: float, side: int) -> IntervalLimit:
        """The limit of ``name`` at ``sigma`` on ``side`` (−1 or +1)."""
        for entry in self.limits[name]:
            if entry.sigma == sigma and entry.side == side:
                return entry
        raise KeyError(f"no {sigma}-sigma limit of {name} on side {side}")

    def report(self) -> str:
        """The intervals in lmfit's ``ci_report`` manner: offsets from the best value."""
        order = [(s, -1) for s in sorted(self.sigmas, reverse=True)] + [(0.0, 0)] + \
            [(s, 1) for s in sorted(self.sigmas)]
        width = max(len(name) for name in self.limits) + 1
        rise = ", ".join(f"{s * s * self.scale:.4g}" for s in sorted(self.sigmas))
        lines = [f"[[Confidence Intervals]] (profile likelihood: chi-square rises by {rise}; "
                 "offsets from the best value)",
                 " " * (width + 4) + "".join(
                     f"{'_BEST_' if side == 0 else _percent(s):>13}" for s, side in order)]
        notes = set()
        for name in self.limits:
            cells = []
            for sigma, side in order:
                if side == 0:
                    cells.append(f"{self.best[name]:>13.6g}")
                    continue
                entry = self.limit(name, sigma, side)
                if not entry.found:
                    cells.append(f"{'n/a':>13}")
                    notes.add("n/a: chi-square did not rise that far within the search")
                elif entry.at_bound:
                    cells.append(f"{entry.value - self.best[name]:>+12.4g}*")
                    notes.add("*: a bound lies inside the interval; the limit is the bound")
                else:
                    cells.append(f"{entry.value - self.best[name]:>+12.4g} ")
            unit = f" {UNITS[name]}" if UNITS.get(name) else ""
            lines.append(f"    {(name + ':').ljust(width)}" + "".join(cells) + unit)
        lines += [f"    {note}" for note in sorted(notes)]
        return "\n".join(lines)

    def to_dict(self) -> dict[str, Any]:
        return {"sigmas": list(self.sigmas), "scale": self.scale, "fits": self.fits,
                "warnings": list(self.warnings), "best": dict(self.best),
                "limits": {name: [{"sigma": l.sigma, "side": l.side, "value": l.value,
                                   "at_bound": l.at_bound, "found": l.found,
                                   "probability": l.probability} for l in limits]
                           for name, limits in self.limits.items()}}


def _percent(sigma: float) -> str:
    return f"{100 * math.erf(sigma / math.sqrt(2.0)):.2f}%"


def check_sigmas(sigmas: Any) -> tuple[float, ...]:
    """Validated, sorted, distinct interval widths in standard deviations."""
    if isinstance(sigmas, (int, float)) and not isinstance(sigmas, bool):
        sigmas = (sigmas,)
    if isinstance(sigmas, (str, bytes)) or not isinstance(sigmas, (Sequence, np.ndarray)):
        raise TypeError(f"sigmas must be a sequence of numbers, got {sigmas!r}")
    values = []
    for s in sigmas:
        if isinstance(s, bool) or not isinstance(s, (int, float, np.integer, np.floating)):
            raise TypeError(f"sigmas must hold numbers, got {s!r}")
        if not 0.0 < float(s) <= MAX_SIGMAS:
            raise ValueError(f"sigmas must lie in (0, {MAX_SIGMAS:g}], got {s!r}")
        values.append(float(s))
    if not values:
        raise ValueError("sigmas must hold at least one value")
    return tuple(sorted(set(values)))


def conf_interval(result: "FitResult", sigmas: Sequence[float] = (1, 2),
                  threads: int | None = None) -> ConfidenceIntervals:
    """Profile-likelihood intervals of every varied parameter of a fit.

    Parameters
    ----------
    result : FitResult
        A fit that kept its data and experiment.
    sigmas : sequence of float
        Widths in standard deviations: the limits where χ² has risen by s²
        (by s² times the reduced χ² when the data carry no σ).
    threads : int or None
        Threads for the constrained fits (None: every core).

    Returns
    -------
    ConfidenceIntervals
    """
    if result.data is None or result.experiment is None:
        raise ValueError("the result keeps no data or experiment to profile")
    widths = check_sigmas(sigmas)
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int)):
        raise TypeError(f"threads must be an integer or None, got {type(threads).__name__}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    scale = 1.0 if result.weighted else result.redchi
    if not math.isfinite(scale) or scale <= 0.0:
        raise ValueError("the fit has no degrees of freedom to scale the intervals by")
    stop = threading.Event()
    tasks = [(_Profile(result, name, scale, stop), side) for name in result.var_names
             for side in (-1, 1)]
    workers = min(len(tasks), threads or os.cpu_count() or 1)
    pool = ThreadPoolExecutor(max_workers=workers)
    try:
        found = list(pool.map(lambda task: _search(task[0], task[1], widths, scale), tasks))
    except BaseException:
        # Ctrl-C reaches this thread only: the workers end at their next point.
        stop.set()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
    limits: dict[str, list[IntervalLimit]] = {name: [] for name in result.var_names}
    warnings: list[str] = []
    fits = 0
    for (profile, _), entries in zip(tasks, found):
        limits[profile.name].extend(entries)
        fits += profile.fits
        if profile.lower_chisqr is not None:
            value, chisqr = profile.lower_chisqr
            warnings.append(f"the profile of {profile.name} reached a lower chi-square "
                            f"({chisqr:.7g} at {profile.name} = {value:.6g}) than the fit: "
                            "the reported optimum is not the global one; refit from there")
        if profile.unevaluable is not None:
            warnings.append(f"the model could not be evaluated at {profile.name} = "
                            f"{profile.unevaluable:.6g} while profiling; the limits beyond "
                            "are not known")
    unevaluable = {profile.name for profile, _ in tasks if profile.unevaluable is not None}
    for name, entries in limits.items():
        for entry in entries:
            if not entry.found and name not in unevaluable:
                warnings.append(f"the {_percent(entry.sigma)} interval of {name} has no "
                                f"{'lower' if entry.side < 0 else 'upper'} limit: chi-square "
                                "rises too little within the search (four decades for a "
                                "parameter fitted in its logarithm); the data do not bound "
                                "it on that side")
            if entry.at_bound:
                warnings.append(f"the {_percent(entry.sigma)} interval of {name} reaches its "
                                f"{'lower' if entry.side < 0 else 'upper'} bound "
                                f"({entry.value:.6g}) before chi-square has risen enough")
    best = {name: result.params[name].value for name in result.var_names}
    return ConfidenceIntervals(sigmas=widths, best=best,
                               limits={n: tuple(e) for n, e in limits.items()}, scale=scale,
                               fits=fits, warnings=list(dict.fromkeys(warnings)))


class _Unevaluable(Exception):
    """The model gave no finite χ² at a point of the profile."""


class _Stopped(Exception):
    """The search was asked to stop (Ctrl-C on the calling thread)."""


@dataclass
class _Point:
    distance: float   # from the best value along the search, in the solver's coordinates
    rise: float       # χ² at the point less the best χ²
    others: dict[str, float]


class _Profile:
    """χ² of a fit with one parameter held at a given value."""

    def __init__(self, result: "FitResult", name: str, scale: float,
                 stop: threading.Event) -> None:
        from .fit import is_log_scale

        self.result = result
        self.name = name
        self.log_scale = is_log_scale(name)
        p = result.params[name]
        self.best_u = self._to_u(p.value)
        self.lower_u = self._to_u(p.min) if (not self.log_scale or p.min > 0.0) else -math.inf
        self.upper_u = self._to_u(p.max) if math.isfinite(p.max) else math.inf
        stderr = p.stderr
        self.first_step = FALLBACK_STEP if stderr is None or not math.isfinite(stderr) or \
            stderr == 0.0 else (stderr / abs(p.value) if self.log_scale else stderr)
        if self.log_scale:
            self.first_step = min(self.first_step, LOG_FIRST_STEP)
        self.reach = LOG_REACH if self.log_scale else math.inf
        self.others = {n: result.params[n].value for n in result.var_names if n != name}
        self.fits = 0
        self.lower_chisqr: tuple[float, float] | None = None
        self.unevaluable: float | None = None
        self.lower_than = result.chisqr - LOWER_MARGIN * scale
        self.stop = stop

    def _to_u(self, value: float) -> float:
        if not math.isfinite(value):
            return value
        return math.log(value) if self.log_scale else value

    def value_at(self, u: float) -> float:
        p = self.result.params[self.name]
        if u == self.lower_u:
            return p.min
        if u == self.upper_u:
            return p.max
        value = math.exp(u) if self.log_scale else u
        return min(max(value, p.min), p.max)

    def distance_to_bound(self, side: int) -> float:
        return (self.upper_u - self.best_u) if side > 0 else (self.best_u - self.lower_u)

    def rise_at(self, u: float, start: dict[str, float]) -> tuple[float, dict[str, float]]:
        """χ² less the best χ², with the others re-optimised from ``start``."""
        from .fit import _fit

        if self.stop.is_set():
            raise _Stopped
        result = self.result
        value = self.value_at(u)
        params = result.params.copy()
        params[self.name].set(value=value, vary=False)
        self.fits += 1
        if not start:
            chisqr = _chisqr_without_fit(result, params)
            others: dict[str, float] = {}
        else:
            for other, start_value in start.items():
                p = params[other]
                p.set(value=min(max(start_value, p.min), p.max), vary=True)
            try:
                constrained = _fit(result.data, result.experiment, params, 1, result.engine,
                                   1, None, 0, None, check_grid=False)
            except ValueError:
                self.unevaluable = value
                raise _Unevaluable from None
            chisqr = constrained.chisqr
            others = {n: constrained.params[n].value for n in start}
        if chisqr < self.lower_than and (
                self.lower_chisqr is None or chisqr < self.lower_chisqr[1]):
            self.lower_chisqr = (value, chisqr)
        return chisqr - result.chisqr, others


def _chisqr_without_fit(result: "FitResult", params: Any) -> float:
    from .closed_aperture import has_aperture, joint_chisqr
    from .simulation import simulate

    data = result.data
    # One thread, as the constrained fits beside it: the profiles already
    # keep every core busy.
    if has_aperture(result.experiment):
        model = simulate(result.experiment, params, data.positions_mm, data.pulse_energies,
                         result.engine, aperture="both", threads=1)
        return joint_chisqr(data, result.experiment, model)
    model = simulate(result.experiment, params, data.positions_mm, data.pulse_energies,
                     result.engine, threads=1)
    residual = data.transmittance - model
    if data.sigma is not None:
        residual = residual / data.sigma
    return float(np.sum(residual ** 2))


def _search(profile: _Profile, side: int, sigmas: tuple[float, ...],
            scale: float) -> list[IntervalLimit]:
    """Every limit on one side, the narrowest first, each search continuing
    from the points the previous one evaluated."""
    points = [_Point(0.0, 0.0, dict(profile.others))]
    room = min(profile.distance_to_bound(side), profile.reach)
    limits = []
    for sigma in sigmas:
        target = sigma * sigma * scale
        try:
            limits.append(_limit(profile, side, sigma, target, points, room))
        except _Unevaluable:
            # Farther out the model cannot be evaluated: these limits and the
            # wider ones stay unknown.
            limits += [IntervalLimit(sigma=s, side=side, value=math.nan, at_bound=False,
                                     found=False) for s in sigmas if s >= sigma]
            break
    return limits


def _evaluate(profile: _Profile, side: int, distance: float, points: list[_Point]) -> _Point:
    nearest = max((p for p in points if p.distance <= distance), key=lambda p: p.distance)
    rise, others = profile.rise_at(profile.best_u + side * distance, nearest.others)
    point = _Point(distance, rise, others)
    points.append(point)
    return point


def _limit(profile: _Profile, side: int, sigma: float, target: float, points: list[_Point],
           room: float) -> IntervalLimit:
    def result(value: float, at_bound: bool = False, found: bool = True) -> IntervalLimit:
        return IntervalLimit(sigma=sigma, side=side, value=value, at_bound=at_bound,
                             found=found)

    for _ in range(MAX_WIDENINGS):
        above = [p for p in points if p.rise >= target]
        if above:
            break
        last = max(points, key=lambda p: p.distance)
        if last.distance >= room:
            if room < profile.distance_to_bound(side):  # the search's reach, not a bound
                return result(math.nan, found=False)
            return result(profile.value_at(profile.best_u + side * room), at_bound=True)
        _evaluate(profile, side, _next_distance(last, target, sigma, profile.first_step, room),
                  points)
    else:
        if not [p for p in points if p.rise >= target]:
            return result(math.nan, found=False)
    return result(profile.value_at(profile.best_u + side * _refine(profile, side, target,
                                                                   points)))


def _next_distance(last: _Point, target: float, sigma: float, first_step: float,
                   room: float) -> float:
    if last.distance == 0.0 or last.rise <= 0.0:
        guess = sigma * first_step if last.distance == 0.0 else 4.0 * last.distance
    else:
        # Near the optimum Δχ² grows as the square of the distance.
        guess = 1.1 * last.distance * math.sqrt(target / last.rise)
        guess = min(max(guess, 1.2 * last.distance), 4.0 * last.distance)
    return min(guess, room)


def _bracket(points: list[_Point], target: float) -> tuple[_Point, _Point]:
    """The nearest point at or above ``target`` and the farthest below it on the
    way there (the profile need not rise monotonically)."""
    high = min((p for p in points if p.rise >= target), key=lambda p: p.distance)
    low = max((p for p in points if p.rise < target and p.distance < high.distance),
              key=lambda p: p.distance)
    return low, high


def _refine(profile: _Profile, side: int, target: float, points: list[_Point]) -> float:
    """The distance where Δχ² reaches ``target``, by interpolation of sqrt(Δχ²)
    (nearly linear in the distance) inside the bracket, falling back to
    bisection when the same end moves twice in a row."""
    goal = math.sqrt(target)
    last_side, repeats = 0, 0
    for _ in range(MAX_REFINEMENTS):
        low, high = _bracket(points, target)
        q_low, q_high = math.sqrt(max(low.rise, 0.0)), math.sqrt(high.rise)
        if abs(q_high - goal) <= SQRT_TOLERANCE * goal:
            return high.distance
        if low.distance > 0.0 and abs(q_low - goal) <= SQRT_TOLERANCE * goal:
            return low.distance
        span = high.distance - low.distance
        if span <= 1e-12 * max(1.0, abs(profile.best_u)):
            break
        if repeats >= 2:
            distance, repeats = low.distance + 0.5 * span, 0
        else:
            distance = low.distance + (goal - q_low) / (q_high - q_low) * span
            distance = min(max(distance, low.distance + 0.01 * span),
                           high.distance - 0.01 * span)
        point = _evaluate(profile, side, distance, points)
        moved = 1 if point.rise >= target else -1
        repeats = repeats + 1 if moved == last_side else 1
        last_side = moved
    low, high = _bracket(points, target)
    q_low, q_high = math.sqrt(max(low.rise, 0.0)), math.sqrt(high.rise)
    return low.distance + (goal - q_low) / (q_high - q_low) * (high.distance - low.distance)
