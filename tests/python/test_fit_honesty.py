"""Whether a fit says when its answer should not be trusted: χ² implausible
for σ, systematic residuals, R² below zero, parameters on or near a bound,
and an optimum only one start found. Each warning on a case made to raise it
and a case that must not."""

import itertools
import json
import math

import numpy as np
import pytest

import tarnok
from tarnok import outputs
from tarnok.residual_tests import chi_square_tails, runs_test

POSITIONS = np.linspace(-20.0, 20.0, 41)
TRUTH = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
             tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)
NOISE = 1e-3
# A pulse long against the excited singlet's 8 ns and short against the
# triplet's 1 µs: the triplet's absorption builds up during the pulse, which
# no choice of the singlet's cross-sections can mimic.
LONG_PULSE = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=50e-9,
                               thickness=1e-3, populations=[1e23, 0, 0, 0, 0], t_slices=11,
                               z_slices=5, beam="on-axis")
LONG_PULSE_ENERGIES = [1e-3, 4e-3, 1.6e-2]


def measured(seed, experiment=LONG_PULSE, energies=LONG_PULSE_ENERGIES, sigma=NOISE):
    clean = tarnok.simulate(experiment, tarnok.Parameters(**TRUTH), POSITIONS, energies)
    noisy = clean + np.random.default_rng(seed).normal(0.0, NOISE, clean.shape)
    return tarnok.ZScan(POSITIONS, noisy, energies, sigma=np.full(clean.shape, sigma))


def varied(names, **changes):
    params = tarnok.Parameters(**{**TRUTH, **changes})
    for name in names:
        params[name].vary = True
    return params


def without_the_triplet():
    return varied(("sigma_12", "sigma_23"), sigma_45=0.0)


# ---------------------------------------------------------------------------
# The distributions behind the tests


