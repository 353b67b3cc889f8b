#!/usr/bin/env python3
"""Turns synthetic/simulation.csv into measured.csv: Gaussian noise of 1e-3
per point on both apertures (a fixed seed) and its sigma, as a measurement
would carry them."""

import csv
from pathlib import Path

import numpy as np

HERE = Path(__file__).parent
NOISE = 1e-3

rows = list(csv.DictReader((HERE / "synthetic" / "simulation.csv").open()))
noise = np.random.default_rng(2026).normal(0.0, NOISE, (len(rows), 2))
with (HERE / "measured.csv").open("w", newline="") as handle:
    writer = csv.writer(handle)
    writer.writerow(["pulse_energy_J", "position_mm", "transmittance", "sigma", "closed",
                     "closed_sigma"])
    for row, (open_noise, closed_noise) in zip(rows, noise):
        writer.writerow([row["pulse_energy_J"], row["position_mm"],
                         repr(float(row["transmittance"]) + float(open_noise)), NOISE,
                         repr(float(row["closed_transmittance"]) + float(closed_noise)), NOISE])
