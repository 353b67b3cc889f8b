"""The closed aperture from Python: the model against a direct Fresnel
integral of the thin sample's exit field written here in NumPy, the curve
blocks that simulate and jacobian hand back, the refusals, a fit with values
missing, and the derived refraction quantities."""

from __future__ import annotations

import math

import numpy as np
import pytest

import tarnok
from tarnok import _core
from tarnok.derived import VACUUM_PERMITTIVITY, derived_quantities

WAVELENGTH, W0, TAU, THICKNESS, ENERGY = 532e-9, 20e-6, 1e-9, 1e-4, 1e-6
Z_R = math.pi * W0**2 / WAVELENGTH
LIFETIMES = dict(tau_21=1e-9, tau_24=1e-9, tau_32=1e-9, tau_41=1e-9, tau_54=1e-9)


def kerr_experiment(**aperture) -> tarnok.Experiment:
    """A thin, non-absorbing Kerr sample (a tenth of z_R thick)."""
    return tarnok.Experiment(wavelength=WAVELENGTH, w0=W0, M2=1.0, tau=TAU, thickness=THICKNESS,
                             populations=[0, 0, 0, 0, 0], t_slices=21, z_slices=2, radial_nodes=12,
                             beam="gaussian", **aperture)


def kerr_parameters(on_axis_phase: float) -> tarnok.Parameters:
    """n2 for this peak on-axis phase at the focus, at the peak of the pulse."""
    peak = 2 * ENERGY / (math.pi**1.5 * TAU * W0**2)
    n2 = on_axis_phase / (2 * math.pi / WAVELENGTH * peak * THICKNESS)
    return tarnok.Parameters(sigma_12=0.0, sigma_23=0.0, sigma_45=0.0, n2=n2, **LIFETIMES)


def j0(x: np.ndarray) -> np.ndarray:
    """J0 by its power series Σ (-x²/4)^k / (k!)², summed to 90 terms: its
    largest term, near e^x / (2π x), leaves rounding errors below 2e-4 up to
    x = 32 (1e-7 up to 25), as far as the apertures below need; the
    largest arguments meet only the faint edge of the field."""
    if np.max(np.abs(x)) > 32.0:
        raise ValueError("the series is too inaccurate beyond x = 32")
    q = -0.25 * np.asarray(x, dtype=float) ** 2
    term = np.ones_like(q)
    total = term.copy()
    for k in range(1, 90):
        term *= q / (k * k)
        total += term
    return total


def fresnel_closed(z: float, on_axis_phase: float, transmittance: float,
                   distance: float | None) -> float:
    """Energy through the aperture over its linear value, summed over the
    time slices the engine uses: the exit field E(r) = exp(-r²/w² + i k r²/(2R))
    exp(i φ(r, t)) carried by the Fresnel integral
    E(ρ) ∝ ∫ E(r) exp(i k r²/(2L)) J0(k ρ r / L) r dr (far field: J0(k θ r)),
    trapezoids in r and over the aperture."""
    k = 2 * math.pi / WAVELENGTH
    w2 = W0**2 * (1 + (z / Z_R) ** 2)
    curvature = z / (z**2 + Z_R**2)  # 1/R
    r = np.linspace(0.0, 3.6 * math.sqrt(w2), 2000)
    if distance is None:
        # Far field in angle; the linear beam diverges as λ/(π w0).
        theta_w = WAVELENGTH / (math.pi * W0)
        edge = theta_w * math.sqrt(-0.5 * math.log1p(-transmittance))
        kernel_scale, lens = k, 0.0
    else:
        gap = distance - z
        w_aperture = W0 * math.sqrt(1 + (distance / Z_R) ** 2)
        edge = w_aperture * math.sqrt(-0.5 * math.log1p(-transmittance))
        kernel_scale, lens = k / gap, k / (2 * gap)
    rho = np.linspace(0.0, edge, 121)
    kernel = j0(np.multiply.outer(kernel_scale * rho, r))
    linear = np.exp(-r**2 / w2 + 1j * (0.5 * k * curvature + lens) * r**2) * r
    t = np.linspace(-3.5 * TAU, 3.5 * TAU, 21)
    phase = on_axis_phase * (W0**2 / w2) * np.exp(-2 * r**2 / w2)

    def energy(field: np.ndarray) -> float:
        at_aperture = np.trapezoid(kernel * field, r, axis=-1)
        return float(np.trapezoid(np.abs(at_aperture) ** 2 * rho, rho))

    weights = np.exp(-(t / TAU) ** 2)
    through = sum(w * energy(linear * np.exp(1j * phase * w)) for w in weights)
    return through / (weights.sum() * energy(linear))


