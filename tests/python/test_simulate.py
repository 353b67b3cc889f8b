"""tarnok.simulate and tarnok.jacobian: agreement of the engines, the order of
the derivatives, silence of the integrator, and the interpreter lock."""

import threading

import numpy as np
import pytest

import tarnok

POSITIONS = np.linspace(-20.0, 20.0, 21)
ENERGIES = [2e-4, 8e-4, 3.2e-3]
SPECTROSCOPIC = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9,
                     tau_24=4e-9, tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)


def experiment(**changes):
    fields = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                  populations=[1e23, 0, 0, 0, 0], t_slices=9, z_slices=5, beam="on-axis")
    return tarnok.Experiment(**{**fields, **changes})


@pytest.mark.parametrize("beam, energies", [("on-axis", ENERGIES),
                                            ("gaussian", [e * 2e-4 for e in ENERGIES])])
def test_exact_engine_agrees_with_the_integrator(beam, energies):
    exp = experiment(beam=beam, radial_nodes=3)
    params = tarnok.Parameters(**SPECTROSCOPIC, z0=0.5)
    exact = tarnok.simulate(exp, params, POSITIONS, energies)
    integrated = tarnok.simulate(exp, params, POSITIONS, energies, engine="integrator")
    assert exact.shape == (3, 21)
    assert exact.min() < 0.95  # a real dip, so the comparison means something
    # The integrator's 1e-6 tolerance per step adds up over the slices.
    np.testing.assert_allclose(exact, integrated, atol=1e-5, rtol=0)


def test_jacobian_columns_follow_declaration_order_and_match_differences():
    exp = experiment()
    forward = tarnok.Parameters(**SPECTROSCOPIC, z0=0.3)
    forward["sigma_45"].vary = forward["z0"].vary = True
    backward = tarnok.Parameters(z0=0.3, **SPECTROSCOPIC)
    backward["sigma_45"].vary = backward["z0"].vary = True
    jac = tarnok.jacobian(exp, forward, POSITIONS, ENERGIES)
    assert jac.shape == (3, 21, 2)
    np.testing.assert_array_equal(tarnok.jacobian(exp, backward, POSITIONS, ENERGIES),
                                  jac[..., ::-1])

    step = 1e-4
    up, down = forward.copy(), forward.copy()
    up["z0"].value += step
    down["z0"].value -= step
    difference = (tarnok.simulate(exp, up, POSITIONS, ENERGIES)
                  - tarnok.simulate(exp, down, POSITIONS, ENERGIES)) / (2 * step)
    np.testing.assert_allclose(jac[..., 1], difference, atol=1e-6 * abs(difference).max())


def test_integrator_diagnostics_are_counted_not_printed(capfd):
    # Absurd rates make the integrator fail and complain on every slice.
    params = tarnok.Parameters(**{**SPECTROSCOPIC, "sigma_12": 1e-16, "sigma_23": 1e-16,
                                  "tau_32": 1e-22})
    _, diagnostics = tarnok.simulate(experiment(), params, POSITIONS, ENERGIES,
                                     engine="integrator", full_output=True)
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")
    assert diagnostics.messages > 0
    assert diagnostics.first_lines[0].startswith(" DLSODA-")


def test_the_interpreter_lock_is_released_while_the_engine_works():
    exp = experiment(t_slices=41, z_slices=21)
    params = tarnok.Parameters(**SPECTROSCOPIC)
    done = threading.Event()
    ticks = 0

    def work():
        tarnok.simulate(exp, params, POSITIONS, ENERGIES, engine="integrator")
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    while not done.is_set():
        ticks += 1
        done.wait(0.001)
    worker.join()
    assert ticks > 10


@pytest.mark.parametrize("field, value, message", [
    ("wavelength", -532e-9, "wavelength must be above zero"),
    ("w0", float("nan"), "w0 must be finite"),
    ("M2", 0.5, "M2 must be at least 1"),
    ("tau", "5 ns", "tau must be a real number"),
    ("thickness", 0.0, "thickness must be above zero"),
    ("populations", [1e23, 0, 0, 0], "populations must hold 5 values"),
    ("populations", [1e23, -1, 0, 0, 0], r"populations\[1\] must be zero or more"),
    ("t_slices", 1, "t_slices must be between 2"),
    ("z_slices", 3.0, "z_slices must be an integer"),
    ("beam", "flat", "beam must be 'on-axis' or 'gaussian'"),
])
def test_experiment_refuses_bad_fields_by_name(field, value, message):
    with pytest.raises((TypeError, ValueError), match=message):
        experiment(**{field: value})


@pytest.mark.parametrize("changes, message", [
    ({"sigma_12": -1e-21}, "sigma_12 must be zero or more"),
    ({"tau_21": 0.0}, "tau_21 must be above zero"),
    ({"tau_54": float("inf")}, "tau_54 must be finite"),
    ({"energy_scale": -1.0}, "energy_scale must be above zero"),
    ({"z0": {"value": 5.0, "min": -1.0, "max": 1.0}}, "z0: value 5.0 lies outside"),
    ({"sigma_45": {"value": 1e-20, "vary": "yes"}}, "sigma_45.vary must be True or False"),
    ({"tau_99": 1.0}, "unknown parameter 'tau_99'"),
])
def test_parameters_refuse_bad_values_by_name(changes, message):
    with pytest.raises((TypeError, ValueError, KeyError), match=message):
        tarnok.Parameters(**{**SPECTROSCOPIC, **changes})


def test_parameters_need_every_spectroscopic_value_and_keep_bounds_consistent():
    with pytest.raises(TypeError, match="missing value for: tau_54"):
        tarnok.Parameters(**{k: v for k, v in SPECTROSCOPIC.items() if k != "tau_54"})
    params = tarnok.Parameters(**SPECTROSCOPIC)
    with pytest.raises(ValueError, match="min .* must be below max"):
        params["tau_21"].set(min=1e-8, max=1e-9)
    assert params["tau_21"].min == -np.inf  # a refused change leaves the parameter as it was


@pytest.mark.parametrize("positions, energies, message", [
    (np.linspace(-1, 1, 4), ENERGIES, "at least 5 positions"),
    (np.zeros((2, 21)), ENERGIES, "has 2 rows but there are 3 pulse energies"),
    (POSITIONS, [1e-3, 0.0], "pulse_energies must all be above zero"),
    (POSITIONS, [1e-3, np.nan], "pulse_energies must be finite"),
    (np.array([0, 1, 2, np.inf, 4, 5]), ENERGIES, "positions_mm must be finite"),
    (POSITIONS, [[1e-3]], "pulse_energies must be 1-D"),
])
def test_simulate_refuses_bad_arrays_by_name(positions, energies, message):
    with pytest.raises(ValueError, match=message):
        tarnok.simulate(experiment(), tarnok.Parameters(**SPECTROSCOPIC), positions, energies)


def test_simulate_refuses_an_unknown_engine():
    with pytest.raises(ValueError, match="engine must be 'exact' or 'integrator'"):
        tarnok.simulate(experiment(), tarnok.Parameters(**SPECTROSCOPIC), POSITIONS, ENERGIES,
                        engine="rk4")
