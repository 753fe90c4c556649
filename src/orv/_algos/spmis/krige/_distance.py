"""Great-circle distances between geographic points."""

from orv import error

from . import _pairs
from ._points import init_points

# Mean Earth radius (IUGG), in kilometres, as the native code uses it.
EARTH_RADIUS_KM = 6371.0088


def _lon_lat(points, name):
    array = init_points(points)
    if array.shape[1] != 2:
        raise error.SpmisError(
            f"{name} must have two columns (longitude, latitude), not {array.shape[1]}"
        )
    return array


def great_circle_distance(points_a, points_b):
    """Great-circle distances, in kilometres, between two sets of geographic points.

    ``points_a`` (n points) and ``points_b`` (m points) are anything ``init_points`` accepts
    with exactly two columns: longitude, then latitude, in degrees. The result is an n-by-m
    float64 array whose entry (i, j) is the distance from point i of ``points_a`` to point j
    of ``points_b`` by the haversine formula on a sphere of radius 6371.0088 km (the mean
    Earth radius). Given the same points twice, the matrix is exactly symmetric with a zero
    diagonal. A NaN coordinate gives NaN distances for its point. Memory: the n-by-m result.
    """
    # The native pair code of the semivariogram pass, so that both give the same bits.
    return _pairs.great_circle_matrix(
        _lon_lat(points_a, "points_a"), _lon_lat(points_b, "points_b")
    )