@pytest.mark.parametrize("nfree", [2, 10, 120])
def test_chi_square_tails_match_the_closed_form_for_even_degrees_of_freedom(nfree):
    # For 2k degrees of freedom P(X >= x) = exp(-x/2) * sum_{i<k} (x/2)^i / i!.
    for x in (0.3 * nfree, nfree, 1.7 * nfree, 3.0 * nfree):
        half = x / 2.0
        above = math.exp(-half) * sum(half ** i / math.factorial(i) for i in range(nfree // 2))
        below, upper = chi_square_tails(x, nfree)
        assert upper == pytest.approx(above, rel=1e-10, abs=1e-300)
        assert below == pytest.approx(1.0 - above, rel=1e-10, abs=1e-14)


def test_runs_probability_matches_counting_every_ordering():
    # Ten signs, four positive: each of the C(10, 4) orderings is equally likely.
    orderings = list(itertools.combinations(range(10), 4))
    counts = {}
    for positives in orderings:
        signs = np.where(np.isin(np.arange(10), positives), 1.0, -1.0)
        runs = 1 + int(np.sum(signs[1:] != signs[:-1]))
        counts[runs] = counts.get(runs, 0) + 1
    signs = np.array([1, 1, 1, 1, -1, -1, -1, -1, -1, -1], float)  # two runs
    z = np.arange(10.0)
    assert runs_test(signs, z, np.ones(10)).runs_p == pytest.approx(
        counts[2] / len(orderings))
    alternating = np.array([1, -1, 1, -1, 1, -1, 1, -1, -1, -1], float)  # eight runs
    assert runs_test(alternating, z, np.ones(10)).runs_p == pytest.approx(
        sum(c for r, c in counts.items() if r <= 8) / len(orderings))


def test_pure_noise_rarely_looks_systematic():
    rng = np.random.default_rng(0)
    z = np.linspace(-20, 20, 41)
    flagged = sum(runs_test(rng.normal(size=41), z, np.ones(41)).systematic
                  for _ in range(4000))
    assert flagged <= 16  # 1e-3 expected: 4 of 4000


# ---------------------------------------------------------------------------
# A model that misses a level, and the right model, on the same data


@pytest.fixture(scope="module")
def misfit_and_right_fits():
    data = measured(1)
    wrong = tarnok.fit(data, LONG_PULSE, without_the_triplet(), n_starts=2, threads=2)
    right = tarnok.fit(data, LONG_PULSE, varied(("sigma_12", "sigma_45")), n_starts=2,
                       threads=2)
    return wrong, right


def test_a_model_missing_a_level_is_told_it_does_not_describe_the_data(misfit_and_right_fits):
    wrong, _ = misfit_and_right_fits
    assert wrong.goodness_of_fit.verdict == "too large"
    text = "\n".join(wrong.warnings)
    assert "does not describe the data within sigma" in text
    assert wrong.scaled_stderr is not None
    scaled = wrong.scaled_stderr["sigma_12"] / wrong.params["sigma_12"].stderr
    assert scaled == pytest.approx(math.sqrt(wrong.redchi))
    systematic = [c for c in wrong.residual_runs if c.systematic]
    assert systematic, [c.p_value for c in wrong.residual_runs]
    for curve in systematic:
        label = tarnok.zscan.format_energy(curve.pulse_energy)
        assert f"the residuals of the {label} curve are systematic" in text
    report = wrong.report()
    assert "[scaled: +/- " in report and "are systematic" in report
    document = json.loads(json.dumps(outputs.result_document(wrong)))
    assert document["goodness_of_fit"]["verdict"] == "too large"
    assert any(c["systematic"] for c in document["residual_runs"])
    assert document["warnings"] == wrong.warnings
    # tarnok report redraws the marks from the saved document.
    assert outputs.saved_fit(document).systematic_curves == tuple(c.index for c in systematic)


def test_the_right_model_on_the_same_data_raises_neither(misfit_and_right_fits):
    _, right = misfit_and_right_fits
    assert right.goodness_of_fit.verdict == "consistent"
    assert not any(c.systematic for c in right.residual_runs)
    assert right.scaled_stderr is None
    assert right.warnings == []
    assert "[scaled" not in right.report()


def test_overestimated_sigma_and_a_model_worse_than_a_constant_are_named():
    data = measured(2, sigma=10 * NOISE)
    result = tarnok.fit(data, LONG_PULSE, varied(("sigma_12", "sigma_45")), n_starts=1,
                        threads=1)
    assert result.goodness_of_fit.verdict == "too small"
    assert any("sigma is overestimated" in w for w in result.warnings)
    # Curves hardly deeper than the noise, fitted with a model that can only
    # make a deep dip: R² falls below zero.
    shallow = measured(3, energies=[1e-5, 2e-5, 4e-5])
    pinned = varied(("sigma_45",))
    pinned["sigma_45"].set(value=1e-18, min=1e-18, max=1e-16)
    pinned["sigma_23"].set(value=1e-18)
    worse = tarnok.fit(shallow, LONG_PULSE, pinned, n_starts=1, threads=1)
    assert worse.rsquared < 0
    assert any("worse than their weighted mean" in w for w in worse.warnings)


# ---------------------------------------------------------------------------
# Bounds and starts

NANOSECOND = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                               populations=[1e23, 0, 0, 0, 0], t_slices=9, z_slices=5,
                               beam="on-axis")
ENERGIES = [2e-4, 8e-4, 3.2e-3]


@pytest.fixture(scope="module")
def free_fit():
    data = measured(4, NANOSECOND, ENERGIES)
    return data, tarnok.fit(data, NANOSECOND, varied(("sigma_12", "sigma_45")), n_starts=1,
                            threads=1)


def test_a_parameter_pressing_on_a_bound_ends_exactly_on_it(free_fit):
    data, free = free_fit
    best = free.params["sigma_45"].value
    for bound in (best * (1 - 3e-7), best * 0.9):  # within the step tolerance, and far
        params = varied(("sigma_12", "sigma_45"))
        params["sigma_45"].set(value=bound * 0.8, max=bound)
        result = tarnok.fit(data, NANOSECOND, params, n_starts=1, threads=1)
        assert result.params["sigma_45"].value == bound
        assert any("sigma_45 is at a bound (its upper bound" in w for w in result.warnings)


def test_a_parameter_near_a_bound_is_reported_as_near_it(free_fit):
    data, free = free_fit
    p = free.params["sigma_45"]
    params = varied(("sigma_12", "sigma_45"))
    params["sigma_45"].set(min=p.value - 0.05 * p.stderr)
    result = tarnok.fit(data, NANOSECOND, params, n_starts=1, threads=1)
    text = "\n".join(result.warnings)
    assert "sigma_45 is within 0.1 standard errors of its lower bound" in text
    assert "at a bound" not in text
    params["sigma_45"].set(min=p.value - 0.5 * p.stderr)
    assert tarnok.fit(data, NANOSECOND, params, n_starts=1, threads=1).warnings == []


def test_the_report_counts_the_starts_that_reached_the_best_chi_square(free_fit):
    data, _ = free_fit
    agreeing = tarnok.fit(data, NANOSECOND, varied(("sigma_12", "sigma_45")), n_starts=4,
                          threads=2)
    assert agreeing.starts_at_best >= 2
    assert f"{agreeing.starts_at_best} of 4 reached the best chi-square" in agreeing.report()
    assert not any("may not be the global one" in w for w in agreeing.warnings)


def test_an_optimum_reached_by_one_start_only_is_doubted(free_fit):
    data, _ = free_fit
    # Three parameters over six decades each have several valleys; with this
    # seed the two spread starts end in others than the first start's.
    names = ("sigma_12", "sigma_45", "tau_24")
    params = varied(names)
    for name in names:
        params[name].set(min=TRUTH[name] * 1e-3, max=TRUTH[name] * 1e3)
    result = tarnok.fit(data, NANOSECOND, params, n_starts=3, threads=2, seed=1)
    assert result.starts_at_best == 1
    assert any("only 1 of 3 starts reached the lowest chi-square" in w for w in result.warnings)
    assert "1 of 3 reached the best chi-square" in result.report()
