#!/usr/bin/env python3
"""Fit the bundled example z-scan of a reverse saturable absorber.

The data (examples/example_data.csv: dataset, pulse_energy, x_mm,
transmittance) were made by the model itself from the known parameters in
examples/example_truth.json, with a little noise. The fit starts from the
true values with each fitted parameter multiplied by its entry of
"start_factors" in that file (a factor of two off), runs three starting points
(the module's default), and prints the true, start and fitted values side by
side, the error and the wall time.

The integrator reports failed integrations on standard output. The example
data should give none; if any appear they are counted and the first message is
shown (all of them with --verbose), since they mean the fit met trial values
the model could not integrate.

    python examples/fit_example.py [--verbose] [--starts N] [data.csv truth.json]
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import os
import pathlib
import sys
import tempfile
import time

import numpy as np

import tarnok_wrapper

HERE = pathlib.Path(__file__).resolve().parent
PARAMETER_LABELS = (
    "sigma_12 (cross-section 1->2)",
    "sigma_23 (cross-section 2->3)",
    "sigma_45 (cross-section 4->5)",
    "lifetime 2->1",
    "lifetime 2->4",
    "lifetime 3->2",
    "lifetime 4->1",
    "lifetime 5->4",
)
# Lines of the first integrator message shown when diagnostics were counted
# rather than shown: a message is its text plus up to two lines of values.
FIRST_MESSAGE_LINES = 4


class Measurements:
    """One curve per pulse energy, laid out dataset after dataset."""

    def __init__(self, rows: list[dict[str, str]]):
        datasets: dict[str, list[dict[str, str]]] = {}
        for row in rows:
            datasets.setdefault(row["dataset"].strip(), []).append(row)
        lengths = {len(curve) for curve in datasets.values()}
        if len(lengths) != 1:
            raise ValueError(f"datasets differ in length: {sorted(lengths)}")
        curves = list(datasets.values())
        self.num_datasets = len(curves)
        self.num_x_pts = lengths.pop()
        self.x_mm = np.array([float(r["x_mm"]) for c in curves for r in c])
        self.transmittance = np.array([float(r["transmittance"]) for c in curves for r in c])
        self.pulse_energy = np.array([float(c[0]["pulse_energy"]) for c in curves])


def load_measurements(path: pathlib.Path) -> Measurements:
    with path.open(newline="", encoding="utf-8") as handle:
        return Measurements(list(csv.DictReader(handle)))


def load_truth(path: pathlib.Path) -> dict:
    with path.open(encoding="utf-8") as handle:
        return json.load(handle)


def start_values(truth: dict) -> np.ndarray:
    """The true values with each fitted parameter scaled by its start factor."""
    indices, factors = truth["fit_indices"], truth["start_factors"]
    if len(indices) != len(factors):
        raise ValueError(f"{len(factors)} start factors for {len(indices)} fitted parameters")
    start = np.array(truth["spec_pars"], dtype=np.float64)
    for index, factor in zip(indices, factors):
        start[index] *= factor
    return start


def fit(data: Measurements, truth: dict, start: np.ndarray, n_starts: int = 3):
    """Runs fit_zscan; returns (residuals, error, fitted spec_pars, seconds)."""
    began = time.perf_counter()
    residuals, error, fitted = tarnok_wrapper.fit_zscan(
        data.x_mm, data.transmittance,
        np.array(truth["populations"], dtype=np.float64),
        int(truth["t_slices"]), int(truth["z_slices"]),
        float(truth["sample_width"]), float(truth["tau"]), float(truth["wavelength"]),
        float(truth["w0"]), float(truth["M2"]),
        data.pulse_energy, start, np.array(truth["fit_indices"], dtype=np.int32),
        data.num_x_pts, data.num_datasets,
        is_sa=bool(truth.get("is_sa", False)), n_starts=n_starts)
    return residuals, error, fitted, time.perf_counter() - began


def report(data: Measurements, truth: dict, start: np.ndarray, fitted: np.ndarray,
           residuals: np.ndarray, error: float, seconds: float) -> str:
    energies = ", ".join(f"{e:.3g}" for e in data.pulse_energy)
    lines = [
        f"{data.num_datasets} datasets x {data.num_x_pts} positions, pulse energies {energies}",
        "",
        f"{'parameter':<31}{'true':>12}{'start':>12}{'fitted':>12}{'fitted/true':>13}",
    ]
    fitted_indices = set(truth["fit_indices"])
    for index, label in enumerate(PARAMETER_LABELS):
        true_value = truth["spec_pars"][index]
        if index not in fitted_indices:
            note = "fixed"
        elif true_value:
            note = f"{fitted[index] / true_value:.4f}"
        else:
            note = "-"
        lines.append(f"{label:<31}{true_value:12.4g}{start[index]:12.4g}"
                     f"{fitted[index]:12.4g}{note:>13}")
    rms = float(np.sqrt(np.mean(residuals**2)))
    lines += [
        "",
        f"error (norm of the focus-weighted residuals): {error:.4g}",
        f"rms of the unweighted residuals:              {rms:.4g}",
        f"wall time:                                    {seconds:.2f} s",
    ]
    return "\n".join(lines)


@contextlib.contextmanager
def counted_diagnostics(show: bool):
    """Sends what the compiled code writes to standard output (it flushes
    every message) to a scratch file for the duration, counts its lines and
    keeps the first message."""
    counter = {"lines": 0, "first": []}
    if show:
        yield counter
        return
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield counter
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            for line in sink:
                counter["lines"] += 1
                if len(counter["first"]) < FIRST_MESSAGE_LINES:
                    counter["first"].append(line.decode(errors="replace").rstrip())


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", nargs="?", type=pathlib.Path, default=HERE / "example_data.csv")
    parser.add_argument("truth", nargs="?", type=pathlib.Path,
                        default=HERE / "example_truth.json")
    parser.add_argument("--starts", type=int, default=3, help="number of starting points")
    parser.add_argument("--verbose", action="store_true", help="show integrator diagnostics")
    options = parser.parse_args(argv[1:])
    data = load_measurements(options.data)
    truth = load_truth(options.truth)
    start = start_values(truth)
    with counted_diagnostics(options.verbose) as diagnostics:
        residuals, error, fitted, seconds = fit(data, truth, start, options.starts)
    print(report(data, truth, start, fitted, residuals, error, seconds))
    if diagnostics["lines"]:
        print(f"\nwarning: the integrator printed {diagnostics['lines']} diagnostic lines "
              f"(all of them shown with --verbose); the first:")
        print("\n".join(diagnostics["first"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
