"""The time x depth x radius grid of an evaluation: chosen automatically for
axes given as ``"auto"``, and its error estimated for every gaussian-beam grid.

A grid's error is the change of its curves on a grid four times finer along
every axis. Along one axis it is estimated from the change when that axis
alone is refined once (halving its step h): with the error falling as h^p,
the change on refining it four times is |m(G) - m(G')| (1 - 4^-p) / (1 - 2^-p). The
gaussian beam's time slicing is second order (p = 2), its depth slicing first
order (p = 1), and its radial Gauss-Laguerre quadrature converges faster than
any power, for which p = 4 is a cautious working figure. On coarse grids an
axis' error often falls faster than that, so while choosing a grid the order
is observed from the changes measured at two sizes of the same axis, and used
between the assumed order and twice it. A grid's estimate is, at the worst
point, the sum of its axes' estimates with their signs. From the estimates
measured so far the next grid is predicted (the grid of fewest cells at which
each axis' error, measured at that size or carried by the law h^p from the
nearest size measured, puts the error below the tolerance point by point),
then measured the same way, so a chosen grid always carries an estimate of
its own, not a prediction.

The on-axis beam's grid is part of its definition (it reproduces
``tarnok_wrapper.fit_zscan``, whose curves depend on the slicing): "auto"
there means fit_zscan's usual 21 x 11, and no error is estimated.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np
from numpy.typing import NDArray

from . import _core, resources
from .experiment import AUTO, MAX_RADIAL_NODES, MAX_T_SLICES, MAX_Z_SLICES, Experiment

if TYPE_CHECKING:
    from .parameters import Parameters

DEFAULT_TOLERANCE = 1e-4  # of the normalised transmittance, when the data carry no σ
TOLERANCE_PER_SIGMA = 0.1  # the default tolerance is this times the smallest σ
# A grid given by number is worth a warning when its estimated error exceeds
# this many tolerances (0.3 σ with σ given).
WARNING_FACTOR = 3.0
ON_AXIS_GRID = (21, 11)  # fit_zscan's customary slicing
UNUSED_RADIAL_NODES = 12  # the on-axis beam has no radial quadrature
# Few radial nodes to start from: the quadrature's error changes its sign
# as nodes are added, so the law h^p predicts more nodes than measured
# reliably (the error only shrinks) but not fewer; at 4 nodes it often
# offsets part of the depth slicing's.
START_GRID = (11, 5, 4)
# The coarsest grid "auto" considers: below it the pulse's peak or the beam's
# profile are sampled too sparsely for the error law to hold.
FLOOR = (7, 2, 3)
# Largest time x depth x radial cells per curve point that "auto" chooses: an
# evaluation of the default example's 123 points then costs about 2e7 cells.
# Finer grids must be asked for by number.
MAX_AUTO_CELLS = 160_000
# Predictions aim below the tolerance so that the measured grid usually meets
# it at the first try.
AIM = 0.92
# One axis' own error, carried by its law with the order it shows, is
# predicted within a few per cent; the signed sum, which relies on all
# three, less closely.
AXIS_AIM = 0.97
MAX_ROUNDS = 6
FILLED = 12  # most sizes added between two of an axis' ladder (see _filled)
NORMALISING = 5  # points at each end of a curve that normalise it
PROBE_INTERIOR = 21
WORTH_SHRINKING = 0.9  # a met grid is only traded for one with fewer cells than this share
# What a grid's error is measured against: the grid REFINED times finer along
# every axis (four times: close to the limit, and still a grid one can compute).
REFINED = 4.0
# An axis' order is observed from the probes at two of its sizes at least
# this far apart (in steps): closer, the changes' ratio says little.
MIN_SPREAD = 1.25
# A grid's estimate uses only an order seen between its own size and one at
# most this many times as fine or as coarse: between distant sizes the
# coarser one's faster, pre-asymptotic fall shows, and the estimate would
# be low.
LOCAL_SPREAD = 2.0
# An observed order is used up to this many times the assumed order: faster
# falls seen on coarse grids do not last as the grid is refined.
ORDER_LIMIT = 2.0
# Changes of the normalised curves at or below this are the engine's rounding
# (over some 1e5 cells), not the slicing's error: they tell no order.
ROUNDING = 1e-9


@dataclass(frozen=True)
class _Axis:
    name: str
    label: str
    order: float
    offset: int  # the step is proportional to 1/(n - offset)
    floor: int
    ceiling: int

    def steps(self, n: int) -> int:
        return n - self.offset

    def scaled(self, n: int, factor: float) -> int:
        wanted = self.offset + math.ceil(self.steps(n) * factor - 1e-9)
        return int(min(max(wanted, self.floor), self.ceiling))

    def probe(self, n: int) -> int:
        """The grid size compared with ``n``: twice as fine, or, at the
        ceiling, twice as coarse."""
        finer = self.offset + 2 * self.steps(n)
        if finer <= self.ceiling:
            return finer
        return self.offset + max(1, self.steps(n) // 2)


# Along the gaussian beam's axes: t_slices points span the time window, the
# sample is cut into z_slices slices, the radius into radial_nodes nodes.
AXES = (
    _Axis("t_slices", "time", 2.0, 1, FLOOR[0], MAX_T_SLICES),
    _Axis("z_slices", "depth", 1.0, 0, FLOOR[1], MAX_Z_SLICES),
    _Axis("radial_nodes", "radial", 4.0, 0, FLOOR[2], MAX_RADIAL_NODES),
)
Grid = tuple[int, int, int]


@dataclass(frozen=True)
class Discretisation:
    """The grid an evaluation or a fit used, and how far its curves are
    estimated to lie from their limit on ever finer grids."""

    t_slices: int
    z_slices: int
    radial_nodes: int | None
    """None for the on-axis beam, which has no radial quadrature."""
    auto: tuple[str, ...]
    """The fields that were given as "auto" (and chosen here)."""
    estimated_error: float | None
    """Largest estimated error of the normalised transmittance over the
    points; None when not estimated (the on-axis beam)."""
    axis_errors: dict[str, float] = field(default_factory=dict)
    """The estimate along each axis (its largest over the points)."""
    tolerance: float | None = None
    met: bool = True
    """Whether the estimate is within the tolerance ("auto") or within
    WARNING_FACTOR tolerances (numbers given)."""
    evaluations: int = 0
    """Value-only evaluations spent on the choice and the estimates."""
    refined_from: tuple[int, ...] | None = None
    """The grid the fit ran on before the solution asked for a finer one."""
    depth_extrapolated: bool = False
    """Whether the curves are extrapolated from z_slices and 2 z_slices."""
    orders: tuple[float, ...] | None = field(default=None, compare=False)
    """The order of convergence each axis' estimate used (time, depth,
    radial); None for the assumed ones. Not saved: only an estimate of the
    same grid again needs it."""

    @property
    def grid(self) -> Grid:
        return (self.t_slices, self.z_slices, self.radial_nodes or UNUSED_RADIAL_NODES)

    def describe(self) -> str:
        """One line, e.g. ``41 x 11 time x depth slices, 12 radial nodes (auto;
        est. error 3e-05)``."""
        text = f"{self.t_slices} x {self.z_slices} time x depth slices"
        if self.depth_extrapolated:
            text += f" (extrapolated with {2 * self.z_slices})"
        if self.radial_nodes is not None:
            text += f", {self.radial_nodes} radial nodes"
        how = _how(self.auto, self.radial_nodes is not None)
        if self.refined_from is not None:
            how += ", refined at the solution from " + " x ".join(map(str, self.refined_from))
        if self.estimated_error is None:
            where = "on-axis grid, " if self.radial_nodes is None else ""
            return f"{text} ({how}; {where}error not estimated)"
        return f"{text} ({how}; est. error {self.estimated_error:.2g})"

    def to_dict(self) -> dict[str, Any]:
        return {"t_slices": self.t_slices, "z_slices": self.z_slices,
                "radial_nodes": self.radial_nodes, "auto": list(self.auto),
                "estimated_error": self.estimated_error, "axis_errors": dict(self.axis_errors),
                "tolerance": self.tolerance, "met": self.met, "evaluations": self.evaluations,
                "refined_from": None if self.refined_from is None else list(self.refined_from),
                "depth_extrapolated": self.depth_extrapolated,
                "description": self.describe()}


def _how(auto: tuple[str, ...], radial: bool) -> str:
    relevant = [a for a in auto if radial or a != "radial_nodes"]
    if not relevant:
        return "given"
    if len(relevant) == (3 if radial else 2):
        return "auto"
    return "auto: " + ", ".join(relevant)


def default_tolerance(sigma: NDArray[np.float64] | None) -> float:
    """TOLERANCE_PER_SIGMA times the smallest σ of the data, or
    DEFAULT_TOLERANCE without σ."""
    if sigma is None:
        return DEFAULT_TOLERANCE
    return TOLERANCE_PER_SIGMA * float(np.min(sigma))


def check_tolerance(tolerance: Any) -> float:
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float, np.floating)):
        raise TypeError(f"tolerance must be a number, got {type(tolerance).__name__}")
    value = float(tolerance)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"tolerance must be a finite number above zero, got {value!r}")
    return value


@dataclass(frozen=True)
class Limits:
    """What the chosen grid must fit in besides the fields' maxima: the
    derivative records of a fit (``n_varied`` parameters on ``threads``
    threads at once) in the memory available."""

    n_varied: int = 0
    threads: int = 1
    max_cells: int = MAX_AUTO_CELLS
    available: int | None = field(default=None, compare=False)

    def __post_init__(self) -> None:
        if self.n_varied >= 2 and self.available is None:
            object.__setattr__(self, "available", resources.available_memory())

    def allow(self, grid: Grid) -> bool:
        if grid[0] * grid[1] * grid[2] > self.max_cells:
            return False
        if self.n_varied < 2 or self.available is None:
            return True
        needed = int(_core.derivative_record_bytes(grid[0], grid[1])) * max(1, self.threads)
        return needed <= self.available


class _Curves:
    """Value-only evaluations of one experiment at fixed parameters on any grid."""

    def __init__(self, experiment: Experiment, values: Sequence[float],
                 positions: NDArray[np.float64], energies: NDArray[np.float64]) -> None:
        self.experiment = experiment
        self.values = list(values)
        self.positions = positions
        self.energies = energies
        self.count = 0
        self._cache: dict[Grid, NDArray[np.float64]] = {}

    def __call__(self, grid: Grid) -> NDArray[np.float64]:
        if grid not in self._cache:
            from . import _interruptible

            core = self.experiment.with_grid(*grid)._core
            model = _core.exact_engine(core, self.positions, self.energies)
            curves, _ = _interruptible.run(lambda: model.evaluate(self.values, []))
            self.count += 1
            self._cache[grid] = np.asarray(curves)
        return self._cache[grid]


def probe_points(positions: NDArray[np.float64], energies: NDArray[np.float64]
                 ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The positions the estimates evaluate: every one of a short scan; of a
    long one the NORMALISING points at each end, which set every curve's scale,
    and PROBE_INTERIOR spread evenly between them, enough to find the largest
    error of a curve that varies smoothly along the scan."""
    n = positions.shape[1]
    if n <= 2 * NORMALISING + PROBE_INTERIOR:
        return positions, energies
    middle = np.unique(np.round(np.linspace(NORMALISING, n - 1 - NORMALISING,
                                            PROBE_INTERIOR)).astype(int))
    keep = np.concatenate([np.arange(NORMALISING), middle, np.arange(n - NORMALISING, n)])
    return np.ascontiguousarray(positions[:, keep]), energies


