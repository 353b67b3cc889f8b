"""Write the bundled example: three raw-looking open-aperture z-scans of a
reverse saturable absorber, one CSV file per pulse energy, and the run file
``zscan_run.toml`` that fits them.

    python examples/make_example_files.py

The signal is the model transmittance (``tarnok.simulate`` with the values in
TRUE_PARAMETERS) times a detector baseline whose wings are not at 1 and that
drifts along the scan, plus Gaussian noise of a stated standard deviation per
point, drawn from a fixed seed: the files come out the same every time, and a
fit can be checked against the values that made them."""

from __future__ import annotations

import csv
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

import tarnok

TRUE_PARAMETERS = {
    "sigma_12": 2e-21, "sigma_23": 5e-21, "sigma_45": 3e-20,
    "tau_21": 8e-9, "tau_24": 4e-9, "tau_32": 1e-10, "tau_41": 1e-6, "tau_54": 1e-10,
}
EXPERIMENT = {
    "wavelength": 532e-9, "w0": 20e-6, "M2": 1.0, "tau": 5e-9, "thickness": 1e-3,
    "populations": [1e23, 0.0, 0.0, 0.0, 0.0], "t_slices": 15, "z_slices": 8,
    "beam": "on-axis",
}
ENERGIES_UJ = (200, 800, 3200)
POSITIONS_MM = np.linspace(-20.0, 20.0, 41)
# Detector reading of the unattenuated beam: offset and drift per mm. A real
# detector never reads exactly 1 in the wings, and the beam walks a little.
BASELINE_OFFSET = 0.83
BASELINE_SLOPE_PER_MM = 0.002
# Standard deviation of each reading, relative to the noise-free signal.
RELATIVE_NOISE = 0.004
SEED = 5320
# The fit starts this far from the truth, so that it has something to do.
START_FACTORS = {"sigma_12": 2.0, "sigma_45": 0.5}
BOUNDS = {"sigma_12": (1e-23, 1e-19), "sigma_45": (1e-22, 1e-18)}
RUN_FILE = "zscan_run.toml"
OUTPUT_FOLDER = "tarnok-example-output"


def data_file_name(energy_uj: float) -> str:
    """File name of the scan at one pulse energy, e.g. ``rsa_200uJ.csv``."""
    return f"rsa_{energy_uj:g}uJ.csv"


