"""The text report of a fit, laid out as lmfit users know it."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from .closed_aperture import report_lines
from .derived import display
from .parameters import UNITS

if TYPE_CHECKING:
    from .fit import FitResult


def fit_report(result: "FitResult", min_correl: float = 0.1) -> str:
    """``[[Fit Statistics]]``, ``[[Variables]]``, ``[[Derived]]``,
    ``[[Correlations]]``, ``[[Error Budget]]`` and ``[[Confidence Intervals]]``
    when computed, and ``[[Warnings]]``, numbers aligned in columns."""
    lines = _statistics(result) + _variables(result) + _derived(result)
    lines += _closed_aperture(result)
    lines += _correlations(result, min_correl)
    lines += _budget(result)
    if result.intervals is not None:
        lines += result.intervals.report().split("\n")
    lines += _warnings(result)
    return "\n".join(lines)


def _statistics(r: "FitResult") -> list[str]:
    residuals = "(data - model)/sigma" if r.weighted else "data - model (no sigma given)"
    energies = ", ".join("absent" if math.isnan(rms) else f"{rms:.3g}"
                         for rms in r.rms_per_energy)
    finished = sum(1 for s in r.starts if s.chisqr is not None and math.isfinite(s.chisqr))
    at_best = f"; {r.starts_at_best} of {finished} reached the best chi-square" \
        if finished > 1 else ""
    duplicates = [f"{s.index} of start {s.duplicate_of}" for s in r.starts
                  if getattr(s, "duplicate_of", None) is not None]
    if duplicates:
        at_best += f"; stopped as duplicates: {', '.join(duplicates)}"
    tests = []
    if r.goodness_of_fit is not None:
        tests.append(f"    chi-square p-value = {r.goodness_of_fit.probability_above:.4g}")
    open_runs = [c for c in r.residual_runs if c.aperture == "open"]
    closed_runs = [c for c in r.residual_runs if c.aperture == "closed"]
    if open_runs:
        runs = ", ".join(f"{c.p_value:.2g}" for c in open_runs)
        tests.append(f"    residual tests p   = {runs}")
    if closed_runs:
        runs = ", ".join(f"{c.p_value:.2g}" for c in closed_runs)
        tests.append(f"    closed tests p     = {runs}")
    return [
        "[[Fit Statistics]]",
        f"    # fitting method   = log-space Levenberg-Marquardt ({r.engine} engine)",
        f"    # function evals   = {r.nfev}",
        f"    # jacobian evals   = {r.njev}",
        f"    # data points      = {r.ndata}",
        f"    # variables        = {r.nvarys}",
        f"    # starts           = {len(r.starts)} (best: {r.best_start}{at_best})",
        *_discretisation(r),
        f"    residuals          = {residuals}",
        f"    chi-square         = {_g(r.chisqr)}",
        f"    reduced chi-square = {_g(r.redchi)}",
        f"    Akaike info crit   = {_g(r.aic)}",
        f"    Bayesian info crit = {_g(r.bic)}",
        f"    R-squared          = {_g(r.rsquared)}",
        f"    rms per energy     = {energies}",
        *_closed_rms(r),
        *tests,
        f"    status             = {'aborted: ' if r.aborted else ''}{r.message}",
    ]


def _closed_rms(r: "FitResult") -> list[str]:
    if r.rms_closed_per_energy is None:
        return []
    values = ", ".join("absent" if math.isnan(rms) else f"{rms:.3g}"
                       for rms in r.rms_closed_per_energy)
    return [f"    rms closed         = {values}"]


def _closed_aperture(r: "FitResult") -> list[str]:
    if r.closed_aperture is None or r.rms_closed_per_energy is None:
        return []
    p_values: list[float | None] = [None] * len(r.closed_aperture.curves)
    for c in r.residual_runs:
        if c.aperture == "closed":
            p_values[c.index] = c.p_value
    return report_lines(r.closed_aperture, r.rms_closed_per_energy, p_values)


def _discretisation(r: "FitResult") -> list[str]:
    record = getattr(r, "discretisation", None)
    return [] if record is None else [f"    discretisation     = {record.describe()}"]


def _variables(r: "FitResult") -> list[str]:
    lines = ["[[Variables]]"]
    width = max(len(name) for name in r.params) + 1
    for name, p in r.params.items():
        label = f"{name}:".ljust(width)
        unit = f" {UNITS[name]}" if UNITS[name] else ""
        if not p.vary:
            lines.append(f"    {label} {_g(p.value)}{unit} (fixed)")
            continue
        if p.stderr is None:
            error = " +/- (not determined)"
        else:
            percent = abs(p.stderr / p.value) * 100 if p.value else math.inf
            error = f" +/- {_g(p.stderr)} ({percent:.2f}%)"
            scaled = (r.scaled_stderr or {}).get(name)
            if scaled is not None:
                error += f" [scaled: +/- {_g(scaled)}]"
        init = "" if p.init_value is None else f" (init = {_g(p.init_value)})"
        lines.append(f"    {label} {_g(p.value)}{error}{unit}{init}")
    return lines


def _derived(r: "FitResult") -> list[str]:
    """``[[Derived]]``: each quantity in its customary unit."""
    if not r.derived:
        return []
    lines = ["[[Derived]]"]
    width = max(len(name) for name in r.derived) + 1
    for name, q in r.derived.items():
        unit, factor = display(name)
        label = f"{name}:".ljust(width)
        unit_text = f" {unit}" if unit else ""
        if q.fixed:
            lines.append(f"    {label} {_g(q.value * factor)}{unit_text} (fixed)")
        elif q.stderr is None:
            lines.append(f"    {label} {_g(q.value * factor)} +/- (not determined){unit_text}")
        else:
            percent = abs(q.stderr / q.value) * 100 if q.value else math.inf
            lines.append(f"    {label} {_g(q.value * factor)} +/- {_g(q.stderr * factor)} "
                         f"({percent:.2f}%){unit_text}")
    return lines


def _correlations(r: "FitResult", min_correl: float) -> list[str]:
    pairs = []
    names = r.var_names
    for i in range(len(names)):
        correl = r.params[names[i]].correl or {}
        for j in range(i + 1, len(names)):
            c = correl.get(names[j])
            if c is not None and abs(c) > min_correl:
                pairs.append((abs(c), f"C({names[i]}, {names[j]})", c))
    if not pairs:
        return []
    pairs.sort(reverse=True)
    width = max(len(label) for _, label, _ in pairs)
    lines = [f"[[Correlations]] (unreported correlations are < {min_correl:.3f})"]
    lines += [f"    {label.ljust(width)} = {c:+.4f}" for _, label, c in pairs]
    return lines


def _budget(r: "FitResult") -> list[str]:
    budget = r.budget
    if budget is None:
        return []
    lines = ["[[Error Budget]] (value +/- statistical +/- systematic; each source's share "
             "of the variance)"]
    width = max(len(name) for name in budget.entries) + 1
    for name, entry in budget.entries.items():
        # Derived quantities in the units of the [[Derived]] block.
        unit, factor = display(name) if name not in r.params else (entry.unit, 1.0)
        unit = f" {unit}" if unit else ""
        lines.append(f"    {(name + ':').ljust(width)} {_g(entry.value * factor)} +/- "
                     f"{_g(entry.statistical * factor)} (stat) +/- "
                     f"{_g(entry.systematic * factor)} (sys){unit}")
        shares = [(source, share) for source, share in _grouped(entry.shares())
                  if share >= 0.0005]
        if shares:
            lines.append("    " + " " * width + " " + ", ".join(
                f"{source} {100 * share:.1f}%" for source, share in shares))
    for source, reason in budget.dropped.items():
        lines.append(f"    {source}: not in the budget ({reason})")
    return lines


def _grouped(shares: dict[str, float]) -> list[tuple[str, float]]:
    """Shares by source, the per-energy and per-level entries added up, largest first."""
    grouped: dict[str, float] = {}
    for source, share in shares.items():
        key = source.split("[")[0]
        grouped[key] = grouped.get(key, 0.0) + share
    return sorted(grouped.items(), key=lambda item: -item[1])


def _warnings(r: "FitResult") -> list[str]:
    if not r.warnings:
        return []
    return ["[[Warnings]]"] + [f"    - {w}" for w in r.warnings]


def _g(value: float) -> str:
    return "nan" if value is None or (isinstance(value, float) and math.isnan(value)) \
        else f"{value:.7g}"
