"""How well "auto" chooses the grid on the four samples of the user guide's
slicing table (gaussian beam, 21 positions from -20 to 20 mm, one energy each).

For every sample: the grid "auto" chooses for the tolerance, its estimated
error, the value-only evaluations and time the choice took; its error against
the grid refined four times along every axis (the measure the tolerance is
meant for); and the smallest grid meeting the tolerance found by a scan, with
the ratio of the cells. The scan walks, for each radial node count, a ladder of
time slices upwards while it walks a ladder of depth slices downwards (a
staircase: it assumes the error falls along each axis), and judges each grid
against one fixed reference, the chosen grid refined four times (a grid the
scan's candidates are at least twice coarser than, along every axis, so the
error against it is within a few per cent of the error against each one's own
refinement; the scan's smallest grid is checked against its own at the end).

    .venv/bin/python bench/auto_discretisation.py [--tolerance 3e-4] [--case sa]

Several minutes on two cores.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import tarnok
from tarnok import discretisation

POSITIONS = np.linspace(-20.0, 20.0, 21)
NANOSECOND = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                  populations=[1e23, 0, 0, 0, 0], beam="gaussian")


def rsa(**changes):
    return {**dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
                   tau_32=1e-10, tau_41=1e-6, tau_54=1e-10), **changes}


# The guide's table: the energies give its dips (40 %, 26 %, 49 %; the
# saturable absorber's 21-slice error of 8e-3).
CASES = {
    "example": ("reverse saturable, the bundled example's parameters", NANOSECOND, rsa(),
                6.25e-7),
    "ps": ("reverse saturable, picosecond", {**NANOSECOND, "tau": 30e-12},
           rsa(sigma_12=4e-21, sigma_23=2e-20, sigma_45=1e-20, tau_21=1e-9, tau_24=3e-9,
               tau_32=2e-12, tau_54=5e-12), 1.01e-7),
    "subps": ("reverse saturable, sub-picosecond upper lifetimes", NANOSECOND,
              rsa(sigma_23=1e-20, tau_32=3e-13, tau_54=5e-13), 6.41e-7),
    "sa": ("saturable absorber, sigma_12 = 2e-20 m^2", NANOSECOND, rsa(sigma_12=2e-20), 6e-7),
}


class Curves:
    """The model "auto" chose for, on any grid: extrapolated in depth when it is."""

    def __init__(self, experiment, params, energy, extrapolated):
        self.experiment, self.params, self.energy = experiment, params, energy
        self.extrapolated = extrapolated
        self.cache = {}

    def __call__(self, grid):
        if grid not in self.cache:
            exp = tarnok.Experiment(**self.experiment, t_slices=grid[0], z_slices=grid[1],
                                    radial_nodes=grid[2], depth_extrapolation=self.extrapolated)
            self.cache[grid] = tarnok.simulate(exp, self.params, POSITIONS, [self.energy])
        return self.cache[grid]


def four_times(grid):
    return (4 * (grid[0] - 1) + 1, 4 * grid[1], min(4 * grid[2], 64))


def ladder(low, high, offset=0):
    values, steps = set(), low - offset
    while offset + steps <= high:
        values.add(offset + int(round(steps)))
        steps *= 2 ** 0.25
    return sorted(values | {high})


def scan(curves, reference, chosen, tolerance):
    """The grid of fewest cells whose error against ``reference`` meets the tolerance."""
    ref = curves(reference)
    times = ladder(3, max(2 * (chosen[0] - 1) + 1, 5), 1)
    depths = ladder(2, max(2 * chosen[1], 4))
    best, evaluations = None, 0
    for r in sorted({2, 3, 4, 5, 6, 8, 10, 12, chosen[2]}):
        i, j = 0, len(depths) - 1
        while i < len(times) and j >= 0:
            grid = (times[i], depths[j], r)
            evaluations += grid not in curves.cache
            if np.abs(curves(grid) - ref).max() <= tolerance:
                if best is None or math.prod(grid) < math.prod(best):
                    best = grid
                j -= 1
            else:
                i += 1
    return best, evaluations


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tolerance", type=float, default=3e-4)
    parser.add_argument("--case", choices=sorted(CASES), action="append")
    args = parser.parse_args()
    print(f"tolerance {args.tolerance:g}; 21 positions, one energy; times on this machine")
    print(f"{'sample':54} {'chosen t x z x r':>17} {'est.':>8} {'evals':>5} {'time':>6} "
          f"{'vs x4':>8} {'scan minimum':>14} {'its x4':>8} {'cells ratio':>11}")
    for key in args.case or list(CASES):
        label, experiment, truth, energy = CASES[key]
        params = tarnok.Parameters(**truth)
        start = time.perf_counter()
        chosen, record = discretisation.choose(
            tarnok.Experiment(**experiment), params.vector(), np.array([POSITIONS]),
            np.array([energy]), args.tolerance)
        elapsed = time.perf_counter() - start
        curves = Curves(experiment, params, energy, chosen.depth_extrapolation)
        grid = record.grid
        against_four = np.abs(curves(grid) - curves(four_times(grid))).max()
        smallest, _ = scan(curves, four_times(grid), grid, args.tolerance)
        if smallest is None:
            smallest_text, its_four, ratio = "none", math.nan, math.nan
        else:
            smallest_text = " x ".join(map(str, smallest))
            its_four = np.abs(curves(smallest) - curves(four_times(smallest))).max()
            ratio = math.prod(grid) / math.prod(smallest)
        print(f"{label:54} {' x '.join(map(str, grid)):>17} {record.estimated_error:8.2g} "
              f"{record.evaluations:5d} {elapsed:5.1f}s {against_four:8.2g} "
              f"{smallest_text:>14} {its_four:8.2g} {ratio:11.2f}", flush=True)


if __name__ == "__main__":
    main()
