"""Shared set-up for the tarnok_wrapper tests: a small reverse saturable
absorber problem whose fits take milliseconds, and helpers that make fits
predictable."""

from __future__ import annotations

import dataclasses
import signal

import numpy as np
import pytest

import tarnok_wrapper

# A run started in the background by a shell without job control ignores
# SIGINT, and so would every process it starts; the tests of Ctrl-C need the
# interpreter's own handler, which children then inherit as the default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# sigma_12, sigma_23, sigma_45 (m^2); lifetimes 2->1, 2->4, 3->2, 4->1, 5->4 (s).
TRUTH = np.array([2e-21, 5e-21, 1e-19, 8e-9, 4e-9, 1e-12, 1e-6, 1e-12])

# The start multipliers for one to five starts, as the fit must make them.
MULTIPLIERS = {
    1: [0.3019951720402016],
    2: [0.3019951720402016, 3.311311214825911],
    3: [0.3019951720402016, 1.0, 3.311311214825911],
    4: [0.3019951720402016, 0.6709137099554112, 1.4905046433861961, 3.311311214825911],
    5: [0.3019951720402016, 0.5495408738576245, 1.0, 1.8197008586099834, 3.311311214825911],
}

PARAMETERS = (
    "x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width", "tau",
    "wavelength", "w0", "M2", "pulse_energy", "spec_pars", "fit_indices", "num_x_pts",
    "num_datasets", "is_sa", "n_starts",
)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "end_to_end: fits real data from a realistic start (seconds, not milliseconds)")


@dataclasses.dataclass
class Problem:
    """The fifteen required arguments of fit_zscan, as attributes."""

    x_data: np.ndarray
    y_data: np.ndarray
    populations: np.ndarray
    t_slices: int
    z_slices: int
    sample_width: float
    tau: float
    wavelength: float
    w0: float
    M2: float
    pulse_energy: np.ndarray
    spec_pars: np.ndarray
    fit_indices: np.ndarray
    num_x_pts: int
    num_datasets: int

    @property
    def num_points(self) -> int:
        return self.num_x_pts * self.num_datasets

    def args(self) -> list:
        return [getattr(self, field.name) for field in dataclasses.fields(self)]

    def kwargs(self) -> dict:
        return {field.name: getattr(self, field.name) for field in dataclasses.fields(self)}

    def with_(self, **changes) -> "Problem":
        return dataclasses.replace(self, **changes)

    def fit(self, **extra):
        return tarnok_wrapper.fit_zscan(**self.kwargs(), **extra)

    def frozen(self, index: int) -> "Problem":
        """The same problem with fits that cannot move: more fitted entries
        than measured points, so the solver refuses to run and each start
        keeps its starting values (its error is the one at those values)."""
        return self.with_(fit_indices=np.full(self.num_points + 1, index, dtype=np.int32))


def make_problem(num_x_pts: int = 11, num_datasets: int = 2) -> Problem:
    positions = np.linspace(-20.0, 20.0, num_x_pts)
    return Problem(
        x_data=np.tile(positions, num_datasets),
        y_data=np.ones(num_x_pts * num_datasets),
        populations=np.array([1.8e23, 0.0, 0.0, 0.0, 0.0]),
        t_slices=5,
        z_slices=3,
        sample_width=1e-3,
        tau=5e-9,
        wavelength=532e-9,
        w0=20e-6,
        M2=1.0,
        pulse_energy=np.linspace(2e-6, 4e-6, num_datasets),
        spec_pars=TRUTH.copy(),
        fit_indices=np.array([2], dtype=np.int32),
        num_x_pts=num_x_pts,
        num_datasets=num_datasets,
    )


def model_curve(problem: Problem, spec_pars: np.ndarray) -> np.ndarray:
    """The model transmittance at (within an ulp of) spec_pars, read off the
    residuals of a single frozen start: model = y - residuals."""
    start = np.array(spec_pars, dtype=np.float64)
    start[0] /= MULTIPLIERS[1][0]
    # The minimum of the probe sits at position 0, so centring moves nothing.
    probe = np.ones(problem.num_points)
    focus = int(np.argmin(np.abs(problem.x_data)))
    assert problem.x_data[focus] == 0.0
    probe[focus] = 0.0
    frozen = problem.frozen(0).with_(spec_pars=start, y_data=probe)
    residuals, _, _ = frozen.fit(n_starts=1)
    return probe - residuals


@pytest.fixture
def problem() -> Problem:
    return make_problem()


@pytest.fixture
def measured() -> Problem:
    """A problem whose y_data is the model at TRUTH."""
    base = make_problem()
    return base.with_(y_data=model_curve(base, TRUTH))
