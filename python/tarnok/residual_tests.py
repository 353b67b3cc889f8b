"""Tests of a fit's residuals against what noise alone would give: whether χ²
is plausible for the stated σ, and whether the residuals of each curve are
independent: a runs test (do they change sign as often as noise would?) and
the lag-one autocorrelation (do neighbours resemble each other?). The runs
test needs no assumption about the size of the residuals; the
autocorrelation uses it and finds smooth misfits of the size of the noise
that the signs alone miss."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

# χ² outside the central 99.9 % of its distribution, and a runs test below
# this p-value, are worth a warning: with σ right and the model right, one fit
# in a thousand raises each of them by chance.
GOODNESS_TAIL = 0.0005
RUNS_P_LIMIT = 1e-3
# The runs a warning describes, the strongest first.
RUNS_DESCRIBED = 2
# Points whose model departs from 1 by at least this fraction of the curve's
# largest departure belong to its dip (or peak); a run that reaches into it
# lies "near the focus".
FOCUS_FRACTION = 0.25
# Beyond this many points the exact distribution of the number of runs costs
# more than it is worth and its normal approximation is accurate.
EXACT_RUNS_LIMIT = 2000


@dataclass(frozen=True)
class GoodnessOfFit:
    """Where χ² lies in the χ² distribution of ``nfree`` degrees of freedom."""

    chisqr: float
    nfree: int
    probability_below: float
    """P(χ²_nfree ≤ chisqr): tiny when χ² is too small for the stated σ."""
    probability_above: float
    """P(χ²_nfree ≥ chisqr): tiny when the model misses the data."""

    @property
    def verdict(self) -> str:
        """``"consistent"``, ``"too large"`` or ``"too small"``."""
        if self.probability_above < GOODNESS_TAIL:
            return "too large"
        if self.probability_below < GOODNESS_TAIL:
            return "too small"
        return "consistent"


@dataclass(frozen=True)
class ResidualRun:
    """A stretch of consecutive residuals of one sign."""

    sign: int
    length: int
    start_mm: float
    stop_mm: float
    near_focus: bool

    def describe(self) -> str:
        sign = "positive" if self.sign > 0 else "negative"
        where = "near the focus" if self.near_focus else "in the wings"
        return (f"{self.length} {sign} from {self.start_mm:.3g} to {self.stop_mm:.3g} mm "
                f"({where})")


@dataclass(frozen=True)
class CurveRuns:
    """The runs test of one curve's residuals."""

    index: int
    pulse_energy: float
    points: int
    runs: int
    expected_runs: float
    runs_p: float
    """Probability of this few runs or fewer from independent noise."""
    lag_one: float
    """Lag-one autocorrelation Σ r_i r_(i+1) / Σ r_i² of the residuals."""
    lag_one_p: float
    """Probability of that much autocorrelation or more from independent noise."""
    strongest: tuple[ResidualRun, ...]
    """The runs with the largest sum of residuals, strongest first."""
    aperture: str = "open"
    """Which aperture's curve: ``"open"`` or ``"closed"``."""

    @property
    def p_value(self) -> float:
        """The two tests together (the smaller p-value, doubled): below 1e-3
        for one curve in a thousand of pure noise."""
        return min(1.0, 2.0 * min(self.runs_p, self.lag_one_p))

    @property
    def systematic(self) -> bool:
        return self.p_value < RUNS_P_LIMIT


def goodness_of_fit(chisqr: float, nfree: int) -> GoodnessOfFit | None:
    """χ² against its distribution, or None without degrees of freedom."""
    if nfree <= 0 or not math.isfinite(chisqr):
        return None
    below, above = chi_square_tails(chisqr, nfree)
    return GoodnessOfFit(chisqr=chisqr, nfree=nfree, probability_below=below,
                         probability_above=above)


