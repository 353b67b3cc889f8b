"""The result folder: result.json must carry everything the report and figures
need, survive strict JSON, and give back exactly the arrays of the fit."""

from __future__ import annotations

import csv
import json

import numpy as np
import pytest

import tarnok
from tarnok.fit import fit
from tarnok.outputs import (ResultFileError, fit_figures, result_document, saved_fit,
                            write_curves)
from tarnok.zscan import ZScan

Z = np.linspace(-20.0, 20.0, 11)
ENERGIES = np.array([2e-4, 3.2e-3])
EXPERIMENT = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9, thickness=1e-3,
                  populations=[1e23, 0, 0, 0, 0], t_slices=5, z_slices=3, beam="on-axis")
TRUTH = dict(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20, tau_21=8e-9, tau_24=4e-9,
             tau_32=1e-10, tau_41=1e-6, tau_54=1e-10)


@pytest.fixture(scope="module", params=[True, False], ids=["with sigma", "without sigma"])
def result(request):
    experiment = tarnok.Experiment(**EXPERIMENT)
    model = tarnok.simulate(experiment, tarnok.Parameters(**TRUTH), Z, ENERGIES)
    sigma = np.full(model.shape, 0.003)
    noisy = model + np.random.default_rng(1).normal(0.0, sigma)
    data = ZScan(Z, noisy, ENERGIES, sigma if request.param else None)
    start = tarnok.Parameters(**{**TRUTH, "sigma_45": {"value": 1.5e-20, "vary": True}})
    return fit(data, experiment, start, n_starts=2, threads=1)


def test_document_gives_back_the_fit_through_strict_json(result, tmp_path):
    document = json.loads(json.dumps(result_document(result), allow_nan=False))
    saved = saved_fit(document)
    np.testing.assert_array_equal(saved.data.transmittance, result.data.transmittance)
    np.testing.assert_array_equal(saved.best_fit, result.best_fit)
    np.testing.assert_array_equal(saved.residual, result.residual)
    np.testing.assert_array_equal(saved.start_chisqr, [s.chisqr for s in result.starts])
    assert saved.report == result.report()
    assert saved.parameter_values == result.params.valuesdict()
    assert set(fit_figures(saved)) == {"fit", "irradiance", "starts"}


def test_curves_table_rows_add_up_to_the_data(result, tmp_path):
    path = write_curves(saved_fit(result_document(result)), tmp_path)
    with path.open() as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) == result.data.transmittance.size
    data = np.array([float(r["transmittance"]) for r in rows])
    model = np.array([float(r["model"]) for r in rows])
    residual = np.array([float(r["residual"]) for r in rows])
    scale = (np.array([float(r["sigma"]) for r in rows]) if result.weighted
             else np.ones(len(rows)))
    assert all(r["sigma"] == "" for r in rows) != result.weighted
    np.testing.assert_allclose(model + residual * scale, data, rtol=0, atol=1e-12)
    np.testing.assert_array_equal(np.array([float(r["position_mm"]) for r in rows]),
                                  np.tile(Z, len(ENERGIES)))


def test_a_start_without_chisqr_is_kept_as_missing(result):
    # JSON has no NaN: a failed start is stored as null and must come back
    # as NaN, which the starts figure shows as failed rather than crashing.
    document = json.loads(json.dumps(result_document(result), allow_nan=False))
    document["starts"][1 - document["best_start"]]["chisqr"] = None
    saved = saved_fit(document)
    assert np.isnan(saved.start_chisqr).sum() == 1
    assert "starts" in fit_figures(saved)


@pytest.mark.parametrize("damage, key", [
    (lambda d: d.pop("report"), "report"),
    (lambda d: d["data"].pop("positions_mm"), "data.positions_mm"),
    (lambda d: d.__setitem__("best_fit", "zero"), "best_fit"),
    (lambda d: d.__setitem__("starts", 3), "starts"),
])
def test_a_damaged_document_names_the_key(result, damage, key):
    document = result_document(result)
    damage(document)
    with pytest.raises(ResultFileError, match=f"saved.json.*{key}"):
        saved_fit(document, "saved.json")
