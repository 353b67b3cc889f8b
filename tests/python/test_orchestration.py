"""The multi-start fit: centring, start multipliers, the choice of the best
start, the index errors raised before any fit, and the result arrays.

Most cases use frozen fits (the solver refuses to move), so each start's
result is its starting point and the outcome can be predicted exactly."""

import numpy as np
import pytest

from conftest import MULTIPLIERS, TRUTH, model_curve

OUT_OF_BOUNDS = r"^Out of bounds on buffer access \(axis {}\)$"


def residuals_of(problem, **extra):
    return problem.fit(n_starts=1, **extra)[0]


def model_of(problem, **extra):
    """The model curve of a frozen single start, which depends on y_data only
    through the centre chosen from it."""
    return problem.y_data - residuals_of(problem, **extra)


def model_centred_at(problem, position):
    """The same model with the positions centred on x_data[position] by hand."""
    x = problem.x_data - problem.x_data[position]
    probe = np.ones(problem.num_points)
    probe[position] = 0.0  # minimum where x is 0: centring moves nothing
    return model_of(problem.with_(x_data=x, y_data=probe))


def assert_same_model(first, second):
    # y - (y - model) can differ from model in the last bits, depending on y.
    np.testing.assert_allclose(first, second, rtol=0, atol=1e-12)


class TestCentring:
    def test_rsa_centres_on_the_minimum_and_sa_on_the_maximum(self, problem):
        y = np.full(problem.num_points, 1.0)
        y[3], y[15] = 0.8, 1.2
        varied = problem.frozen(2).with_(y_data=y)
        on_minimum, on_maximum = model_centred_at(varied, 3), model_centred_at(varied, 15)
        assert np.abs(on_minimum - on_maximum).max() > 1e-5
        assert_same_model(model_of(varied), on_minimum)
        assert_same_model(model_of(varied, is_sa=True), on_maximum)

    def test_ties_go_to_the_first_position(self, problem):
        y = np.full(problem.num_points, 1.0)
        y[2] = y[8] = 0.5
        varied = problem.frozen(2).with_(y_data=y)
        assert_same_model(model_of(varied), model_centred_at(varied, 2))
        assert np.abs(model_of(varied) - model_centred_at(varied, 8)).max() > 1e-5

    @pytest.mark.parametrize("is_sa", [False, True])
    def test_first_nan_counts_as_the_extreme(self, problem, is_sa):
        y = np.linspace(0.8, 1.2, problem.num_points)
        y[6] = y[9] = np.nan
        varied = problem.frozen(2).with_(y_data=y)
        model = model_of(varied, is_sa=is_sa)
        assert np.isnan(model[[6, 9]]).all()
        assert_same_model(np.delete(model, [6, 9]),
                          np.delete(model_centred_at(varied, 6), [6, 9]))

    def test_extreme_in_second_dataset_centres_every_dataset(self, problem):
        y = np.full(problem.num_points, 1.0)
        focus = problem.num_x_pts + 4
        y[focus] = 0.5
        x = problem.x_data.copy()
        x[problem.num_x_pts:] += 3.0  # the second dataset was scanned 3 mm further on
        varied = problem.frozen(2).with_(y_data=y, x_data=x)
        assert_same_model(model_of(varied), model_centred_at(varied, focus))

    def test_x_data_longer_than_y_data_is_read_only_where_measured(self, problem):
        frozen = problem.frozen(2)
        longer = np.concatenate([frozen.x_data, [1e9, -1e9]])
        np.testing.assert_array_equal(residuals_of(frozen), residuals_of(frozen.with_(x_data=longer)))


