#!/usr/bin/env python3
"""Wall time of real-size fits: power sweeps of 12 energies x 171 positions
with the gaussian beam, fitted from 8 starts on one thread and on two, and
the bundled example.

  (a) a picosecond reverse saturable absorber, fitting sigma_12, sigma_23, z0;
  (b) the two-photon absorber whose carriers build up at 100 MHz
      (examples/two_photon), fitting delta_12, sigma_23, w0, z0.

Each sweep is made by the model itself with noise 1e-3 (sigma given) and
fitted from a start off the truth, on a fixed grid (21 x 11 slices, 12
radial nodes) so that figures of different versions compare. Besides the wall time (and the CPU time of every thread, which a machine
busy with other work disturbs less) the script prints
the evaluations, the time of one evaluation with derivatives, and how the
starts ended, so that a change of speed can be told from a change of path.

    python bench/sweep_speed.py [--sweeps a b example] [--threads 1 2] [--starts 8]
                                [--repeats N] [--evaluations-only]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import tarnok
from tarnok import runfile

ROOT = Path(__file__).resolve().parent.parent
POSITIONS = np.linspace(-20.0, 20.0, 171)
NOISE = 1e-3

PICOSECOND = dict(
    experiment=dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=30e-12, thickness=1e-3,
                    populations=[1e23, 0, 0, 0, 0], t_slices=21, z_slices=11,
                    radial_nodes=12, beam="gaussian"),
    truth=dict(sigma_12=4e-21, sigma_23=2e-20, sigma_45=1e-20, tau_21=1e-9, tau_24=3e-9,
               tau_32=2e-12, tau_41=1e-6, tau_54=5e-12),
    energies=np.geomspace(2e-5, 5e-4, 12),
    start=dict(sigma_12=2.0, sigma_23=0.4),
    z0=0.5,
)

TWO_PHOTON = dict(
    experiment=dict(wavelength=800e-9, w0=25e-6, M2=1.0, tau=60e-15, thickness=5e-4,
                    populations=[1e28, 0, 0, 0, 0], beam="gaussian", repetition_rate=1e8,
                    t_slices=21, z_slices=11, radial_nodes=12),
    truth=dict(sigma_12=0.0, sigma_23=1e-21, sigma_45=0.0, tau_21=1e-6, tau_24=1.0,
               tau_32=1e-13, tau_41=1e-3, tau_54=1e-13, delta_12=5e-58, w0=25e-6),
    energies=np.linspace(0.5e-9, 2.5e-9, 12),
    start=dict(delta_12=2.0, sigma_23=0.5, w0=1.1),
    bounds=dict(delta_12=(1e-60, 1e-55), sigma_23=(1e-24, 1e-18), w0=(15e-6, 40e-6)),
    z0=0.4,
)

SWEEPS = {"a": ("(a) picosecond RSA, sigma_12 sigma_23 z0", PICOSECOND),
          "b": ("(b) two-photon at 100 MHz, delta_12 sigma_23 w0 z0", TWO_PHOTON)}


def sweep_problem(case: dict) -> tuple[tarnok.ZScan, tarnok.Experiment, tarnok.Parameters]:
    experiment = tarnok.Experiment(**case["experiment"])
    truth = tarnok.Parameters(**case["truth"])
    clean = tarnok.simulate(experiment, truth, POSITIONS, case["energies"])
    noisy = clean + np.random.default_rng(1).normal(0.0, NOISE, clean.shape)
    data = tarnok.ZScan(POSITIONS, noisy, case["energies"], sigma=np.full(clean.shape, NOISE))
    params = tarnok.Parameters(**case["truth"])
    for name, factor in case["start"].items():
        low, high = case.get("bounds", {}).get(name, (-np.inf, np.inf))
        params[name].set(value=case["truth"][name] * factor, vary=True, min=low, max=high)
    params["z0"].set(value=case["z0"], vary=True, min=-5.0, max=5.0)
    return data, experiment, params


def bundled_problem() -> tuple[tarnok.ZScan, tarnok.Experiment, tarnok.Parameters, int]:
    run = runfile.load_run(ROOT / "examples" / "zscan_run.toml")
    data, _ = run.load_data()
    return (data, tarnok.Experiment(**run.experiment), tarnok.Parameters(**run.parameters),
            run.fit.n_starts)


def evaluation_seconds(data: tarnok.ZScan, experiment: tarnok.Experiment,
                       params: tarnok.Parameters, threads: int) -> float:
    """Best of three evaluations with derivatives by the varied parameters."""
    best = np.inf
    for _ in range(3):
        began = time.perf_counter()
        try:
            tarnok.jacobian(experiment, params, data.positions_mm, data.pulse_energies,
                            threads=threads)
        except TypeError:  # a tarnok whose evaluations take no threads
            tarnok.jacobian(experiment, params, data.positions_mm, data.pulse_energies)
        best = min(best, time.perf_counter() - began)
    return best


def describe_starts(result: tarnok.FitResult) -> str:
    duplicates = [s for s in result.starts if getattr(s, "duplicate_of", None) is not None]
    ended = ", ".join(f"{s.index}:{s.iterations}it" for s in result.starts)
    return (f"{result.starts_at_best} of {len(result.starts)} at the best, "
            f"{len(duplicates)} stopped as duplicates; iterations {ended}")


def time_evaluations(label: str, problem: tuple, threads_list: list[int]) -> None:
    data, experiment, params = problem[:3]
    print(f"{label}: {data.transmittance.size} points, one evaluation with derivatives")
    for threads in threads_list:
        began_cpu = time.process_time()
        seconds = evaluation_seconds(data, experiment, params, threads)
        print(f"  {threads} thread{'s' if threads > 1 else ' '}: {seconds:.3f} s "
              f"(best of 3; CPU of all three {time.process_time() - began_cpu:.3f} s)")
        sys.stdout.flush()


def time_fit(label: str, problem: tuple, threads_list: list[int], n_starts: int,
             repeats: int) -> None:
    data, experiment, params = problem[:3]
    print(f"{label}: {data.transmittance.size} points, {n_starts} starts")
    for threads in threads_list:
        seconds, cpu = [], []
        for _ in range(repeats):
            began, began_cpu = time.perf_counter(), time.process_time()
            result = tarnok.fit(data, experiment, params, n_starts=n_starts, threads=threads)
            seconds.append(time.perf_counter() - began)
            cpu.append(time.process_time() - began_cpu)
        per_evaluation = evaluation_seconds(data, experiment, params, threads)
        print(f"  {threads} thread{'s' if threads > 1 else ' '}: fit {min(seconds):8.3f} s "
              f"(best of {repeats}; CPU {min(cpu):.3f} s), nfev {result.nfev}, chi-square {result.chisqr:.6g}, "
              f"one evaluation with derivatives {per_evaluation * 1e3:.1f} ms")
        print(f"             {describe_starts(result)}")
        sys.stdout.flush()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sweeps", nargs="+", default=["example", "a", "b"],
                        choices=["example", "a", "b"])
    parser.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    parser.add_argument("--starts", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=1,
                        help="fits per thread count (the bundled example: 5 at least)")
    parser.add_argument("--evaluations-only", action="store_true",
                        help="time one evaluation with derivatives instead of the fit")
    args = parser.parse_args()
    for name in args.sweeps:
        if args.evaluations_only:
            problem = bundled_problem() if name == "example" else sweep_problem(SWEEPS[name][1])
            time_evaluations(name, problem, args.threads)
            continue
        if name == "example":
            *problem, n_starts = bundled_problem()
            time_fit("bundled example", tuple(problem), args.threads, n_starts,
                     max(args.repeats, 5))
        else:
            label, case = SWEEPS[name]
            time_fit(label, sweep_problem(case), args.threads, args.starts, args.repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
