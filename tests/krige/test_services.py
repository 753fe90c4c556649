"""Tests of the services that the kriging package offers its native core."""

import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
import scipy.spatial

from orv import error
from orv._algos.spmis import krige
from orv._algos.spmis.krige import great_circle_distance, init_points, to_numeric_array, variogram

RADIUS_KM = 6371.0088
QUARTER, DEGREE = np.pi * RADIUS_KM / 2, np.pi * RADIUS_KM / 180
MODELS = ["Linear", "Power", "Gaussian", "Spherical", "Exponential", "HoleEffect"]


def random_lon_lat(seed, n):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)])


def test_package_exposes_the_services_without_loading_the_core():
    assert (krige.np, krige.spatial, krige.error) == (np, scipy.spatial, error)
    code = "import sys, orv._algos.spmis.krige; print('orv._algos.spmis.krige.core' in sys.modules)"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True
    )
    assert out.stdout.strip() == "False"


# ---------------------------------------------------------------- init_points, to_numeric_array


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (3, 3.0),
        (2.5, 2.5),
        ([[0, 1], [2, 3], [4, 5]], [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]),
        (((1, 2, 3), (4, 5, 6)), [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
        ([1.5, 2.5], [1.5, 2.5]),
        ((7,), [7.0]),
        ([[1], [2]], [[1.0], [2.0]]),
        ((np.int64(4), 0.5), [4.0, 0.5]),
        (np.arange(3, dtype=np.uint8), [0.0, 1.0, 2.0]),
        (np.arange(6, dtype=np.int32).reshape(3, 2), [[0, 1], [2, 3], [4, 5]]),
        (np.arange(6, dtype=np.float32).reshape(2, 3), [[0, 1, 2], [3, 4, 5]]),
        (np.asfortranarray([[1.0, 2.0], [3.0, 4.0]]), [[1, 2], [3, 4]]),
        (np.arange(8.0).reshape(4, 2)[::2], [[0, 1], [4, 5]]),  # strided view
        ([[Fraction(1, 2), 2]], [[0.5, 2.0]]),
        (np.zeros((0, 3)), np.zeros((0, 3))),
    ],
)
def test_conversions_give_float64_arrays(value, expected):
    expected = np.asarray(expected, dtype=np.float64)
    numeric = to_numeric_array(value)  # keeps the shape
    assert isinstance(numeric, np.ndarray)
    np.testing.assert_array_equal(numeric, expected, strict=True)
    if expected.ndim == 0:  # a plain number is no point
        with pytest.raises(error.SpmisError):
            init_points(value)
        return
    points = init_points(value)  # contiguous rows; a 1-D sequence is one point
    assert points.flags.c_contiguous
    np.testing.assert_array_equal(points, np.atleast_2d(expected), strict=True)


def test_init_points_keeps_a_ready_array_and_never_writes_to_input():
    ready = np.arange(6.0).reshape(3, 2)
    assert init_points(ready) is ready
    source = [[1, 2], [3, 4]]
    init_points(source)[0, 0] = 99.0
    assert source == [[1, 2], [3, 4]]


NOT_NUMBERS = ["x", [1.0, "a"], None, [[1.0, 2.0], [3.0]], 1j, [True], [["a", "b"]], ["1.0"]]
NOT_NUMBERS += [[[None, 1.0]], [[1 + 2j, 0.0]], np.array([["2020-01-01"]], dtype="datetime64[D]")]
NOT_POINT_TABLES = [[], np.zeros((2, 2, 2)), [[[1.0, 2.0]]]]


@pytest.mark.parametrize(
    ("convert", "value"),
    [(convert, value) for convert in (init_points, to_numeric_array) for value in NOT_NUMBERS]
    + [(init_points, value) for value in NOT_POINT_TABLES],
)
def test_conversions_reject_what_is_not_numbers_of_the_right_shape(convert, value):
    with pytest.raises(error.SpmisError):
        convert(value)


# ---------------------------------------------------------------- great_circle_distance


def _central_angle(a, b):
    """Independent oracle: the angle between unit vectors, by atan2 of cross and dot."""

    def unit(points):
        lon, lat = np.radians(np.asarray(points, dtype=float)).T
        return np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])

    ua, ub = unit(a), unit(b)
    cross = np.linalg.norm(np.cross(ua[:, None, :], ub[None, :, :]), axis=-1)
    return np.arctan2(cross, ua @ ub.T)


