"""Arguments that would make the compute core read past the caller's arrays,
divide by zero-sized grids or exhaust memory are refused before any fit runs,
after every error the argument rules themselves raise."""

import math

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
