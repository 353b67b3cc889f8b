"""Importing tarnok_wrapper: one module object per process, its namespace, and
the refusal of a second interpreter."""

import builtins
import importlib
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy

import tarnok_wrapper


def test_second_import_returns_the_same_module():
    first = sys.modules["tarnok_wrapper"]
    function = first.fit_zscan
    del sys.modules["tarnok_wrapper"]
    try:
        second = importlib.import_module("tarnok_wrapper")
    finally:
        sys.modules["tarnok_wrapper"] = first
    assert second is first
    assert second.fit_zscan is function


def test_namespace():
    namespace = vars(tarnok_wrapper)
    public = {name for name in namespace if not name.startswith("__")}
    assert public == {"np", "fit_zscan"}
    assert namespace["np"] is numpy
    assert namespace["__test__"] == {}
    assert namespace["__builtins__"] is builtins
    assert tarnok_wrapper.__doc__ is None
    assert pathlib.Path(tarnok_wrapper.__file__).exists()


def test_type_stub_is_installed_beside_the_module():
    stub = pathlib.Path(tarnok_wrapper.__file__).with_name("tarnok_wrapper.pyi")
    assert "def fit_zscan(" in stub.read_text(encoding="utf-8")


def test_function_pickles_by_reference():
    assert pickle.loads(pickle.dumps(tarnok_wrapper.fit_zscan)) is tarnok_wrapper.fit_zscan


def run_python(source):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=120)


def test_second_interpreter_is_refused():
    result = run_python("""
        import tarnok_wrapper
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interpreter, "import tarnok_wrapper")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print("imported")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.")


def test_import_in_a_fresh_process_is_silent():
    result = run_python("""
        import warnings
        warnings.simplefilter("error")
        import tarnok_wrapper
        print(sorted(vars(tarnok_wrapper)))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


def test_failed_numpy_api_import_becomes_import_error_and_can_be_retried():
    result = run_python("""
        import traceback
        import numpy._core._multiarray_umath as umath
        table = umath._ARRAY_API
        umath._ARRAY_API = "not a capsule"
        try:
            import tarnok_wrapper
        except ImportError as error:
            print(error)
            print(type(error.__context__).__name__, error.__context__)
            print(traceback.extract_tb(error.__traceback__)[-1].name)
        umath._ARRAY_API = table
        import tarnok_wrapper
        print(callable(tarnok_wrapper.fit_zscan))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "numpy._core.multiarray failed to import",
        "RuntimeError _ARRAY_API is not PyCapsule object",
        "init tarnok_wrapper",
        "True",
    ]


def test_numpy_type_that_is_not_a_type_is_refused():
    result = run_python("""
        import numpy
        numpy.flatiter = len
        try:
            import tarnok_wrapper
        except TypeError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "numpy.flatiter is not a type object"
