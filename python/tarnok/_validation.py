"""Checks shared by the public constructors: each names the argument it refuses."""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np


def real(name: str, value: Any) -> float:
    """``value`` as a float, refusing bools, non-numbers and NaN/infinity."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    result = float(value)
    if not math.isfinite(result):
        raise ValueError(f"{name} must be finite, got {result!r}")
    return result


def positive(name: str, value: Any, unit: str = "") -> float:
    result = real(name, value)
    if result <= 0.0:
        raise ValueError(f"{name} must be above zero{_in(unit)}, got {result!r}")
    return result


def non_negative(name: str, value: Any, unit: str = "") -> float:
    result = real(name, value)
    if result < 0.0:
        raise ValueError(f"{name} must be zero or more{_in(unit)}, got {result!r}")
    return result


def integer(name: str, value: Any, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    result = int(value)
    if not low <= result <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {result}")
    return result


def float_array(name: str, value: Any, ndim: tuple[int, ...]) -> np.ndarray:
    """A finite float64 C-contiguous copy of ``value`` with one of the allowed ranks."""
    if np.iscomplexobj(value):
        raise TypeError(f"{name} must hold real numbers, got complex values")
    try:
        array = np.array(value, dtype=np.float64, order="C", copy=True)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array of real numbers ({error})") from None
    if array.ndim not in ndim:
        allowed = " or ".join(f"{n}-D" for n in ndim)
        raise ValueError(f"{name} must be {allowed}, got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite; found NaN or infinity")
    return array


def _in(unit: str) -> str:
    return f" (in {unit})" if unit else ""
