"""How fit_zscan binds, converts and refuses its arguments: the exact
messages callers see, and the order in which the checks run."""

import array
import ctypes
import inspect
import traceback

import numpy as np
import pytest

import tarnok_wrapper
from conftest import MULTIPLIERS, PARAMETERS, TRUTH, make_problem

fit_zscan = tarnok_wrapper.fit_zscan

ARRAY_PARAMETERS = ["x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices"]


def refused(problem, **changes):
    """The exception a call with the given argument changes raises."""
    with pytest.raises(Exception) as info:
        problem.with_(**changes).fit()
    return info


class TestFunctionObject:
    def test_signature_lists_seventeen_positional_or_keyword_parameters(self):
        signature = inspect.signature(fit_zscan)
        assert tuple(signature.parameters) == PARAMETERS
        kinds = {p.kind for p in signature.parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        assert signature.parameters["is_sa"].default is False
        assert signature.parameters["n_starts"].default == 3

    def test_defaults_name_and_docstring(self):
        assert fit_zscan.__defaults__ == (False, 3)
        assert fit_zscan.__name__ == "fit_zscan"
        doc = fit_zscan.__doc__
        assert doc.splitlines()[0] == "Fit z-scan data with multi-start parallel optimization."
        for line in ("Parameters:", "fit_indices", "n_starts", "Returns:",
                     "SA centers around max of y_data, RSA centers around min of y_data.",
                     "residuals, error, spec_pars (best result)"):
            assert line in doc

    def test_error_carries_traceback_entry_of_the_function(self, problem):
        with pytest.raises(TypeError) as info:
            fit_zscan(*problem.args()[:14])
        names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
        assert names[-1] == "tarnok_wrapper.fit_zscan"


class TestBinding:
    def test_too_few_positional_arguments(self, problem):
        with pytest.raises(TypeError, match=r"^fit_zscan\(\) takes at least 15 positional "
                                            r"arguments \(14 given\)$"):
            fit_zscan(*problem.args()[:14])

    def test_too_many_positional_arguments(self, problem):
        message = r"^fit_zscan\(\) takes at most 17 positional arguments \(18 given\)$"
        with pytest.raises(TypeError, match=message):
            fit_zscan(*problem.args(), False, 3, 0)
        with pytest.raises(TypeError, match=message):
            fit_zscan(*problem.args(), False, 3, 0, n_starts=1)

    def test_missing_required_parameter_reports_its_position(self, problem):
        kwargs = problem.kwargs()
        positional = [kwargs.pop(name) for name in PARAMETERS[:4]]
        del kwargs["z_slices"]
        with pytest.raises(TypeError, match=r"takes at least 15 positional arguments \(4 given\)"):
            fit_zscan(*positional, **kwargs)

    def test_unexpected_and_repeated_keywords(self, problem):
        with pytest.raises(TypeError,
                           match=r"^fit_zscan\(\) got an unexpected keyword argument 'n_start'$"):
            fit_zscan(*problem.args(), n_start=2)
        with pytest.raises(TypeError, match=r"^fit_zscan\(\) got multiple values for keyword "
                                            r"argument 'x_data'$"):
            fit_zscan(*problem.args(), x_data=problem.x_data)

    def test_keyword_errors_are_reported_before_a_missing_parameter(self, problem):
        with pytest.raises(TypeError, match=r"^fit_zscan\(\) got an unexpected keyword "
                                            r"argument 'bogus'$"):
            fit_zscan(bogus=1)
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'n_start'$"):
            fit_zscan(*problem.args()[:14], n_start=2)
        with pytest.raises(TypeError, match=r"multiple values for keyword argument 'x_data'$"):
            fit_zscan(problem.x_data, x_data=problem.x_data)
        # Only once every keyword found its parameter is the first gap reported.
        with pytest.raises(TypeError, match=r"takes at least 15 positional arguments \(1 given\)"):
            fit_zscan(problem.x_data, populations=problem.populations)

    def test_keywords_only_a_c_caller_can_pass(self, problem):
        # Python code cannot pass these; a C caller can, through vectorcall.
        for positional in (problem.args(), problem.args()[:14]):
            with pytest.raises(TypeError, match=r"^fit_zscan\(\) keywords must be strings$"):
                vectorcall(fit_zscan, positional, [(1, True)])
        with pytest.raises(TypeError, match=r"^fit_zscan\(\) got multiple values for keyword "
                                            r"argument 'n_starts'$"):
            vectorcall(fit_zscan, problem.args(), [("n_starts", 1), ("n_starts", 2)])

    def test_all_by_keyword_equals_all_by_position(self, measured):
        frozen = measured.frozen(2)
        by_keyword = frozen.fit(is_sa=False, n_starts=2)
        by_position = fit_zscan(*frozen.args(), False, 2)
        assert_same_result(by_keyword, by_position)

    def test_defaults_are_rsa_and_three_starts(self, measured):
        assert_same_result(fit_zscan(*measured.args()), fit_zscan(*measured.args(), False, 3))
        frozen = measured.frozen(2)
        assert_same_result(fit_zscan(*frozen.args()), fit_zscan(*frozen.args(), None, 3.0))


def vectorcall(function, positional, keywords):
    """Calls function the way C code does: keywords are (name, value) pairs,
    names of any type, repeats allowed."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                        ctypes.c_size_t, ctypes.py_object]
    values = [*positional, *(value for _, value in keywords)]
    stack = (ctypes.py_object * len(values))(*values)
    names = tuple(name for name, _ in keywords)
    return api.PyObject_Vectorcall(function, stack, len(positional), names)


def assert_same_result(first, second):
    np.testing.assert_array_equal(first[0], second[0])
    assert first[1] == second[1] or (np.isnan(first[1]) and np.isnan(second[1]))
    np.testing.assert_array_equal(first[2], second[2])


class TestArrayConversion:
    @pytest.mark.parametrize("name", ARRAY_PARAMETERS)
    @pytest.mark.parametrize("make_bad, exception, message", [
        (lambda a: np.stack([a, a]), ValueError,
         r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (lambda a: np.asarray(a, dtype=a.dtype.newbyteorder(">")), ValueError,
         r"^Big-endian buffer not supported on little-endian compiler$"),
        (lambda a: np.repeat(np.concatenate([a, a]), 2)[::2], ValueError, r"not C-contiguous"),
        (lambda a: read_only(a), ValueError, r"read-only"),
        (lambda a: a.astype(np.complex128), ValueError,
         r"^Buffer dtype mismatch, expected '(double|int)' but got 'complex double'$"),
        (lambda a: list(a), TypeError, r"bytes-like object is required"),
    ], ids=["2-D", "big-endian", "strided", "read-only", "complex", "list"])
    def test_refused(self, problem, name, make_bad, exception, message):
        bad = make_bad(getattr(problem, name))
        with pytest.raises(exception, match=message):
            problem.with_(**{name: bad}).fit()

    @pytest.mark.parametrize("name", ARRAY_PARAMETERS)
    def test_none_refused_after_conversion(self, problem, name):
        with pytest.raises(TypeError, match=rf"^Argument '{name}' must not be None$"):
            problem.with_(**{name: None}).fit()

    @pytest.mark.parametrize("dtype, described", [
        (np.float32, "'float'"), (np.int64, "'long'"), (np.int32, "'int'"), (bool, "'bool'"),
        (np.uint8, "'unsigned char'"), (np.longdouble, "'long double'"),
        (object, "Python object"), ([("a", "f8")], "a struct"), ("S3", "a string"),
    ])
    def test_float_parameter_dtype_mismatch(self, problem, dtype, described):
        bad = np.zeros(problem.num_points, dtype=dtype)
        info = refused(problem, y_data=bad)
        assert info.type is ValueError
        assert str(info.value) == f"Buffer dtype mismatch, expected 'double' but got {described}"

    def test_int64_fit_indices_refused_not_converted(self, problem):
        info = refused(problem, fit_indices=np.array([2], dtype=np.int64))
        assert str(info.value) == "Buffer dtype mismatch, expected 'int' but got 'long'"

    def test_unreadable_format_letters(self, problem):
        info = refused(problem, y_data=np.zeros(problem.num_points, dtype="U2"))
        assert str(info.value) == "Does not understand character buffer dtype format string ('w')"
        info = refused(problem, y_data=np.zeros(problem.num_points, dtype=np.float16))
        assert str(info.value) == "Does not understand character buffer dtype format string ('e')"

    def test_other_buffer_exporters(self, measured):
        info = refused(measured, y_data=bytearray(8 * measured.num_points))
        assert str(info.value) == "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"
        info = refused(measured, spec_pars=bytes(64))
        assert info.type is BufferError
        as_array = measured.fit(n_starts=1)
        from_module = measured.with_(y_data=array.array("d", measured.y_data)).fit(n_starts=1)
        assert_same_result(as_array, from_module)
        # ctypes describes its elements in standard sizes: '<d' and '<i'.
        from_ctypes = measured.with_(
            y_data=(ctypes.c_double * measured.num_points)(*measured.y_data),
            fit_indices=(ctypes.c_int * 1)(2)).fit(n_starts=1)
        assert_same_result(as_array, from_ctypes)

    def test_unit_stride_slice_is_accepted_in_place(self, measured):
        padded = np.concatenate([[7.0, 7.0], measured.y_data])
        assert_same_result(measured.with_(y_data=padded[2:]).fit(n_starts=1),
                           measured.fit(n_starts=1))

    def test_none_reported_only_after_every_conversion(self, problem):
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            problem.with_(x_data=None, t_slices="5").fit()
        with pytest.raises(ValueError, match=r"Buffer dtype mismatch"):
            problem.with_(x_data=None, fit_indices=np.zeros(1)).fit()

    def test_conversion_runs_in_parameter_order(self, problem):
        with pytest.raises(ValueError, match=r"got 'float'"):
            problem.with_(y_data=problem.y_data.astype(np.float32), t_slices="x").fit()
        with pytest.raises(TypeError, match=r"an integer is required"):
            problem.with_(t_slices="x", pulse_energy=np.zeros(1, np.float32)).fit()


class TestScalarConversion:
    def test_integer_parameters_refuse_non_numbers(self, problem):
        for name in ("t_slices", "z_slices", "num_x_pts", "num_datasets"):
            with pytest.raises(TypeError, match=r"^an integer is required$"):
                problem.with_(**{name: "5"}).fit()
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            problem.fit(n_starts=[1])

    def test_integer_outside_32_bits_overflows(self, problem):
        with pytest.raises(OverflowError):
            problem.with_(t_slices=2**31).fit()
        with pytest.raises(OverflowError):
            problem.with_(z_slices=-2**31 - 1).fit()

    def test_float_parameters_refuse_non_numbers(self, problem):
        for name in ("sample_width", "tau", "wavelength", "w0", "M2"):
            with pytest.raises(TypeError):
                problem.with_(**{name: "1e-3"}).fit()

    def test_integers_accept_floats_truncated_and_numpy_scalars(self, measured):
        plain = measured.fit(n_starts=1)
        converted = measured.with_(t_slices=5.9, z_slices=np.int16(3),
                                   num_x_pts=np.float64(11.5)).fit(n_starts=1)
        assert_same_result(plain, converted)

    def test_floats_accept_ints_and_numpy_scalars(self, measured):
        plain = measured.fit(n_starts=1)
        converted = measured.with_(M2=1, tau=np.float64(5e-9), w0=np.float64(20e-6))
        assert_same_result(plain, converted.fit(n_starts=1))

    def test_n_starts_truncates_toward_zero(self, measured):
        # Start 1 of two lands on the truth, so it wins only if exactly two starts ran.
        spec_pars = TRUTH.copy()
        spec_pars[2] = TRUTH[2] / MULTIPLIERS[2][1]
        frozen = measured.frozen(2).with_(spec_pars=spec_pars)
        two = frozen.fit(n_starts=2)
        assert two[2][2] == MULTIPLIERS[2][1] * spec_pars[2]
        assert_same_result(frozen.fit(n_starts=2.9), two)

    @pytest.mark.parametrize("flag, same_as", [(None, False), (0, False), (1, True),
                                               ("yes", True), ([], False)])
    def test_is_sa_by_truth_value(self, problem, flag, same_as):
        y = np.linspace(0.9, 1.1, problem.num_points)  # minimum first, maximum last
        varied = problem.frozen(2).with_(y_data=y)
        assert_same_result(varied.fit(is_sa=flag), varied.fit(is_sa=same_as))

    def test_is_sa_chooses_the_centre(self, problem):
        varied = problem.frozen(2).with_(y_data=np.linspace(0.9, 1.1, problem.num_points))
        assert not np.array_equal(varied.fit(is_sa=True)[0], varied.fit(is_sa=False)[0])

    def test_is_sa_with_failing_truth_value(self, problem):
        with pytest.raises(ValueError, match="truth value"):
            problem.fit(is_sa=np.array([True, False]))


class TestFitIndices:
    @pytest.mark.parametrize("indices, message", [
        ([0, 8], "fit_indices[1]=8 out of range [0,7]"),
        ([-1, 9], "fit_indices[0]=-1 out of range [0,7]"),
        ([7, 0, 2147483647], "fit_indices[2]=2147483647 out of range [0,7]"),
    ])
    def test_first_entry_out_of_range_is_reported(self, problem, indices, message):
        info = refused(problem, fit_indices=np.array(indices, dtype=np.int32))
        assert info.type is ValueError
        assert str(info.value) == message

    def test_caller_arrays_are_left_unchanged(self, problem):
        before = {name: getattr(problem, name).copy() for name in ARRAY_PARAMETERS}
        problem.fit(n_starts=2)
        for name, value in before.items():
            np.testing.assert_array_equal(getattr(problem, name), value)


def read_only(a):
    a = a.copy()
    a.setflags(write=False)
    return a


def test_problem_fixture_is_valid():
    residuals, error, spec_pars = make_problem().fit(n_starts=1)
    assert residuals.shape == (22,) and np.isfinite(error) and spec_pars.shape == (8,)