def detector_signal(transmittance: np.ndarray, positions_mm: np.ndarray,
                    rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Noisy detector readings and their standard deviations.

    Parameters
    ----------
    transmittance : (n,) array
        Normalised model transmittance.
    positions_mm : (n,) array
    rng : numpy.random.Generator

    Returns
    -------
    signal, sigma : (n,) arrays
    """
    clean = transmittance * (BASELINE_OFFSET + BASELINE_SLOPE_PER_MM * positions_mm)
    sigma = RELATIVE_NOISE * clean
    return clean + rng.normal(0.0, sigma), sigma


def write_scan(path: Path, positions_mm: np.ndarray, signal: np.ndarray,
               sigma: np.ndarray) -> None:
    """One CSV file: a header line, then position (mm), signal and sigma."""
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["z_mm", "signal", "sigma"])
        for row in zip(positions_mm, signal, sigma):
            writer.writerow([f"{row[0]:g}", f"{row[1]:.6f}", f"{row[2]:.6f}"])


UNITS = {"wavelength": "m", "w0": "m, 1/e^2 radius at the focus", "M2": "beam quality",
         "tau": "s", "thickness": "m", "populations": "1/m^3, levels 1 to 5",
         "t_slices": "time slices", "z_slices": "depth slices", "beam": "",
         **{name: "m^2" for name in ("sigma_12", "sigma_23", "sigma_45")},
         **{name: "s" for name in ("tau_21", "tau_24", "tau_32", "tau_41", "tau_54")}}


def _toml_value(value: Any) -> str:
    if isinstance(value, str):
        return f'"{value}"'
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml_value(item) for item in value) + "]"
    if isinstance(value, int):
        return str(value)
    # 5.32e-7 rather than 5.32e-07: read as it would be written by hand.
    text = f"{float(value):.6g}".replace("e-0", "e-").replace("e+0", "e").replace("e+", "e")
    return text if any(c in text for c in ".e") else text + ".0"


def _setting(key: str, value: Any) -> str:
    unit = UNITS.get(key, "")
    line = f"{key} = {_toml_value(value)}"
    return f"{line:<40} # {unit}" if unit else line


def run_file_text(energies_uj: Sequence[float], experiment: Mapping[str, Any],
                  truth: Mapping[str, float], n_starts: int) -> str:
    """The run file that fits the scans: sigma_12 and sigma_45 from starts off
    the truth, everything else fixed at the truth."""
    lines = [
        "# The bundled example: open-aperture z-scans of a reverse saturable absorber",
        "# at three pulse energies, made by examples/make_example_files.py.",
        "# Fit it with:  tarnok fit examples/zscan_run.toml",
        "#",
        "# True values used to make the data (the fit should come back near them):",
        *(f"#   {name} = {_toml_value(value)} {UNITS[name]}" for name, value in truth.items()),
        f"# Detector baseline {BASELINE_OFFSET} + {BASELINE_SLOPE_PER_MM} * z_mm, noise "
        f"{RELATIVE_NOISE:.1%} of the signal per point (sigma column), seed {SEED}.",
        "",
        "[experiment]",
        *(_setting(key, value) for key, value in experiment.items()),
        "",
        "[data]",
        'layout = "per-energy"',
        'position_column = "z_mm"',
        'signal_column = "signal"',
        'sigma_column = "sigma"',
        "energy_pattern = 'rsa_(\\d+(?:\\.\\d+)?)uJ'  # pulse energy from the file name, in uJ",
        "energy_unit = 1e-6",
    ]
    for energy in energies_uj:
        lines += ["", "[[data.files]]", f'path = "data/{data_file_name(energy)}"']
    lines += [
        "",
        "[normalise]",
        "wings = 5      # baseline from the 5 outermost points at each end,",
        "tilt = true    # as a straight line, because the detector reading drifts",
    ]
    for name, value in truth.items():
        lines += ["", f"[parameters.{name}]"]
        if name in START_FACTORS:
            low, high = BOUNDS[name]
            start = f"value = {_toml_value(value * START_FACTORS[name])}"
            lines += [f"{start:<40} # m^2, {START_FACTORS[name]:g} x the true value",
                      "vary = true",
                      f"min = {_toml_value(low)}", f"max = {_toml_value(high)}"]
        else:
            lines.append(f"value = {_toml_value(value)}")
    lines += ["", "[fit]", f"n_starts = {n_starts}", "seed = 0",
              "", "[output]", f'folder = "{OUTPUT_FOLDER}"', 'format = "png"', ""]
    return "\n".join(lines)


def write_example(folder: Path, energies_uj: Sequence[float] = ENERGIES_UJ,
                  positions_mm: np.ndarray = POSITIONS_MM,
                  experiment: Mapping[str, Any] = EXPERIMENT, n_starts: int = 8,
                  seed: int = SEED) -> Path:
    """Write the data files into ``folder/data`` and the run file into ``folder``.

    Returns
    -------
    Path
        The run file.
    """
    model = tarnok.simulate(tarnok.Experiment(**experiment),
                            tarnok.Parameters(**TRUE_PARAMETERS), positions_mm,
                            np.multiply(energies_uj, 1e-6))
    rng = np.random.default_rng(seed)
    (folder / "data").mkdir(parents=True, exist_ok=True)
    for energy, transmittance in zip(energies_uj, model):
        signal, sigma = detector_signal(transmittance, positions_mm, rng)
        write_scan(folder / "data" / data_file_name(energy), positions_mm, signal, sigma)
    run_file = folder / RUN_FILE
    run_file.write_text(run_file_text(energies_uj, experiment, TRUE_PARAMETERS, n_starts),
                        encoding="utf-8")
    return run_file


def main() -> None:
    run_file = write_example(Path(__file__).resolve().parent)
    print(f"wrote {run_file} and its data files")


if __name__ == "__main__":
    main()