class TestStartsAndBestStart:
    @pytest.mark.parametrize("n_starts", sorted(MULTIPLIERS))
    def test_each_multiplier_exactly(self, measured, n_starts):
        # Start j lands (within an ulp) on the truth, so it has the smallest
        # error and is chosen; its value shows the exact multiplier.
        for j, multiplier in enumerate(MULTIPLIERS[n_starts]):
            spec_pars = TRUTH.copy()
            spec_pars[2] = TRUTH[2] / multiplier
            residuals, error, fitted = measured.frozen(2).with_(spec_pars=spec_pars).fit(
                n_starts=n_starts)
            assert fitted[2] == multiplier * spec_pars[2], (n_starts, j)
            assert error < 1e-9
            np.testing.assert_array_equal(np.delete(fitted, 2), np.delete(TRUTH, 2))

    def test_ties_go_to_the_first_start(self, measured):
        # With no light absorbed from the ground state, level 5 stays empty and
        # its lifetime cannot change the model: every start has the same error.
        spec_pars = TRUTH.copy()
        spec_pars[0] = 0.0
        frozen = measured.frozen(7).with_(spec_pars=spec_pars)
        errors = {frozen.fit(n_starts=1)[1]}
        _, error, fitted = frozen.fit(n_starts=5)
        errors.add(error)
        assert len(errors) == 1
        assert fitted[7] == MULTIPLIERS[5][0] * TRUTH[7]

    def test_nan_errors_keep_the_first_start(self, measured):
        y = measured.y_data.copy()
        y[0] = np.nan
        spec_pars = TRUTH.copy()
        spec_pars[2] = TRUTH[2] / MULTIPLIERS[3][1]
        residuals, error, fitted = measured.frozen(2).with_(y_data=y, spec_pars=spec_pars).fit()
        assert np.isnan(error)
        assert fitted[2] == MULTIPLIERS[3][0] * spec_pars[2]

    def test_real_fit_moves_only_the_fitted_parameters(self, measured):
        start = TRUTH.copy()
        start[2] *= 1.6
        residuals, error, fitted = measured.with_(spec_pars=start).fit(n_starts=2)
        assert fitted[2] / TRUTH[2] == pytest.approx(1.0, abs=1e-3)
        np.testing.assert_array_equal(np.delete(fitted, 2), np.delete(TRUTH, 2))
        assert error < 1e-6
        np.testing.assert_allclose(residuals, 0.0, atol=1e-6)

    def test_result_arrays_are_writable_views_of_the_start_rows(self, measured):
        residuals, error, fitted = measured.frozen(2).fit(n_starts=4)
        assert isinstance(error, float)
        for view, columns in ((residuals, measured.num_points), (fitted, 8)):
            assert view.dtype == np.float64 and view.shape == (columns,)
            assert view.flags.writeable and not view.flags.owndata
            assert view.base.shape == (4, columns)
        assert not np.shares_memory(fitted, measured.spec_pars)

    def test_longer_spec_pars_come_back_whole(self, measured):
        spec_pars = np.concatenate([TRUTH, [42.0, -1.0]])
        _, _, fitted = measured.frozen(2).with_(spec_pars=spec_pars).fit(n_starts=1)
        assert fitted.shape == (10,)
        np.testing.assert_array_equal(fitted[3:], spec_pars[3:])


class TestErrorsBeforeAnyFit:
    def test_empty_y_data(self, problem):
        for is_sa, name in ((False, "argmin"), (True, "argmax")):
            with pytest.raises(ValueError, match=name):
                problem.with_(y_data=np.zeros(0)).fit(is_sa=is_sa)

    def test_extreme_beyond_the_end_of_x_data(self, problem):
        y = np.ones(problem.num_points)
        y[5] = 0.0
        with pytest.raises(IndexError, match=OUT_OF_BOUNDS.format(0)):
            problem.with_(y_data=y, x_data=problem.x_data[:5].copy()).fit()

    def test_fit_index_beyond_spec_pars(self, problem):
        short = problem.with_(spec_pars=TRUTH[:3].copy(), fit_indices=np.array([1, 5], np.int32))
        with pytest.raises(IndexError, match=OUT_OF_BOUNDS.format(0)):
            short.fit()

    @pytest.mark.parametrize("changes, axis", [
        ({"populations": np.zeros(0)}, 0),
        ({"pulse_energy": np.zeros(0)}, 0),
        ({"fit_indices": np.zeros(0, np.int32)}, 0),
        ({"fit_indices": np.zeros(0, np.int32), "spec_pars": np.zeros(0)}, 1),
        ({"populations": np.zeros(0), "fit_indices": np.zeros(0, np.int32)}, 0),
    ], ids=["populations", "pulse_energy", "fit_indices", "spec_pars", "first-access-wins"])
    def test_empty_arrays(self, problem, changes, axis):
        with pytest.raises(IndexError, match=OUT_OF_BOUNDS.format(axis)):
            problem.with_(**changes).fit()

    def test_zero_starts(self, problem):
        with pytest.raises(IndexError, match=OUT_OF_BOUNDS.format(0)):
            problem.fit(n_starts=0)
        # No start scales the parameters, so an index past spec_pars goes unnoticed.
        with pytest.raises(IndexError, match=OUT_OF_BOUNDS.format(0)):
            problem.with_(spec_pars=TRUTH[:2].copy(), fit_indices=np.array([5], np.int32)).fit(
                n_starts=0)

    def test_negative_starts(self, problem):
        with pytest.raises(ValueError, match="negative"):
            problem.fit(n_starts=-1)


def test_model_curve_helper_matches_a_frozen_fit_at_the_truth(measured):
    np.testing.assert_allclose(model_curve(measured, TRUTH), measured.y_data, rtol=0, atol=1e-12)
    assert measured.y_data.min() < 0.999  # the absorber visibly darkens at the focus
