"""Arguments that would make the compute core read past the caller's arrays,
divide by zero-sized grids or exhaust memory are refused before any fit runs,
after every error the argument rules themselves raise."""

import math
import os
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

from conftest import TRUTH


@pytest.mark.parametrize("changes, message", [
    ({"num_x_pts": 4, "x_data": np.zeros(8), "y_data": np.ones(8)},
     "num_x_pts is 4, but at least 5 positions per dataset are required"),
    ({"num_datasets": 0}, "num_datasets is 0, but at least 1 dataset is required"),
    ({"num_datasets": -3}, "num_datasets is -3, but at least 1 dataset is required"),
    ({"num_x_pts": 2**30, "num_datasets": 4},
     "num_x_pts*num_datasets is 4294967296, but at most 2147483647 measured points are supported"),
    ({"num_x_pts": 12}, "y_data holds 22 values, but num_x_pts*num_datasets = 24 are required"),
    ({"num_x_pts": 10}, "y_data holds 22 values, but num_x_pts*num_datasets = 20 are required"),
    ({"x_data": np.linspace(-1, 1, 21)},
     "x_data holds 21 values, but at least num_x_pts*num_datasets = 22 are required"),
    ({"pulse_energy": np.array([1e-6])},
     "pulse_energy holds 1 values, but at least num_datasets = 2 are required"),
    ({"spec_pars": TRUTH[:7].copy()}, "spec_pars holds 7 values, but at least 8 are required"),
    ({"populations": np.array([1.8e23, 0, 0, 0])},
     "populations holds 4 values, but at least 5 are required"),
    ({"t_slices": 1}, "t_slices is 1, but at least 2 grid points are required"),
    ({"t_slices": -7, "z_slices": 0}, "t_slices is -7, but at least 2 grid points are required"),
    ({"z_slices": 1}, "z_slices is 1, but at least 2 grid points are required"),
    ({"tau": 0.0}, "tau is 0.0, but a finite number above zero is required"),
    ({"tau": math.nan}, "tau is nan, but a finite number above zero is required"),
    ({"w0": -2e-5}, "w0 is -2e-05, but a finite number above zero is required"),
    ({"M2": math.inf}, "M2 is inf, but a finite number above zero is required"),
    ({"wavelength": -math.inf}, "wavelength is -inf, but a finite number above zero is required"),
], ids=lambda value: "" if isinstance(value, str) else "-".join(value))
def test_refused_with_actual_and_required_size(problem, changes, message):
    with pytest.raises(ValueError) as info:
        problem.with_(**changes).fit()
    assert str(info.value) == message


def test_checks_run_in_the_listed_order(problem):
    with pytest.raises(ValueError, match="^num_x_pts is 3"):
        problem.with_(num_x_pts=3, num_datasets=0, tau=-1.0).fit()
    with pytest.raises(ValueError, match="^y_data holds"):
        problem.with_(y_data=np.ones(3), x_data=np.zeros(3), populations=np.ones(9)[:2]).fit()
    with pytest.raises(ValueError, match="^tau is"):
        problem.with_(tau=-1.0, w0=-1.0).fit()


def test_errors_of_the_argument_rules_come_first(problem):
    bad = {"num_x_pts": 3, "tau": -1.0}
    with pytest.raises(IndexError, match=r"axis 0"):
        problem.with_(fit_indices=np.zeros(0, np.int32), **bad).fit()
    with pytest.raises(IndexError, match=r"axis 0"):
        problem.with_(**bad).fit(n_starts=0)
    with pytest.raises(ValueError, match=r"negative dimensions"):
        problem.with_(**bad).fit(n_starts=-2)
    with pytest.raises(ValueError, match=r"out of range \[0,7\]"):
        problem.with_(fit_indices=np.array([9], np.int32), **bad).fit()


@pytest.mark.parametrize("changes", [
    {"t_slices": 2**31 - 1},
    {"z_slices": 2**31 - 1},
    {"t_slices": 2**31 - 1, "z_slices": 2**31 - 1, "num_x_pts": 2**20,
     "x_data": np.zeros(2**21), "y_data": np.ones(2**21)},
], ids=["t_slices", "z_slices", "everything-huge"])
def test_grid_too_large_for_memory_is_a_memory_error(problem, changes):
    with pytest.raises(MemoryError, match=r"^fit_zscan needs \d+ bytes of working memory"):
        problem.with_(**changes).fit()


def test_smallest_accepted_problem_fits(problem):
    small = problem.with_(num_x_pts=5, num_datasets=1, x_data=np.linspace(-10, 10, 5),
                          y_data=np.ones(5), pulse_energy=np.array([3e-6]),
                          t_slices=2, z_slices=2)
    residuals, error, spec_pars = small.fit(n_starts=1)
    assert residuals.shape == (5,) and np.isfinite(error) and np.isfinite(spec_pars).all()


def with_spec_pars(entries):
    spec_pars = TRUTH.copy()
    spec_pars[list(entries)] = list(entries.values())
    return {"spec_pars": spec_pars}