# The edges (five points at each end) normalise both curves alike.
X = np.array([-6, -5.5, -5, -4.5, -4, -2.5, -1.5, -1, -0.6, -0.3, 0, 0.3, 0.6, 1, 1.5, 2.5,
              4, 4.5, 5, 5.5, 6.0])


@pytest.mark.parametrize("distance", [None, 20 * Z_R], ids=["far field", "d = 20 z_R"])
def test_closed_curves_match_a_direct_fresnel_integral(distance, on_axis_phase=math.pi):
    transmittance = 0.3
    experiment = kerr_experiment(aperture_transmittance=transmittance,
                                 aperture_distance=distance)
    model = tarnok.simulate(experiment, kerr_parameters(on_axis_phase), X * Z_R * 1e3, [ENERGY],
                            aperture="closed")[0]
    oracle = np.array([fresnel_closed(x * Z_R, on_axis_phase, transmittance, distance)
                       for x in X])
    oracle /= np.r_[oracle[:5], oracle[-5:]].mean()
    assert np.ptp(oracle) > 0.1  # a strong phase: far from the small-phase regime
    np.testing.assert_allclose(model, oracle, atol=1e-3, rtol=0)


def test_an_aperture_radius_stands_for_its_linear_transmittance():
    distance = 20 * Z_R
    w_aperture = W0 * math.sqrt(1 + (distance / Z_R) ** 2)
    radius = 0.4 * w_aperture
    transmittance = -math.expm1(-2 * (radius / w_aperture) ** 2)
    p, x = kerr_parameters(1.0), X * Z_R * 1e3
    by_radius = tarnok.simulate(kerr_experiment(aperture_radius=radius,
                                                aperture_distance=distance), p, x, [ENERGY],
                                aperture="closed")
    by_s = tarnok.simulate(kerr_experiment(aperture_transmittance=transmittance,
                                           aperture_distance=distance), p, x, [ENERGY],
                           aperture="closed")
    np.testing.assert_allclose(by_radius, by_s, rtol=1e-12)


def test_blocks_of_simulate_and_jacobian():
    experiment = kerr_experiment(aperture_transmittance=0.2)
    p = kerr_parameters(0.5)
    p["n2"].vary = True
    x, energies = X * Z_R * 1e3, [ENERGY, 2 * ENERGY]
    both = tarnok.simulate(experiment, p, x, energies, aperture="both")
    assert both.shape == (2, 2, X.size)
    np.testing.assert_array_equal(both[0], tarnok.simulate(experiment, p, x, energies))
    np.testing.assert_array_equal(both[0], tarnok.simulate(kerr_experiment(), p, x, energies))
    np.testing.assert_array_equal(both[1], tarnok.simulate(experiment, p, x, energies,
                                                           aperture="closed"))
    slopes = tarnok.jacobian(experiment, p, x, energies, aperture="both")
    assert slopes.shape == (2, 2, X.size, 1)
    assert np.abs(slopes[0]).max() == 0.0  # refraction does not reach the open aperture
    assert np.abs(slopes[1]).max() > 0.0
    # The positions are shared out over threads; each writes only its own.
    p["sigma_12"].vary = True
    one = tarnok.jacobian(experiment, p, x, energies, aperture="both", threads=1)
    np.testing.assert_array_equal(one, tarnok.jacobian(experiment, p, x, energies,
                                                       aperture="both", threads=2))
    p["sigma_12"].vary = False
    divided = kerr_experiment(aperture_transmittance=0.2, closed_divided=True)
    np.testing.assert_allclose(tarnok.simulate(divided, p, x, energies, aperture="closed"),
                               both[1] / both[0], rtol=1e-14)


@pytest.mark.parametrize("keys, words", [
    (dict(aperture_transmittance=0.0), "aperture_transmittance must lie in (0, 1]"),
    (dict(aperture_transmittance=1.2), "aperture_transmittance must lie in (0, 1]"),
    (dict(aperture_transmittance=0.3, aperture_distance=-0.1), "aperture_distance must be above zero"),
    (dict(aperture_radius=1e-3), "aperture_radius needs aperture_distance"),
    (dict(aperture_radius=1e-3, aperture_transmittance=0.3, aperture_distance=1.0), "not both"),
    (dict(closed_divided=True), "closed_divided needs a closed aperture"),
    (dict(aperture_transmittance=0.3, repetition_rate=1e8), "single pulses only"),
    (dict(aperture_transmittance=0.3, linear_index=-1.0), "linear_index"),
])
def test_aperture_keys_are_refused_by_name(keys, words):
    with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")
                       .replace("[", r"\[").replace("]", r"\]")):
        kerr_experiment(**keys)


