"""HTML tables of parameters and fit results for Jupyter, laid out as lmfit
shows its own: the statistics, one row per parameter, the correlations."""

from __future__ import annotations

import math
from html import escape
from typing import TYPE_CHECKING, Any

from .parameters import UNITS

if TYPE_CHECKING:
    from .fit import FitResult
    from .parameters import Parameters

_PARAMETER_COLUMNS = ("name", "value", "standard error", "relative error", "initial value",
                      "min", "max", "vary", "unit")


def _number(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float) and math.isinf(value):
        return "-inf" if value < 0 else "inf"
    return f"{value:.7g}" if isinstance(value, (int, float)) else escape(str(value))


def _table(header: tuple[str, ...] | None, rows: list[list[str]]) -> str:
    head = "" if header is None else (
        "<tr>" + "".join(f"<th>{escape(h)}</th>" for h in header) + "</tr>")
    body = "".join("<tr>" + "".join(f"<td>{cell}</td>" for cell in row) + "</tr>"
                   for row in rows)
    return f"<table>{head}{body}</table>"


def _relative_error(value: float | None, stderr: float | None) -> str:
    if stderr is None or not value:
        return ""
    return f"({abs(stderr / value) * 100:.2f}%)"


def parameters_html(parameters: "Parameters") -> str:
    """One row per parameter: value, standard error, bounds, whether it varies."""
    rows = []
    for name, p in parameters.items():
        value = "(the experiment's)" if p.value is None else _number(p.value)
        rows.append([escape(name), value, _number(p.stderr),
                     _relative_error(p.value, p.stderr), _number(p.init_value),
                     _number(p.min), _number(p.max), "True" if p.vary else "False",
                     escape(UNITS.get(name, ""))])
    return _table(_PARAMETER_COLUMNS, rows)


def fit_result_html(result: "FitResult", min_correl: float = 0.1) -> str:
    """The fit statistics, the parameters and the correlations above
    ``min_correl``, as HTML tables."""
    state = ("aborted: " if result.aborted else "") + result.message
    statistics = [
        ("fitting method", f"log-space Levenberg-Marquardt ({result.engine} engine)"),
        ("# function evals", result.nfev), ("# data points", result.ndata),
        ("# variables", result.nvarys),
        ("# starts", f"{len(result.starts)} (best: {result.best_start})"),
        ("chi-square", result.chisqr), ("reduced chi-square", result.redchi),
        ("Akaike info crit.", result.aic), ("Bayesian info crit.", result.bic),
        ("R-squared", result.rsquared), ("status", state)]
    parts = ["<h2>Fit Statistics</h2>",
             _table(None, [[escape(k), _number(v)] for k, v in statistics]),
             "<h2>Parameters</h2>", parameters_html(result.params)]
    correlations = _correlations(result, min_correl)
    if correlations:
        parts += ["<h2>Correlations</h2>",
                  _table(("parameter 1", "parameter 2", "correlation"), correlations)]
    if result.warnings:
        parts += ["<h2>Warnings</h2>",
                  "<ul>" + "".join(f"<li>{escape(w)}</li>" for w in result.warnings) + "</ul>"]
    return "".join(parts)


def _correlations(result: "FitResult", min_correl: float) -> list[list[str]]:
    pairs = []
    names = result.var_names
    for i, first in enumerate(names):
        correl = result.params[first].correl or {}
        for second in names[i + 1:]:
            value = correl.get(second)
            if value is not None and abs(value) > min_correl:
                pairs.append((abs(value), [escape(first), escape(second), f"{value:+.4f}"]))
    return [row for _, row in sorted(pairs, key=lambda pair: -pair[0])]
