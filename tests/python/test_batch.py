"""Batch fits in other processes: results come back whole, in order, equal to
a fit in this process, and one bad run spoils none of the others."""

from __future__ import annotations

import importlib.util
from pathlib import Path

import numpy as np
import pytest

import tarnok
from tarnok import batch
from tarnok.batch import fit_many, fit_run
from tarnok.runfile import RunFileError, load_run

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def small_run(folder: Path, seed: int) -> Path:
    located = importlib.util.spec_from_file_location("make_example_files",
                                                  EXAMPLES / "make_example_files.py")
    maker = importlib.util.module_from_spec(located)
    located.loader.exec_module(maker)
    return maker.write_example(folder, energies_uj=(200, 3200),
                               positions_mm=np.linspace(-20.0, 20.0, 11),
                               experiment={**maker.EXPERIMENT, "t_slices": 5, "z_slices": 3},
                               n_starts=2, seed=seed)


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Two good runs (one as a loaded description), a missing file, and a run
    whose data file has a bad cell."""
    good = [small_run(tmp_path_factory.mktemp(f"run{seed}"), seed) for seed in (1, 2)]
    broken = small_run(tmp_path_factory.mktemp("broken"), 3)
    data = broken.parent / "data" / "rsa_200uJ.csv"
    data.write_text(data.read_text().replace("\n-16,", "\n-16,oops,", 1))
    return [good[0], load_run(good[1]), good[0].parent / "absent.toml", broken]


@pytest.fixture(scope="module")
def expected(runs):
    """The same fits in this process."""
    results = []
    for run in runs[:2]:
        description = run if not isinstance(run, Path) else load_run(run)
        data, _ = description.load_data()
        results.append(tarnok.fit(data, tarnok.Experiment(**description.experiment),
                                  tarnok.Parameters(**description.parameters),
                                  n_starts=description.fit.n_starts, threads=1))
    return results


def check_outcomes(outcomes, expected):
    assert len(outcomes) == 4
    for got, want in zip(outcomes[:2], expected):
        assert isinstance(got, tarnok.FitResult), got
        assert got.chisqr == want.chisqr
        assert got.params.valuesdict() == want.params.valuesdict()
        np.testing.assert_array_equal(got.best_fit, want.best_fit)
        assert got.experiment == want.experiment
        assert got.report() == want.report()
    assert isinstance(outcomes[2], RunFileError) and "absent.toml" in str(outcomes[2])
    assert isinstance(outcomes[3], Exception)
    assert "rsa_200uJ.csv, line 3" in str(outcomes[3])


def test_a_local_process_pool(runs, expected):
    check_outcomes(fit_many(runs), expected)


def test_a_dask_cluster(runs, expected):
    distributed = pytest.importorskip(
        "dask.distributed", reason="dask[distributed] is not installed; it is only needed "
                                   "to run batch fits on a Dask cluster")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        check_outcomes(fit_many(runs, client.get_executor()), expected)


def test_nothing_to_fit_starts_no_pool():
    assert fit_many([]) == []
    assert tarnok.fit_many is fit_many  # as the README shows it


def killing_task(run):
    """A worker's task that ends its process at the first run whose folder is
    named ``dies``, and at each run in a folder named ``dies-again``, with no
    result, as a kill or the out-of-memory killer would."""
    import os

    folder = Path(run).parent
    marker = folder / "died-once"
    if folder.name == "dies-again" or (folder.name == "dies" and not marker.exists()):
        marker.touch()
        os._exit(9)
    return fit_run(run)


def test_a_run_whose_worker_dies_is_retried_and_only_a_second_death_loses_it(
        tmp_path, monkeypatch):
    runs = [small_run(tmp_path / name, seed) for seed, name in
            enumerate(["good", "dies", "dies-again", "also-good"], start=1)]
    monkeypatch.setattr(batch, "_task_function", killing_task)
    outcomes = fit_many(runs)
    assert [type(o).__name__ for o in outcomes] == ["FitResult", "FitResult",
                                                     "BatchRunError", "FitResult"]
    assert outcomes[2].kind == "WorkerDied" and "dies-again" in str(outcomes[2])