def test_model_refusals_name_the_aperture():
    p = kerr_parameters(0.5)
    with pytest.raises(ValueError, match="needs the exact engine"):
        tarnok.simulate(kerr_experiment(aperture_transmittance=0.3), p, X, [ENERGY],
                        engine="integrator")
    with pytest.raises(ValueError, match="beyond every scan position"):
        tarnok.simulate(kerr_experiment(aperture_transmittance=0.3, aperture_distance=0.005), p,
                        np.linspace(-10, 10, 11), [ENERGY])
    with pytest.raises(ValueError, match="needs an experiment with a closed aperture"):
        tarnok.simulate(kerr_experiment(), p, X, [ENERGY], aperture="closed")
    with pytest.raises(ValueError, match="aperture must be"):
        tarnok.simulate(kerr_experiment(aperture_transmittance=0.3), p, X, [ENERGY],
                        aperture="half")
    with pytest.raises(ValueError, match="on-axis beam has no radial profile"):
        tarnok.Experiment(wavelength=WAVELENGTH, w0=W0, M2=1.0, tau=TAU, thickness=THICKNESS,
                          populations=[0] * 5, beam="on-axis", aperture_transmittance=0.3)


def test_fit_binding_skips_absent_values_and_returns_them_as_nan():
    experiment = kerr_experiment(aperture_transmittance=0.3)
    x, energies = X * Z_R * 1e3, [ENERGY, 2 * ENERGY]
    truth = kerr_parameters(0.8)
    data = tarnok.simulate(experiment, truth, x, energies, aperture="both").reshape(4, X.size)
    data = data.copy()
    data[0] = np.nan       # no open curve at the first energy
    data[3, 4] = np.nan    # one closed value missing
    model = _core.exact_engine(experiment._core, np.ascontiguousarray(
        np.broadcast_to(x, (2, X.size))), np.array(energies))
    values = truth.vector()
    n2 = tarnok.parameters.NAMES.index("n2")
    values[n2] *= 1.3
    raw = _core.fit(model, data, None, values, [n2], [False], [-math.inf], [math.inf],
                    1, 1, 0, None)
    best = raw["starts"][raw["best"]]
    assert best["values"][0] == pytest.approx(truth["n2"].value, rel=1e-6)
    residual = np.array(raw["residual"]).reshape(data.shape)
    np.testing.assert_array_equal(np.isnan(residual), np.isnan(data))
    jacobian = np.array(raw["jacobian"]).reshape(data.size, 1)
    np.testing.assert_array_equal(np.isnan(jacobian[:, 0]), np.isnan(data.ravel()))
    best_fit = np.array(raw["best_fit"]).reshape(data.shape)
    np.testing.assert_allclose(best_fit[0], tarnok.simulate(experiment, truth, x, energies)[0],
                               atol=1e-9)


def test_derived_refraction_quantities():
    n0, wavelength, n1 = 1.5, 800e-9, 1e25
    h_nu = 6.62607015e-34 * 299792458.0 / wavelength
    values = {"n2": -2e-19, "delta_12": 1e-56, "sigma_12": 0.0, "sigma_23": 0.0,
              "sigma_45": 0.0, "tau_21": 1e-9}
    covar = np.diag([1e-40, 1e-114])
    out = derived_quantities(values, ["n2", "delta_12"], covar, wavelength, [n1, 0, 0, 0, 0],
                             1e-3, linear_index=n0)
    medium = n0**2 * VACUUM_PERMITTIVITY * 299792458.0
    beta = 1e-56 * n1 / h_nu
    assert out["n2"].value == -2e-19 and out["n2"].stderr == pytest.approx(1e-20)
    assert out["Re chi3"].value == pytest.approx(4 / 3 * medium * -2e-19, rel=1e-12)
    assert out["Re chi3"].stderr == pytest.approx(4 / 3 * medium * 1e-20, rel=1e-6)
    assert out["Im chi3"].value == pytest.approx(medium * wavelength * beta / (3 * math.pi),
                                                 rel=1e-12)
    fom = out["n2/(lambda beta)"]
    assert fom.value == pytest.approx(-2e-19 / (wavelength * beta), rel=1e-12)
    # Relative errors add in quadrature for a ratio of independent parameters.
    assert fom.stderr == pytest.approx(abs(fom.value) * math.hypot(0.05, 1e-57 / 1e-56), rel=1e-5)
    assert tarnok.derived.display("n2") == ("cm^2/W", 1e4)
    # Without refraction or two-photon absorption none of them appears.
    plain = derived_quantities({**values, "n2": 0.0, "delta_12": 0.0}, [], None, wavelength,
                               [n1, 0, 0, 0, 0], 1e-3)
    assert not {"n2", "Re chi3", "Im chi3", "n2/(lambda beta)"} & set(plain)