def _with(grid: Grid, index: int, n: int) -> Grid:
    changed = list(grid)
    changed[index] = n
    return (changed[0], changed[1], changed[2])


# One axis' probe at one grid: the change m(G) - m(G') of the curves, and the
# probe's step over the grid's, h'/h (1/2, or 2 at the axis' ceiling).
_Probe = tuple[NDArray[np.float64], float]


def _probes(curves: _Curves, grid: Grid, axes: Sequence[int]) -> dict[int, _Probe]:
    base = curves(grid)
    probes = {}
    for k in axes:
        axis = AXES[k]
        other = axis.probe(grid[k])
        probes[k] = (base - curves(_with(grid, k, other)), axis.steps(grid[k]) / axis.steps(other))
    return probes


def _refined_error(probe: _Probe, order: float) -> NDArray[np.float64]:
    """The change on a grid REFINED times finer along the axis, by the law
    h^order, from the change ``probe`` measured."""
    change, ratio = probe
    error = change * ((1.0 - REFINED ** -order) / (1.0 - ratio ** order))
    if not np.all(np.isfinite(error)):
        return np.full_like(change, math.inf)
    return error


def _observed_order(k: int, n: int, probes: dict[int, _Probe], widest: float = math.inf
                    ) -> float:
    """The order axis ``k`` shows at size ``n``, from its probe there and the
    probe at the nearest other size measured (``probes`` by size; the others
    of a grid assumed not to matter, as the estimate assumes) at most
    ``widest`` times as many or as few steps: within [assumed, ORDER_LIMIT x
    assumed], the assumed order when there is no such size or either change
    is at rounding level."""
    axis = AXES[k]
    change, ratio = probes[n]

    def spread(m: int) -> float:
        return max(axis.steps(m), axis.steps(n)) / min(axis.steps(m), axis.steps(n))

    others = [m for m in probes if probes[m][1] == ratio and MIN_SPREAD <= spread(m) <= widest]
    if not others:
        return axis.order
    m = min(others, key=lambda m: (abs(math.log(axis.steps(m) / axis.steps(n))), m))
    here, there = change, probes[m][0]
    if not (np.all(np.isfinite(here)) and np.all(np.isfinite(there))) or min(
            float(np.abs(here).max()), float(np.abs(there).max())) <= ROUNDING:
        return axis.order
    # The changes scale as h^p: |D(n)| / |D(m)| = (steps(m) / steps(n))^p.
    order = math.log(float(np.linalg.norm(here)) / float(np.linalg.norm(there))) / math.log(
        axis.steps(m) / axis.steps(n))
    return min(max(order, axis.order), ORDER_LIMIT * axis.order)


