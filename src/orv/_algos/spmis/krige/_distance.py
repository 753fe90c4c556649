"""Great-circle distances between geographic points."""

import numpy as np

from orv import error

from ._points import init_points

# Mean Earth radius (IUGG), in kilometres.
EARTH_RADIUS_KM = 6371.0088


def _to_half_angle_sine_squared(angles):
    """Replace each angle difference a (radians) by sin(|a| / 2) ** 2, in place."""
    # The absolute value makes the result exactly the same for a - b and b - a.
    np.abs(angles, out=angles)
    angles *= 0.5
    np.sin(angles, out=angles)
    np.square(angles, out=angles)


def _lon_lat_radians(points, name):
    array = init_points(points)
    if array.shape[1] != 2:
        raise error.SpmisError(
            f"{name} must have two columns (longitude, latitude), not {array.shape[1]}"
        )
    radians = np.radians(array)
    return radians[:, 0], radians[:, 1]


def great_circle_distance(points_a, points_b):
    """Great-circle distances, in kilometres, between two sets of geographic points.

    ``points_a`` (n points) and ``points_b`` (m points) are anything ``init_points`` accepts
    with exactly two columns: longitude, then latitude, in degrees. The result is an n-by-m
    float64 array whose entry (i, j) is the distance from point i of ``points_a`` to point j
    of ``points_b`` by the haversine formula on a sphere of radius 6371.0088 km (the mean
    Earth radius). Given the same points twice, the matrix is exactly symmetric with a zero
    diagonal. A NaN coordinate gives NaN distances for its point. Memory: two n-by-m arrays.
    """
    lon_a, lat_a = _lon_lat_radians(points_a, "points_a")
    lon_b, lat_b = _lon_lat_radians(points_b, "points_b")

    # haversine: h = cos(lat_a) cos(lat_b) sin^2(dlon / 2) + sin^2(dlat / 2).
    # The cosine product is formed first so that (i, j) and (j, i) round alike.
    haversine = np.multiply.outer(np.cos(lat_a), np.cos(lat_b))
    work = np.subtract.outer(lon_a, lon_b)
    _to_half_angle_sine_squared(work)
    haversine *= work
    np.subtract.outer(lat_a, lat_b, out=work)
    _to_half_angle_sine_squared(work)
    haversine += work
    del work

    # Rounding can push h a hair outside [0, 1] near antipodes; arcsin would give NaN there.
    np.clip(haversine, 0.0, 1.0, out=haversine)
    np.sqrt(haversine, out=haversine)
    np.arcsin(haversine, out=haversine)
    haversine *= 2.0 * EARTH_RADIUS_KM
    return haversine
