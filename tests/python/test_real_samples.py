"""Models of real samples: two-photon absorption against its closed form, the
fitted beam, pulse trains, derived quantities, and the run-file keys and
refusals that go with them."""

from __future__ import annotations

import math

import numpy as np
import pytest

import tarnok
from tarnok.derived import GOEPPERT_MAYER, PLANCK, SPEED_OF_LIGHT
from tarnok.runfile import load_run, template

WAVELENGTH = 800e-9
PHOTON_ENERGY = PLANCK * SPEED_OF_LIGHT / WAVELENGTH
POSITIONS = np.linspace(-30.0, 30.0, 61)
# A two-photon absorber alone: nothing absorbs one photon, level 2 is inert.
QUIET = dict(sigma_12=0.0, sigma_23=0.0, sigma_45=0.0, tau_21=1e-3, tau_24=1.0, tau_32=1e-12,
             tau_41=1e-3, tau_54=1e-12)


def experiment(**changes):
    fields = dict(wavelength=WAVELENGTH, w0=20e-6, M2=1.0, tau=100e-15, thickness=1e-3,
                  populations=[1e28, 0, 0, 0, 0], beam="gaussian")
    return tarnok.Experiment(**{**fields, **changes})


def two_photon_closed_form(q):
    """Transmittance of a gaussian beam and pulse through a thin two-photon
    absorber: the series sum (-q)^m / (m + 1)^(3/2) below q = 0.5, the
    integral (sqrt(pi) q)^-1 int ln(1 + q exp(-x^2)) dx above."""
    x = np.linspace(-12.0, 12.0, 200_001)
    m = np.arange(200)
    return np.array([np.sum((-qq) ** m / (m + 1) ** 1.5) if qq < 0.5 else
                     np.trapezoid(np.log1p(qq * np.exp(-x ** 2)), x) / (math.sqrt(math.pi) * qq)
                     for qq in q])


@pytest.mark.parametrize("q0", [0.3, 1.0, 3.0])
def test_two_photon_absorption_follows_its_closed_form(q0):
    # delta small and N1 large: beta = delta N1 / (h nu) with negligible depletion.
    exp, delta = experiment(), 1e-58
    beta = delta * exp.populations[0] / PHOTON_ENERGY
    peak = q0 / (beta * exp.thickness)
    energy = peak * math.pi ** 1.5 * exp.tau * exp.w0 ** 2 / 2
    curve = tarnok.simulate(exp, tarnok.Parameters(**QUIET, delta_12=delta), POSITIONS, [energy])
    z_r = math.pi * exp.w0 ** 2 / WAVELENGTH * 1e3  # mm
    closed = two_photon_closed_form(q0 / (1 + (POSITIONS / z_r) ** 2))
    closed /= np.mean(np.r_[closed[:5], closed[-5:]])
    np.testing.assert_allclose(curve[0], closed, atol=1e-4, rtol=0)


def test_the_beam_parameters_default_to_the_experiment_and_are_differentiable():
    exp = experiment()
    params = tarnok.Parameters(**QUIET, delta_12=1e-57)
    assert params["w0"].value is None and params["M2"].min == 1.0
    energies = [2e-10, 6e-10]
    own = tarnok.simulate(exp, params, POSITIONS, energies)
    params["w0"].value, params["M2"].value = 20e-6, 1.0
    np.testing.assert_array_equal(tarnok.simulate(exp, params, POSITIONS, energies), own)
    # The same waist given to the experiment or as a parameter is the same model.
    params["w0"].value = 17e-6
    np.testing.assert_array_equal(tarnok.simulate(exp, params, POSITIONS, energies),
                                  tarnok.simulate(experiment(w0=17e-6), params, POSITIONS,
                                                  energies))
    params["w0"].vary = params["M2"].vary = True
    params["M2"].value = 1.3
    slopes = tarnok.jacobian(exp, params, POSITIONS, energies)
    for k, name in enumerate(("w0", "M2")):
        step = 1e-5 * params[name].value
        up, down = params.copy(), params.copy()
        up[name].value += step
        down[name].value -= step
        central = (tarnok.simulate(exp, up, POSITIONS, energies)
                   - tarnok.simulate(exp, down, POSITIONS, energies)) / (2 * step)
        np.testing.assert_allclose(slopes[..., k], central, atol=1e-6 * np.abs(central).max())