@pytest.mark.parametrize(
    ("a", "b", "expected_km"),
    [
        ((0, 0), (0, 90), QUARTER),  # quarter meridian, 10007.5 km
        ((0, 0), (90, 0), QUARTER),  # quarter equator
        ((0, 0), (180, 0), 2 * QUARTER),  # antipodes
        ((10, 0), (11, 0), DEGREE),  # one degree of the equator
        ((179.5, 0), (-179.5, 0), DEGREE),  # across the date line
        ((0, -45), (0, 45), QUARTER),
        ((30, 60), (30, 60), 0.0),
        ((45, 90), (-135, 90), 0.0),  # the same pole from any longitude
        ((45, 90), (0, -90), 2 * QUARTER),
    ],
)
def test_great_circle_distance_known_lengths(a, b, expected_km):
    result = great_circle_distance(a, [b])  # a 1-D pair is one point
    assert result.shape == (1, 1)
    np.testing.assert_allclose(result[0, 0], expected_km, rtol=1e-12, atol=1e-9)


def test_great_circle_distance_matrix_matches_independent_formula():
    a, b = random_lon_lat(7, 40), random_lon_lat(8, 25)
    b[5, 0] = np.nan  # a NaN coordinate gives NaN distances for its point only
    result = great_circle_distance(a, b)
    assert result.shape == (40, 25) and result.dtype == np.float64
    # Near-antipodal pairs limit the haversine's accuracy to about 1e-8 relative.
    np.testing.assert_allclose(result, RADIUS_KM * _central_angle(a, b), rtol=1e-7, atol=1e-6)
    # The same points twice: exactly symmetric, zero only on the diagonal.
    matrix = great_circle_distance(a, a)
    np.testing.assert_array_equal(matrix, matrix.T)
    np.testing.assert_array_equal(np.diag(matrix), np.zeros(40))
    assert np.all(matrix[~np.eye(40, dtype=bool)] > 0.0)


@pytest.mark.parametrize("columns", [1, 3])
def test_great_circle_distance_needs_longitude_latitude_pairs(columns):
    with pytest.raises(error.SpmisError):
        great_circle_distance(np.zeros((2, columns)), np.zeros((2, 2)))
    with pytest.raises(error.SpmisError):
        great_circle_distance(np.zeros((2, 2)), np.zeros((2, columns)))


# ---------------------------------------------------------------- variogram models


@pytest.mark.parametrize(
    ("model", "parameters", "distance", "expected"),
    [
        ("Linear", [2.0, 0.5], 3.0, 6.5),
        ("Power", [2.0, 1.5, 0.5], 4.0, 16.5),
        ("Gaussian", [2.0, 10.0, 0.5], 10.0, 0.5 + 2.0 * (1.0 - np.exp(-3.0))),
        ("Exponential", [2.0, 10.0, 0.5], 10.0, 0.5 + 2.0 * (1.0 - np.exp(-3.0))),
        ("Spherical", [2.0, 10.0, 0.5], 5.0, 0.5 + 2.0 * (0.75 - 0.0625)),
        ("Spherical", [2.0, 10.0, 0.5], 10.0, 2.5),
        ("Spherical", [2.0, 10.0, 0.5], 25.0, 2.5),
        ("HoleEffect", [2.0, 10.0, 0.5], 10.0, 2.5),  # sin(pi) = 0: the sill
        ("HoleEffect", [2.0, 10.0, 0.5], 5.0, 0.5 + 2.0 * (1.0 - 2.0 / np.pi)),
    ],
)
def test_variogram_values(model, parameters, distance, expected):
    result = getattr(variogram, model)(parameters, distance)
    assert isinstance(result, np.ndarray) and result.shape == ()
    assert result == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("model", MODELS)
def test_variogram_gives_nugget_at_zero_and_keeps_the_shape(model):
    parameters = [1.0, 2.0, 0.25] if model != "Linear" else [1.0, 0.25]
    result = getattr(variogram, model)(parameters, np.array([[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]))
    assert result.shape == (2, 3) and result.dtype == np.float64
    assert result[0, 0] == pytest.approx(0.25, abs=1e-15)
    assert np.all(result[0, 1:] > 0.25)
    with pytest.raises(error.ParameterError):  # a wrong number of parameters
        getattr(variogram, model)(parameters[1:], [1.0, 2.0])
    with pytest.raises(error.ParameterError):
        getattr(variogram, model)([1.0] * 4, [1.0, 2.0])


@pytest.mark.parametrize("model", ["Gaussian", "Spherical", "Exponential"])
def test_variogram_bounded_models_rise_to_the_sill(model):
    distances = np.linspace(0.0, 200.0, 2001)
    result = getattr(variogram, model)((3.0, 20.0, 1.0), distances)
    assert np.all(np.diff(result) >= 0.0)
    assert result[-1] == pytest.approx(4.0, rel=1e-12)
    assert np.all(result <= 4.0 + 1e-12)