def _total(errors: dict[int, NDArray[np.float64]]) -> float:
    """The largest estimated error over the points.

    The estimates are added with their signs: the axes' errors can have
    opposite signs at a point (the depth slicing's and the time slicing's
    at the focus of a saturable absorber), and a finer grid shows that
    cancellation as much as the limit does. But no axis alone may exceed
    the tolerance either: a grid whose errors cancel beyond that relies on
    their laws holding more exactly than they do on coarse grids."""
    if not errors:
        return 0.0
    total = sum(errors.values())
    return max(float(np.abs(total).max()), *_largest(errors).values())


def _estimate(curves: _Curves, grid: Grid, axes: Sequence[int],
              orders: Sequence[float] | None = None
              ) -> tuple[float, dict[int, NDArray[np.float64]]]:
    """(the largest estimated error over the points, each axis' estimate at
    every point, signed), each axis extrapolated with ``orders`` (by default
    the assumed ones)."""
    probes = _probes(curves, grid, axes)
    errors = {k: _refined_error(probes[k], AXES[k].order if orders is None else orders[k])
              for k in axes}
    return _total(errors), errors


def _largest(errors: dict[int, NDArray[np.float64]]) -> dict[int, float]:
    return {k: float(np.abs(e).max()) for k, e in errors.items()}


