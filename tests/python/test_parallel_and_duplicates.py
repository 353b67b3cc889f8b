"""Evaluations shared out over threads give the same bits for any count, and
starts that join an earlier start's path stop there without costing the fit
its best optimum; the report and result.json say which stopped and why."""

import json

import numpy as np
import pytest

import tarnok

POSITIONS = np.linspace(-20.0, 20.0, 41)
ENERGIES = np.array([2e-4, 8e-4, 3.2e-3])
TRUTH = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
             tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
ON_AXIS = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                            populations=[1e23, 0, 0, 0, 0], t_slices=9, z_slices=5,
                            beam="on-axis")
# Enough cells per evaluation (radial nodes, slices) that its positions are
# shared out over every thread it is given.
GAUSSIAN = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                             populations=[1e23, 0, 0, 0, 0], t_slices=9, z_slices=5,
                             beam="gaussian", radial_nodes=6)
TRAIN = tarnok.Experiment(wavelength=800e-9, w0=25e-6, M2=1.0, tau=60e-15, thickness=5e-4,
                          populations=[1e28, 0, 0, 0, 0], beam="gaussian",
                          repetition_rate=1e8, t_slices=7, z_slices=4, radial_nodes=4)
TWO_PHOTON = dict(sigma_12=0.0, sigma_23=1e-21, sigma_45=0.0, tau_21=1e-6, tau_24=1.0,
                  tau_32=1e-13, tau_41=1e-3, tau_54=1e-13, delta_12=5e-58)


def measured(experiment, seed=0):
    clean = tarnok.simulate(experiment, tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES)
    noisy = clean + np.random.default_rng(seed).normal(0.0, 1e-3, clean.shape)
    return tarnok.ZScan(POSITIONS, noisy, ENERGIES, sigma=np.full(clean.shape, 1e-3))


def varied(truth, factors, z0=None):
    params = tarnok.Parameters(**truth)
    for name, factor in factors.items():
        params[name].set(value=truth[name] * factor, vary=True)
    if z0 is not None:
        params["z0"].set(value=z0, vary=True)
    return params


@pytest.mark.parametrize("experiment, truth, energies", [
    (GAUSSIAN, TRUTH, ENERGIES),
    (TRAIN, TWO_PHOTON, np.array([0.5e-9, 2.5e-9])),
], ids=["single pulses", "pulse train"])
def test_simulate_and_jacobian_give_the_same_bits_on_any_number_of_threads(
        experiment, truth, energies):
    params = varied(truth, {"sigma_23": 1.3}, z0=0.3)
    curves = [tarnok.simulate(experiment, params, POSITIONS, energies, threads=t)
              for t in (1, 2, 3)]
    slopes = [tarnok.jacobian(experiment, params, POSITIONS, energies, threads=t)
              for t in (1, 2, 3)]
    raw = [tarnok.raw_transmittance(experiment, params, POSITIONS, energies, threads=t)
           for t in (1, 3)]
    for other in curves[1:]:
        assert other.tobytes() == curves[0].tobytes()
    for other in slopes[1:]:
        assert other.tobytes() == slopes[0].tobytes()
    assert raw[1].tobytes() == raw[0].tobytes()
    assert tarnok.simulate(experiment, params, POSITIONS, energies).tobytes() \
        == curves[0].tobytes()


def test_a_fit_gives_the_same_bits_and_duplicates_on_any_number_of_threads():
    data = measured(GAUSSIAN, seed=4)
    params = varied(TRUTH, {"sigma_12": 2.0, "sigma_45": 0.5})
    # Two starts on three threads: each start's evaluations get helpers too.
    fits = [tarnok.fit(data, GAUSSIAN, params, n_starts=n, threads=t)
            for n, t in ((2, 1), (2, 3), (2, 2))]
    for other in fits[1:]:
        assert [s.values for s in other.starts] == [s.values for s in fits[0].starts]
        assert [(s.status, s.duplicate_of, s.nfev) for s in other.starts] == \
            [(s.status, s.duplicate_of, s.nfev) for s in fits[0].starts]
        assert other.chisqr == fits[0].chisqr
        assert other.covar.tobytes() == fits[0].covar.tobytes()


@pytest.fixture(scope="module")
def many_starts():
    data = measured(ON_AXIS, seed=2)
    params = varied(TRUTH, {"sigma_12": 2.5, "sigma_45": 0.4})
    return data, params, tarnok.fit(data, ON_AXIS, params, n_starts=8, threads=2)


def test_starts_that_join_an_earlier_path_stop_and_are_reported(many_starts):
    _, _, result = many_starts
    duplicates = [s for s in result.starts if s.duplicate_of is not None]
    assert duplicates, "eight starts of a determined pair should meet on the way"
    for s in duplicates:
        joined = result.starts[s.duplicate_of]
        assert s.status == "duplicate" and not s.success
        assert s.duplicate_of < s.index and joined.duplicate_of is None
        assert s.chisqr >= joined.chisqr
        assert f"joined the path of start {s.duplicate_of} at its iteration" in s.message
        assert "standard errors apart" in s.message
    assert result.starts[result.best_start].duplicate_of is None
    saved = json.loads(json.dumps(result.to_dict()))
    assert [s["duplicate_of"] for s in saved["starts"]] == \
        [s.duplicate_of for s in result.starts]
    listed = ", ".join(f"{s.index} of start {s.duplicate_of}" for s in duplicates)
    assert f"stopped as duplicates: {listed})" in result.report()
    # A duplicate of a start at the best counts as having reached it, so a
    # well-determined fit gets no warning that its optimum may not be global.
    at_best = [s for s in result.starts if s.duplicate_of is None
               and s.chisqr - result.chisqr <= 1e-6 * result.chisqr]
    assert result.starts_at_best == len(at_best) + sum(
        s.duplicate_of in {a.index for a in at_best} for s in duplicates)
    assert not any("only 1 of" in w for w in result.warnings)


def test_no_start_run_alone_finds_a_lower_chi_square_than_the_pruned_fit(many_starts):
    data, params, result = many_starts
    alone = []
    for s in result.starts:
        start = params.copy()
        for name, value in s.start.items():
            start[name].value = value
        alone.append(tarnok.fit(data, ON_AXIS, start, n_starts=1, threads=1).chisqr)
    # The best start's path is untouched by the others, so its optimum is
    # reproduced to the bit; a duplicate's own optimum is no better.
    assert min(alone) == result.chisqr
    assert alone[result.best_start] == result.chisqr


@pytest.mark.parametrize("threads, error", [
    (0, ValueError), (2000, ValueError), (1.5, TypeError), (True, TypeError), ("2", TypeError),
])
def test_simulate_refuses_a_bad_thread_count_by_name(threads, error):
    with pytest.raises(error, match="threads"):
        tarnok.simulate(ON_AXIS, tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES,
                        threads=threads)
    with pytest.raises(error, match="threads"):
        tarnok.jacobian(ON_AXIS, varied(TRUTH, {"sigma_12": 1.0}), POSITIONS, ENERGIES,
                        threads=threads)
