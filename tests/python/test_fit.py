"""tarnok.fit: recovery, determinism across threads, cancellation, honest
uncertainties and warnings, bounds, and argument checks."""

import _thread
import json
import threading

import numpy as np
import pytest

import tarnok

POSITIONS = np.linspace(-20.0, 20.0, 41)
ENERGIES = np.array([2e-4, 8e-4, 3.2e-3])
TRUTH = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
             tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
EXPERIMENT = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                               populations=[1e23, 0, 0, 0, 0], t_slices=9, z_slices=5,
                               beam="on-axis")
NOISE = 1e-3


def measured(seed=0, sigma=True):
    clean = tarnok.simulate(EXPERIMENT, tarnok.Parameters(**TRUTH), POSITIONS, ENERGIES)
    noisy = clean + np.random.default_rng(seed).normal(0.0, NOISE, clean.shape)
    return tarnok.ZScan(POSITIONS, noisy, ENERGIES, sigma=np.full(clean.shape, NOISE) if sigma else None)


def start(factors, **bounds):
    params = tarnok.Parameters(**TRUTH)
    for name, factor in factors.items():
        params[name].set(value=TRUTH[name] * factor, vary=True, **bounds.get(name, {}))
    return params


@pytest.mark.parametrize("seed", [1, 2])
def test_recovers_a_determined_pair_within_three_standard_errors(seed):
    result = tarnok.fit(measured(seed), EXPERIMENT, start({"sigma_12": 3.0, "sigma_45": 0.3}),
                        n_starts=4, threads=1)
    assert result.success and not result.aborted
    assert result.weighted and result.nvarys == 2 and result.ndata == ENERGIES.size * 41
    for name in ("sigma_12", "sigma_45"):
        p = result.params[name]
        assert abs(p.value - TRUTH[name]) < 3 * p.stderr, name
        assert p.init_value == pytest.approx(TRUTH[name] * (3.0 if name == "sigma_12" else 0.3))
    assert result.redchi == pytest.approx(1.0, abs=0.3)
    assert result.warnings == []
    json.dumps(result.to_dict())
    report = result.report()
    for block in ("[[Fit Statistics]]", "[[Variables]]", "sigma_23:", "(fixed)", "(init = "):
        assert block in report


def test_same_result_bit_for_bit_on_any_number_of_threads(capfd):
    data, params = measured(3, sigma=False), start({"sigma_12": 2.0, "sigma_45": 0.5})
    one = tarnok.fit(data, EXPERIMENT, params, n_starts=5, threads=1, seed=7)
    two = tarnok.fit(data, EXPERIMENT, params, n_starts=5, threads=2, seed=7)
    assert [s.values for s in one.starts] == [s.values for s in two.starts]
    assert one.chisqr == two.chisqr and one.best_start == two.best_start
    np.testing.assert_array_equal(one.covar, two.covar)
    assert capfd.readouterr() == ("", "")  # a fit prints nothing


def test_a_callback_stops_every_start_and_the_result_is_complete():
    seen = []

    def stop_at_once(progress):
        seen.append(progress)
        return True

    # Enough starts that the fit outlasts the first poll however fast it runs.
    result = tarnok.fit(measured(4), EXPERIMENT, start({"sigma_12": 5.0, "sigma_45": 0.2}),
                        n_starts=200, threads=2, callback=stop_at_once)
    assert result.aborted and not result.success
    assert "callback" in result.message
    assert seen and seen[0].n_starts == 200
    assert np.isfinite(result.chisqr) and result.covar is not None
    assert any(s.status in ("cancelled", "not_run") for s in result.starts)


def test_keyboard_interrupt_returns_the_best_result_so_far():
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        result = tarnok.fit(measured(5), EXPERIMENT, start({"sigma_12": 5.0, "sigma_45": 0.2}),
                            n_starts=200, threads=1)
    finally:
        timer.cancel()
    assert result.aborted and "KeyboardInterrupt" in result.message
    assert np.isfinite(result.chisqr)


def test_parameters_the_data_cannot_feel_are_reported_not_fatal():
    # Without ground-state absorption no upper level is ever populated, so the
    # upper cross-sections leave the curves untouched.
    params = tarnok.Parameters(**{**TRUTH, "sigma_12": 0.0})
    params["sigma_23"].vary = params["sigma_45"].vary = True
    result = tarnok.fit(measured(6), EXPERIMENT, params, n_starts=2, threads=1)
    assert result.params["sigma_23"].stderr is None
    text = "\n".join(result.warnings)
    assert "sigma_23 does not affect the model" in text
    assert "sigma_45 does not affect the model" in text
    assert "[[Warnings]]" in result.report()


def test_ill_posed_sets_end_with_warnings():
    result = tarnok.fit(measured(7), EXPERIMENT,
                        start({"sigma_12": 1.5, "sigma_45": 0.7, "tau_54": 2.0}),
                        n_starts=2, threads=2)
    text = "\n".join(result.warnings)
    assert "poorly determined" in text or "are correlated at" in text


def test_bounds_hold_and_a_parameter_at_a_bound_is_flagged():
    params = start({"sigma_12": 0.5, "sigma_45": 0.5}, sigma_45={"max": 2e-20})
    result = tarnok.fit(measured(8), EXPERIMENT, params, n_starts=3, threads=1)
    assert result.params["sigma_45"].value <= 2e-20
    assert all(s.values["sigma_45"] <= 2e-20 for s in result.starts)
    assert any("sigma_45 is at a bound" in w for w in result.warnings)


@pytest.mark.parametrize("changes, error, message", [
    ({"n_starts": 0}, ValueError, "n_starts must be between 1"),
    ({"threads": 1.5}, TypeError, "threads must be an integer"),
    ({"engine": "fast"}, ValueError, "engine must be"),
    ({"callback": 3}, TypeError, "callback must be callable"),
    ({"seed": -1}, ValueError, "seed must be"),
    ({"data": np.ones((3, 41))}, TypeError, "data must be a tarnok.ZScan"),
])
def test_fit_refuses_bad_arguments_by_name(changes, error, message):
    arguments = dict(data=measured(), experiment=EXPERIMENT, parameters=start({"sigma_12": 2.0}))
    arguments.update(changes)
    with pytest.raises(error, match=message):
        tarnok.fit(**arguments)


def test_fit_needs_a_varied_parameter_with_a_usable_start():
    with pytest.raises(ValueError, match="no parameter is varied"):
        tarnok.fit(measured(), EXPERIMENT, tarnok.Parameters(**TRUTH))
    params = tarnok.Parameters(**{**TRUTH, "sigma_23": 0.0})
    params["sigma_23"].vary = True
    with pytest.raises(ValueError, match="sigma_23 is varied on a logarithmic scale"):
        tarnok.fit(measured(), EXPERIMENT, params)


def test_concurrent_fits_from_several_python_threads_match_the_sequential_ones():
    cases = [(measured(seed), start({"sigma_12": f, "sigma_45": 1 / f}))
             for seed, f in ((10, 2.0), (11, 0.4), (12, 3.0))]
    sequential = [tarnok.fit(d, EXPERIMENT, p, n_starts=3, threads=2) for d, p in cases]
    concurrent = [None] * len(cases)

    def run(k):
        concurrent[k] = tarnok.fit(cases[k][0], EXPERIMENT, cases[k][1], n_starts=3, threads=2)

    workers = [threading.Thread(target=run, args=(k,)) for k in range(len(cases))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for alone, together in zip(sequential, concurrent):
        assert [s.values for s in alone.starts] == [s.values for s in together.starts]
        assert alone.chisqr == together.chisqr
