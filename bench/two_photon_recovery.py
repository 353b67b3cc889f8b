#!/usr/bin/env python3
"""Recovery of a two-photon absorber whose carriers absorb and build up from
pulse to pulse, at 100 MHz: 6 pulse energies x 81 positions, gaussian beam,
noise 1e-3 with sigma given. Each noise draw is fitted for delta_12,
sigma_23, w0 and z0 from a start off the truth; the script counts how often
each lies within 3 standard errors of the truth, and measures what the train
costs per evaluation against single pulses (passes of a pulse through the
sample, and time).

    python bench/two_photon_recovery.py [--draws N] [--workers N]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import time

import numpy as np

import tarnok
from tarnok import _core
from tarnok.parameters import NAMES
from tarnok.simulation import scan_arrays

POSITIONS = np.linspace(-15.0, 15.0, 81)
ENERGIES = np.linspace(0.5e-9, 2.5e-9, 6)  # 50-250 mW at 100 MHz
NOISE = 1e-3
EXPERIMENT = dict(wavelength=800e-9, w0=25e-6, M2=1.0, tau=60e-15, thickness=5e-4,
                  populations=[1e28, 0, 0, 0, 0], beam="gaussian", repetition_rate=1e8)
TRUTH = dict(sigma_12=0.0, sigma_23=1e-21, sigma_45=0.0, tau_21=1e-6, tau_24=1.0,
             tau_32=1e-13, tau_41=1e-3, tau_54=1e-13, delta_12=5e-58, w0=25e-6)
START = dict(delta_12=2.0, sigma_23=0.5, w0=1.1)  # factors on the truth; z0 starts at 0.4 mm
BOUNDS = dict(delta_12=(1e-60, 1e-55), sigma_23=(1e-24, 1e-18), w0=(15e-6, 40e-6))
VARIED = ("delta_12", "sigma_23", "w0", "z0")


def truth_parameters() -> tarnok.Parameters:
    return tarnok.Parameters(**TRUTH, z0=0.0)


def fit_draw(seed: int) -> dict:
    experiment = tarnok.Experiment(**EXPERIMENT)
    clean = tarnok.simulate(experiment, truth_parameters(), POSITIONS, ENERGIES)
    noisy = clean + np.random.default_rng(seed).normal(0.0, NOISE, clean.shape)
    data = tarnok.ZScan(POSITIONS, noisy, ENERGIES, sigma=np.full(clean.shape, NOISE))
    params = truth_parameters()
    for name, factor in START.items():
        low, high = BOUNDS[name]
        params[name].set(value=TRUTH[name] * factor, vary=True, min=low, max=high)
    params["z0"].set(value=0.4, vary=True)
    began = time.perf_counter()
    result = tarnok.fit(data, experiment, params, n_starts=1, threads=1)
    elapsed = time.perf_counter() - began
    within = {}
    for name in VARIED:
        p = result.params[name]
        truth = TRUTH.get(name, 0.0)
        within[name] = p.stderr is not None and abs(p.value - truth) < 3 * p.stderr
    beta = result.derived["beta"]
    return {"seed": seed, "within": within, "redchi": result.redchi, "seconds": elapsed,
            "nfev": result.nfev, "beta": (beta.value * 1e11, beta.stderr * 1e11),
            "success": result.success, "report": result.report()}


def start_parameters() -> tarnok.Parameters:
    params = truth_parameters()
    for name, factor in START.items():
        params[name].value = TRUTH[name] * factor
    params["z0"].value = 0.4
    return params


def train_cost(params: tarnok.Parameters, where: str) -> None:
    """Passes per column and time per evaluation, train over single pulses."""
    positions, energies = scan_arrays(POSITIONS, ENERGIES)
    varied = [NAMES.index(n) for n in VARIED]
    rows = []
    for rate in (None, 1e8):
        # A grid of its own: "auto" chooses one per fit, and the cost is
        # compared on the same cells.
        experiment = tarnok.Experiment(**{**EXPERIMENT, "repetition_rate": rate},
                                       t_slices=21, z_slices=11, radial_nodes=12)
        model = _core.exact_engine(experiment._core, positions, energies)
        columns = positions.size * experiment.radial_nodes
        for derivatives in ([], varied):
            best = np.inf
            for _ in range(3):
                began = time.perf_counter()
                passes = model.pulses_sent(params.vector(), derivatives)
                best = min(best, time.perf_counter() - began)
            rows.append((rate, bool(derivatives), passes / columns, best))
    for derivatives in (False, True):
        single = next(r for r in rows if r[0] is None and r[1] == derivatives)
        train = next(r for r in rows if r[0] is not None and r[1] == derivatives)
        kind = "with 4 derivatives" if derivatives else "curves only"
        print(f"train cost at the {where}, {kind}: {train[2]:.2f} passes per column against "
              f"{single[2]:.2f}; "
              f"{train[3] / single[3]:.2f}x the single-pulse time ({train[3]:.2f} s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=10)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    train_cost(start_parameters(), "start")
    train_cost(truth_parameters(), "truth")
    with concurrent.futures.ProcessPoolExecutor(args.workers) as pool:
        outcomes = list(pool.map(fit_draw, range(args.draws)))
    for o in outcomes:
        flags = " ".join(f"{n}:{'ok' if w else 'OUT'}" for n, w in o["within"].items())
        print(f"draw {o['seed']}: redchi {o['redchi']:.3f}, beta {o['beta'][0]:.4f} +/- "
              f"{o['beta'][1]:.4f} cm/GW, {o['nfev']} evaluations, {o['seconds']:.0f} s; {flags}")
    for name in VARIED:
        hits = sum(o["within"][name] for o in outcomes)
        print(f"{name}: within 3 standard errors in {hits} of {len(outcomes)} draws")
    print("\nreport of draw 0:\n" + outcomes[0]["report"])


if __name__ == "__main__":
    main()