@pytest.mark.parametrize("changes, name, bound, shown", [
    ({"sample_width": math.nan}, "sample_width", "above", "nan"),
    ({"sample_width": 0.0}, "sample_width", "above", "0.0"),
    ({"sample_width": -math.inf}, "sample_width", "above", "-inf"),
    ({"pulse_energy": np.array([2e-6, -1e-3])}, "pulse_energy[1]", "above", "-0.001"),
    ({"pulse_energy": np.array([math.inf, 0.0])}, "pulse_energy[0]", "above", "inf"),
    ({"populations": np.array([1.8e23, 0, 0, 0, math.nan])}, "populations[4]", "at least", "nan"),
    ({"populations": np.array([-1.0, 0, 0, 0, 0])}, "populations[0]", "at least", "-1.0"),
    (with_spec_pars({3: 0.0}), "spec_pars[3] (lifetime tau_21)", "above", "0.0"),
    (with_spec_pars({7: -1e-12}), "spec_pars[7] (lifetime tau_54)", "above", "-1e-12"),
    (with_spec_pars({0: -2e-21}), "spec_pars[0] (cross-section sigma_12)", "at least", "-2e-21"),
    (with_spec_pars({2: math.nan}), "spec_pars[2] (cross-section sigma_45)", "at least", "nan"),
    (with_spec_pars({1: -math.inf, 4: 0.0}), "spec_pars[1] (cross-section sigma_23)", "at least",
     "-inf"),
], ids=lambda value: value.split(" ")[0] if isinstance(value, str) else "")
def test_unphysical_values_refused_with_name_and_value(problem, changes, name, bound, shown):
    with pytest.raises(ValueError) as info:
        problem.with_(**changes).fit()
    assert str(info.value) == f"{name} must be finite and {bound} zero, got {shown}"


@pytest.mark.parametrize("changes", [
    with_spec_pars({0: 0.0, 1: 0.0, 2: 0.0}),
    {"pulse_energy": np.array([2e-6, 4e-6, math.nan])},
    {"populations": np.array([1.8e23, 0, 0, 0, 0, -1.0])},
], ids=["zero-cross-sections", "unused-pulse-energy", "unused-population"])
def test_zero_cross_sections_and_unused_entries_accepted(problem, changes):
    _, error, _ = problem.with_(**changes).frozen(2).fit(n_starts=1)
    assert np.isfinite(error)


NAN_WIDTH = {"sample_width": math.nan}


@pytest.mark.parametrize("changes, n_starts, error, match", [
    ({**NAN_WIDTH, "fit_indices": np.array([9], np.int32)}, 3, ValueError, "out of range"),
    (NAN_WIDTH, 0, IndexError, "axis 0"),
    ({"tau": -1.0, **with_spec_pars({3: 0.0})}, 3, ValueError, "^tau is"),
    ({**NAN_WIDTH, "y_data": np.ones(21)}, 3, ValueError, "^y_data holds"),
    ({**NAN_WIDTH, **with_spec_pars({0: -1.0})}, 3, ValueError, "^sample_width"),
    ({**NAN_WIDTH, "t_slices": 2**31 - 1}, 2**31 - 1, ValueError, "^sample_width"),
    ({"pulse_energy": np.array([0.0, 1.0]), "populations": -np.ones(5)}, 3, ValueError,
     r"^pulse_energy\[0\]"),
    (with_spec_pars({0: -1.0, 3: 0.0}), 3, ValueError, r"^spec_pars\[0\]"),
], ids=["index-range", "no-starts", "beam", "sizes", "sample_width-first",
        "values-before-memory", "pulse_energy-before-populations", "spec_pars-by-index"])
def test_earlier_errors_win(problem, changes, n_starts, error, match):
    with pytest.raises(error, match=match):
        problem.with_(**changes).fit(n_starts=n_starts)


@pytest.mark.parametrize("n_starts", [2**24, 2**31 - 1])
def test_refused_before_the_result_matrices_are_allocated(problem, n_starts):
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="^y_data holds 21 values"):
            problem.with_(y_data=np.ones(21)).fit(n_starts=n_starts)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 2**20


def wide_problem(problem):
    n = 2**16
    return problem.with_(num_x_pts=n, x_data=np.tile(np.linspace(-20, 20, n), 2),
                         y_data=np.ones(2 * n))


@pytest.mark.parametrize("make, n_starts, message", [
    (wide_problem, 2**31 - 1, r"^n_starts = 2147483647 needs [\d.]+ TiB of result matrices, "
                              r"more than the [\d.]+ [KMGT]iB available$"),
    (lambda p: wide_problem(p).with_(fit_indices=np.full(2**14, 2, np.int32)), 1,
     r"^len\(fit_indices\) = 16384 with 131072 measured points needs a work array of \d+ "
     r"values, more than the 2147483647 the least-squares solver can index$"),
], ids=["n_starts", "solver-workspace"])
def test_unaffordable_call_is_a_memory_error_naming_the_argument(problem, make, n_starts,
                                                                  message):
    with pytest.raises(MemoryError, match=message):
        make(problem).fit(n_starts=n_starts)


def test_memory_is_what_the_process_may_take_not_what_the_machine_has():
    # An address-space limit 1 GiB above what the process already maps; the
    # result matrices of 2^24 starts need 4 GiB.
    script = textwrap.dedent("""
        import resource
        from conftest import make_problem
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (mapped * 1024 + 2**30, hard))
        try:
            make_problem().fit(n_starts=2**24)
        except MemoryError as error:
            print(error)
    """)
    here = os.path.dirname(__file__)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [
        here, os.environ.get("PYTHONPATH")]))}
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=120, check=True)
    assert run.stdout.startswith("n_starts = 16777216 needs 4.0 GiB of result matrices, more than")