def _ladder(k: int, n: int, chosen: bool, met: bool) -> NDArray[np.int64]:
    """Sizes an axis may take next: steps about 9 % apart from a quarter to
    64 times its steps (never fewer when the grid fails)."""
    if not chosen:
        return np.array([n])
    axis = AXES[k]
    sizes = {axis.scaled(n, 2.0 ** (i / 8)) for i in range(-16 if met else 0, 49)}
    return np.array(sorted(sizes | {n}))


def _along(k: int, sizes: NDArray[np.int64], probes: dict[int, _Probe], points: int
           ) -> NDArray[np.float64]:
    """Axis ``k``'s predicted error at every point for each of ``sizes``
    (rows): the estimate measured at a size, else the law h^p, with the order
    observed there, carried from the nearest size measured.

    Measured errors are used as they are because the law does not hold
    between distant sizes of every axis: the radial quadrature's error
    changes its sign as nodes are added."""
    if not probes:
        return np.zeros((sizes.size, points))
    axis = AXES[k]
    orders = {m: _observed_order(k, m, probes) for m in probes}
    errors = {m: _refined_error(probes[m], orders[m]).ravel() for m in probes}
    rows = np.empty((sizes.size, points))
    for i, n in enumerate(sizes):
        near = min(probes, key=lambda m: (abs(math.log(axis.steps(m) / axis.steps(int(n)))), m))
        rows[i] = errors[near] * (axis.steps(near) / axis.steps(int(n))) ** orders[near]
    return rows