def chi_square_tails(chisqr: float, nfree: int) -> tuple[float, float]:
    """(P(X ≤ chisqr), P(X ≥ chisqr)) for X ~ χ² with ``nfree`` degrees of
    freedom, each accurate in its own tail (the regularised incomplete gamma
    function by its series below the mean and its continued fraction above)."""
    a, x = 0.5 * nfree, 0.5 * max(chisqr, 0.0)
    if x == 0.0:
        return 0.0, 1.0
    if x < a + 1.0:
        below = _gamma_series(a, x)
        return below, 1.0 - below
    above = _gamma_continued_fraction(a, x)
    return 1.0 - above, above


def _gamma_prefactor(a: float, x: float) -> float:
    return math.exp(a * math.log(x) - x - math.lgamma(a))


def _gamma_series(a: float, x: float) -> float:
    """P(a, x) = γ(a, x)/Γ(a) by its power series (for x < a + 1)."""
    term = total = 1.0 / a
    denominator = a
    for _ in range(100_000):
        denominator += 1.0
        term *= x / denominator
        total += term
        if abs(term) < abs(total) * 1e-15:
            break
    return min(1.0, total * _gamma_prefactor(a, x))


def _gamma_continued_fraction(a: float, x: float) -> float:
    """Q(a, x) = Γ(a, x)/Γ(a) by Lentz's continued fraction (for x ≥ a + 1)."""
    tiny = 1e-300
    b = x + 1.0 - a
    c = 1.0 / tiny
    d = 1.0 / b
    h = d
    for i in range(1, 100_000):
        an = -i * (i - a)
        b += 2.0
        d = an * d + b
        d = tiny if abs(d) < tiny else d
        c = b + an / c
        c = tiny if abs(c) < tiny else c
        d = 1.0 / d
        delta = d * c
        h *= delta
        if abs(delta - 1.0) < 1e-15:
            break
    return min(1.0, h * _gamma_prefactor(a, x))


def runs_test(residual: NDArray[np.float64], positions_mm: NDArray[np.float64],
              model: NDArray[np.float64], index: int = 0,
              pulse_energy: float = math.nan) -> CurveRuns:
    """Runs test of one curve: too few sign changes mean systematic residuals.

    Parameters
    ----------
    residual, positions_mm, model : (n,) arrays
        Normalised residuals, positions and the model, in scan order.
    index, pulse_energy
        Which curve, for the record.
    """
    keep = residual != 0.0
    signs = np.sign(residual[keep]).astype(int)
    z = positions_mm[keep]
    n = signs.size
    starts = np.flatnonzero(np.r_[True, signs[1:] != signs[:-1]]) if n else np.array([], int)
    runs = int(starts.size)
    positives = int((signs > 0).sum())
    p_value, expected = _few_runs_probability(runs, positives, n - positives)
    near = _near_focus(model[keep])
    described = []
    stops = np.r_[starts[1:], n]
    strength = [abs(float(residual[keep][a:b].sum())) for a, b in zip(starts, stops)]
    for k in np.argsort(strength)[::-1][:RUNS_DESCRIBED]:
        a, b = int(starts[k]), int(stops[k])
        described.append(ResidualRun(sign=int(signs[a]), length=b - a, start_mm=float(z[a]),
                                     stop_mm=float(z[b - 1]),
                                     near_focus=bool(near[a:b].any())))
    lag_one, lag_one_p = _lag_one(residual)
    return CurveRuns(index=index, pulse_energy=pulse_energy, points=n, runs=runs,
                     expected_runs=expected, runs_p=p_value, lag_one=lag_one,
                     lag_one_p=lag_one_p, strongest=tuple(described))


def _lag_one(residual: NDArray[np.float64]) -> tuple[float, float]:
    """Lag-one autocorrelation and its one-sided p-value: for independent noise
    it is close to normal with mean −1/n and variance 1/n."""
    n = residual.size
    total = float(residual @ residual)
    if n < 3 or total == 0.0:
        return 0.0, 1.0
    correlation = float(residual[1:] @ residual[:-1]) / total
    z = (correlation + 1.0 / n) * math.sqrt(n)
    return correlation, 0.5 * math.erfc(z / math.sqrt(2.0))


