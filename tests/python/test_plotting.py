"""Figures: they render to files, label what they show, and refuse mismatched input."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest

from tarnok import plotting
from tarnok.zscan import ZScan

Z = np.linspace(-20.0, 20.0, 41)
ENERGIES = np.array([2e-4, 8e-4, 3.2e-3])
MODEL = 1 - np.array([0.05, 0.12, 0.2])[:, None] / (1 + (Z / 2.4) ** 2)
NOISY = MODEL + np.random.default_rng(0).normal(0, 1e-3, MODEL.shape)
WITH_SIGMA = ZScan(Z, NOISY, ENERGIES, np.full(MODEL.shape, 1e-3))
IRRADIANCE = 1e15 * ENERGIES[:, None] / 3.2e-3 / (1 + (Z / 2.4) ** 2)

FIGURES = {
    "fit": lambda: plotting.plot_fit(WITH_SIGMA, MODEL, title="sample"),
    "fit without sigma": lambda: plotting.plot_fit(ZScan(Z, NOISY, ENERGIES), MODEL),
    "irradiance": lambda: plotting.plot_irradiance(WITH_SIGMA, MODEL, IRRADIANCE),
    "starts": lambda: plotting.plot_starts([3e-5, np.inf, 2e-5, 0.1], 2, sort=True),
    "simulation": lambda: plotting.plot_simulation(Z, MODEL, ENERGIES),
}


@pytest.mark.parametrize("name", FIGURES)
def test_every_figure_renders_with_labelled_axes(tmp_path, name):
    figure = FIGURES[name]()
    path = plotting.save_figure(figure, tmp_path / "figure")
    assert path.suffix == ".png" and path.stat().st_size > 10_000
    for axes in figure.axes:
        if axes.get_xlabel():
            assert "(" in axes.get_xlabel() or "start" in axes.get_xlabel()
        assert axes.get_ylabel()


@pytest.mark.parametrize(("data", "residual", "label"), [
    (WITH_SIGMA, None, "(data − model) / σ"),
    (ZScan(Z, NOISY, ENERGIES), None, "data − model"),
    (WITH_SIGMA, np.zeros(MODEL.shape), "residual"),
])
def test_residual_axis_says_what_it_shows(data, residual, label):
    figure = plotting.plot_fit(data, MODEL, residual=residual)
    assert figure.axes[1].get_ylabel() == label
    legend = [text.get_text() for text in figure.axes[0].get_legend().get_texts()]
    assert legend == ["200 µJ", "800 µJ", "3.2 mJ"]


@pytest.mark.parametrize("format", ["svg", "pdf"])
def test_vector_formats(tmp_path, format):
    path = plotting.save_figure(FIGURES["simulation"](), tmp_path / "sub" / f"s.{format}",
                                format)
    assert path.read_bytes()[:5] in (b"<?xml", b"%PDF-")


def test_curves_with_systematic_residuals_are_marked():
    figure = plotting.plot_fit(WITH_SIGMA, MODEL, systematic=[2])
    legend = [text.get_text() for text in figure.axes[0].get_legend().get_texts()]
    assert legend == ["200 µJ", "800 µJ", "3.2 mJ (systematic residuals)"]
    # The marked curve's residuals are joined, so that its runs show.
    styles = [line.get_linestyle() for line in figure.axes[1].get_lines()[:3]]
    assert styles == ["None", "None", "-"]
    # Curves read out of order are drawn and listed in ascending energy.
    reversed_data = ZScan(Z, NOISY[::-1], ENERGIES[::-1], np.full(MODEL.shape, 1e-3))
    figure = plotting.plot_fit(reversed_data, MODEL[::-1], systematic=[0])
    legend = [text.get_text() for text in figure.axes[0].get_legend().get_texts()]
    assert legend == ["200 µJ", "800 µJ", "3.2 mJ (systematic residuals)"]


@pytest.mark.parametrize(("build", "message"), [
    (lambda: plotting.plot_fit(WITH_SIGMA, MODEL[:, :-1]), r"model: expected shape \(3, 41\)"),
    (lambda: plotting.plot_irradiance(WITH_SIGMA, MODEL, -IRRADIANCE), "peak_irradiance: entry"),
    (lambda: plotting.plot_fit(WITH_SIGMA, MODEL, systematic=[3]),
     "systematic: expected curve indices from 0 to 2"),
    (lambda: plotting.plot_starts([1.0, 2.0], 2), "best_index: expected an index from 0 to 1"),
    (lambda: plotting.plot_starts([1.0, np.nan], 1), "best_index: start 1 failed"),
    (lambda: plotting.plot_simulation(Z, MODEL.T, ENERGIES), r"curves: expected shape"),
    (lambda: plotting.save_figure(FIGURES["simulation"](), "x.png", "gif"), "format: expected"),
    (lambda: plotting.save_figure(FIGURES["simulation"](), "x.svg", "png"), "has suffix '.svg'"),
])
def test_mismatched_input_is_refused(build, message):
    with pytest.raises(ValueError, match=message):
        build()


def test_plotting_leaves_pyplot_alone():
    code = ("import sys, numpy as np, tarnok.plotting as p; "
            "p.plot_starts([1.0, 2.0], 0); assert 'matplotlib.pyplot' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_starts_at_one_minimum_are_drawn_as_one_group_without_offset_notation():
    chisqr = 4.29e-3 + np.array([1e-13, 0.0, 3e-13, 2e-13, np.nan, 1e-13, 0.0, 0.0])
    figure = plotting.plot_starts(chisqr, 1)
    axes = figure.axes[0]
    points = axes.lines[0].get_ydata()
    assert np.unique(points).size == 1 and points.size == 7
    figure.canvas.draw()
    assert axes.yaxis.get_offset_text().get_text() == ""
    assert [t.get_text() for t in axes.texts] == ["7 starts"]
    low, high = axes.get_ylim()
    assert low < 4.29e-3 * 0.97 and high > 4.29e-3 * 1.03
    separate = plotting.plot_starts([135.49, 135.49000001, 144.6, 144.60001], 0).axes[0]
    assert sorted(t.get_text() for t in separate.texts) == ["2 starts", "2 starts"]