def test_bad_values_of_the_new_quantities_are_refused_by_name():
    with pytest.raises(ValueError, match="delta_12 must be zero or more"):
        tarnok.Parameters(**QUIET, delta_12=-1e-58)
    with pytest.raises(ValueError, match="M2 must be at least 1"):
        tarnok.Parameters(**QUIET, M2=0.9)
    with pytest.raises(ValueError, match="w0 must be above zero"):
        tarnok.Parameters(**QUIET, w0=0.0)
    for rate in (0.0, -1e8, math.inf):
        with pytest.raises(ValueError, match="repetition_rate"):
            experiment(repetition_rate=rate)
    params = tarnok.Parameters(**QUIET, delta_12=1e-57)
    with pytest.raises(ValueError, match="integrator engine has no two-photon absorption"):
        tarnok.simulate(experiment(), params, POSITIONS, [1e-10], engine="integrator")
    with pytest.raises(ValueError, match="repetition_rate needs the exact engine"):
        tarnok.simulate(experiment(repetition_rate=1e8), tarnok.Parameters(**QUIET),
                        POSITIONS, [1e-10], engine="integrator")


def test_a_train_of_pulses_builds_up_carriers_that_deepen_the_dip():
    # Carriers made by two-photon absorption live 1 us against 10 ns between
    # pulses and absorb: the dip grows with the rate, faster than the power.
    params = tarnok.Parameters(**{**QUIET, "sigma_23": 1e-21, "tau_21": 1e-6}, delta_12=5e-58)
    energies = [0.5e-9, 2.5e-9]
    single = tarnok.simulate(experiment(thickness=5e-4), params, POSITIONS, energies)
    train = tarnok.simulate(experiment(thickness=5e-4, repetition_rate=1e8), params, POSITIONS,
                            energies)
    dip_single, dip_train = 1 - single.min(axis=1), 1 - train.min(axis=1)
    assert (dip_train > dip_single).all()
    assert dip_train[1] / dip_train[0] > dip_single[1] / dip_single[0]


def test_derived_quantities_of_a_two_photon_fit():
    exp = experiment(populations=[2e28, 0, 0, 0, 0])
    values = {**QUIET, "sigma_12": 1e-22, "sigma_23": 3e-22, "delta_12": 4e-58}
    names = ["sigma_12", "delta_12"]
    covar = np.array([[1e-48, 2e-83], [2e-83, 1e-120]])
    derived = tarnok.derived.derived_quantities(values, names, covar, exp.wavelength,
                                                exp.populations, exp.thickness)
    beta = 4e-58 * 2e28 / PHOTON_ENERGY
    assert derived["beta"].value == pytest.approx(beta)
    assert derived["beta"].stderr == pytest.approx(1e-60 * 2e28 / PHOTON_ENERGY)
    assert derived["beta"].unit == "m/W" and not derived["beta"].fixed
    assert derived["delta_12"].value / GOEPPERT_MAYER == pytest.approx(4.0)
    assert derived["alpha_0"].value == pytest.approx(1e-22 * 2e28)
    assert derived["linear_transmittance"].value == pytest.approx(math.exp(-2e6 * 1e-3))
    assert derived["saturation_irradiance"].value == pytest.approx(PHOTON_ENERGY / (1e-22 * 1e-3))
    # sigma_23 / sigma_12 with sigma_12 varied: relative errors carry over.
    ratio = derived["sigma_23/sigma_12"]
    assert ratio.value == pytest.approx(3.0) and ratio.stderr == pytest.approx(3.0 * 1e-24 / 1e-22)
    assert "sigma_45/sigma_12" not in derived  # sigma_45 = 0 and fixed
    fixed = tarnok.derived.derived_quantities(values, [], np.zeros((0, 0)), exp.wavelength,
                                              exp.populations, exp.thickness)
    assert fixed["beta"].fixed and fixed["beta"].stderr is None