def _filled(k: int, sizes: NDArray[np.int64], rows: NDArray[np.float64],
            probes: dict[int, _Probe], aim: float
            ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``sizes`` with sizes added (every one, or FILLED spread evenly)
    between the last one at which axis ``k`` alone is predicted above
    ``aim`` and the first below it, and their rows: where an axis' own error
    bounds the grid, the ladder's 9 % steps would cost up to 9 % of the
    cells."""
    below = np.flatnonzero(np.abs(rows).max(axis=1) <= aim)
    if below.size == 0 or below[0] == 0:
        return sizes, rows
    low, high = int(sizes[below[0] - 1]), int(sizes[below[0]])
    extra = np.unique(np.round(np.linspace(low + 1, high - 1, min(FILLED, high - low - 1)))
                      ).astype(sizes.dtype)
    if extra.size == 0:
        return sizes, rows
    order = np.argsort(np.concatenate([sizes, extra]), kind="stable")
    return (np.concatenate([sizes, extra])[order],
            np.concatenate([rows, _along(k, extra, probes, rows.shape[1])])[order])


def _predict(grid: Grid, measured: dict[int, dict[int, _Probe]], chosen: Sequence[int],
             tolerance: float, met: bool, limits: Limits) -> Grid:
    """The grid with fewest cells, among the allowed ones near ``grid``, at
    which each axis' error (``measured``: its probes by size, see _along)
    predicts a signed sum below AIM x tolerance at every point and no axis
    alone above AXIS_AIM x tolerance; the one predicted most accurate when
    none is."""
    points = next(probe[0].size for sizes in measured.values() for probe in sizes.values())
    ladders = [_ladder(k, grid[k], k in chosen, met) for k in range(3)]
    along = [_along(k, ladders[k], measured.get(k, {}), points) for k in range(3)]
    for k in chosen:
        ladders[k], along[k] = _filled(k, ladders[k], along[k], measured.get(k, {}),
                                       AXIS_AIM * tolerance)
    largest = [np.abs(a).max(axis=1) for a in along]
    # Predicted error at every (t, z) pair for one radial size at a time.
    best: tuple[float, float, Grid] | None = None
    fallback: list[tuple[float, float, Grid]] = []
    for j, r in enumerate(ladders[2]):
        radial = along[2][j]
        for i, t in enumerate(ladders[0]):
            partial = along[0][i] + radial
            predicted = np.abs(partial[None, :] + along[1]).max(axis=1) / AIM
            predicted = np.maximum(predicted, np.maximum(
                largest[1], max(largest[0][i], largest[2][j])) / AXIS_AIM)
            for m, z in enumerate(ladders[1]):
                candidate = (int(t), int(z), int(r))
                cells = float(t) * float(z) * float(r)
                if best is not None and cells > best[0]:
                    break  # larger z only adds cells
                if not limits.allow(candidate):
                    break
                if predicted[m] <= tolerance:
                    key = (cells, float(predicted[m]), candidate)
                    if best is None or key < best:
                        best = key
                    break
                fallback.append((float(predicted[m]), cells, candidate))
    if best is not None:
        return best[2]
    if not fallback:
        return grid
    # Nothing allowed is predicted to meet it: the fewest cells among those
    # predicted nearly as accurate as the most accurate.
    lowest = min(f[0] for f in fallback)
    return min((f[1], f[0], f[2]) for f in fallback if f[0] <= 1.05 * lowest)[2]


def _cells(grid: Grid) -> int:
    return grid[0] * grid[1] * grid[2]


def _within(old: Grid, new: Grid, limits: Limits, chosen: Sequence[int]) -> Grid:
    """``new`` with its chosen axes cut back, the grown ones first, until the
    limits allow it (or they are at their floor: numbers given rule)."""
    grid = list(new)
    while not limits.allow((grid[0], grid[1], grid[2])):
        grown = [k for k in chosen if grid[k] > max(old[k], AXES[k].floor)]
        if not grown:
            grown = [k for k in chosen if grid[k] > AXES[k].floor]
            if not grown:
                break
        for k in grown:
            grid[k] = max(min(AXES[k].scaled(grid[k], 0.9), grid[k] - 1), AXES[k].floor)
    return (grid[0], grid[1], grid[2])


def _fixed_axes(experiment: Experiment) -> tuple[list[int], Grid]:
    """The indices of the axes to choose and the grid to start from."""
    start = []
    auto = []
    for k, axis in enumerate(AXES):
        value = getattr(experiment, axis.name)
        if value == AUTO:
            auto.append(k)
            start.append(START_GRID[k])
        else:
            start.append(int(value))
    return auto, (start[0], start[1], start[2])


def choose(experiment: Experiment, values: Sequence[float], positions: NDArray[np.float64],
           energies: NDArray[np.float64], tolerance: float, limits: Limits = Limits(),
           start: Grid | None = None) -> tuple[Experiment, Discretisation]:
    """The experiment on its chosen grid and the record of the choice.

    Axes given by number keep their number; the others start from ``start``
    (or START_GRID) and are refined, or coarsened, until the estimate meets
    ``tolerance`` at fewest cells. When the limits stop that, the finest grid
    allowed is used and the record says the tolerance is not met.
    """
    auto = experiment.auto_axes
    if experiment.beam == "on-axis":
        t = ON_AXIS_GRID[0] if experiment.t_slices == AUTO else int(experiment.t_slices)
        z = ON_AXIS_GRID[1] if experiment.z_slices == AUTO else int(experiment.z_slices)
        r = UNUSED_RADIAL_NODES if experiment.radial_nodes == AUTO \
            else int(experiment.radial_nodes)
        return experiment.with_grid(t, z, r), Discretisation(t, z, None, auto, None,
                                                             tolerance=tolerance)
    chosen, fixed_grid = _fixed_axes(experiment)
    grid = fixed_grid if start is None else tuple(
        start[k] if k in chosen else fixed_grid[k] for k in range(3))
    grid = _within(grid, grid, limits, chosen)  # type: ignore[arg-type]
    if not limits.allow(grid):
        # The axes given leave no room (the memory of a fit's derivatives):
        # the caller's own check says so, without evaluations spent first.
        return experiment.with_grid(*grid), Discretisation(
            grid[0], grid[1], grid[2], auto, None, tolerance=tolerance, met=False,
            depth_extrapolated=bool(experiment.depth_extrapolation))
    # Axes given by number are the caller's to judge (estimate() does, for a
    # fit); the ones chosen here must meet the tolerance on their own.
    probe_axes = chosen
    curves = _Curves(experiment, values, *probe_points(positions, energies))
    tried: dict[Grid, dict[int, _Probe]] = {}
    # Each axis' probes by size, the latest grid's where several share one.
    measured: dict[int, dict[int, _Probe]] = {k: {} for k in probe_axes}
    for _ in range(MAX_ROUNDS):
        tried[grid] = _probes(curves, grid, probe_axes)
        for k, probe in tried[grid].items():
            measured[k][grid[k]] = probe
        total, _, _ = _judged(grid, tried[grid], measured)
        met = total <= tolerance
        if not chosen or total == 0.0 or not math.isfinite(total):
            break
        following = _predict(grid, measured, chosen, tolerance, met, limits)
        if following in tried or following == grid:
            break
        if met and _cells(following) >= WORTH_SHRINKING * _cells(grid):
            break
        grid = following
    # Every grid judged again with the orders all the probes show.
    judged = {g: _judged(g, probes, measured) for g, probes in tried.items()}
    passed = [g for g, (total, _, _) in judged.items() if total <= tolerance]
    if passed:
        grid = min(passed, key=lambda g: (g[0] * g[1] * g[2], g))
    else:
        # Nothing met it: the most accurate grid measured.
        grid = min(judged, key=lambda g: judged[g][0])
    total, errors, orders = judged[grid]
    return experiment.with_grid(*grid), Discretisation(
        grid[0], grid[1], grid[2], auto, total,
        {AXES[k].label: v for k, v in _largest(errors).items()}, tolerance,
        total <= tolerance, curves.count, depth_extrapolated=bool(experiment.depth_extrapolation),
        orders=orders)


def _judged(grid: Grid, probes: dict[int, _Probe], measured: dict[int, dict[int, _Probe]]
            ) -> tuple[float, dict[int, NDArray[np.float64]], tuple[float, float, float]]:
    """(estimate, each axis' errors, the orders used) of ``grid`` from its own
    probes, each axis with the order it shows at the grid's size."""
    orders = tuple(_observed_order(k, grid[k], {**measured[k], grid[k]: probes[k]},
                                   LOCAL_SPREAD) if k in probes else AXES[k].order
                   for k in range(3))
    errors = {k: _refined_error(probe, orders[k]) for k, probe in probes.items()}
    return _total(errors), errors, (orders[0], orders[1], orders[2])


def estimate(experiment: Experiment, values: Sequence[float], positions: NDArray[np.float64],
             energies: NDArray[np.float64], tolerance: float,
             auto: tuple[str, ...] = (), orders: Sequence[float] | None = None
             ) -> Discretisation:
    """The record of a grid given by number (or already chosen): its error
    estimate along every axis, judged against the tolerance when every axis
    was chosen (``auto``), else against WARNING_FACTOR x tolerance. A grid
    chosen is estimated with the orders its choice observed (``orders``,
    Discretisation.orders), so that the same curves get the same estimate;
    others with the assumed orders."""
    grid = (int(experiment.t_slices), int(experiment.z_slices), int(experiment.radial_nodes))
    if experiment.beam == "on-axis":
        return Discretisation(grid[0], grid[1], None, auto, None, tolerance=tolerance)
    curves = _Curves(experiment, values, *probe_points(positions, energies))
    total, errors = _estimate(curves, grid, range(3), orders)
    allowed = tolerance if len(auto) == len(AXES) else WARNING_FACTOR * tolerance
    return Discretisation(grid[0], grid[1], grid[2], auto, total,
                          {AXES[k].label: v for k, v in _largest(errors).items()}, tolerance,
                          total <= allowed, curves.count,
                          depth_extrapolated=bool(experiment.depth_extrapolation),
                          orders=None if orders is None else tuple(orders))


def for_evaluation(experiment: Experiment, parameters: "Parameters",
                   positions: NDArray[np.float64], energies: NDArray[np.float64],
                   tolerance: float | None, limits: Limits = Limits()) -> Experiment:
    """``experiment`` on a grid an evaluation can run on: itself when every
    axis is given, else the grid chosen at ``parameters`` for ``tolerance``
    (DEFAULT_TOLERANCE when None)."""
    if not experiment.auto_axes:
        return experiment
    chosen, _ = choose(experiment, parameters.vector(), positions, energies,
                       DEFAULT_TOLERANCE if tolerance is None else check_tolerance(tolerance),
                       limits)
    return chosen


def shortfall_warning(record: Discretisation) -> str | None:
    """The warning a grid deserves, if any."""
    if record.met or record.estimated_error is None or record.tolerance is None:
        return None
    grid = record.describe().split(" (")[0]
    if len(record.auto) == len(AXES):
        return (f"the automatic grid could not reach the tolerance {record.tolerance:.2g} "
                f"within its limits (at most {MAX_AUTO_CELLS} time x depth x radial cells "
                f"per point): the curves on {grid} change by an estimated "
                f"{record.estimated_error:.2g} on a grid four times finer; give t_slices, "
                "z_slices and radial_nodes by number to go finer")
    worst = max(record.axis_errors, key=lambda k: record.axis_errors[k])
    numbers = [axis.name for axis in AXES if axis.name not in record.auto]
    given = "the grid given" if not record.auto else f"the grid with {', '.join(numbers)} given"
    return (f"{given} ({grid}) changes by an estimated {record.estimated_error:.2g} on a grid "
            f"four times finer, more than {WARNING_FACTOR:g} x the tolerance "
            f"{record.tolerance:.2g} (0.3 sigma with sigma given); most of it along the {worst} "
            "axis: use more there, or 'auto'")
