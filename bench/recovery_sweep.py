#!/usr/bin/env python3
"""How often tarnok.fit reaches the optimum and how honest its standard errors
are, on synthetic curves of known truth (three energies x 41 positions, noise
1e-3 with sigma given).

For every case, noise draw and start offset it fits from the truth scaled by
the offset, then compares with a fit started at the truth itself: the optimum
counts as reached when the chi-square is within 1e-3 of the best of both.
It then counts how often the truth lies within 1, 2 and 3 standard errors,
and, for one determined case over many draws, within one standard error
(about 68 % for honest errors).

    python bench/recovery_sweep.py [--draws N] [--coverage-draws N] [--threads N]
"""

from __future__ import annotations

import argparse
import itertools
import sys
import time
from dataclasses import dataclass

import numpy as np

import tarnok

POSITIONS = np.linspace(-20.0, 20.0, 41)
NOISE = 1e-3
OFFSETS = (0.2, 5.0)
CHI_SQUARE_MARGIN = 1e-3


@dataclass
class Case:
    name: str
    experiment: dict
    truth: dict
    energies: list
    varied: tuple


def rsa(**changes) -> dict:
    return {**dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
                   tau_32=1e-10, tau_41=1e-6, tau_54=1e-10), **changes}


NANOSECOND = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                  populations=[1e23, 0, 0, 0, 0], t_slices=15, z_slices=8, beam="on-axis")
CASES = [
    Case("bundled example (sigma_12, sigma_45)", NANOSECOND, rsa(), [2e-4, 8e-4, 3.2e-3],
         ("sigma_12", "sigma_45")),
    Case("bundled example (sigma_45, tau_24)", NANOSECOND, rsa(), [2e-4, 8e-4, 3.2e-3],
         ("sigma_45", "tau_24")),
    Case("stiff nanosecond (sigma_12, sigma_23)", {**NANOSECOND, "t_slices": 21, "z_slices": 11},
         rsa(sigma_23=1e-20, tau_32=3e-13, tau_54=5e-13), [2e-4, 8e-4, 3.2e-3],
         ("sigma_12", "sigma_23")),
    Case("picosecond (sigma_12, sigma_23)",
         {**NANOSECOND, "tau": 30e-12, "t_slices": 21, "z_slices": 11},
         rsa(sigma_12=4e-21, sigma_23=2e-20, sigma_45=1e-20, tau_21=1e-9, tau_24=3e-9,
             tau_32=2e-12, tau_54=5e-12), [2e-5, 1e-4, 5e-4], ("sigma_12", "sigma_23")),
]


def measured(case: Case, experiment: tarnok.Experiment, seed: int) -> tarnok.ZScan:
    clean = tarnok.simulate(experiment, tarnok.Parameters(**case.truth), POSITIONS,
                            case.energies)
    noisy = clean + np.random.default_rng(seed).normal(0.0, NOISE, clean.shape)
    return tarnok.ZScan(POSITIONS, noisy, case.energies, sigma=np.full(clean.shape, NOISE))


def fit_from(case, experiment, data, factors, threads) -> tarnok.FitResult:
    params = tarnok.Parameters(**case.truth)
    for name, factor in zip(case.varied, factors):
        params[name].set(value=case.truth[name] * factor, vary=True)
    return tarnok.fit(data, experiment, params, threads=threads)


def determined(result: tarnok.FitResult, names) -> bool:
    """The data determine the parameters at this solution: relative standard
    errors below 0.2 and no warning (correlation, bound, rank)."""
    errors = [result.params[n] for n in names]
    return not result.warnings and all(
        p.stderr is not None and p.stderr < 0.2 * abs(p.value) for p in errors)


def sweep(case: Case, draws: int, threads: int) -> dict:
    experiment = tarnok.Experiment(**case.experiment)
    counts = dict(fits=0, optimum=0, within=[0, 0, 0], worst_rse=0.0, undetermined_draws=0)
    for seed in range(draws):
        data = measured(case, experiment, seed)
        reference = fit_from(case, experiment, data, [1.0] * len(case.varied), threads)
        if not determined(reference, case.varied):
            # Another minimum as good as the truth's, or a flat direction: the
            # data do not determine this set, which the fit's warnings say.
            counts["undetermined_draws"] += 1
            continue
        for factors in itertools.product(OFFSETS, repeat=len(case.varied)):
            result = fit_from(case, experiment, data, factors, threads)
            best = min(result.chisqr, reference.chisqr)
            counts["fits"] += 1
            counts["optimum"] += result.chisqr <= best + CHI_SQUARE_MARGIN
            errors = [result.params[n] for n in case.varied]
            if any(p.stderr is None for p in errors):
                continue
            counts["worst_rse"] = max(counts["worst_rse"],
                                      *(p.stderr / abs(p.value) for p in errors))
            deviation = max(abs(p.value - case.truth[p.name]) / p.stderr for p in errors)
            for k in range(3):
                counts["within"][k] += deviation <= k + 1
    return counts


def coverage(draws: int, threads: int) -> float:
    """Fraction of parameter estimates within one standard error of the truth."""
    case = CASES[0]
    experiment = tarnok.Experiment(**case.experiment)
    inside = total = 0
    for seed in range(1000, 1000 + draws):
        result = fit_from(case, experiment, measured(case, experiment, seed),
                          [1.0] * len(case.varied), threads)
        for name in case.varied:
            p = result.params[name]
            inside += abs(p.value - case.truth[name]) <= p.stderr
            total += 1
    return inside / total


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=5)
    parser.add_argument("--coverage-draws", type=int, default=50)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()
    began = time.perf_counter()
    for case in CASES:
        c = sweep(case, args.draws, args.threads)
        n = max(c["fits"], 1)
        within = ", ".join(f"{k + 1} SE {100 * c['within'][k] / n:.0f} %" for k in range(3))
        print(f"{case.name}: {c['fits']} fits, optimum reached {100 * c['optimum'] / n:.1f} %, "
              f"truth within {within}; largest relative standard error {c['worst_rse']:.3g}; "
              f"{c['undetermined_draws']} of {args.draws} draws left out as not determined")
    if args.coverage_draws:
        fraction = coverage(args.coverage_draws, args.threads)
        print(f"coverage over {args.coverage_draws} draws of {CASES[0].name}: "
              f"truth within one standard error in {100 * fraction:.0f} % of estimates")
    print(f"total time {time.perf_counter() - began:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