def test_a_run_file_takes_two_photon_absorption_a_train_and_a_fitted_waist(tmp_path):
    text = template().replace("# repetition_rate = 80e6", "repetition_rate = 80e6")
    text = text.replace("# [parameters.delta_12]", "[parameters.delta_12]")
    text = text.replace("# value = 1e-56 ", "value = 1e-56 ")
    text = text.replace("# [parameters.w0]\n# vary = true\n# min = 15e-6\n# max = 25e-6",
                        "[parameters.w0]\nvary = true\nmin = 15e-6\nmax = 25e-6")
    (tmp_path / "run.toml").write_text(text)
    run = load_run(tmp_path / "run.toml")
    assert run.experiment["repetition_rate"] == 80e6
    assert run.parameters["delta_12"]["value"] == 1e-56
    assert run.parameters["w0"] == {"value": None, "vary": True, "min": 15e-6, "max": 25e-6}
    assert run.parameters["M2"]["min"] == 1.0
    params = tarnok.Parameters(**run.parameters).resolved(tarnok.Experiment(**run.experiment))
    assert params["w0"].value == 20e-6 and params["w0"].vary
    for bad, message in (
            ("repetition_rate = 80e6", r"\[experiment\] repetition_rate: must be a positive"),
            ("value = 1e-56 ", r"\[parameters.delta_12\] value: must be a non-negative")):
        broken = text.replace(bad, bad.split("=")[0] + "= -1 ")
        (tmp_path / "bad.toml").write_text(broken)
        with pytest.raises(tarnok.runfile.RunFileError, match=message):
            load_run(tmp_path / "bad.toml")


def test_a_power_sweep_with_carriers_recovers_beta_the_carriers_and_the_waist():
    # A lean version of bench/two_photon_recovery.py: one noise draw.
    exp = experiment(w0=25e-6, tau=60e-15, thickness=5e-4, repetition_rate=1e8,
                     t_slices=15, z_slices=6, radial_nodes=6)
    truth = {**QUIET, "sigma_23": 1e-21, "tau_21": 1e-6, "delta_12": 5e-58}
    positions, energies = np.linspace(-15, 15, 41), [0.5e-9, 1.5e-9, 2.5e-9]
    clean = tarnok.simulate(exp, tarnok.Parameters(**truth), positions, energies)
    noisy = clean + np.random.default_rng(7).normal(0.0, 1e-3, clean.shape)
    data = tarnok.ZScan(positions, noisy, energies, sigma=np.full(clean.shape, 1e-3))
    params = tarnok.Parameters(**{**truth, "delta_12": 1e-57, "sigma_23": 5e-22})
    params["delta_12"].set(vary=True, min=1e-60, max=1e-55)
    params["sigma_23"].set(vary=True, min=1e-24, max=1e-18)
    params["w0"].set(value=28e-6, vary=True, min=15e-6, max=40e-6)
    params["z0"].set(value=0.4, vary=True)
    result = tarnok.fit(data, exp, params, n_starts=1, threads=1)
    # The data were made on the fit's own coarse grid, so its estimated error
    # (warned about) is no fault of the fit.
    assert result.success and [w for w in result.warnings
                               if not w.startswith("the grid given")] == []
    for name, value in (("delta_12", 5e-58), ("sigma_23", 1e-21), ("w0", 25e-6), ("z0", 0.0)):
        assert abs(result.params[name].value - value) < 3 * result.params[name].stderr, name
    beta = result.derived["beta"]
    assert beta.unit == "m/W" and beta.value * 1e11 == pytest.approx(2.0, rel=0.05)
    assert "beta:" in result.report() and "cm/GW" in result.report()
