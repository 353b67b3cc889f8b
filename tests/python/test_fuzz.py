"""Random argument sets thrown at the four public computations: each call
must return a well-formed result or raise a documented exception type with a
message; none may crash, hang or read past an array.

The default run is short. A long run (about 100,000 calls)::

    TARNOK_FUZZ_EXAMPLES=25000 .venv/bin/python -m pytest tests/python/test_fuzz.py
"""

import math
import os

import numpy as np
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import tarnok
import tarnok_wrapper
from conftest import make_problem

EXAMPLES = int(os.environ.get("TARNOK_FUZZ_EXAMPLES", "40"))
DOCUMENTED = (TypeError, ValueError, MemoryError, OverflowError)
# fit_zscan also reports an empty selection or no starts as an index error.
FIT_ZSCAN_DOCUMENTED = DOCUMENTED + (IndexError,)
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))

SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 1e-300, 1e300]
SIZES = [-(2**31), -1, 0, 1, 2, 3, 4, 5, 6, 2**31 - 1, 2**31, 2**63]
DTYPES = [np.float64, np.float32, np.int32, np.int64, np.complex128, np.bool_, ">f8"]


def floats():
    return st.one_of(st.sampled_from(SPECIAL_FLOATS),
                     st.floats(allow_nan=True, allow_infinity=True, width=64))


def garbage():
    """Values of the wrong kind for almost any argument."""
    return st.one_of(st.none(), st.text(max_size=3), st.booleans(), st.sampled_from(SIZES),
                     floats(), st.lists(floats(), max_size=6), st.builds(object),
                     st.dictionaries(st.text(max_size=2), floats(), max_size=2))


@st.composite
def odd_arrays(draw, base: np.ndarray):
    """base with its dtype, layout, writability, size or values disturbed."""
    choice = draw(st.sampled_from(["dtype", "strided", "readonly", "size", "values", "2d"]))
    array = np.array(base, dtype=np.float64 if base.dtype.kind == "f" else base.dtype)
    if choice == "dtype":
        with np.errstate(all="ignore"):  # 1e23 does not fit an int32, which is the point
            return array.astype(draw(st.sampled_from(DTYPES)))
    if choice == "strided":
        return np.repeat(array, 2)[::2]
    if choice == "readonly":
        array.setflags(write=False)
        return array
    if choice == "size":
        n = draw(st.integers(0, array.size + 2))
        return np.resize(array, n)
    if choice == "values" and array.size:
        array = array.astype(np.float64)
        array.flat[draw(st.integers(0, array.size - 1))] = draw(floats())
        return array
    return array.reshape(1, -1)


def argument(draw, base):
    """The base value, a disturbed version of it, or garbage."""
    kind = draw(st.sampled_from(["keep", "keep", "odd", "garbage"]))
    if kind == "keep":
        return base
    if kind == "odd" and isinstance(base, np.ndarray):
        return draw(odd_arrays(base))
    if kind == "odd" and isinstance(base, (int, float)) and not isinstance(base, bool):
        return draw(st.sampled_from(SIZES) if isinstance(base, int) else floats())
    return draw(garbage())


def check_refusal(error: BaseException, documented=DOCUMENTED) -> None:
    assert isinstance(error, documented), repr(error)
    assert str(error).strip(), f"{type(error).__name__} without a message"


# --- fit_zscan --------------------------------------------------------------

@st.composite
def fit_zscan_calls(draw):
    problem = make_problem(num_x_pts=6, num_datasets=1).with_(t_slices=2, z_slices=2)
    kwargs = {name: argument(draw, value) for name, value in problem.kwargs().items()}
    # A valid but enormous grid would run for hours; sizes beyond memory are
    # refused up front, and moderate ones are not what this test is about.
    for name in ("t_slices", "z_slices"):
        value = kwargs[name]
        assume(not (isinstance(value, int) and 64 < value < 2**30))
    kwargs["n_starts"] = draw(st.sampled_from([1, 2, 0, -1, 2**31, 2**62]))
    kwargs["is_sa"] = draw(st.one_of(st.booleans(), garbage()))
    return kwargs


@FUZZ
@given(fit_zscan_calls())
def test_fit_zscan_returns_or_refuses(kwargs):
    try:
        residuals, error, spec_pars = tarnok_wrapper.fit_zscan(**kwargs)
    except Exception as refusal:  # noqa: BLE001 - the type is what is checked
        check_refusal(refusal, FIT_ZSCAN_DOCUMENTED)
        return
    assert residuals.dtype == np.float64 and spec_pars.shape == (8,)
    assert isinstance(error, float)