def _near_focus(model: NDArray[np.float64]) -> NDArray[np.bool_]:
    departure = np.abs(model - 1.0)
    largest = departure.max(initial=0.0)
    if largest == 0.0:
        return np.zeros(model.shape, bool)
    return departure >= FOCUS_FRACTION * largest


def _few_runs_probability(runs: int, positives: int, negatives: int) -> tuple[float, float]:
    """P(R ≤ runs) for random orderings of the given signs, and E[R]."""
    n = positives + negatives
    if positives == 0 or negatives == 0:
        # All of one sign: as likely as n fair coins agreeing.
        return (min(1.0, 2.0 ** (1 - n)) if n else 1.0), 1.0
    expected = 2.0 * positives * negatives / n + 1.0
    if n > EXACT_RUNS_LIMIT:
        variance = (expected - 1.0) * (expected - 2.0) / (n - 1.0)
        z = (runs + 0.5 - expected) / math.sqrt(variance)
        return 0.5 * math.erfc(-z / math.sqrt(2.0)), expected
    total = math.comb(n, positives)
    count = sum(_orderings_with_runs(r, positives, negatives) for r in range(2, runs + 1))
    return min(1.0, count / total), expected


def _orderings_with_runs(runs: int, first: int, second: int) -> int:
    """Arrangements of ``first`` and ``second`` signs with exactly ``runs`` runs."""
    k, odd = divmod(runs, 2)
    if not odd:
        return 2 * math.comb(first - 1, k - 1) * math.comb(second - 1, k - 1)
    return (math.comb(first - 1, k) * math.comb(second - 1, k - 1)
            + math.comb(first - 1, k - 1) * math.comb(second - 1, k))


def curve_runs(residual: NDArray[np.float64], positions_mm: NDArray[np.float64],
               model: NDArray[np.float64], pulse_energies: NDArray[np.float64]
               ) -> list[CurveRuns]:
    """The runs test of every curve (rows of the arrays)."""
    return [runs_test(residual[row], positions_mm[row], model[row], row,
                      float(pulse_energies[row])) for row in range(residual.shape[0])]


def goodness_warning(goodness: GoodnessOfFit) -> str | None:
    """The warning a χ² outside the central 99.9 % deserves, if any."""
    if goodness.verdict == "too large":
        return (f"chi-square {goodness.chisqr:.5g} for {goodness.nfree} degrees of freedom is "
                f"above the central 99.9 % of its distribution (p = "
                f"{goodness.probability_above:.2g}): the model does not describe the data "
                "within sigma, or sigma is underestimated; the absolute standard errors are "
                "too small, compare the scaled ones")
    if goodness.verdict == "too small":
        return (f"chi-square {goodness.chisqr:.5g} for {goodness.nfree} degrees of freedom is "
                f"below the central 99.9 % of its distribution (p = "
                f"{goodness.probability_below:.2g}): sigma is overestimated, and so are the "
                "absolute standard errors")
    return None


def runs_warning(curve: CurveRuns, label: str) -> str | None:
    """The warning a curve with systematic residuals deserves, if any."""
    if not curve.systematic:
        return None
    where = "; ".join(run.describe() for run in curve.strongest)
    return (f"the residuals of the {label} curve are systematic (p = {curve.p_value:.2g}): "
            f"{curve.runs} runs of one sign in {curve.points} points where "
            f"{curve.expected_runs:.3g} are expected (runs test p = {curve.runs_p:.2g}), "
            f"lag-one autocorrelation {curve.lag_one:+.2f} (p = {curve.lag_one_p:.2g}); "
            f"strongest runs: {where}; the model misses a feature of this curve")
