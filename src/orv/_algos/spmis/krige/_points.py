"""Conversion of user input to float64 arrays of coordinates and parameters."""

import numbers

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orv import error

# Array kinds accepted as numbers: signed and unsigned integers, floats. Booleans, complex
# numbers, strings, dates and records are refused rather than silently reinterpreted.
_NUMERIC_KINDS = frozenset("iuf")


def _is_real_number(item: object) -> bool:
    return isinstance(item, numbers.Real) and not isinstance(item, (bool, np.bool_))


def _as_float_array(value: ArrayLike, what: str) -> NDArray[np.float64]:
    """``value`` as a float64 array, refusing anything that is not made of real numbers."""
    try:
        array = np.asarray(value)
    except ValueError as exc:
        # numpy refuses nested sequences of unequal lengths.
        raise error.SpmisError(f"{what} must be a rectangular array of numbers: {exc}") from exc
    if array.dtype.kind == "O":
        if not all(_is_real_number(item) for item in array.flat):
            raise error.SpmisError(f"{what} must hold real numbers only")
    elif array.dtype.kind not in _NUMERIC_KINDS:
        raise error.SpmisError(f"{what} must hold real numbers, not {array.dtype} values")
    return array.astype(np.float64, copy=False)


def to_numeric_array(value: ArrayLike) -> NDArray[np.float64]:
    """Convert ``value`` (a number or an array-like of numbers) to a float64 numpy array.

    The shape is kept: a plain number gives a 0-d array, a nested list its own shape.
    Integers and floats of any width are accepted, as are Python objects that are real
    numbers (``numbers.Real``, e.g. ``fractions.Fraction``). Booleans, complex numbers,
    strings, ``None`` and ragged nested sequences raise ``orv.error.SpmisError``.
    An input that already is a float64 array is returned as it is, without a copy.
    """
    return _as_float_array(value, "value")


def init_points(points: ArrayLike) -> NDArray[np.float64]:
    """Convert point coordinates to a C-contiguous float64 array of shape (n, k).

    Each row is one point, each column one coordinate (x, y[, z], or longitude, latitude).

    - A 2-D array-like of shape (n, k) is taken as n points of k coordinates; n may be 0.
    - A 1-D sequence of k numbers (k >= 1) is taken as a single point and returned with
      shape (1, k): ``init_points([3.0, 4.0])`` is the one point (3, 4).

    The values follow the rules of ``to_numeric_array``. A plain number (0-d), an empty 1-D
    sequence, input of three or more dimensions, ragged nested sequences and non-numeric
    values raise ``orv.error.SpmisError``. An input that already is a C-contiguous float64
    2-D array is returned as it is, without a copy.
    """
    array = _as_float_array(points, "points")
    if array.ndim == 1:
        if array.size == 0:
            raise error.SpmisError("points must not be an empty sequence")
        array = array[np.newaxis, :]
    elif array.ndim != 2:
        raise error.SpmisError(
            "points must be a 2-D array of shape (n, k) or a 1-D sequence of k numbers, "
            f"not a {array.ndim}-D array of shape {array.shape}"
        )
    return np.ascontiguousarray(array)
