"""Fit statistics from the residuals and Jacobian at a solution: covariance by
pseudo-inverse, standard errors, correlations, information criteria and the
warnings a researcher needs before trusting a value."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

# Thresholds of the warnings.
RELATIVE_ERROR_LIMIT = 0.5
CORRELATION_LIMIT = 0.99
CONDITION_LIMIT = 1e8  # of the column-scaled Jacobian: worth saying above this
NEAR_BOUND_ERRORS = 0.1  # a bound this many standard errors away cuts the uncertainty
# The solver's default step tolerance, in its coordinates; a fit reports its own.
STEP_TOLERANCE = 1e-6
ABSOLUTE_PARAMETERS = ("z0",)  # judged by their standard error, not relative to their value


@dataclass
class Statistics:
    """Everything derived from one solution; arrays follow ``var_names``."""

    chisqr: float
    ndata: int
    nvarys: int
    nfree: int
    redchi: float
    aic: float
    bic: float
    rsquared: float
    covar: NDArray[np.float64] | None
    stderr: NDArray[np.float64]
    correl: NDArray[np.float64]
    condition_number: float
    rank: int
    uninformative: list[int] = field(default_factory=list)


def fit_statistics(residual: NDArray[np.float64], jacobian: NDArray[np.float64],
                   weighted_data: NDArray[np.float64], weights: NDArray[np.float64],
                   absolute_sigma: bool) -> Statistics:
    """Statistics of a least-squares solution.

    Parameters
    ----------
    residual : (m,) array
        Residuals at the solution, weighted by 1/σ when the data carry σ.
    jacobian : (m, n) array
        d(residual)/d(parameter) at the solution, in natural units.
    weighted_data, weights : (m,) arrays
        The data and the weight of each point (1/σ², or ones), for R².
    absolute_sigma : bool
        True when σ was given: the covariance is then absolute, otherwise it is
        scaled by the reduced χ².
    """
    m, n = jacobian.shape
    chisqr = float(residual @ residual)
    nfree = m - n
    redchi = chisqr / nfree if nfree > 0 else math.nan
    with np.errstate(divide="ignore"):
        log_mean = math.log(max(chisqr, 1e-300) / m)
    covar, condition, rank, uninformative = _covariance(jacobian)
    if covar is not None and not absolute_sigma and math.isfinite(redchi):
        covar = covar * redchi
    stderr = np.full(n, math.nan)
    correl = np.full((n, n), math.nan)
    if covar is not None:
        variance = np.diag(covar).copy()
        variance[uninformative] = math.nan
        stderr = np.sqrt(np.where(variance >= 0.0, variance, math.nan))
        with np.errstate(invalid="ignore", divide="ignore"):
            correl = covar / np.outer(stderr, stderr)
        np.fill_diagonal(correl, 1.0)
    mean = np.average(weighted_data, weights=weights)
    total = float(np.sum(weights * (weighted_data - mean) ** 2))
    return Statistics(
        chisqr=chisqr, ndata=m, nvarys=n, nfree=nfree, redchi=redchi,
        aic=m * log_mean + 2 * n, bic=m * log_mean + math.log(m) * n,
        rsquared=1.0 - chisqr / total if total > 0 else math.nan,
        covar=covar, stderr=stderr, correl=correl, condition_number=condition,
        rank=rank, uninformative=uninformative)


def _covariance(jacobian: NDArray[np.float64]
                ) -> tuple[NDArray[np.float64] | None, float, int, list[int]]:
    """(JᵀJ)⁺ by the SVD of the column-scaled Jacobian, with its condition
    number, rank, and the columns that are zero (parameters the data do not
    feel). Scaling first makes the rank decision independent of units."""
    m, n = jacobian.shape
    if n == 0:
        return np.zeros((0, 0)), 1.0, 0, []
    if not np.isfinite(jacobian).all():
        return None, math.inf, 0, []
    norms = np.linalg.norm(jacobian, axis=0)
    uninformative = [k for k in range(n) if norms[k] == 0.0]
    scale = np.where(norms > 0.0, norms, 1.0)
    scaled = jacobian / scale
    _, singular, vt = np.linalg.svd(scaled, full_matrices=False)
    tolerance = singular.max(initial=0.0) * max(m, n) * np.finfo(float).eps
    kept = singular > tolerance
    rank = int(kept.sum())
    condition = float(singular[0] / singular[-1]) if singular[-1] > 0 else math.inf
    inverse_squares = np.where(kept, 1.0 / np.where(kept, singular, 1.0) ** 2, 0.0)
    pinv = (vt.T * inverse_squares) @ vt
    covar = pinv / np.outer(scale, scale)
    return covar, condition, rank, uninformative


def identifiability_warnings(names: list[str], values: NDArray[np.float64],
                             stats: Statistics, lower: NDArray[np.float64],
                             upper: NDArray[np.float64], log_scale: list[bool] | None = None,
                             tolerance: float = STEP_TOLERANCE,
                             linear_scales: list[float] | None = None) -> list[str]:
    """The warnings about a solution, in the order a reader should weigh them.

    ``tolerance`` is the solver's step tolerance in its own coordinates (the
    logarithm of a ``log_scale`` parameter, the value over its scale
    otherwise): a parameter that close to a bound is on it as far as the
    solver can tell.
    """
    warnings: list[str] = []
    for k in stats.uninformative:
        warnings.append(f"{names[k]} does not affect the model at the solution "
                        "(zero Jacobian column): the data cannot determine it")
    scales = [True] * len(names) if log_scale is None else log_scale
    for k, name in enumerate(names):
        # A linear parameter's tolerance is in units of its scale.
        scaled = tolerance if scales[k] or linear_scales is None \
            else tolerance * linear_scales[k]
        side = bound_side(values[k], lower[k], upper[k], scales[k], scaled)
        if side:
            warnings.append(f"{name} is at a bound (its {side} bound, {values[k]:.6g}); its "
                            "uncertainty is not meaningful")
            continue
        side = _near_bound(values[k], stats.stderr[k], lower[k], upper[k])
        if side:
            warnings.append(f"{name} is within {NEAR_BOUND_ERRORS} standard errors of its "
                            f"{side} bound ({values[k]:.6g}): its uncertainty reaches past "
                            "the bound, so the interval is one-sided there")
    if stats.rank < stats.nvarys and not stats.uninformative:
        warnings.append(f"the Jacobian has rank {stats.rank} of {stats.nvarys}: some "
                        "combination of the varied parameters is not determined")
    for k, name in enumerate(names):
        if name in ABSOLUTE_PARAMETERS:
            continue  # a position's origin is arbitrary, so an error relative to it is too
        relative = stats.stderr[k] / abs(values[k]) if values[k] != 0 else math.inf
        if k not in stats.uninformative and (not math.isfinite(relative)
                                             or relative > RELATIVE_ERROR_LIMIT):
            warnings.append(f"{name} is poorly determined: relative standard error "
                            f"{_relative(relative)}")
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            c = stats.correl[i, j]
            if math.isfinite(c) and abs(c) > CORRELATION_LIMIT:
                warnings.append(f"{names[i]} and {names[j]} are correlated at {c:+.4f}: "
                                "the data determine a combination of them, not each")
    if stats.condition_number > CONDITION_LIMIT:
        warnings.append(f"condition number of the scaled Jacobian is "
                        f"{stats.condition_number:.3g}")
    return warnings


def bound_side(value: float, lower: float, upper: float, log_scale: bool,
               tolerance: float = STEP_TOLERANCE) -> str:
    """``"lower"`` or ``"upper"`` when ``value`` lies within the solver's
    tolerance of that bound (in its coordinates), else ``""``."""
    for side, bound in (("lower", lower), ("upper", upper)):
        if not math.isfinite(bound):
            continue
        if log_scale:
            if value > 0.0 and bound > 0.0 and abs(math.log(value / bound)) <= tolerance:
                return side
        elif abs(value - bound) <= tolerance:
            return side
    return ""


def _near_bound(value: float, stderr: float, lower: float, upper: float) -> str:
    if not math.isfinite(stderr):
        return ""
    for side, bound in (("lower", lower), ("upper", upper)):
        if math.isfinite(bound) and abs(value - bound) <= NEAR_BOUND_ERRORS * stderr:
            return side
    return ""


def fit_quality_warnings(stats: Statistics) -> list[str]:
    """Warnings about the fit as a whole that do not need σ."""
    if math.isfinite(stats.rsquared) and stats.rsquared < 0.0:
        return [f"R-squared is {stats.rsquared:.4g}: the model describes the data worse than "
                "their weighted mean (a constant) would"]
    return []


def _relative(relative: float) -> str:
    return "unknown" if not math.isfinite(relative) else f"{relative:.3g}"