# --- the tarnok package -----------------------------------------------------

SPECTROSCOPIC = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9,
                     tau_24=4e-9, tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
EXPERIMENT = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                  populations=[1e23, 0, 0, 0, 0], t_slices=3, z_slices=2, beam="on-axis",
                  radial_nodes=2)


@st.composite
def experiments(draw):
    fields = {name: argument(draw, value) for name, value in EXPERIMENT.items()}
    fields["t_slices"] = draw(st.sampled_from([3, 2, 1, 0, -1, 2.0, 10_000, 10_001, 2**40]))
    fields["beam"] = draw(st.sampled_from(["on-axis", "gaussian", "flat", None]))
    fields["repetition_rate"] = draw(st.one_of(st.just(None), st.sampled_from([1e8, 1e3]),
                                               floats(), garbage()))
    try:
        return tarnok.Experiment(**fields)
    except Exception as refusal:  # noqa: BLE001
        check_refusal(refusal)
        return tarnok.Experiment(**EXPERIMENT)


@st.composite
def parameter_sets(draw):
    values = {name: argument(draw, value) for name, value in SPECTROSCOPIC.items()}
    values["z0"] = draw(st.one_of(st.just(0.0), floats()))
    values["delta_12"] = argument(draw, draw(st.sampled_from([0.0, 1e-56])))
    for name in draw(st.lists(st.sampled_from(["w0", "M2"]), max_size=2, unique=True)):
        values[name] = argument(draw, EXPERIMENT[name] * 1.1)
    try:
        params = tarnok.Parameters(**values)
    except Exception as refusal:  # noqa: BLE001
        check_refusal(refusal) if not isinstance(refusal, KeyError) else None
        params = tarnok.Parameters(**SPECTROSCOPIC)
    for name in draw(st.lists(st.sampled_from(list(params)), max_size=3, unique=True)):
        params[name].vary = True
    return params


POSITIONS = np.linspace(-20.0, 20.0, 6)
ENERGIES = np.array([1e-3, 3e-3])


@st.composite
def scans(draw):
    positions = argument(draw, POSITIONS)
    energies = argument(draw, ENERGIES)
    return positions, energies


def call(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except Exception as refusal:  # noqa: BLE001
        check_refusal(refusal)
        return None


@FUZZ
@given(experiments(), parameter_sets(), scans(), st.sampled_from(["exact", "integrator", "x"]))
def test_simulate_returns_or_refuses(experiment, params, scan, engine):
    curves = call(tarnok.simulate, experiment, params, *scan, engine=engine)
    if curves is not None:
        assert curves.dtype == np.float64 and curves.ndim == 2


@FUZZ
@given(experiments(), parameter_sets(), scans())
def test_jacobian_returns_or_refuses(experiment, params, scan):
    derivatives = call(tarnok.jacobian, experiment, params, *scan)
    if derivatives is not None:
        assert derivatives.ndim == 3 and derivatives.shape[2] == len(params.varied)


@st.composite
def fit_calls(draw):
    clean = tarnok.simulate(tarnok.Experiment(**EXPERIMENT), tarnok.Parameters(**SPECTROSCOPIC),
                            POSITIONS, ENERGIES)
    transmittance = argument(draw, clean)
    sigma = draw(st.one_of(st.none(), st.just(np.full(clean.shape, 1e-3)),
                           odd_arrays(np.full(clean.shape, 1e-3))))
    data = call(tarnok.ZScan, POSITIONS, transmittance, ENERGIES, sigma=sigma) or \
        tarnok.ZScan(POSITIONS, clean, ENERGIES)
    options = dict(n_starts=draw(st.sampled_from([1, 2, 0, 10_001, 1.5, None])),
                   engine=draw(st.sampled_from(["exact", "integrator", "?"])),
                   threads=draw(st.sampled_from([None, 1, 2, 0, 5000, "2"])),
                   seed=draw(st.sampled_from([0, 1, -1, 2**64, "s"])))
    return data, options


@FUZZ
@given(fit_calls(), experiments(), parameter_sets())
def test_fit_returns_or_refuses(call_args, experiment, params):
    data, options = call_args
    # A fit on the largest grids is slow by nature, not stuck; simulate and
    # jacobian already take them to their limits.
    assume(experiment.t_slices * experiment.z_slices <= 1000)
    result = call(tarnok.fit, data, experiment, params, **options)
    if result is not None:
        assert result.best_fit.shape == data.transmittance.shape
        assert result.report()
