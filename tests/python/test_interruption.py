"""Ctrl-C at any moment: the tarnok command and the library stop soon, keep
what is worth keeping, and never end in a traceback or a partial file."""

from __future__ import annotations

import importlib.util
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
# A grid whose evaluations take seconds, so that every Ctrl-C below lands in
# the middle of the work.
SLOW = {"t_slices": 600, "z_slices": 200}


def slow_run(folder: Path) -> Path:
    located = importlib.util.spec_from_file_location("make_example_files",
                                                  EXAMPLES / "make_example_files.py")
    maker = importlib.util.module_from_spec(located)
    located.loader.exec_module(maker)
    fast = {**maker.EXPERIMENT, "t_slices": 5, "z_slices": 3}
    run = maker.write_example(folder, energies_uj=(200, 3200),
                              positions_mm=np.linspace(-20.0, 20.0, 21), experiment=fast,
                              n_starts=4)
    text = run.read_text().replace("t_slices = 5", f"t_slices = {SLOW['t_slices']}")
    run.write_text(text.replace("z_slices = 3", f"z_slices = {SLOW['z_slices']}"))
    return run


def interrupt(command: list[str], after: float, cwd: Path) -> tuple[int, str, float]:
    """Run ``python -m tarnok COMMAND``, send SIGINT after ``after`` seconds;
    return its exit status, its stderr and how long it took to end after the signal."""
    process = subprocess.Popen([sys.executable, "-m", "tarnok", *command], cwd=cwd,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(after)
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=120)
    return process.returncode, err, time.monotonic() - sent


@pytest.fixture(scope="module")
def run_file(tmp_path_factory):
    return slow_run(tmp_path_factory.mktemp("slow"))


@pytest.mark.parametrize("after", [0.15, 0.4, 1.5, 6.0])
def test_ctrl_c_during_a_fit_keeps_the_best_result_or_says_interrupted(run_file, tmp_path,
                                                                       after):
    out = tmp_path / "out"
    status, err, _ = interrupt(["fit", str(run_file), "-o", str(out), "--threads", "2", "-q"],
                               after, tmp_path)
    assert "Traceback" not in err and "non-finite" not in err, err
    assert status in (1, 130), err
    names = sorted(p.name for p in out.iterdir()) if out.exists() else []
    assert not [n for n in names if n.startswith(".tarnok-partial-")]
    if status == 130:
        assert err.strip().endswith("interrupted"), err
        assert "result.json" not in names
    else:
        document = json.loads((out / "result.json").read_text())
        assert document["aborted"] is True
        assert "interrupted" in document["message"]
        assert {"report.txt", "curves.csv", "fit.png"} <= set(names)


def test_ctrl_c_stops_tarnok_simulate_at_once(run_file, tmp_path):
    # A minute of work on a grid this fine (the positions of a scan share one
    # table of the sample's response, so their number hardly adds to it);
    # Ctrl-C must end it long before.
    finer = tmp_path / "finer.toml"
    finer.write_text(run_file.read_text()
                     .replace(f"t_slices = {SLOW['t_slices']}", "t_slices = 3000")
                     .replace(f"z_slices = {SLOW['z_slices']}", "z_slices = 1000"))
    command = ["simulate", str(finer), "--energies", "200uJ", "--scan", "-20", "20", "401",
               "-o", str(tmp_path / "sim")]
    status, err, took = interrupt(command, 2.0, tmp_path)
    assert (status, err.strip()) == (130, "tarnok: interrupted")
    assert took < 5.0
    assert not (tmp_path / "sim" / "simulation.csv").exists()


_LIBRARY = """
import os, signal, sys, threading, time
import numpy as np
import tarnok
experiment = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                               populations=[1e23, 0, 0, 0, 0], t_slices=3000, z_slices=1500,
                               beam="on-axis")
params = tarnok.Parameters(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9,
                           tau_24=4e-9, tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
params["sigma_12"].vary = True  # carried forward: no record that grows with the grid
threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.monotonic()
try:
    getattr(tarnok, sys.argv[1])(experiment, params, np.linspace(-20, 20, 41), [1e-4])
except KeyboardInterrupt:
    print(time.monotonic() - start)
"""


@pytest.mark.parametrize("function", ["simulate", "jacobian"])
def test_ctrl_c_stops_simulate_and_jacobian_at_once(function):
    done = subprocess.run([sys.executable, "-c", _LIBRARY, function], capture_output=True,
                          text=True, timeout=300)
    # Quiet to the end: the abandoned evaluation is no leak to report.
    assert done.stderr == "" and done.returncode == 0
    assert float(done.stdout) < 4.0
